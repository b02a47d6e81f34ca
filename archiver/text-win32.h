// Windows: the UTF-8 of paths and names here, and the wide text of the
// Win32 calls.
#ifndef TREVASK_ARCHIVER_TEXT_WIN32_H_
#define TREVASK_ARCHIVER_TEXT_WIN32_H_

#include <windows.h>

#include <string>

namespace archiver {

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

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_TEXT_WIN32_H_
