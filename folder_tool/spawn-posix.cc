// Archivers on POSIX: found along PATH as the shell finds them, started
// with posix_spawn and waited for; signals passed on to them.
#include "folder_tool/spawn.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

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

}  // namespace

void ForwardToArchiver(int sig) {
  pid_t child = running_child;
  if (child > 0) kill(child, sig);
}

namespace {

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
  // is started from the main thread, which lives until the run ends.
  const long parent = run.parent_pid != 0 ? run.parent_pid : static_cast<long>(getpid());
  return MergeEnvironment(own, RunVariables(run, std::to_string(parent)), SameName);
}

}  // namespace

int RunArchiverProgram(const std::vector<std::string>& args, const ArchiverRun& run,
                       bool* started) {
  ExitIfInterrupted();
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
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  int error = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    if (error == ENOENT) return kCommandNotFoundStatus;
    base::Say("cannot start %s: %s", program.c_str(), std::strerror(error));
    *started = false;
    return -1;
  }
  running_child = pid;
  if (base::Interrupted() != 0) kill(pid, base::Interrupted());
  if (!run.read_ahead.empty()) ReadAhead(run.read_ahead);
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

bool ProgramFound(const std::string& name) {
  std::string found;
  return FindProgram(name, &found);
}

std::string ArchiverText(const std::string& name) { return name; }

}  // namespace platform
}  // namespace trevask
