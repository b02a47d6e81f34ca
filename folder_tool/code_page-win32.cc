// Windows: the active code page's text and the wide text of the Win32 calls.
#include "folder_tool/code_page-win32.h"

namespace trevask {

bool ToWide(const std::string& narrow, std::wstring* wide) {
  wide->clear();
  if (narrow.empty()) return true;
  int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(),
                              static_cast<int>(narrow.size()), nullptr, 0);
  if (n <= 0) return false;
  wide->resize(n);
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(),
                      static_cast<int>(narrow.size()), &(*wide)[0], n);
  return true;
}

bool ToNarrow(const std::wstring& wide, std::string* narrow) {
  narrow->clear();
  if (wide.empty()) return true;
  const UINT cp = GetACP();
  BOOL used_default = FALSE;
  // UTF-8 takes no best-fit flag and reports only malformed text.
  const DWORD flags = cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL* used = cp == CP_UTF8 ? nullptr : &used_default;
  int n = WideCharToMultiByte(cp, flags, wide.data(), static_cast<int>(wide.size()),
                              nullptr, 0, nullptr, used);
  if (n <= 0 || used_default) return false;
  narrow->resize(n);
  WideCharToMultiByte(cp, flags, wide.data(), static_cast<int>(wide.size()),
                      &(*narrow)[0], n, nullptr, used);
  return !used_default;
}

std::string Printable(const std::wstring& wide) {
  int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                              nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &out[0],
                        n, nullptr, nullptr);
  }
  return out;
}

}  // namespace trevask
