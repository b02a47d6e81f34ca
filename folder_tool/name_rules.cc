// Path text and the Windows name rules; the root and separator facts come
// from the platform files.
#include "folder_tool/name_rules.h"

#include <cctype>
#include <cstring>

namespace trevask {

size_t FindLastSeparator(const std::string& path) {
  size_t last = std::string::npos;
  for (size_t at = FindSeparator(path); at != std::string::npos;
       at = FindSeparator(path, at + 1)) {
    last = at;
  }
  return last;
}

std::string DropTrailingSeparators(std::string path) {
  // A root keeps one separator: "/" and "C:\" stay, "//" and "\\" lose one.
  auto drive_root = [&path] { return path.size() == 3 && IsDriveRelative(path.substr(0, 2)); };
  while (path.size() > 1 && !drive_root() && FindLastSeparator(path) == path.size() - 1) {
    path.pop_back();
  }
  return path;
}

bool PathComponents::Next() {
  while (next_ < path_.size()) {
    size_t end = FindSeparator(path_, next_);
    if (end == std::string::npos) end = path_.size();
    begin_ = next_;
    end_ = end;
    next_ = end + 1;
    if (end_ > begin_) return true;
  }
  return false;
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

std::string PathRuleBroken(const std::string& path, std::string* component) {
  // A drive or a share is the root, not a name of this path.
  PathComponents parts(path, RootLength(path));
  while (parts.Next()) {
    std::string rule = NameRuleBroken(parts.Name());
    if (!rule.empty()) {
      *component = parts.Name();
      return rule;
    }
  }
  return "";
}

}  // namespace trevask
