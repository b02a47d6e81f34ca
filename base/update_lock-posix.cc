#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/diagnostic.h"
#include "base/file_id.h"
#include "base/path.h"
#include "base/system.h"
#include "base/update_lock.h"

namespace base {

const char kUpdateLockVariable[] = "TREVASK_UPDATE_LOCK";

namespace {

const char* const kVariable = kUpdateLockVariable;

enum class Holds { kYes, kNo, kUnknown };

// Whether the open file of fd holds an exclusive flock, without taking one:
// Linux lists the locks of each open file in /proc/self/fdinfo.
Holds HoldsExclusiveFlock(int fd) {
  const std::string info = "/proc/self/fdinfo/" + std::to_string(fd);
  std::FILE* f = std::fopen(info.c_str(), "re");
  if (f == nullptr) return Holds::kUnknown;
  Holds holds = Holds::kNo;
  char line[512];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "lock:", 5) == 0 && std::strstr(line, " FLOCK ") != nullptr &&
        std::strstr(line, " WRITE ") != nullptr) {
      holds = Holds::kYes;
    }
  }
  std::fclose(f);
  return holds;
}

// The parent's lock, when the variable names an open descriptor of this
// folder whose lock is already this process's to take without waiting.
int Inherited(const FileId& folder) {
  // "FD:" and the folder's identity.
  const char* value = std::getenv(kVariable);
  int fd, used = 0;
  FileId held, expected;
  if (value == nullptr || std::sscanf(value, "%d:%n", &fd, &used) != 1 || used == 0 ||
      !ParseFileId(value + used, &expected)) {
    return -1;
  }
  if (fd < 0 || !GetOpenFileId(fd, &held) || held != expected || held != folder) return -1;
  // Only an open file that holds the lock already hands it on: one merely
  // open on the folder, shared by runs that a crafted variable names, would
  // grant it to each of them.
  switch (HoldsExclusiveFlock(fd)) {
    case Holds::kYes:
      return fd;
    case Holds::kNo:
      return -1;
    case Holds::kUnknown:
      break;
  }
  // Where the system cannot say (no /proc): someone must hold it, and a
  // lock on this open file is then granted at once only if it is theirs.
  const int probe = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (probe < 0) return -1;
  const bool nobody_holds = flock(probe, LOCK_EX | LOCK_NB) == 0;
  close(probe);
  if (nobody_holds) return -1;
  return flock(fd, LOCK_EX | LOCK_NB) == 0 ? fd : -1;
}

}  // namespace

LockWait WaitForLock(std::intptr_t lock, LockMode mode, const std::function<void()>& announce) {
  const int fd = static_cast<int>(lock);
  const int operation = mode == LockMode::kExclusive ? LOCK_EX : LOCK_SH;
  if (flock(fd, operation | LOCK_NB) == 0) return LockWait::kTaken;
  if (errno != EWOULDBLOCK) return LockWait::kFailed;
  if (announce) announce();
  // Checked before each wait too: a signal just before it ends nothing.
  while (Interrupted() == 0) {
    if (flock(fd, operation) == 0) return LockWait::kTaken;
    if (errno != EINTR) return LockWait::kFailed;
  }
  return LockWait::kInterrupted;
}

bool FinalTarget(const std::string& archive, std::string* target, std::string* error) {
  std::string path = archive;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = path;
      return true;
    }
    std::vector<char> buffer(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0 || static_cast<size_t>(n) >= buffer.size()) {
      *error = "cannot follow the link " + path + ": " +
               std::strerror(n < 0 ? errno : ENAMETOOLONG);
      return false;
    }
    std::string next(buffer.data(), static_cast<size_t>(n));
    if (next.empty()) break;
    // A relative link leads on from the folder that holds it.
    path = next[0] == '/' || path.find('/') == std::string::npos
               ? next
               : Join(ParentFolder(path), next);
  }
  *error = "cannot follow the link " + archive + ": " + std::strerror(ELOOP);
  return false;
}

UpdateLock::~UpdateLock() {
  if (handle_ < 0) return;
  // The parent's lock stays the parent's.
  if (!inherited_) {
    int fd = static_cast<int>(handle_);
    flock(fd, LOCK_UN);
    close(fd);
  }
}

bool UpdateLock::Acquire(const std::string& archive, std::string* error, const char* what) {
  std::string target;
  if (!FinalTarget(archive, &target, error)) return false;
  std::string folder = ParentFolder(target);
  FileId id;
  if (!GetFileId(folder, &id)) {
    *error = "cannot lock " + folder + ": " + std::strerror(errno);
    return false;
  }
  int fd = Inherited(id);
  if (fd >= 0) {
    handle_ = fd;
    inherited_ = true;
    return true;
  }
  fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot lock " + folder + ": " + std::strerror(errno);
    return false;
  }
  const LockWait waited = WaitForLock(fd, LockMode::kExclusive, [&] {
    char* full = realpath(folder.c_str(), nullptr);
    Say("waiting for another run that uses %s (%s)", full ? full : folder.c_str(),
        what ? what : ("the folder of " + archive).c_str());
    std::free(full);
  });
  if (waited != LockWait::kTaken) {
    *error = "cannot lock " + folder + ": " +
             std::strerror(waited == LockWait::kInterrupted ? EINTR : errno);
    close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

// The descriptor stays close-on-exec here: the child that is handed it
// inherits it alone, made open in that child by whoever starts it.
HandedLock HandLockToChildren(int fd) {
  FileId id;
  HandedLock handed;
  if (!GetOpenFileId(fd, &id)) return handed;
  handed.value = std::to_string(fd) + ":" + FileIdText(id);
  handed.fd = fd;
  return handed;
}

HandedLock UpdateLock::HandToChildren() const {
  if (handle_ < 0) return HandedLock();
  // The parent's own descriptor, still open across exec, and its words.
  if (inherited_) {
    HandedLock handed;
    const char* value = std::getenv(kVariable);
    if (value != nullptr) handed.value = value;
    return handed;
  }
  return HandLockToChildren(static_cast<int>(handle_));
}

}  // namespace base
