#include "base/path.h"

#include <cctype>
#include <cstring>

namespace base {

bool IsSeparator(char c) { return c == kSeparator || (kSeparator == '\\' && c == '/'); }

std::string Join(const std::string& dir, const std::string& name) {
  // Separators where the two meet are one; the root keeps its own ("/",
  // "C:\", "\\server\share\"), so that "/" and "src" give "/src".
  std::size_t end = dir.size();
  const std::size_t root = RootLength(dir);
  while (end > root && IsSeparator(dir[end - 1])) --end;
  std::size_t from = 0;
  while (from < name.size() && IsSeparator(name[from])) ++from;
  std::string joined = dir.substr(0, end);
  if (joined.empty() || !IsSeparator(joined.back())) joined += kSeparator;
  return joined.append(name, from, std::string::npos);
}

std::size_t FindLastSeparator(const std::string& path) {
  std::size_t last = std::string::npos;
  for (std::size_t at = FindSeparator(path); at != std::string::npos;
       at = FindSeparator(path, at + 1)) {
    last = at;
  }
  return last;
}

std::string ParentFolder(const std::string& path) {
  const std::size_t root = RootLength(path);
  const std::size_t last = FindLastSeparator(path);
  if (last == std::string::npos || last < root) return root == 0 ? "." : path.substr(0, root);
  return path.substr(0, last);
}

std::string BaseName(const std::string& path) {
  const std::size_t last = FindLastSeparator(path);
  if (last != std::string::npos) return path.substr(last + 1);
  return IsDriveRelative(path) ? path.substr(2) : path;
}

std::string WindowsNameRule(const std::string& name) {
  if (name.empty()) return "";
  for (unsigned char c : name) {
    if (c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr) {
      return "Windows names cannot hold < > : \" / \\ | ? * or control "
             "characters";
    }
  }
  if (name == "." || name == "..") return "";
  if (name.back() == '.' || name.back() == ' ') {
    return "Windows drops a trailing dot or space from a name in a path";
  }
  // The device names, whatever follows a dot and whatever the case.
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  bool device = false;
  for (const char* d : kDevices) device = device || base == d;
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
      base[3] >= '1' && base[3] <= '9') {
    device = true;
  }
  if (device) {
    return "Windows takes CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 "
           "for devices, with any extension";
  }
  return "";
}

// The same rule where this platform has one.
std::string NameRuleBroken(const std::string& name) {
  return kSeparator == '\\' ? WindowsNameRule(name) : "";
}

}  // namespace base
