// Run locks on Windows: named mutexes.
#include <windows.h>

#include <string>

#include "base/text-win32.h"
#include "base/update_lock.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/run_locks.h"
#include "folder_tool/say.h"

namespace trevask {

namespace {

struct WindowsLocks {
  HANDLE mutex = nullptr;
  base::UpdateLock bundle;
};

}  // namespace

RunLocks::~RunLocks() {
  auto* held = static_cast<WindowsLocks*>(held_);
  if (held == nullptr) return;
  if (held->mutex != nullptr) {
    ReleaseMutex(held->mutex);
    CloseHandle(held->mutex);
  }
  delete held;
}

// TempFolder's mutex and the bundle's update mutex have names of their own,
// so that no two runs can each hold one that the other waits for.
bool RunLocks::Acquire(const std::string& temp_root, const std::string& bundle,
                       std::string* error) {
  auto* held = new WindowsLocks;
  held_ = held;
  std::string name;
  if (!base::FolderMutexName("folder", temp_root, &name, error)) return false;
  HANDLE mutex = static_cast<HANDLE>(base::CreateFolderMutex(&name));
  if (mutex == nullptr) {
    *error = base::ErrorText(GetLastError());
    return false;
  }
  const base::LockWait waited =
      base::WaitForLock(reinterpret_cast<std::intptr_t>(mutex), base::LockMode::kExclusive, [&] {
        base::Say("waiting for another run that uses %s (TempFolder)",
                  AbsolutePath(temp_root).c_str());
      });
  if (waited != base::LockWait::kTaken) {
    *error = base::ErrorText(GetLastError());
    CloseHandle(mutex);
    return false;
  }
  held->mutex = mutex;
  return held->bundle.Acquire(bundle, error, "the folder of DstFileName");
}

base::HandedLock RunLocks::HandedBundleLock() const {
  if (held_ == nullptr) return base::HandedLock();
  return static_cast<WindowsLocks*>(held_)->bundle.HandToChildren();
}

}  // namespace trevask
