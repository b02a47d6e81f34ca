// Windows: the UTF-8 of paths and names here, and the wide text of the
// Win32 calls.
#ifndef TREVASK_BASE_TEXT_WIN32_H_
#define TREVASK_BASE_TEXT_WIN32_H_

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace base {

inline std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                              nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

inline std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                              nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0],
                      n, nullptr, nullptr);
  return out;
}

// The system's words for a Win32 error code, one line without a final
// period, as strerror gives them on POSIX.
std::string ErrorText(DWORD code);

// The \\?\ form of a UTF-8 path, so that Windows takes every name as it
// stands ("a." or "aux.txt" are files, not "a" or a device).
std::wstring FsPath(const std::string& utf8);

// The delete disposition of an open file: set, the system removes the file
// when its last handle closes, even when the process is killed.
inline bool SetDeleteOnClose(HANDLE h, bool on) {
  FILE_DISPOSITION_INFO info;
  info.DeleteFile = on ? TRUE : FALSE;
  return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

// Renames an open file (opened with DELETE access) to target, a full path;
// over an existing file only with replace.
inline bool RenameOpen(HANDLE h, std::wstring target, bool replace) {
  // The NT form of a \\?\ path.
  if (target.compare(0, 4, L"\\\\?\\") == 0) target[1] = L'?';
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
  FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, target.data(), target.size() * sizeof(wchar_t));
  return SetFileInformationByHandle(h, FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size())) != 0;
}

}  // namespace base

#endif  // TREVASK_BASE_TEXT_WIN32_H_
