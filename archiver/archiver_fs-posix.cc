#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archiver/archiver_fs.h"
#include "base/archiver_temp.h"
#include "base/path.h"

namespace archiver {

namespace {
bool pinned = false;
base::FileId pinned_id;
}  // namespace

bool GetFolderId(const std::string& dir, base::FileId* id, std::string* error) {
  if (!base::GetFileId(dir, id)) {
    *error = dir + ": " + std::strerror(errno);
    return false;
  }
  if (!base::IsFolder(dir)) {
    *error = dir + ": not a folder";
    return false;
  }
  return true;
}

void PinArchiveFolder(const base::FileId& id) {
  pinned = true;
  pinned_id = id;
}

namespace {

void SplitPath(const std::string& path, std::string* dir, std::string* name) {
  *dir = base::ParentFolder(path);
  *name = base::BaseName(path);
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
  std::string name = base::kArchiverTempPrefix;
  for (int i = 0; i < base::kArchiverTempLetters; ++i, mix /= 36) name += kDigits[mix % 36];
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
    out->temp = base::Join(dir, std::string(base::kArchiverTempPrefix) + "XXXXXX");
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
    base::FileId now;
    if (pinned && (!base::GetOpenFileId(dirfd, &now) || now != pinned_id)) {
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

#ifdef __linux__
namespace {

// The parent of process pid as /proc tells it; 0 when it cannot.
pid_t ParentOf(pid_t pid) {
  char line[512] = "";
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return 0;
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  // "pid (name) state ppid ...": the name may hold anything, ')' too.
  const char* after = read ? std::strrchr(line, ')') : nullptr;
  int parent = 0;
  return after != nullptr && std::sscanf(after + 1, " %*c %d", &parent) == 1 ? parent : 0;
}

// True while trevask (pid) is this process's parent, or further up: a
// wrapper script between the two is the user's own.
bool BelowTrevask(pid_t pid) {
  pid_t up = getppid();
  for (int level = 0; level < 64 && up > 1; ++level) {
    if (up == pid) return true;
    up = ParentOf(up);
  }
  return false;
}

}  // namespace

void EndWithTrevask() {
  const char* handed = std::getenv("TREVASK_PARENT_PID");
  if (handed == nullptr || *handed == '\0') return;
  char* end = nullptr;
  const long pid = std::strtol(handed, &end, 10);
  if (*end != '\0' || pid <= 1) return;
  // SIGTERM lets the run clean up as for any interruption; where whoever
  // started trevask made it ignore SIGTERM, only SIGKILL ends it.
  struct sigaction term;
  const bool ignored = sigaction(SIGTERM, nullptr, &term) == 0 && term.sa_handler == SIG_IGN;
  prctl(PR_SET_PDEATHSIG, ignored ? SIGKILL : SIGTERM);
  // Checked after the prctl: trevask may have died before it.
  if (BelowTrevask(static_cast<pid_t>(pid))) return;
  base::Say("trevask (process %ld), which started this run, is gone; nothing is written", pid);
  base::NoteInterrupted(SIGTERM);
  base::ExitInterrupted();
}
#else
void EndWithTrevask() {}
#endif

}  // namespace archiver
