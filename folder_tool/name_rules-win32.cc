// Path arguments on Windows: the native form, and the code page's check of
// the command line.
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "folder_tool/code_page-win32.h"
#include "folder_tool/name_rules.h"

namespace trevask {

bool NativeArgumentPath(const std::string& arg, std::string* path, std::string* error) {
  // No DBCS trail byte is '/', so bytewise replacing is safe.
  std::string p = arg;
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  if (p.compare(0, 8, "\\\\?\\UNC\\") == 0) {
    p = "\\\\" + p.substr(8);
  } else if (p.compare(0, 4, "\\\\?\\") == 0 || p.compare(0, 4, "\\\\.\\") == 0) {
    std::string rest = p.substr(4);
    if (rest.size() < 3 || rest[1] != ':' || rest[2] != '\\') {
      *error = "only drive and UNC paths are taken in the \\\\?\\ form, no device or volume names";
      return false;
    }
    p = rest;
  }
  *path = p;
  return true;
}

bool ArgumentsCarried(std::string* message) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return true;
  bool ok = true;
  for (int i = 1; i < count && ok; ++i) {
    std::string narrow;
    if (!ToNarrow(wide[i], &narrow)) {
      *message = "argument " + std::to_string(i) + " (" + Printable(wide[i]) +
                 ") has characters that the code page " + std::to_string(GetACP()) +
                 " cannot carry exactly (Windows 10 1903 and later run Trevask in "
                 "UTF-8)";
      ok = false;
    }
  }
  LocalFree(wide);
  return ok;
}

}  // namespace trevask
