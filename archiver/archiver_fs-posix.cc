#include <dirent.h>
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
    if (!ok && S_ISLNK(lst.st_mode) && errno == ENOENT) {
      entry.why_skipped = "a link that leads nowhere";
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

bool ReadRange(const std::string& path, std::uint64_t offset, std::size_t length,
               bool at_end, std::vector<unsigned char>* out, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  out->resize(length);
  std::size_t got = 0;
  bool ok = true;
  while (got < length) {
    ssize_t n = pread(fd, out->data() + got, length - got,
                      static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR && !Interrupted()) continue;
    if (n <= 0) {
      ok = false;
      *error = n < 0 ? "cannot read " + path + ": " + std::strerror(errno)
                     : path + " became shorter while it was read";
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  if (ok && at_end) {
    unsigned char extra;
    ssize_t n = pread(fd, &extra, 1, static_cast<off_t>(offset + length));
    if (n != 0) {
      ok = false;
      *error = n < 0 ? "cannot read " + path + ": " + std::strerror(errno)
                     : path + " grew while it was read";
    }
  }
  close(fd);
  return ok;
}

std::FILE* OpenForReading(const std::string& path, int* error_number) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  *error_number = f ? 0 : errno;
  return f;
}

bool SeekFile(std::FILE* f, std::int64_t offset, int whence) {
  return fseeko(f, static_cast<off_t>(offset), whence) == 0;
}

std::int64_t TellFile(std::FILE* f) { return ftello(f); }

std::FILE* CreateTempBeside(const std::string& path, std::string* temp,
                            std::string* error) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  *temp = dir + ".pkz-XXXXXX";
  int fd = mkstemp(&(*temp)[0]);
  if (fd < 0) {
    *error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  // mkstemp makes the file private; an archive gets the usual permissions.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  std::FILE* f = fdopen(fd, "w+b");
  if (f == nullptr) {
    *error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    close(fd);
    unlink(temp->c_str());
  }
  return f;
}

bool PutInPlace(const std::string& temp, const std::string& path,
                 std::string* error) {
  if (rename(temp.c_str(), path.c_str()) == 0) return true;
  *error = "cannot write " + path + ": " + std::strerror(errno);
  unlink(temp.c_str());
  return false;
}

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

std::string LastErrorText() { return std::strerror(errno); }

namespace {
volatile sig_atomic_t interrupted = 0;
const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void OnInterrupt(int sig) { interrupted = sig; }
}  // namespace

void InstallInterruptHandlers() {
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

void WriteText(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
}

}  // namespace archiver
