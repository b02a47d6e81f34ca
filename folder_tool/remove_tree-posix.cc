// Removal on POSIX: unlinkat through open folders, links never followed.
#include "folder_tool/remove_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/path.h"

namespace trevask {
namespace platform {

namespace {

// Empties the folder open at fd and removes it as name in dir; links and
// files are removed themselves, never followed.
bool RemoveOpen(int dir, const char* name, int fd) {
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return false;
  }
  bool ok = true;
  while (struct dirent* entry = readdir(d)) {
    const char* child = entry->d_name;
    if (std::strcmp(child, ".") == 0 || std::strcmp(child, "..") == 0) continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      is_dir = fstatat(fd, child, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (is_dir) {
      int sub = openat(fd, child, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) {
        ok = RemoveOpen(fd, child, sub) && ok;
      } else if (errno == ENOTDIR || errno == ELOOP) {
        ok = (unlinkat(fd, child, 0) == 0 || errno == ENOENT) && ok;
      } else {
        ok = ok && errno == ENOENT;
      }
    } else if (unlinkat(fd, child, 0) != 0 && errno != ENOENT) {
      ok = false;
    }
  }
  closedir(d);
  return (unlinkat(dir, name, AT_REMOVEDIR) == 0 || errno == ENOENT) && ok;
}

}  // namespace

int RemoveTree(const std::string& path, const base::FileId& expected) {
  const std::string parent = base::ParentFolder(path);
  const std::string name = base::BaseName(path);
  int dir = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  int fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int result = 0;
  base::FileId found;
  if (fd < 0) {
    // A link, a file or nothing in its place is not the folder expected.
    result = -2;
  } else if (!base::GetOpenFileId(fd, &found) || found != expected) {
    close(fd);
    result = -2;
  } else {
    result = RemoveOpen(dir, name.c_str(), fd) ? 0 : 1;
  }
  close(dir);
  return result;
}

}  // namespace platform
}  // namespace trevask
