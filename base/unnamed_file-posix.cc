#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstdlib>

#include "base/unnamed_file.h"

namespace base {

namespace {

constexpr unsigned kAttempts = 100;

// Fails with EEXIST when name is taken.
bool LinkUnnamed(int fd, int dir, const std::string& name) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, proc.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno == EEXIST) return false;
  // Without /proc: the direct form, which needs CAP_DAC_READ_SEARCH.
  return linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0;
}

}  // namespace

bool MakeUnnamedFile(const Folder& folder, Access access, const TempNamer& namer,
                     UnnamedFile* file) {
  const int dir = static_cast<int>(folder.handle);
  const int flags = (access == Access::kReadWrite ? O_RDWR : O_WRONLY) | O_CLOEXEC;
  *file = UnnamedFile();
  int fd = openat(dir, ".", O_TMPFILE | flags, 0600);
  if (fd >= 0) {
    file->handle = fd;
    return true;
  }
  // Not every file system has unnamed files.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return false;
  for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
    std::string temp = namer(attempt);
    fd = openat(dir, temp.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | flags, 0600);
    if (fd >= 0) {
      file->handle = fd;
      file->temp = std::move(temp);
      return true;
    }
    if (errno != EEXIST) break;
  }
  return false;
}

bool NameFile(const Folder& folder, UnnamedFile* file, const std::string& name, Replace replace,
              const TempNamer& namer) {
  const int dir = static_cast<int>(folder.handle);
  const int fd = static_cast<int>(file->handle);
  if (!file->temp.empty()) {
    if (replace == Replace::kOver) {
      if (renameat(dir, file->temp.c_str(), dir, name.c_str()) != 0) return false;
    } else {
      // A hard link never replaces what is there.
      if (linkat(dir, file->temp.c_str(), dir, name.c_str(), 0) != 0) return false;
      unlinkat(dir, file->temp.c_str(), 0);
    }
    file->temp.clear();
    return true;
  }
  if (replace == Replace::kNever) return LinkUnnamed(fd, dir, name);
  for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
    const std::string temp = namer(attempt);
    if (!LinkUnnamed(fd, dir, temp)) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
      const int why = errno;
      unlinkat(dir, temp.c_str(), 0);
      errno = why;
      return false;
    }
    return true;
  }
  return false;
}

std::FILE* OpenScratchFile() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  Folder folder;
  const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return nullptr;
  folder.handle = dfd;
  static std::atomic<unsigned> made{0};
  const std::string stem = "trevask-" + std::to_string(getpid()) + "-" + std::to_string(++made);
  UnnamedFile file;
  const bool ok = MakeUnnamedFile(folder, Access::kReadWrite, [&](unsigned attempt) {
    return stem + "-" + std::to_string(attempt) + ".tmp";
  }, &file);
  const int why = errno;
  if (ok && !file.temp.empty()) unlinkat(dfd, file.temp.c_str(), 0);
  close(dfd);
  if (!ok) {
    errno = why;
    return nullptr;
  }
  std::FILE* f = fdopen(static_cast<int>(file.handle), "w+b");
  if (f == nullptr) close(static_cast<int>(file.handle));
  return f;
}

}  // namespace base
