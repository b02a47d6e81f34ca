// FolderTool on POSIX: readdir, mkdir, the kernel's limits.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/path.h"
#include "folder_tool/folder_tool.h"

namespace trevask {

const size_t kMaxPathLength = PATH_MAX - 1;
// One argument is capped by the kernel at 32 pages (MAX_ARG_STRLEN)
// including its terminator; paths are shorter still.
const size_t kMaxCommandLength = 32 * 4096 - 1;
// The same cap holds for each NAME=VALUE of the environment.
const size_t kMaxVariableLength = 32 * 4096 - 1;
// The shell's status for a command it cannot find.
const int kCommandNotFoundStatus = 127;

int FolderTool::ScanSubfolders(const std::string& dir, std::vector<std::string>* names,
                               int store, std::vector<char>* links) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int count = 0;
  while (struct dirent* entry = readdir(d)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool is_dir = entry->d_type == DT_DIR;
    bool link = entry->d_type == DT_LNK;
    if (entry->d_type == DT_UNKNOWN || link) {
      // A link counts by what it leads to, as a folder would for zip -r.
      struct stat st;
      std::string child = base::Join(dir, name);
      // Without a type in the listing only lstat tells a link.
      if (!link && links != nullptr) link = lstat(child.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
      is_dir = stat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    if (!is_dir) continue;
    if (store != 0 && names != nullptr) {
      names->push_back(name);
      if (links != nullptr) links->push_back(link ? 1 : 0);
    }
    ++count;
  }
  closedir(d);
  return count;
}

// Every name a POSIX listing gives can be listed: there is nothing to say.
int FolderTool::ListSubfoldersQuietly(const std::string& dir, std::vector<std::string>* names,
                                      std::vector<char>* links) {
  return ScanSubfolders(dir, names, 1, links);
}

size_t NameLimitOf(const std::string& folder) {
  const long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<size_t>(limit) : 0;
}

size_t NameLength(const std::string& name) { return name.size(); }

bool RemoveEmptyFolder(const std::string& path, const base::FileId& id) {
  struct stat st;
  base::FileId found;
  // rmdir never follows a link; the look guards against a folder swapped in.
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && base::GetFileId(path, &found) &&
         found == id && rmdir(path.c_str()) == 0;
}

bool CreateNewFolder(const std::string& path, std::string* error) {
  // The mirror tree holds copies of the user's files: the user's alone.
  if (mkdir(path.c_str(), 0700) == 0) return true;
  *error = std::strerror(errno);
  return false;
}

bool FolderIsWritable(const std::string& folder, std::string* reason) {
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return true;
  *reason = std::strerror(errno);
  return false;
}

}  // namespace trevask
