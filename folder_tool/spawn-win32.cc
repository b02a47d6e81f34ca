// Archivers on Windows: through cmd.exe by system(), which searches for them.
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/text-win32.h"
#include "folder_tool/code_page-win32.h"
#include "folder_tool/command_line.h"
#include "folder_tool/spawn.h"

namespace trevask {
namespace platform {

std::string ArchiverLineProblem(const std::vector<std::string>& args) {
  std::string line, why;
  return CommandFromArguments(args, &line, &why) ? std::string() : why;
}

int RunArchiverProgram(const std::vector<std::string>& args, const std::string&,
                       bool* started) {
  std::string line;
  if (!CommandFromArguments(args, &line)) return -1;
  errno = 0;
  int status = std::system(line.c_str());
  // No interpreter could be started at all.
  if (status == -1 && errno != 0) *started = false;
  return status;
}

// cmd.exe searches the current folder first, then PATH with its own rules.
bool ProgramFound(const std::string&) { return true; }

void SetChildVariable(const char* name, const std::string& value) {
  // The C runtime's copy as well: system() hands that one on.
  SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
  _putenv_s(name, value.c_str());
}

std::string ArchiverText(const std::string& name) {
  std::wstring wide;
  return ToWide(name, &wide) ? base::Utf8(wide) : name;
}

}  // namespace platform
}  // namespace trevask
