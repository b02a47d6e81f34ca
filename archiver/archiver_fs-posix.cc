#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archiver/archiver_fs.h"

namespace archiver {

const char kPathSeparator = '/';

bool ListFolder(const std::string& dir, std::vector<Entry>* entries,
                std::string* error) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    *error = "cannot read folder " + dir + ": " + std::strerror(errno);
    return false;
  }
  while (struct dirent* de = readdir(d)) {
    if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0) {
      continue;
    }
    Entry entry;
    entry.name = de->d_name;
    std::string path = dir + kPathSeparator + entry.name;
    // One lstat per entry; a second look only through a link.
    struct stat lst, st;
    bool ok = lstat(path.c_str(), &lst) == 0;
    if (ok && S_ISLNK(lst.st_mode)) {
      ok = stat(path.c_str(), &st) == 0;
    } else {
      st = lst;
    }
    if (!ok) {
      entry.why_skipped = "cannot be read (" + std::string(std::strerror(errno)) + ")";
    } else if (S_ISREG(st.st_mode)) {
      entry.type = Entry::kFile;
      entry.size = static_cast<std::uint64_t>(st.st_size);
      entry.mtime = st.st_mtime;
    } else if (S_ISDIR(st.st_mode) && !S_ISLNK(lst.st_mode)) {
      entry.type = Entry::kFolder;
      entry.mtime = st.st_mtime;
    } else if (S_ISDIR(st.st_mode)) {
      entry.why_skipped = "a link to a folder";
    } else {
      entry.why_skipped = "not a regular file";
    }
    entries->push_back(entry);
  }
  closedir(d);
  return true;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool CheckReadable(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  close(fd);
  return true;
}

std::int64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes,
                         std::string* error) {
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(&temp[0]);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; an archive gets the usual permissions.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  // No fsync: the same guarantee as libzip's own temporary-and-rename.
  bool ok = write(fd, bytes.data(), bytes.size()) ==
            static_cast<ssize_t>(bytes.size());
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace archiver
