// Path text: trailing separators, components, the name rule over a path;
// the separator and root facts are base/path.h's.
#include "folder_tool/name_rules.h"

namespace trevask {

std::string DropTrailingSeparators(std::string path) {
  // A root keeps one separator: "/" and "C:\" stay, "//" and "\\" lose one.
  auto drive_root = [&path] {
    return path.size() == 3 && base::IsDriveRelative(path.substr(0, 2));
  };
  while (path.size() > 1 && !drive_root() && base::FindLastSeparator(path) == path.size() - 1) {
    path.pop_back();
  }
  return path;
}

bool PathComponents::Next() {
  while (next_ < path_.size()) {
    size_t end = base::FindSeparator(path_, next_);
    if (end == std::string::npos) end = path_.size();
    begin_ = next_;
    end_ = end;
    next_ = end + 1;
    if (end_ > begin_) return true;
  }
  return false;
}

std::string PathRuleBroken(const std::string& path, std::string* component) {
  // A drive or a share is the root, not a name of this path.
  PathComponents parts(path, base::RootLength(path));
  while (parts.Next()) {
    std::string rule = base::NameRuleBroken(parts.Name());
    if (!rule.empty()) {
      *component = parts.Name();
      return rule;
    }
  }
  return "";
}

}  // namespace trevask
