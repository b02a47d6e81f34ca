#include "folder_tool/say.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "folder_tool/folder_tool.h"

namespace trevask {

void Say(const char* format, ...) {
  // The prefix and line end join the format, not the text, so that the
  // line goes out in one call.
  const std::string line = std::string("trevask: ") + format + "\n";
  va_list args;
  va_start(args, format);
  if (std::vfprintf(stderr, line.c_str(), args) < 0) NoteOutputError();
  va_end(args);
}

void ReportArchiverFailure() {
  std::fputs("PKZIP Compress Error!", stdout);
  if (std::fflush(stdout) != 0) NoteOutputError();
}

}  // namespace trevask
