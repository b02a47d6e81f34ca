// Run locks on POSIX: flock on the folders themselves.
#include "folder_tool/run_locks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/file_id.h"
#include "base/path.h"
#include "base/update_lock.h"
#include "folder_tool/interruption.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/say.h"

namespace trevask {

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
    const base::LockWait waited = base::WaitForLock(fd, w.exclusive ? base::LockMode::kExclusive : base::LockMode::kShared, [&] {
      base::Say("waiting for another run that uses %s (%s)", AbsolutePath(w.path).c_str(),
                w.what.c_str());
    });
    if (waited == base::LockWait::kInterrupted) ExitIfInterrupted();
    if (waited != base::LockWait::kTaken) {
      *error = w.path + ": " + std::strerror(errno);
      return false;
    }
    if (w.id == bundle_id) {
      held->bundle_fd = fd;
    }
  }
  return true;
}

base::HandedLock RunLocks::HandedBundleLock() const {
  auto* held = static_cast<PosixLocks*>(held_);
  if (held == nullptr || held->bundle_fd < 0) return base::HandedLock();
  return base::HandLockToChildren(held->bundle_fd);
}

}  // namespace trevask
