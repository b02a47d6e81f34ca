// Archivers on POSIX: found along PATH as the shell finds them, started
// with posix_spawn and waited for; signals passed on to them.
#include "folder_tool/spawn.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "base/system.h"
#include "folder_tool/folder_tool.h"
#include "folder_tool/interruption.h"
#include "folder_tool/say.h"

extern char** environ;

namespace trevask {
namespace platform {

// Each path is one argument, within the kernel's cap once it fits.
std::string ArchiverLineProblem(const std::vector<std::string>&) { return std::string(); }

namespace {

// The shell's search: every folder of PATH in order, an empty one meaning
// the current folder; the first executable regular file wins.
bool FindProgram(const std::string& name, std::string* found) {
  static std::mutex guard;
  static std::map<std::string, std::string> known;
  std::lock_guard<std::mutex> hold(guard);
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

// The archivers running, for a signal handler to reach: a slot holds a
// process id until that process has ended, before it is reaped, so that no
// later process of the same id is reached.
constexpr int kRunningSlots = 128;
std::atomic<int> running[kRunningSlots];

int Register(pid_t pid) {
  for (int i = 0; i < kRunningSlots; ++i) {
    int empty = 0;
    if (running[i].compare_exchange_strong(empty, pid)) return i;
  }
  return -1;
}

void Unregister(int slot) {
  if (slot >= 0) running[slot].store(0);
}

// Waits until pid has ended, leaving it to be reaped; false when it cannot
// be waited for, or (errno EINTR) once the run is interrupted.
bool AwaitEnd(pid_t pid) {
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR || base::Interrupted() != 0) return false;
  }
  return true;
}

}  // namespace

void ForwardToArchiver(int sig) { StopArchivers(sig); }

void KillArchivers() { StopArchivers(SIGKILL); }

void StopArchivers(int sig) {
  for (auto& slot : running) {
    const int pid = slot.load();
    if (pid > 0) kill(pid, sig);
  }
}

namespace {

void SleepMilliseconds(long ms) {
  struct timespec t = {0, ms * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

// Reaps pid once it has ended, its slot freed first; -1 when it cannot.
int Reap(pid_t pid, int slot) {
  Unregister(slot);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// After an interruption the archiver has a moment to clean up; a worker
// stuck in the kernel must not keep the run alive.
int ReapAfterInterrupt(pid_t pid, int slot) {
  for (int i = 0; i < 50; ++i) {
    siginfo_t info;
    info.si_pid = 0;
    const int done = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | WNOHANG);
    if ((done == 0 && info.si_pid == pid) || (done < 0 && errno != EINTR)) break;
    SleepMilliseconds(10);
  }
  kill(pid, SIGKILL);
  return Reap(pid, slot);
}

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

namespace {

bool SameName(const std::string& a, const std::string& b) { return a == b; }

// This process's environment with run's variables in place, read once per
// run: nothing of it is set here.
std::vector<std::string> ChildEnvironment(const ArchiverRun& run) {
  std::vector<std::string> own;
  for (char** entry = environ; *entry != nullptr; ++entry) own.emplace_back(*entry);
  // The archiver ends when this process does (archiver/archiver_fs.h): it
  // is started from a thread that lives until the archiver has ended, as
  // the kernel ties it to the starting thread.
  const long parent = run.parent_pid != 0 ? run.parent_pid : static_cast<long>(getpid());
  return MergeEnvironment(own, RunVariables(run, std::to_string(parent)), SameName);
}

}  // namespace

namespace {

// The status as system() gives it; an archiver ended by the user's
// interrupt, or by the closed pipe we share, ends the run too.
int StatusOf(int status) {
  if (status != -1 && WIFSIGNALED(status) &&
      (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT ||
       WTERMSIG(status) == SIGPIPE) &&
      base::Interrupted() == 0) {
    base::NoteInterrupted(WTERMSIG(status));
  }
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// The signals this process does not ignore: the child has each set to its
// default in one call, as its exec would leave it anyway, where posix_spawn
// would otherwise ask every signal's disposition and then set it (two calls
// a signal, on every start). An ignored signal stays ignored, as across
// exec. Read once, after the handlers of the run are in place.
const sigset_t& SignalsToDefault() {
  static const sigset_t signals = [] {
    sigset_t set;
    sigemptyset(&set);
    for (int sig = 1; sig < NSIG; ++sig) {
      struct sigaction now;
      // The C library's own signals are refused here, and left to it.
      if (sig != SIGKILL && sig != SIGSTOP && sigaction(sig, nullptr, &now) == 0 &&
          now.sa_handler != SIG_IGN) {
        sigaddset(&set, sig);
      }
    }
    return set;
  }();
  return signals;
}

// Starts args with run's environment, its handed lock, and out and err (if
// not -1) as its stdout and stderr. 0 with *pid, kCommandNotFoundStatus, or
// -1 with the reason in *why.
int Spawn(const std::vector<std::string>& args, const ArchiverRun& run, int out, int err,
          pid_t* pid, std::string* why) {
  std::string program;
  if (!FindProgram(args[0], &program)) return kCommandNotFoundStatus;
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const std::vector<std::string> environment = ChildEnvironment(run);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  // The handed lock's descriptor stays close-on-exec here; a dup2 onto
  // itself opens it in this child alone.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (run.lock.fd >= 0) posix_spawn_file_actions_adddup2(&actions, run.lock.fd, run.lock.fd);
  if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &SignalsToDefault());
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int error = posix_spawn(pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (error == 0) return 0;
  if (error == ENOENT) return kCommandNotFoundStatus;
  *why = "cannot start " + program + ": " + std::strerror(error);
  return -1;
}

class PipedArchiver : public StartedArchiver {
 public:
  PipedArchiver(pid_t pid, int slot, int out, int err) : pid_(pid), slot_(slot), fds_{out, err} {}
  ~PipedArchiver() override {
    for (int fd : fds_) close(fd);
  }
  // Once the archiver has ended, all it wrote is in the pipe: that is read,
  // and then its output has ended, though a process it started may hold
  // the pipe open (as one at a time, whose wait is for the archiver alone).
  long Read(int stream, char* buffer, std::size_t size) override {
    bool ended = false;
    while (true) {
      struct pollfd ready = {fds_[stream], POLLIN, 0};
      const int polled = poll(&ready, 1, ended ? 0 : kEndCheckMilliseconds);
      if (polled < 0 && errno != EINTR) return -1;
      if (polled > 0) {
        const ssize_t n = read(fds_[stream], buffer, size);
        if (n >= 0 || errno != EINTR) return n;
      } else if (polled == 0) {
        if (ended) return 0;
        ended = HasEnded();
      }
    }
  }
  // An interrupted run's archivers are stopped by whoever waits for all.
  int Wait() override {
    while (!AwaitEnd(pid_) && errno == EINTR) {
    }
    return StatusOf(Reap(pid_, slot_));
  }

 private:
  static constexpr int kEndCheckMilliseconds = 100;

  // Ended, not yet reaped.
  bool HasEnded() const {
    siginfo_t info;
    info.si_pid = 0;
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_;
  }

  pid_t pid_;
  int slot_;
  int fds_[2];
};

}  // namespace

int RunArchiverProgram(const std::vector<std::string>& args, const ArchiverRun& run,
                       bool* started) {
  ExitIfInterrupted();
  pid_t pid = 0;
  std::string why;
  const int spawned = Spawn(args, run, -1, -1, &pid, &why);
  if (spawned == kCommandNotFoundStatus) return spawned;
  if (spawned != 0) {
    base::Say("%s", why.c_str());
    *started = false;
    return -1;
  }
  const int slot = Register(pid);
  if (base::Interrupted() != 0) kill(pid, base::Interrupted());
  if (!run.read_ahead.empty()) ReadAhead(run.read_ahead);
  int status = -1;
  if (AwaitEnd(pid)) {
    status = Reap(pid, slot);
  } else if (errno == EINTR) {
    status = ReapAfterInterrupt(pid, slot);
  } else {
    Unregister(slot);
  }
  const int result = StatusOf(status);
  ExitIfInterrupted();
  return result;
}

std::unique_ptr<StartedArchiver> StartArchiverProgram(const std::vector<std::string>& args,
                                                      const ArchiverRun& run, int* status,
                                                      std::string* why) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *status = -1;
    *why = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    *status = -1;
    *why = std::string("cannot make a pipe: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return nullptr;
  }
  pid_t pid = 0;
  *status = Spawn(args, run, out[1], err[1], &pid, why);
  close(out[1]);
  close(err[1]);
  if (*status != 0) {
    close(out[0]);
    close(err[0]);
    return nullptr;
  }
  const int slot = Register(pid);
  if (base::Interrupted() != 0) kill(pid, base::Interrupted());
  if (!run.read_ahead.empty()) ReadAhead(run.read_ahead);
  return std::make_unique<PipedArchiver>(pid, slot, out[0], err[0]);
}

bool ProgramFound(const std::string& name) {
  std::string found;
  return FindProgram(name, &found);
}

std::string ArchiverText(const std::string& name) { return name; }

}  // namespace platform
}  // namespace trevask
