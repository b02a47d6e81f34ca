// One update of an archive at a time, among Trevask and the stand-in
// archivers, whatever TempFolder the runs share.
#ifndef TREVASK_BASE_UPDATE_LOCK_H_
#define TREVASK_BASE_UPDATE_LOCK_H_

#include <cstdint>
#include <functional>
#include <string>

namespace base {

// The variable through which an archiver learns the lock it runs under.
extern const char kUpdateLockVariable[];

// What a child process is handed to take a held lock as its own: the value
// of kUpdateLockVariable (empty: nothing handed) and, on POSIX, the
// descriptor that value names, which the child must inherit.
struct HandedLock {
  std::string value;
  int fd = -1;
};

// Serializes updates of one archive among Trevask and the stand-in
// archivers. POSIX: flock() on the folder that holds the archive's final
// target (links at the archive followed); Windows: a named mutex derived
// from that folder's identity (volume serial + file index).
class UpdateLock {
 public:
  UpdateLock() = default;
  ~UpdateLock();  // releases
  UpdateLock(const UpdateLock&) = delete;
  UpdateLock& operator=(const UpdateLock&) = delete;
  // Takes the lock for archive; while another process holds it, says so
  // once on stderr, naming the folder in full and what it is (what, else
  // "the folder of <archive>"), and waits. False with the reason when it
  // cannot be taken, or when the run is interrupted while it waits.
  // Windows: a mutex belongs to a thread; release on the acquiring thread.
  bool Acquire(const std::string& archive, std::string* error, const char* what = nullptr);
  // While held: what a child process started under it is handed to take
  // it as its own, so that a stand-in archiver run under this lock does not
  // wait for its own parent; nothing when not held. An inherited lock is
  // handed on as it was handed here. Changes nothing.
  HandedLock HandToChildren() const;

 private:
  std::intptr_t handle_ = -1;  // descriptor or HANDLE, -1 when not held
  bool inherited_ = false;     // the parent's, handed to this process
  std::wstring name_;          // Windows: the mutex's
};

// How a wait for a lock ended.
enum class LockWait { kTaken, kInterrupted, kFailed };
enum class LockMode { kShared, kExclusive };
// Takes lock: POSIX, the flock of an open folder's descriptor, shared
// unless kExclusive; Windows, a mutex HANDLE, which is always exclusive.
// While another holds it, calls announce and waits. A signal that ends
// the wait restarts it, unless the run has been interrupted (Interrupted()
// in base/system.h): then kInterrupted, for the caller to end the run.
// kFailed leaves the reason in errno (POSIX) or GetLastError (Windows).
LockWait WaitForLock(std::intptr_t lock, LockMode mode, const std::function<void()>& announce);

// POSIX: what a child process is handed to take the flock held through fd
// (a folder's) as its own, as HandToChildren says for a lock of this class;
// nothing when fd cannot be handed on.
HandedLock HandLockToChildren(int fd);

#ifdef _WIN32
// The name of the mutex that stands for a lock of this kind on folder: its
// identity, in the namespace of every session.
bool FolderMutexName(const char* kind, const std::string& folder, std::string* name,
                     std::string* error);
// Creates or opens that mutex (a HANDLE, null on failure); in this session's
// namespace instead where the user may not use the global one, and name
// then says so.
void* CreateFolderMutex(std::string* name);
#endif

// The file an update of archive writes: a link at archive followed to the
// end of its chain (the folders on the way are the system's to follow).
bool FinalTarget(const std::string& archive, std::string* target, std::string* error);

}  // namespace base

#endif  // TREVASK_BASE_UPDATE_LOCK_H_
