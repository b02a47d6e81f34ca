#include "folder_tool/say.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace trevask {

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string line = "trevask: ";
  if (n > 0) {
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, again);
    text.resize(static_cast<size_t>(n));
    line += text;
  }
  va_end(again);
  line += '\n';
  // One write, so that a line is never split by another writer's.
  std::fputs(line.c_str(), stderr);
}

void ReportArchiverFailure() {
  std::fputs("PKZIP Compress Error!", stdout);
  std::fflush(stdout);
}

}  // namespace trevask
