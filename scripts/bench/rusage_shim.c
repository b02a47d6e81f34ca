/* Preloaded into every dynamically linked process of a benchmark run: at
 * exit, appends the process's own CPU time and peak memory to the file named
 * by TREVASK_BENCH_RUSAGE, so that Trevask's share can be told apart from
 * its children's. The peak is VmHWM, which, unlike ru_maxrss, starts afresh
 * at exec. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

__attribute__((destructor)) static void report(void) {
  const char* path = getenv("TREVASK_BENCH_RUSAGE");
  if (!path) return;
  struct rusage self;
  if (getrusage(RUSAGE_SELF, &self) != 0) return;
  FILE* comm = fopen("/proc/self/comm", "r");
  char name[64] = "?";
  if (comm) {
    if (fscanf(comm, "%63s", name) != 1) name[0] = '?';
    fclose(comm);
  }
  long peak_kib = 0;
  FILE* status = fopen("/proc/self/status", "r");
  if (status) {
    char line[256];
    while (fgets(line, sizeof line, status)) {
      if (sscanf(line, "VmHWM: %ld", &peak_kib) == 1) break;
    }
    fclose(status);
  }
  FILE* out = fopen(path, "a");
  if (!out) return;
  fprintf(out, "%s %ld.%06ld %ld.%06ld %ld\n", name, (long)self.ru_utime.tv_sec,
          (long)self.ru_utime.tv_usec, (long)self.ru_stime.tv_sec,
          (long)self.ru_stime.tv_usec, peak_kib);
  fclose(out);
}
