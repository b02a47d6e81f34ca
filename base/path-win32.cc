// Path text on Windows: '\' or '/', drives and shares, and the code page a
// program's narrow paths are in.
#include <windows.h>

#include <string>

#include "base/path.h"

namespace base {

const char kSeparator = '\\';

namespace {
// The archivers and trevask-extract take their arguments as UTF-8, in
// which no byte of a longer character is a separator.
UINT path_code_page = CP_UTF8;
}  // namespace

void UseAnsiCodePageForPaths() { path_code_page = CP_ACP; }

std::size_t FindSeparatorInCodePage(const std::string& path, std::size_t from,
                                    unsigned code_page) {
  // A trail byte of a double-byte character may equal the backslash, so the
  // search steps over whole characters from the start.
  const bool utf8 = code_page == CP_UTF8;
  std::size_t i = utf8 ? from : 0;
  while (i < path.size()) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (i >= from && (c == '\\' || c == '/')) return i;
    i += (!utf8 && IsDBCSLeadByteEx(code_page, c) && i + 1 < path.size()) ? 2 : 1;
  }
  return std::string::npos;
}

std::size_t FindSeparator(const std::string& path, std::size_t from) {
  return FindSeparatorInCodePage(path, from, path_code_page);
}

std::size_t RootLength(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':') {
    return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 2;
  }
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    const std::size_t server = FindSeparator(path, 2);
    const std::size_t share =
        server == std::string::npos ? server : FindSeparator(path, server + 1);
    return share == std::string::npos ? path.size() : share;
  }
  return !path.empty() && IsSeparator(path[0]) ? 1 : 0;
}

bool IsDriveRelative(const std::string& path) {
  return RootLength(path) == 2 && path[1] == ':';
}

namespace {
std::wstring InUtf16(const std::string& text) {
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(path_code_page, 0, text.data(), size, nullptr, 0);
  std::wstring out(n > 0 ? n : 0, L'\0');
  if (n > 0) MultiByteToWideChar(path_code_page, 0, text.data(), size, &out[0], n);
  return out;
}
}  // namespace

bool SameNameText(const std::string& a, const std::string& b) {
  // NTFS's own rule: each UTF-16 unit upper-cased alone, no locale, so "ß"
  // is never "SS".
  return CompareStringOrdinal(InUtf16(a).c_str(), -1, InUtf16(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace base
