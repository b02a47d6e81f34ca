#include "folder_tool/say.h"

#include <cstdio>
#include <string>

#include "folder_tool/folder_tool.h"

namespace trevask {

void ReportArchiverFailure() {
  base::WriteLine(stdout, "PKZIP Compress Error!");
  if (std::fflush(stdout) != 0) base::NoteOutputError();
}

}  // namespace trevask
