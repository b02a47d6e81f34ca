// Path text on POSIX: one separator, one root, bytes as they are.
#include "base/path.h"

namespace base {

const char kSeparator = '/';

std::size_t FindSeparator(const std::string& path, std::size_t from) {
  return path.find('/', from);
}

void UseAnsiCodePageForPaths() {}

std::size_t RootLength(const std::string& path) {
  return !path.empty() && path[0] == '/' ? 1 : 0;
}

bool IsDriveRelative(const std::string&) { return false; }

bool SameNameText(const std::string& a, const std::string& b) { return a == b; }

}  // namespace base
