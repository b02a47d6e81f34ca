// Path arguments on POSIX: taken as they are.
#include "folder_tool/name_rules.h"

namespace trevask {

bool ArgumentsCarried(std::string*) { return true; }

bool NativeArgumentPath(const std::string& arg, std::string* path, std::string*) {
  *path = arg;
  return true;
}

}  // namespace trevask
