#include <dirent.h>
#include <sched.h>
#include <time.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/system.h"

#include "base/file_id.h"
#include "base/path.h"
#include "base/threads.h"

namespace base {

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
    std::string path = Join(dir, entry.name);
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
      entry.skipped = Entry::Skipped::kDeadLink;
      entry.why_skipped = "a link that leads nowhere";
    } else if (!ok && S_ISLNK(lst.st_mode) && (errno == ELOOP || errno == ENAMETOOLONG)) {
      entry.skipped = Entry::Skipped::kUnresolvedLink;
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
      entry.skipped = Entry::Skipped::kFolderLink;
      entry.why_skipped = "a link to a folder";
    } else {
      entry.skipped = Entry::Skipped::kSpecial;
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

bool GetFileId(const std::string& path, FileId* id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  id->volume = static_cast<unsigned long long>(st.st_dev);
  id->high = 0;
  id->low = static_cast<unsigned long long>(st.st_ino);
  return true;
}

bool GetOpenFileId(std::intptr_t native, FileId* id) {
  struct stat st;
  if (fstat(static_cast<int>(native), &st) != 0) return false;
  id->volume = static_cast<unsigned long long>(st.st_dev);
  id->high = 0;
  id->low = static_cast<unsigned long long>(st.st_ino);
  return true;
}

std::string FinalPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string out = real;
  std::free(real);
  return out;
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
  // Of the status flags only O_NONBLOCK was asked for.
  if (fcntl(fd, F_SETFL, 0) != 0) {
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

bool StateOf(FileHandle handle, FileState* state) {
  struct stat st;
  if (fstat(static_cast<int>(handle), &st) != 0) return false;
  state->size = static_cast<std::uint64_t>(st.st_size);
  state->written = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  state->changed = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return true;
}

bool ReadInto(FileHandle handle, const std::string& path, const FileRange& range,
              unsigned char* into, std::string* error) {
  const std::uint64_t offset = range.offset;
  const std::size_t length = range.length;
  const bool at_end = range.at_end;
  int fd = static_cast<int>(handle);
  std::size_t got = 0;
  // With at_end one byte more is asked for: the read that comes short of it
  // proves the end without a call of its own.
  unsigned char extra;
  while (at_end || got < length) {
    iovec parts[2] = {{into + got, length - got}, {&extra, 1}};
    ssize_t n = preadv(fd, parts, at_end ? 2 : 1, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR && !Interrupted()) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      return false;
    }
    got += static_cast<std::size_t>(n);
    if (got > length) {
      *error = path + " grew while it was read";
      return false;
    }
    if (at_end && got == length) return true;
    if (n == 0) {
      *error = path + " became shorter while it was read";
      return false;
    }
  }
  return true;
}

bool ReadRange(FileHandle handle, const std::string& path, const FileRange& range,
               std::vector<unsigned char>* out, std::string* error) {
  out->resize(range.length);
  return ReadInto(handle, path, range, out->data(), error);
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


bool LocalTime(std::int64_t t, std::tm* tm) {
  std::time_t tt = static_cast<std::time_t>(t);
  return tt == t && localtime_r(&tt, tm) != nullptr;
}

std::string LastErrorText() { return std::strerror(errno); }

namespace {
volatile sig_atomic_t interrupted = 0;
void (*also_on_interrupt)(int) = nullptr;
// SIGPIPE: the reader has gone (| head -1), so nothing more is wanted.
const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

extern "C" void OnInterrupt(int sig) {
  if (interrupted == 0) interrupted = sig;
  if (also_on_interrupt != nullptr) also_on_interrupt(sig);
}
}  // namespace

void InstallInterruptHandlers(void (*also)(int)) {
  also_on_interrupt = also;
  // Beyond ulimit -f a write fails with EFBIG, like on a full disk, and the
  // run fails cleanly instead of dying with its file half written.
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait for a child or for a lock returns at once.
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

void NoteInterrupted(int sig) {
  if (!interrupted) interrupted = sig;
}

// Also when SIGPIPE is ignored, and so never reached the handler.
void NoteOutputError() {
  if (errno == EPIPE && !interrupted) interrupted = SIGPIPE;
}

void WriteText(std::FILE* stream, const std::string& text) {
  if (std::fputs(text.c_str(), stream) == EOF) NoteOutputError();
}

int UsableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int n = CPU_COUNT(&set);
  return n < 1 ? 1 : (n > 64 ? 64 : n);
}

namespace {

// Once an interrupted run has given up on a reader that stopped reading,
// nothing more is passed on.
std::atomic<bool> gave_up{false};
constexpr int kPollMilliseconds = 100;
constexpr int kGraceMilliseconds = 1000;

}  // namespace

// In pieces that a pipe with room takes at once, so that a write waits
// only in poll: an interrupted run gives up on a reader that has stopped
// reading after a moment, rather than wait for it.
void PassOn(std::FILE* stream, const char* data, std::size_t size) {
  if (size == 0 || gave_up) return;
  if (std::fflush(stream) != 0) {
    NoteOutputError();
    return;
  }
  const int fd = fileno(stream);
  int waited = 0;
  while (size != 0) {
    struct pollfd ready = {fd, POLLOUT, 0};
    const int polled = poll(&ready, 1, kPollMilliseconds);
    if (polled < 0 && errno != EINTR) {
      NoteOutputError();
      return;
    }
    if (polled <= 0) {
      if (interrupted != 0 && (waited += kPollMilliseconds) >= kGraceMilliseconds) {
        gave_up = true;
        return;
      }
      continue;
    }
    const ssize_t n = write(fd, data, std::min<std::size_t>(size, PIPE_BUF));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      NoteOutputError();
      return;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

bool FlushText(std::FILE* stream) {
  if (std::fflush(stream) == 0 && !std::ferror(stream)) return true;
  NoteOutputError();
  return false;
}

}  // namespace base
