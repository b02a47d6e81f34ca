#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/path.h"
#include "base/system.h"
#include "base/unnamed_file.h"
#include "extract/extract_fs.h"

namespace extract {

struct Dir {
  int fd = -1;
  std::string path;  // for messages
  ~Dir() {
    if (fd >= 0) close(fd);
  }
};

namespace {

std::string Reason() { return std::strerror(errno); }

// What a refusal names: the entry itself, a link not where it leads.
std::string Kind(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "a link";
  if (S_ISDIR(st.st_mode)) return "a folder";
  if (S_ISREG(st.st_mode)) return "a file";
  return "a special file";
}

// Why path, where mkdir found something, is no folder to extract into;
// links leading to the destination are the user's own, so it says where
// one leads.
std::string NoFolderThere(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Reason();
  if (!S_ISLNK(st.st_mode)) return Kind(st) + " is there, not a folder";
  struct stat target;
  if (stat(path.c_str(), &target) != 0) return "a link is there that leads nowhere";
  return "a link is there that leads to " + Kind(target) + ", not to a folder";
}

class InputFile : public base::Source {
 public:
  InputFile(int fd, std::uint64_t size, std::string path)
      : fd_(fd), size_(size), path_(std::move(path)) {}
  ~InputFile() override { close(fd_); }
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void* into, std::size_t n,
              std::string* error) const override {
    if (offset > size_ || n > size_ - offset) {
      *error = "reaches beyond the end of " + path_;
      return false;
    }
    char* to = static_cast<char*>(into);
    while (n > 0) {
      ssize_t got = pread(fd_, to, n, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR && !base::Interrupted()) continue;
      if (got <= 0) {
        *error = "cannot read " + path_ + ": " + (got < 0 ? Reason() : "it became shorter");
        return false;
      }
      to += got;
      offset += static_cast<std::uint64_t>(got);
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  std::uint64_t size_;
  std::string path_;
};

// True when dir holds an entry spelt exactly name: on a case-insensitive
// file system a lookup also finds another spelling.
bool ExactNameThere(int dir_fd, const std::string& name) {
  // Where the other case of the name is another file or none, the file
  // system tells cases apart: no need to read the whole folder, which with
  // -o would be done once for every file.
  std::string other = name;
  for (char& c : other) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  struct stat st, st_other;
  if (other != name && fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      (fstatat(dir_fd, other.c_str(), &st_other, AT_SYMLINK_NOFOLLOW) != 0 ||
       st.st_ino != st_other.st_ino || st.st_dev != st_other.st_dev)) {
    return true;
  }
  int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return false;
  }
  bool found = false;
  while (struct dirent* de = readdir(d)) {
    if (name == de->d_name) {
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

std::atomic<unsigned> temp_counter{0};

std::string PrivateName(unsigned) {
  return ".trx-" + std::to_string(getpid()) + "-" + std::to_string(temp_counter.fetch_add(1));
}

// Written unnamed (O_TMPFILE) or under a private name, and given its real
// name only once complete and checked: a kill at any moment leaves no short
// file under a real name. The name never replaces a file without overwrite.
class PosixFile : public NewFile {
 public:
  PosixFile(DirPtr dir, base::UnnamedFile file, std::string name, bool overwrite)
      : dir_(std::move(dir)), file_(std::move(file)), name_(std::move(name)),
        overwrite_(overwrite) {
    folder_.handle = dir_->fd;
    fd_ = static_cast<int>(file_.handle);
  }
  ~PosixFile() override {
    if (fd_ >= 0) close(fd_);
    if (!file_.temp.empty()) unlinkat(dir_->fd, file_.temp.c_str(), 0);
  }

  bool Write(const unsigned char* data, std::size_t n, std::string* error) override {
    while (n > 0) {
      ssize_t done = write(fd_, data, n);
      if (done < 0 && errno == EINTR && !base::Interrupted()) continue;
      if (done <= 0) {
        *error = "cannot write in " + dir_->path + ": " + Reason();
        return false;
      }
      data += done;
      n -= static_cast<std::size_t>(done);
    }
    return true;
  }

  bool Commit(std::int64_t mtime, std::int32_t mode, std::string* error) override {
    const struct timespec times[2] = {{static_cast<time_t>(mtime), 0},
                                      {static_cast<time_t>(mtime), 0}};
    // Made private; the recorded bits only once complete.
    const mode_t bits = static_cast<mode_t>((mode < 0 ? 0666 : mode) & AllowedMode());
    if (futimens(fd_, times) != 0 || fchmod(fd_, bits) != 0) return Failed(error);
    if (!Name()) {
      if (errno == EEXIST) {
        *error = "it appeared meanwhile; not replaced (-o replaces it)";
        return false;
      }
      return Failed(error);
    }
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    return closed || Failed(error);
  }

 private:
  bool Failed(std::string* error) {
    *error = "cannot finish it: " + Reason();
    return false;
  }

  // The real name, in one step.
  bool Name() {
    return base::NameFile(folder_, &file_, name_,
                          overwrite_ ? base::Replace::kOver : base::Replace::kNever, PrivateName);
  }

  DirPtr dir_;
  base::Folder folder_;
  base::UnnamedFile file_;  // its temp: the private name while it has one
  int fd_;
  std::string name_;
  bool overwrite_;
};

// What is there under name, for a file that cannot be made.
Put WhatIsThere(int dir_fd, const std::string& name, std::string* error) {
  struct stat st;
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Put::kDone;
  if (!ExactNameThere(dir_fd, name)) {
    *error = "the file system takes it for another name there (another case?)";
    return Put::kRefused;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = "a folder of that name is there";
    return Put::kRefused;
  }
  *error = Kind(st) + " is there";
  return Put::kExists;
}

}  // namespace

std::shared_ptr<base::Source> OpenInput(const std::string& path, std::string* error) {
  // O_NONBLOCK: a FIFO or a device is refused, not waited on; on a regular
  // file it changes nothing.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  const bool opened = fd >= 0 && fstat(fd, &st) == 0;
  if (!opened || !S_ISREG(st.st_mode)) {
    *error = "cannot read " + path + ": " +
             (!opened ? Reason() : "it is " + Kind(st) + ", not a regular file");
    if (fd >= 0) close(fd);
    return nullptr;
  }
  return std::make_shared<InputFile>(fd, static_cast<std::uint64_t>(st.st_size), path);
}

DirPtr OpenDestination(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
    *error = "cannot make " + path + ": " + Reason();
    return nullptr;
  }
  auto dir = std::make_shared<Dir>();
  dir->fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  dir->path = path;
  if (dir->fd < 0) {
    const bool not_folder = errno == ENOTDIR || errno == ENOENT || errno == ELOOP;
    *error = not_folder ? "cannot extract into " + path + ": " + NoFolderThere(path)
                        : "cannot open " + path + ": " + Reason();
    return nullptr;
  }
  return dir;
}

DirPtr EnterFolder(const DirPtr& parent, const std::string& name, bool create,
                   std::string* error) {
  bool existed = true;
  if (create) {
    existed = mkdirat(parent->fd, name.c_str(), 0777) != 0;
    if (existed && errno != EEXIST) {
      *error = "cannot make folder: " + Reason();
      return nullptr;
    }
  }
  auto dir = std::make_shared<Dir>();
  dir->path = base::Join(parent->path, name);
  dir->fd = openat(parent->fd, name.c_str(),
                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir->fd < 0) {
    // Linux says ENOTDIR for a link under O_DIRECTORY | O_NOFOLLOW: what is
    // there is looked at, not the error.
    const std::string reason = Reason();
    struct stat st;
    if ((errno == ELOOP || errno == ENOTDIR) &&
        fstatat(parent->fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
      *error = Kind(st) + (S_ISLNK(st.st_mode) ? " is there, which is not followed"
                                               : " is there, not a folder");
    } else {
      *error = "cannot open: " + reason;
    }
    return nullptr;
  }
  if (create && existed && !ExactNameThere(parent->fd, name)) {
    *error = "the file system takes it for another name there (another case?)";
    return nullptr;
  }
  return dir;
}

std::unique_ptr<NewFile> NewFile::Create(const DirPtr& dir, const std::string& name,
                                         bool overwrite, Put* status, std::string* error) {
  *status = WhatIsThere(dir->fd, name, error);
  if (*status == Put::kRefused || (*status == Put::kExists && !overwrite)) return nullptr;
  *status = Put::kFailed;
  base::Folder folder;
  folder.handle = dir->fd;
  base::UnnamedFile made;
  // Where the file system has no unnamed files, a private name, removed
  // again by anything but SIGKILL.
  if (base::MakeUnnamedFile(folder, base::Access::kWrite, PrivateName, &made)) {
    return std::unique_ptr<NewFile>(new PosixFile(dir, std::move(made), name, overwrite));
  }
  *error = "cannot create a file in " + dir->path + ": " + Reason();
  return nullptr;
}

std::FILE* AnonymousTempFile(std::string* error) {
  // tmpfile() would take /tmp whatever TMPDIR says.
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string dir = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // No unnamed files there: named for the moment it takes to unlink it.
    std::string name = base::Join(dir, ".trx-XXXXXX");
    fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd >= 0 && unlink(name.c_str()) != 0) {
      close(fd);
      fd = -1;
    }
  }
  std::FILE* f = fd < 0 ? nullptr : fdopen(fd, "w+b");
  if (f == nullptr) {
    *error = "cannot make a temporary file in " + dir + ": " + Reason();
    if (fd >= 0) close(fd);
  }
  return f;
}

std::uint32_t AllowedMode() {
  static const mode_t mask = [] {
    mode_t m = umask(0);
    umask(m);
    return m;
  }();
  return 0777 & ~mask;
}

}  // namespace extract
