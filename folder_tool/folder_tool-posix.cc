// FolderTool on POSIX: readdir, mkdir, archivers started with posix_spawn
// and waited for, removal with unlinkat.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "base/path.h"
#include "base/system.h"
#include "base/update_lock.h"
#include "folder_tool/folder_tool.h"
#include "folder_tool/name_rules.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/platform.h"
#include "folder_tool/say.h"
#include "folder_tool/resolve-posix.h"

extern char** environ;

namespace trevask {

const size_t kMaxPathLength = PATH_MAX - 1;
// One argument is capped by the kernel at 32 pages (MAX_ARG_STRLEN)
// including its terminator; paths are shorter still.
const size_t kMaxCommandLength = 32 * 4096 - 1;
// The same cap holds for each NAME=VALUE of the environment.
const size_t kMaxVariableLength = 32 * 4096 - 1;
// The shell's status for a command it cannot find.
const int kCommandNotFoundStatus = 127;

int FolderTool::ScanSubfolders(const std::string& dir,
                               std::vector<std::string>* names, int store) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int count = 0;
  while (struct dirent* entry = readdir(d)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      // A link counts by what it leads to, as a folder would for zip -r.
      struct stat st;
      std::string child = base::Join(dir, name);
      is_dir = stat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    if (!is_dir) continue;
    if (store != 0 && names != nullptr) names->push_back(name);
    ++count;
  }
  closedir(d);
  return count;
}

bool ArgumentsCarried(std::string*) { return true; }

bool NativeArgumentPath(const std::string& arg, std::string* path, std::string*) {
  *path = arg;
  return true;
}

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

std::string ResolvePath(const std::string& path, const ResolveVisitor& visit) {
  std::vector<std::string> pending;
  auto push_front = [&pending](const std::string& text) {
    std::vector<std::string> parts;
    PathComponents components(text);
    while (components.Next()) parts.push_back(components.Name());
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
  };
  if (path.empty() || path[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) return "";
    push_front(std::string(cwd) + "/" + path);
    std::free(cwd);
  } else {
    push_front(path);
  }
  std::vector<std::string> done;
  auto joined = [&done] {
    std::string out;
    for (const std::string& part : done) out += "/" + part;
    return out.empty() ? std::string("/") : out;
  };
  struct stat st;
  if (visit && !visit("/", lstat("/", &st) == 0 ? &st : nullptr)) return "";
  int hops = 0;
  while (!pending.empty()) {
    std::string part = pending.back();
    pending.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      if (!done.empty()) done.pop_back();
      continue;
    }
    done.push_back(part);
    std::string here = joined();
    const bool exists = lstat(here.c_str(), &st) == 0;
    if (visit && !visit(here, exists ? &st : nullptr)) return "";
    if (hops < 40 && exists && S_ISLNK(st.st_mode)) {
      std::vector<char> target(PATH_MAX + 1);
      ssize_t n = readlink(here.c_str(), target.data(), PATH_MAX);
      if (n < 0) continue;
      ++hops;
      done.pop_back();
      std::string text(target.data(), static_cast<size_t>(n));
      if (!text.empty() && text[0] == '/') done.clear();
      push_front(text);
    }
  }
  return joined();
}

std::string AbsolutePath(const std::string& path) {
  // Like realpath, but also through the parts that do not exist yet, and
  // through links that lead to such parts: a link that will lead into the
  // mirror folder once the walk has made it must be seen as doing so.
  std::string absolute = ResolvePath(path, nullptr);
  return absolute.empty() ? path : absolute;
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

namespace platform {

// Each path is one argument, within the kernel's cap once it fits.
std::string ArchiverLineProblem(const std::vector<std::string>&) { return std::string(); }

bool CreateOneDirectory(const std::string& path, std::string* error) {
  // The mirror tree holds copies of the user's files: the user's alone.
  if (mkdir(path.c_str(), 0700) == 0) return true;
  *error = std::strerror(errno);
  return false;
}

namespace {

// The shell's search: every folder of PATH in order, an empty one meaning
// the current folder; the first executable regular file wins.
bool FindProgram(const std::string& name, std::string* found) {
  static std::map<std::string, std::string> known;
  auto it = known.find(name);
  if (it != known.end()) {
    *found = it->second;
    return true;
  }
  const char* env = std::getenv("PATH");
  std::string path = env != nullptr ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t pos = 0;
  while (true) {
    size_t end = path.find(':', pos);
    std::string folder = path.substr(pos, end == std::string::npos ? end : end - pos);
    std::string candidate = folder.empty() ? name : folder + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      // Relative folders of PATH stay as the shell would use them.
      if (candidate.find('/') == std::string::npos) candidate = "./" + candidate;
      known[name] = candidate;
      *found = candidate;
      return true;
    }
    if (end == std::string::npos) return false;
    pos = end + 1;
  }
}

volatile sig_atomic_t running_child = 0;
void (*interrupt_cleanup)() = nullptr;

// Passed on at once, so that the archiver ends with the run.
void ForwardToArchiver(int sig) {
  pid_t child = running_child;
  if (child > 0) kill(child, sig);
}

void SleepMilliseconds(long ms) {
  struct timespec t = {0, ms * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

// After an interruption the archiver has a moment to clean up; a worker
// stuck in the kernel must not keep the run alive.
int ReapAfterInterrupt(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 50; ++i) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return status;
    SleepMilliseconds(10);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

namespace {

// Enough to keep the disk busy while one archiver runs, not so much that it
// pushes out what that archiver is reading.
constexpr off_t kReadAheadBytes = 64 << 20;

void ReadAhead(const std::string& folder) {
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return;
  off_t asked = 0;
  while (struct dirent* entry = readdir(d)) {
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    // Never a FIFO's open, which could block: non-blocking, then checked.
    int fd = openat(dirfd(d), entry->d_name,
                    O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
      asked += st.st_size;
    }
    close(fd);
    if (asked >= kReadAheadBytes || base::Interrupted() != 0) break;
  }
  closedir(d);
}

}  // namespace

int RunArchiverProgram(const std::vector<std::string>& args, const std::string& read_ahead,
                       bool* started) {
  ExitIfInterrupted();
  std::string program;
  if (!FindProgram(args[0], &program)) return kCommandNotFoundStatus;
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // The archiver ends when this process does (archiver/archiver_fs.h): it
  // is started from the main thread, which lives until the run ends.
  SetChildVariable("TREVASK_PARENT_PID", std::to_string(getpid()));
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  int error = posix_spawn(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (error != 0) {
    if (error == ENOENT) return kCommandNotFoundStatus;
    base::Say("cannot start %s: %s", program.c_str(), std::strerror(error));
    *started = false;
    return -1;
  }
  running_child = pid;
  if (base::Interrupted() != 0) kill(pid, base::Interrupted());
  if (!read_ahead.empty()) ReadAhead(read_ahead);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      status = -1;
      break;
    }
    if (base::Interrupted() != 0) {
      status = ReapAfterInterrupt(pid);
      break;
    }
  }
  running_child = 0;
  if (status != -1 && WIFSIGNALED(status) &&
      (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT ||
       WTERMSIG(status) == SIGPIPE) &&
      base::Interrupted() == 0) {
    // The user's interrupt, or the closed pipe we share, reached only the
    // archiver: it ends the run too.
    base::NoteInterrupted(WTERMSIG(status));
  }
  ExitIfInterrupted();
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

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

int RemoveTree(const std::string& path, const base::FileId* expected) {
  const std::string parent = base::ParentFolder(path);
  const std::string name = base::BaseName(path);
  int dir = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  int fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int result = 0;
  base::FileId found;
  if (fd < 0) {
    // rm -rf takes a link or a file in place of the folder itself.
    if (expected != nullptr) {
      result = -2;
    } else if ((errno == ENOTDIR || errno == ELOOP) && unlinkat(dir, name.c_str(), 0) != 0) {
      result = 1;
    } else if (errno != ENOTDIR && errno != ELOOP && errno != ENOENT) {
      result = 1;
    }
  } else if (expected != nullptr && (!base::GetOpenFileId(fd, &found) || found != *expected)) {
    close(fd);
    result = -2;
  } else {
    result = RemoveOpen(dir, name.c_str(), fd) ? 0 : 1;
  }
  close(dir);
  return result;
}

bool PathTextEqual(const std::string& a, const std::string& b) {
  return base::SameNameText(a, b);
}

std::string ArchiverText(const std::string& name) { return name; }

void SetChildVariable(const char* name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
}


}  // namespace platform

void InstallInterruptHandling(void (*cleanup)()) {
  platform::interrupt_cleanup = cleanup;
  base::InstallInterruptHandlers(platform::ForwardToArchiver);
}

void ExitIfInterrupted() {
  int sig = base::Interrupted();
  if (sig == 0) return;
  // Cleanup is not to be interrupted by a second signal.
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, nullptr);
  if (platform::interrupt_cleanup != nullptr) platform::interrupt_cleanup();
  std::fflush(stdout);
  signal(sig, SIG_DFL);
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, sig);
  raise(sig);
  sigprocmask(SIG_UNBLOCK, &just, nullptr);
  _exit(128 + sig);
}

bool FolderIsWritable(const std::string& folder, std::string* reason) {
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return true;
  *reason = std::strerror(errno);
  return false;
}

bool ArchiverFound(ArchiverKind kind) {
  std::string found;
  return platform::FindProgram(ArchiverCommandName(kind), &found);
}

namespace {

struct PosixLocks {
  std::vector<int> fds;
  int bundle_fd = -1;
};

struct Wanted {
  base::FileId id;
  std::string path;
  bool exclusive;
  std::string what;  // for the line that says why a run waits
};

// The folders above path that belong to the user, the nearest first; for
// root every one up to "/".
std::vector<std::string> OwnFoldersAbove(const std::string& path) {
  std::vector<std::string> out;
  std::string at = AbsolutePath(path);
  while (at != "/") {
    at = base::ParentFolder(at);
    struct stat st;
    if (stat(at.c_str(), &st) != 0 || st.st_uid != geteuid()) break;
    out.push_back(at);
  }
  return out;
}

}  // namespace

RunLocks::~RunLocks() {
  auto* held = static_cast<PosixLocks*>(held_);
  if (held == nullptr) return;
  for (int fd : held->fds) close(fd);
  if (held->bundle_fd >= 0) unsetenv("TREVASK_UPDATE_LOCK");
  delete held;
}

bool RunLocks::Acquire(const std::string& temp_root, const std::string& bundle,
                       std::string* error) {
  std::vector<Wanted> wanted;
  auto want = [&](const std::string& path, bool exclusive, const char* what) {
    Wanted w{{}, path, exclusive, what};
    if (!base::GetFileId(path, &w.id)) {
      *error = path + ": " + std::strerror(errno);
      return false;
    }
    for (Wanted& other : wanted) {
      if (other.id == w.id) {
        other.exclusive = other.exclusive || exclusive;
        if (other.what != what) other.what += std::string(" and ") + what;
        return true;
      }
    }
    wanted.push_back(w);
    return true;
  };
  std::string target;
  if (!base::FinalTarget(bundle, &target, error)) return false;
  const std::string bundle_folder = base::ParentFolder(target);
  if (!want(temp_root, true, "TempFolder") ||
      !want(bundle_folder, true, "the folder of DstFileName")) {
    return false;
  }
  for (const std::string& above : OwnFoldersAbove(temp_root)) {
    if (!want(above, false, "a folder above TempFolder")) return false;
  }
  base::FileId bundle_id;
  base::GetFileId(bundle_folder, &bundle_id);
  // One order for every run, so that no two runs each hold what the other
  // waits for.
  std::sort(wanted.begin(), wanted.end(), [](const Wanted& a, const Wanted& b) {
    return std::make_pair(a.id.volume, a.id.low) < std::make_pair(b.id.volume, b.id.low);
  });
  auto* held = new PosixLocks;
  held_ = held;
  for (const Wanted& w : wanted) {
    int fd = open(w.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      *error = w.path + ": " + std::strerror(errno);
      return false;
    }
    held->fds.push_back(fd);
    const int mode = w.exclusive ? LOCK_EX : LOCK_SH;
    if (flock(fd, mode | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) {
        *error = w.path + ": " + std::strerror(errno);
        return false;
      }
      base::Say("waiting for another run that uses %s (%s)", AbsolutePath(w.path).c_str(),
                w.what.c_str());
      while (flock(fd, mode) != 0) {
        if (errno != EINTR) {
          *error = w.path + ": " + std::strerror(errno);
          return false;
        }
        ExitIfInterrupted();
      }
    }
    if (w.id == bundle_id) {
      held->bundle_fd = fd;
    }
  }
  return true;
}

void RunLocks::HandBundleToChildren() {
  auto* held = static_cast<PosixLocks*>(held_);
  if (held == nullptr || held->bundle_fd < 0) return;
  base::HandLockToChildren(held->bundle_fd);
}

}  // namespace trevask
