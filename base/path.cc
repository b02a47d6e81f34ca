#include "base/path.h"

namespace base {

bool IsSeparator(char c) { return c == kSeparator || (kSeparator == '\\' && c == '/'); }

std::string Join(const std::string& dir, const std::string& name) {
  if (!dir.empty() && IsSeparator(dir.back())) return dir + name;
  return dir + kSeparator + name;
}

namespace {
// Where the last component of path begins.
std::size_t LastComponent(const std::string& path) {
  std::size_t at = path.size();
  while (at > 0 && !IsSeparator(path[at - 1])) --at;
  return at;
}
}  // namespace

std::string ParentFolder(const std::string& path) {
  const std::size_t at = LastComponent(path);
  if (at == 0) return ".";
  const bool root = at == 1 || (kSeparator == '\\' && at == 3 && path[1] == ':');
  return path.substr(0, root ? at : at - 1);
}

std::string BaseName(const std::string& path) { return path.substr(LastComponent(path)); }

}  // namespace base
