/* Runs a command and writes the peak resident size, in KiB, of the largest
 * process of the run to a file. Small and static, so that the processes it
 * starts inherit no high-water mark of a larger parent.
 *   peak OUTFILE COMMAND [ARG...] */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return 2;
  struct rusage children;
  getrusage(RUSAGE_CHILDREN, &children);
  FILE* out = fopen(argv[1], "w");
  if (!out) return 2;
  fprintf(out, "%ld\n", children.ru_maxrss);
  fclose(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}
