#include <dirent.h>
#include <time.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

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
    entry.mode = static_cast<std::uint32_t>(st.st_mode);
    if (!ok && S_ISLNK(lst.st_mode) && (errno == ENOENT || errno == ENOTDIR)) {
      entry.why_skipped = "a link that leads nowhere";
    } else if (!ok && S_ISLNK(lst.st_mode) && (errno == ELOOP || errno == ENAMETOOLONG)) {
      entry.why_skipped = "a link that cannot be resolved";
    } else if (!ok) {
      entry.type = Entry::kUnreadable;
      entry.why_skipped = std::strerror(errno);
      entry.maybe_folder = de->d_type == DT_DIR;
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

namespace {
bool pinned = false;
FolderId pinned_id;
}  // namespace

bool GetFolderId(const std::string& dir, FolderId* id, std::string* error) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = dir + ": " + (errno != 0 ? std::strerror(errno) : "not a folder");
    return false;
  }
  id->volume = static_cast<std::uint64_t>(st.st_dev);
  id->high = 0;
  id->low = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

void PinArchiveFolder(const FolderId& id) {
  pinned = true;
  pinned_id = id;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::int64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

Opened OpenRegular(const std::string& path, FileHandle* handle, std::string* error) {
  *handle = kNoFile;
  // O_NONBLOCK: opening a FIFO or a device must not wait for the other end.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    int why = errno;
    // A socket cannot be opened at all.
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      *error = "not a regular file";
      return Opened::kNotRegular;
    }
    *error = "cannot open " + path + ": " + std::strerror(why);
    return Opened::kFailed;
  }
  if (fstat(fd, &st) != 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    close(fd);
    return Opened::kFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "not a regular file";
    close(fd);
    return Opened::kNotRegular;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    close(fd);
    return Opened::kFailed;
  }
  *handle = fd;
  return Opened::kFile;
}

void CloseSource(FileHandle handle) {
  if (handle != kNoFile) close(static_cast<int>(handle));
}

bool ReadRange(FileHandle handle, const std::string& path, std::uint64_t offset,
               std::size_t length, bool at_end, std::vector<unsigned char>* out,
               std::string* error) {
  int fd = static_cast<int>(handle);
  out->resize(length);
  std::size_t got = 0;
  while (got < length) {
    ssize_t n = pread(fd, out->data() + got, length - got,
                      static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR && !Interrupted()) continue;
    if (n <= 0) {
      *error = n < 0 ? "cannot read " + path + ": " + std::strerror(errno)
                     : path + " became shorter while it was read";
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  if (at_end) {
    unsigned char extra;
    ssize_t n = pread(fd, &extra, 1, static_cast<off_t>(offset + length));
    if (n != 0) {
      *error = n < 0 ? "cannot read " + path + ": " + std::strerror(errno)
                     : path + " grew while it was read";
      return false;
    }
  }
  return true;
}

std::FILE* OpenForReading(const std::string& path, int* error_number) {
  FileHandle fd;
  std::string error;
  Opened opened = OpenRegular(path, &fd, &error);
  std::FILE* f = nullptr;
  if (opened == Opened::kFile) {
    f = fdopen(static_cast<int>(fd), "rb");
    if (f == nullptr) CloseSource(fd);
  }
  *error_number = f ? 0 : opened == Opened::kNotRegular ? EINVAL : errno;
  return f;
}

bool SeekFile(std::FILE* f, std::int64_t offset, int whence) {
  return fseeko(f, static_cast<off_t>(offset), whence) == 0;
}

std::int64_t TellFile(std::FILE* f) { return ftello(f); }

bool RegularOrAbsent(const std::string& path, std::string* error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;
  *error = path + ": not a regular file";
  return false;
}

namespace {

void SplitPath(const std::string& path, std::string* dir, std::string* base) {
  size_t slash = path.rfind('/');
  *dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *base = slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name of this run's own: pid, time and a counter.
std::string UniqueName() {
  static unsigned counter = 0;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  unsigned long long mix = (static_cast<unsigned long long>(getpid()) << 40) ^
                           (static_cast<unsigned long long>(now.tv_nsec) << 8) ^
                           static_cast<unsigned long long>(now.tv_sec) ^ ++counter;
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string name = ".pkz-";
  for (int i = 0; i < 8; ++i, mix /= 36) name += kDigits[mix % 36];
  return name;
}

// Gives an unnamed file a name in dir; fails with EEXIST if it is taken.
bool LinkUnnamed(int fd, int dirfd, const std::string& name) {
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, proc.c_str(), dirfd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return true;
  }
  if (errno == EEXIST) return false;
  // Without /proc: the direct form, which needs CAP_DAC_READ_SEARCH.
  return linkat(fd, "", dirfd, name.c_str(), AT_EMPTY_PATH) == 0;
}

}  // namespace

bool CreateBeside(const std::string& path, NewFile* out, std::string* error) {
  std::string dir, base;
  SplitPath(path, &dir, &base);
  mode_t mode;
  struct stat st;
  const bool existing = stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (existing) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  *out = NewFile();
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // No unnamed files on this file system: a short name of our own.
    out->temp = (path.rfind('/') == std::string::npos ? "" : dir + "/") + ".pkz-XXXXXX";
    fd = mkstemp(&out->temp[0]);
    if (fd < 0) out->temp.clear();
  }
  if (fd < 0) {
    *error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return false;
  }
  // The old group before the mode: a change of group clears the setgid bit
  // of a group-executable file. Only a member of the group may give it
  // (EPERM), and a group this user namespace does not map cannot be given
  // (EINVAL): the new file then keeps ours.
  if (existing && fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0 && errno != EPERM &&
      errno != EINVAL) {
    *error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    close(fd);
    Discard(out);
    return false;
  }
  fchmod(fd, mode);
  out->native = fd;
  out->file = fdopen(fd, "w+b");
  if (out->file == nullptr) {
    *error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    close(fd);
    Discard(out);
    return false;
  }
  return true;
}

bool Commit(NewFile* out, const std::string& path, std::string* error) {
  auto fail = [&](int why) {
    *error = "cannot write " + path + ": " + std::strerror(why);
    Discard(out);
    errno = why;
    return false;
  };
  if (std::fflush(out->file) != 0 || std::ferror(out->file)) return fail(errno);
  if (!out->temp.empty()) {
    if (rename(out->temp.c_str(), path.c_str()) != 0) return fail(errno);
    out->temp.clear();
  } else {
    std::string dir, base;
    SplitPath(path, &dir, &base);
    int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) return fail(errno);
    struct stat st;
    if (pinned && (fstat(dirfd, &st) != 0 || static_cast<std::uint64_t>(st.st_dev) != pinned_id.volume ||
                   static_cast<std::uint64_t>(st.st_ino) != pinned_id.low)) {
      close(dirfd);
      // Replaced since it was checked: the unnamed file goes with us.
      *error = "cannot write " + path + ": its folder was replaced while it was written";
      Discard(out);
      return false;
    }
    int fd = static_cast<int>(out->native);
    // A new archive gets its name in one step; an existing one is replaced
    // by a link under a name of our own renamed over it, the only window in
    // which a killed run could leave a file behind.
    bool named = LinkUnnamed(fd, dirfd, base);
    for (int attempt = 0; !named && errno == EEXIST && attempt < 100; ++attempt) {
      std::string temp = UniqueName();
      if (!LinkUnnamed(fd, dirfd, temp)) continue;
      if (renameat(dirfd, temp.c_str(), dirfd, base.c_str()) != 0) {
        int why = errno;
        unlinkat(dirfd, temp.c_str(), 0);
        errno = why;
        break;
      }
      named = true;
    }
    int why = errno;
    close(dirfd);
    if (!named) return fail(why);
  }
  int closed = std::fclose(out->file);
  out->file = nullptr;
  if (closed != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void Discard(NewFile* out) {
  if (out->file != nullptr) std::fclose(out->file);
  out->file = nullptr;
  if (!out->temp.empty()) unlink(out->temp.c_str());
  out->temp.clear();
}

bool LocalTime(std::int64_t t, std::tm* tm) {
  std::time_t tt = static_cast<std::time_t>(t);
  return tt == t && localtime_r(&tt, tm) != nullptr;
}

std::string LastErrorText() { return std::strerror(errno); }

namespace {
volatile sig_atomic_t interrupted = 0;
const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

extern "C" void OnInterrupt(int sig) { interrupted = sig; }
}  // namespace

void InstallInterruptHandlers() {
  // Beyond ulimit -f a write fails with EFBIG, like on a full disk, and the
  // run fails cleanly instead of dying with its file half written.
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (int sig : kInterrupts) {
    struct sigaction old;
    // A signal ignored by whoever started us stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
}

int Interrupted() { return interrupted; }

void ExitInterrupted() {
  int sig = interrupted ? interrupted : SIGTERM;
  signal(sig, SIG_DFL);
  raise(sig);
  _exit(128 + sig);
}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

namespace {
// Also when SIGPIPE is ignored, and so never reached the handler.
void NoteBrokenPipe() {
  if (errno == EPIPE && !interrupted) interrupted = SIGPIPE;
}
}  // namespace

void WriteText(std::FILE* stream, const std::string& text) {
  if (std::fputs(text.c_str(), stream) == EOF) NoteBrokenPipe();
}

bool FlushText(std::FILE* stream) {
  if (std::fflush(stream) == 0 && !std::ferror(stream)) return true;
  NoteBrokenPipe();
  return false;
}

}  // namespace archiver
