#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "base/update_lock.h"
#include "base/diagnostic.h"
#include "base/path.h"
#include "base/text-win32.h"

namespace base {

namespace {

const wchar_t kVariable[] = L"TREVASK_UPDATE_LOCK";

// An absolute path in the \\?\ form, so that long paths work too.
std::wstring Absolute(const std::wstring& path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path;
  DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
  full.resize(n);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC" + full.substr(1);
  return L"\\\\?\\" + full;
}

HANDLE OpenAny(const std::wstring& path) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::wstring FolderOf(const std::wstring& path) { return Wide(ParentFolder(Utf8(path))); }

std::string Reason() {
  char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, GetLastError(), 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
  return n ? std::string(text, n) : "unknown error";
}

// The mutex's name from the identity of the folder that holds the file an
// update of archive writes: a link at the archive is followed by opening it.
bool MutexName(const std::string& archive, std::wstring* name, std::string* error) {
  std::wstring path = Absolute(Wide(archive));
  std::wstring folder = FolderOf(path);
  HANDLE file = OpenAny(path);
  if (file != INVALID_HANDLE_VALUE) {
    std::vector<wchar_t> final(32768);
    DWORD n = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                        FILE_NAME_NORMALIZED);
    if (n > 0 && n < final.size()) folder = FolderOf(std::wstring(final.data(), n));
    CloseHandle(file);
  }
  HANDLE h = OpenAny(folder);
  BY_HANDLE_FILE_INFORMATION info;
  if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
    *error = "cannot lock the folder of " + archive + ": " + Reason();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return false;
  }
  CloseHandle(h);
  wchar_t text[96];
  std::swprintf(text, 96, L"Global\\trevask-update-%08lx-%08lx%08lx",
                static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh),
                static_cast<unsigned long>(info.nFileIndexLow));
  *name = text;
  return true;
}

}  // namespace

bool FinalTarget(const std::string& archive, std::string* target, std::string*) {
  *target = archive;
  std::wstring path = Absolute(Wide(archive));
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return true;
  }
  // A link: the file at its end, as the system names it.
  HANDLE file = OpenAny(path);
  if (file == INVALID_HANDLE_VALUE) return true;
  std::vector<wchar_t> final(32768);
  DWORD n = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                      FILE_NAME_NORMALIZED);
  CloseHandle(file);
  if (n == 0 || n >= final.size()) return true;
  int bytes = WideCharToMultiByte(CP_UTF8, 0, final.data(), static_cast<int>(n), nullptr, 0,
                                  nullptr, nullptr);
  std::string utf8(bytes, '\0');
  WideCharToMultiByte(CP_UTF8, 0, final.data(), static_cast<int>(n), &utf8[0], bytes, nullptr,
                      nullptr);
  *target = utf8;
  return true;
}

UpdateLock::~UpdateLock() {
  if (handle_ == -1) return;
  if (handed_) {
    SetEnvironmentVariableW(kVariable, nullptr);
    _wputenv(L"TREVASK_UPDATE_LOCK=");
  }
  if (!inherited_) {
    HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
}

bool UpdateLock::Acquire(const std::string& archive, std::string* error) {
  std::wstring name;
  if (!MutexName(archive, &name, error)) return false;
  wchar_t given[128];
  DWORD n = GetEnvironmentVariableW(kVariable, given, 128);
  if (n > 0 && n < 128 && name == given) {
    // The parent holds it for this run.
    handle_ = 0;
    inherited_ = true;
    return true;
  }
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    // Without the right to the global namespace: this session's.
    name.replace(0, 6, L"Local");
    mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  }
  if (mutex == nullptr) {
    *error = "cannot lock " + archive + ": " + Reason();
    return false;
  }
  DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_TIMEOUT) {
    Say("waiting for another run updating %s", archive.c_str());
    std::fflush(stderr);
    waited = WaitForSingleObject(mutex, INFINITE);
  }
  // Abandoned: its holder ended without releasing it; now it is ours.
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    *error = "cannot lock " + archive + ": " + Reason();
    CloseHandle(mutex);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
  name_ = name;
  return true;
}

void UpdateLock::HandToChildren() {
  if (handle_ == -1 || inherited_) return;
  SetEnvironmentVariableW(kVariable, name_.c_str());
  _wputenv((std::wstring(kVariable) + L"=" + name_).c_str());
  handed_ = true;
}

}  // namespace base
