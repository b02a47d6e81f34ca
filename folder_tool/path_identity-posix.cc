// Path kinds on POSIX: stat and lstat; absolute paths through ResolvePath.
#include <sys/stat.h>

#include "folder_tool/path_identity.h"
#include "folder_tool/resolve-posix.h"

namespace trevask {

bool IsExistingFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

PathKind KindOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISLNK(st.st_mode)) return PathKind::kLink;
  return S_ISDIR(st.st_mode) ? PathKind::kFolder : PathKind::kOther;
}

bool IsSpecialFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode);
}

std::string AbsolutePath(const std::string& path) {
  // Like realpath, but also through the parts that do not exist yet, and
  // through links that lead to such parts: a link that will lead into the
  // mirror folder once the walk has made it must be seen as doing so.
  std::string absolute = ResolvePath(path, nullptr);
  return absolute.empty() ? path : absolute;
}

}  // namespace trevask
