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
#include "base/unnamed_file.h"

namespace archiver {

namespace {
bool pinned = false;
base::FileId pinned_id;
}  // namespace

bool GetFolderId(const std::string& dir, base::FileId* id, std::string* error) {
  // One status for both the identity and the kind.
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    *error = dir + ": " + std::strerror(errno);
    return false;
  }
  id->volume = static_cast<unsigned long long>(st.st_dev);
  id->high = 0;
  id->low = static_cast<unsigned long long>(st.st_ino);
  if (!S_ISDIR(st.st_mode)) {
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
std::string UniqueName(unsigned) {
  static unsigned counter = 0;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return base::ArchiverTempName((static_cast<unsigned long long>(getpid()) << 40) ^
                                (static_cast<unsigned long long>(now.tv_nsec) << 8) ^
                                static_cast<unsigned long long>(now.tv_sec) ^ ++counter);
}

}  // namespace

base::Opened OpenMemberFile(const std::string& path, base::FileHandle* handle,
                            base::FileState* state, std::string* error) {
  *handle = base::kNoFile;
  // O_NONBLOCK: a FIFO or a device put under the name must not hold us.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    const int why = errno;
    // A socket cannot be opened at all.
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      *error = "not a regular file";
      return base::Opened::kNotRegular;
    }
    *error = "cannot open " + path + ": " + std::strerror(why);
    return base::Opened::kFailed;
  }
  if (fstat(fd, &st) != 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    close(fd);
    return base::Opened::kFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "not a regular file";
    close(fd);
    return base::Opened::kNotRegular;
  }
#ifndef __linux__
  // Linux ignores O_NONBLOCK on a regular file; elsewhere reads could
  // return short.
  if (fcntl(fd, F_SETFL, 0) != 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    close(fd);
    return base::Opened::kFailed;
  }
#endif
  state->size = static_cast<std::uint64_t>(st.st_size);
  state->written = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  state->changed = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  *handle = fd;
  return base::Opened::kFile;
}

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
  base::Folder folder;
  folder.handle = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  base::UnnamedFile made;
  const bool created = folder.handle >= 0 &&
                       base::MakeUnnamedFile(folder, base::Access::kReadWrite, UniqueName, &made);
  const int why = errno;
  if (folder.handle >= 0) close(static_cast<int>(folder.handle));
  if (!created) {
    *error = "cannot create a file beside " + path + ": " + std::strerror(why);
    return false;
  }
  const int fd = static_cast<int>(made.handle);
  // Where the file system has no unnamed files.
  if (!made.temp.empty()) out->temp = base::Join(dir, made.temp);
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
  // Write-only: a seek of a stream open for reading too reads the file
  // again from there.
  out->file = fdopen(fd, "wb");
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
    base::Folder folder;
    folder.handle = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder.handle < 0) return fail(errno);
    const int dirfd = static_cast<int>(folder.handle);
    base::FileId now;
    if (pinned && (!base::GetOpenFileId(dirfd, &now) || now != pinned_id)) {
      close(dirfd);
      // Replaced since it was checked: the unnamed file goes with us.
      *error = "cannot write " + path + ": its folder was replaced while it was written";
      Discard(out);
      return false;
    }
    base::UnnamedFile file;
    file.handle = out->native;
    // A new archive gets its name in one step; an existing one is replaced
    // by a link under a name of our own renamed over it, the only window in
    // which a killed run could leave a file behind.
    const bool named =
        base::NameFile(folder, &file, base, base::Replace::kNever, UniqueName) ||
        (errno == EEXIST &&
         base::NameFile(folder, &file, base, base::Replace::kOver, UniqueName));
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
