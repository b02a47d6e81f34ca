// Removal on Windows: cmd.exe's rmdir /s /q, which never follows a junction.
#include <cstdlib>
#include <string>

#include "folder_tool/command_line.h"
#include "folder_tool/remove_tree.h"

namespace trevask {
namespace platform {

int RemoveTree(const std::string& path, const base::FileId& expected) {
  base::FileId now;
  // cmd.exe works by name: the check is as close to it as Windows allows.
  if (!base::GetFileId(path, &now) || !(now == expected)) return -2;
  std::string line;
  if (!BuildRemoveCommand(path, &line)) return -1;
  return std::system(line.c_str());
}

}  // namespace platform
}  // namespace trevask
