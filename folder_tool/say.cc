#include "folder_tool/say.h"

#include <cstdio>
#include <string>

#include "folder_tool/folder_tool.h"

namespace trevask {

void ReportArchiverFailure() {
  std::fputs("PKZIP Compress Error!", stdout);
  if (std::fflush(stdout) != 0) base::NoteOutputError();
}

}  // namespace trevask
