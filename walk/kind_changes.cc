#include "walk/kind_changes.h"

#include <algorithm>

#include "base/diagnostic.h"
#include "base/path.h"
#include "folder_tool/folder_tool.h"

namespace trevask {

namespace {

// "Data/B" -> "B"; the top folder -> "".
std::string Below(const std::string& shown) {
  const std::size_t slash = shown.find('/');
  return slash == std::string::npos ? "" : shown.substr(slash + 1);
}

}  // namespace

KindChanges::KindChanges(const std::string& bundle, bool earlier) : bundle_(bundle) {
  if (!earlier) return;
  std::string error;
  earlier_ = base::OpenFile(bundle, &error);
  if (!earlier_ || !base::ReadDirectory(*earlier_, &earlier_members_, &error)) {
    earlier_.reset();
    earlier_members_.clear();
    return;
  }
  for (const base::Member& m : earlier_members_) {
    const std::size_t end = m.IsFolder() ? m.name.size() - 1 : m.name.rfind('/');
    if (end == std::string::npos || end == 0) continue;
    const std::string folder = m.name.substr(0, end);
    const std::size_t slash = folder.rfind('/');
    earlier_subfolders_[slash == std::string::npos ? "" : folder.substr(0, slash)].insert(
        folder.substr(slash + 1));
  }
}

std::vector<base::Member> KindChanges::EarlierMembers(const std::string& below) const {
  std::vector<base::Member> members;
  if (!earlier_) return members;
  const std::string name =
      below.empty() ? "" : below + "/" + below.substr(below.rfind('/') + 1) + ".zip";
  for (const base::Member& m : earlier_members_) {
    const bool top = below.empty() && m.name.find('/') == std::string::npos && !m.IsFolder();
    if (!(top || (!name.empty() && m.name == name))) continue;
    std::uint64_t at;
    std::string error;
    // Folder archives are stored in the bundle: one that is not is left alone.
    if (m.method != 0 || m.packed_size != m.size || !base::DataRange(*earlier_, m, &at, &error) ||
        !base::ReadDirectory(*base::Slice(earlier_, at, m.size), &members, &error)) {
      members.clear();
    }
    break;
  }
  return members;
}

std::set<std::string> KindChanges::Folder(const std::string& mirror, const std::string& shown,
                         const std::vector<std::string>& subfolders) {
  const std::string below = Below(shown);
  std::set<std::string> subs(subfolders.begin(), subfolders.end());
  auto earlier = earlier_subfolders_.find(below);
  if (earlier != earlier_subfolders_.end()) subs.insert(earlier->second.begin(), earlier->second.end());
  if (subs.empty()) return {};
  std::vector<base::Member> members;
  std::string error;
  std::shared_ptr<base::Source> own =
      base::OpenFile(base::Join(mirror, base::BaseName(mirror) + ".zip"), &error);
  if (!own || !base::ReadDirectory(*own, &members, &error)) members.clear();
  std::set<std::string> paired;
  const std::string restore = "trevask-extract -d DIR " + bundle_ + " " + shown + "/";
  for (const base::Member& m : members) {
    for (const std::string& sub : subs) {
      if (m.IsFolder() || !base::SameNameText(m.name, sub)) continue;
      paired.insert(sub);
      if (m.gone) {
        base::Say("%s/%s was a file and is a folder now: the bundle gives back the folder; %s%s "
                  "restores the file elsewhere",
                  shown.c_str(), sub.c_str(), restore.c_str(), m.name.c_str());
      } else {
        base::Say("%s/%s was a folder and is a file now: the bundle gives back the file; %s%s/ "
                  "restores the folder elsewhere",
                  shown.c_str(), m.name.c_str(), restore.c_str(), sub.c_str());
      }
    }
  }
  // A run that starts its archives afresh drops the earlier file.
  if (!earlier_) return paired;
  std::vector<base::Member> before;
  bool read = false;
  for (const std::string& sub : subfolders) {
    if (paired.count(sub) || (earlier != earlier_subfolders_.end() && earlier->second.count(sub))) {
      continue;
    }
    if (!read) before = EarlierMembers(below);
    read = true;
    for (const base::Member& m : before) {
      if (m.IsFolder() || !base::SameNameText(m.name, sub)) continue;
      base::Say("%s/%s was a file and is a folder now: the bundle gives back the folder, and no "
                "longer holds the file",
                shown.c_str(), sub.c_str());
    }
  }
  return paired;
}

void JudgeKindChanges(KindChanges* kinds, const std::string& mirror, const std::string& shown) {
  FolderTool tool;
  std::vector<std::string> names;
  if (tool.ListSubfolders(mirror, &names) < 0) return;
  std::sort(names.begin(), names.end());
  kinds->Folder(mirror, shown, names);
  for (const std::string& name : names) {
    JudgeKindChanges(kinds, base::Join(mirror, name), shown + "/" + name);
  }
}

}  // namespace trevask
