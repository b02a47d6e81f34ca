// The locks a run holds while it works.
#ifndef TREVASK_FOLDER_TOOL_RUN_LOCKS_H_
#define TREVASK_FOLDER_TOOL_RUN_LOCKS_H_

#include <string>

#include "base/update_lock.h"

namespace trevask {

// The locks of one run, held from Acquire to destruction: TempFolder's, so
// that one run at a time uses it, and the update lock of the folder that
// holds the bundle, which the stand-in archivers take too, so that runs
// writing the same bundle take turns. On POSIX the user's own folders above
// TempFolder are locked shared as well, so that a run whose TempFolder (or
// mirror tree) holds another's waits for it; all are taken in one order
// for every run. A run that must wait says so on stderr.
class RunLocks {
 public:
  RunLocks() = default;
  ~RunLocks();
  RunLocks(const RunLocks&) = delete;
  RunLocks& operator=(const RunLocks&) = delete;
  // False, with the reason, when a lock cannot be taken.
  bool Acquire(const std::string& temp_root, const std::string& bundle, std::string* error);
  // What an archiver is handed to take the bundle's lock as held.
  base::HandedLock HandedBundleLock() const;

 private:
  void* held_ = nullptr;  // the platform's lock objects
};

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_RUN_LOCKS_H_
