#include <windows.h>

#include <cstdio>

#include "base/diagnostic.h"
#include "base/file_id.h"
#include "base/path.h"
#include "base/system.h"
#include "base/text-win32.h"
#include "base/update_lock.h"

namespace base {

const char kUpdateLockVariable[] = "TREVASK_UPDATE_LOCK";

namespace {

const wchar_t kVariable[] = L"TREVASK_UPDATE_LOCK";

// The name without its namespace, as parent and child compare it.
std::wstring Unscoped(const std::wstring& name) { return name.substr(name.find(L'\\') + 1); }

}  // namespace

bool FolderMutexName(const char* kind, const std::string& folder, std::string* name,
                     std::string* error) {
  FileId id;
  if (!GetFileId(folder, &id)) {
    *error = LastErrorText();
    return false;
  }
  *name = std::string("Global\\trevask-") + kind + "-" + FileIdText(id);
  return true;
}

void* CreateFolderMutex(std::string* name) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, Wide(*name).c_str());
  if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    // Without the right to the global namespace: this session's.
    name->replace(0, name->find('\\'), "Local");
    mutex = CreateMutexW(nullptr, FALSE, Wide(*name).c_str());
  }
  return mutex;
}

LockWait WaitForLock(std::intptr_t lock, LockMode, const std::function<void()>& announce) {
  HANDLE mutex = reinterpret_cast<HANDLE>(lock);
  DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_TIMEOUT) {
    if (announce) announce();
    std::fflush(stderr);
    waited = WaitForSingleObject(mutex, INFINITE);
  }
  // Abandoned: its holder ended without releasing it; now it is ours.
  return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED ? LockWait::kTaken
                                                             : LockWait::kFailed;
}

bool FinalTarget(const std::string& archive, std::string* target, std::string*) {
  DWORD attributes = GetFileAttributesW(FsPath(archive).c_str());
  const bool link =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  // A link: the file at its end, as the system names it.
  *target = link ? FinalPath(archive) : archive;
  return true;
}

UpdateLock::~UpdateLock() {
  if (handle_ == -1) return;
  if (!inherited_) {
    HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
}

bool UpdateLock::Acquire(const std::string& archive, std::string* error, const char* what) {
  // The folder that holds the file an update of archive writes: a link at
  // the archive is followed.
  std::string target, name, why;
  if (!FinalTarget(archive, &target, error)) return false;
  const std::string folder = ParentFolder(FinalPath(target));
  if (!FolderMutexName("update", folder, &name, &why)) {
    *error = "cannot lock the folder of " + archive + ": " + why;
    return false;
  }
  wchar_t given[128];
  DWORD n = GetEnvironmentVariableW(kVariable, given, 128);
  if (n > 0 && n < 128 && Unscoped(Wide(name)) == Unscoped(given)) {
    // The parent holds it for this run.
    handle_ = 0;
    inherited_ = true;
    return true;
  }
  HANDLE mutex = static_cast<HANDLE>(CreateFolderMutex(&name));
  if (mutex == nullptr) {
    *error = "cannot lock " + archive + ": " + LastErrorText();
    return false;
  }
  const LockWait waited = WaitForLock(reinterpret_cast<std::intptr_t>(mutex), LockMode::kExclusive, [&] {
    Say("waiting for another run that uses %s (%s)", FinalPath(folder).c_str(),
        what ? what : ("the folder of " + archive).c_str());
  });
  if (waited != LockWait::kTaken) {
    *error = "cannot lock " + archive + ": " + LastErrorText();
    CloseHandle(mutex);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
  name_ = Wide(name);
  return true;
}

HandedLock UpdateLock::HandToChildren() const {
  HandedLock handed;
  if (handle_ == -1) return handed;
  if (!inherited_) {
    handed.value = Utf8(name_);
    return handed;
  }
  // The parent's mutex, by the name it was handed here.
  wchar_t given[128];
  DWORD n = GetEnvironmentVariableW(kVariable, given, 128);
  if (n > 0 && n < 128) handed.value = Utf8(given);
  return handed;
}

}  // namespace base
