// A stand-in archiver for tests: records every run and fails on demand.
//
// Built as "PKZIP.EXE" and "PKZIPC.EXE". Appends to $TREVASK_RECORD_LOG:
//   run <program>
//   arg <length>\n<bytes>\n        (one per argument)
//   dir <1|0>                      (could the archive file be created?)
//   end
// Exits with $TREVASK_RECORD_FAIL_STATUS (default 1) when an argument
// contains $TREVASK_RECORD_FAIL_TEXT; otherwise creates the archive file
// (the second-to-last argument) and exits 0.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef RECORDER_NAME
#error "RECORDER_NAME must name the archiver this build stands in for"
#endif

int main(int argc, char** argv) {
  const char* log_path = std::getenv("TREVASK_RECORD_LOG");
  const char* fail_text = std::getenv("TREVASK_RECORD_FAIL_TEXT");
  const char* fail_status = std::getenv("TREVASK_RECORD_FAIL_STATUS");

  bool fail = false;
  for (int i = 1; i < argc; ++i) {
    if (fail_text && *fail_text && std::strstr(argv[i], fail_text)) fail = true;
  }
  bool dir_ok = false;
  if (!fail && argc >= 3) {
    if (FILE* archive = std::fopen(argv[argc - 2], "ab")) {
      dir_ok = true;
      std::fclose(archive);
    }
  }
  if (log_path) {
    FILE* log = std::fopen(log_path, "ab");
    if (!log) return 3;
    std::fprintf(log, "run %s\n", RECORDER_NAME);
    for (int i = 1; i < argc; ++i) {
      std::fprintf(log, "arg %zu\n", std::strlen(argv[i]));
      std::fwrite(argv[i], 1, std::strlen(argv[i]), log);
      std::fputc('\n', log);
    }
    std::fprintf(log, "dir %d\nend\n", dir_ok ? 1 : 0);
    std::fclose(log);
  }
  if (fail) return fail_status ? std::atoi(fail_status) : 1;
  return dir_ok ? 0 : 4;
}
