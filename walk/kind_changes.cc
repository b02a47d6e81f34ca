#include "walk/kind_changes.h"

#include <algorithm>

#include "base/bundle_layout.h"
#include "base/diagnostic.h"
#include "base/path.h"
#include "folder_tool/folder_tool.h"
#include "folder_tool/path_identity.h"

namespace trevask {

namespace {

// "Data/B" -> "B"; the top folder -> "".
std::string Below(const std::string& shown) {
  const std::size_t slash = shown.find('/');
  return slash == std::string::npos ? "" : shown.substr(slash + 1);
}

}  // namespace

KindChanges::KindChanges(const std::string& bundle, bool fresh,
                         const std::vector<base::KeptMember>& kept)
    : bundle_(bundle), fresh_(fresh) {
  for (const base::KeptMember& m : kept) kept_[m.name] = m.reason;
  if (!fresh && kept.empty()) return;
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
  const std::string name = below.empty() ? "" : base::FolderArchiveMember(below, "");
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

std::set<std::string> KindChanges::Folder(const std::string& mirror, const std::string& source,
                                          const std::string& shown,
                                          const std::vector<std::string>& subfolders) {
  const std::string below = Below(shown);
  std::set<std::string> subs(subfolders.begin(), subfolders.end());
  auto earlier = earlier_subfolders_.find(below);
  if (earlier != earlier_subfolders_.end()) subs.insert(earlier->second.begin(), earlier->second.end());
  if (subs.empty()) return {};
  // A folder whose archive the bundle step leaves alone keeps the bundle's
  // earlier member, whatever the mirror holds.
  const auto kept = kept_.find(base::FolderArchiveMember(below, shown));
  std::string still;
  std::vector<base::Member> members;
  if (kept != kept_.end()) {
    still = kept->second == base::KeptMember::kRunFailed
                ? ", as " + shown + "'s archive run failed"
                : ", as " + shown + "'s archive in the mirror is not taken (" +
                      base::ReasonText(kept->second) + ")";
    members = EarlierMembers(below);
  } else {
    std::string error;
    std::shared_ptr<base::Source> own =
        base::OpenFile(base::Join(mirror, base::BaseName(mirror) + ".zip"), &error);
    if (!own || !base::ReadDirectory(*own, &members, &error)) members.clear();
  }
  // Whether the bundle is to hold sub's folder archive.
  const auto holds_folder = [&](const std::string& sub) {
    const std::string member = base::FolderArchiveMember(below.empty() ? sub : below + "/" + sub, "");
    const bool before = std::any_of(earlier_members_.begin(), earlier_members_.end(),
                                    [&](const base::Member& m) { return m.name == member; });
    const std::string archive = base::Join(base::Join(mirror, sub), sub + ".zip");
    return before || (kept_.count(member) == 0 && KindOf(archive) != PathKind::kMissing);
  };
  const std::string restore = "trevask-extract -d DIR " + bundle_ + " " + shown + "/";
  const auto kind = [](bool folder) { return folder ? "folder" : "file"; };
  std::set<std::string> paired;
  for (const base::Member& m : members) {
    for (const std::string& sub : subs) {
      if (m.IsFolder() || !base::SameNameText(m.name, sub)) continue;
      paired.insert(sub);
      // The copy given back is the one the mark calls newer; only a kept
      // archive can differ from what the source is now.
      const bool given = m.gone;
      const std::string now_at = base::Join(source, sub);
      bool now = given;
      if (kept != kept_.end() && KindOf(now_at) != PathKind::kMissing) {
        now = IsExistingFolder(now_at);
      }
      // Gone as both: the bundle's pair is all there is, the mark says which
      // copy it gives back.
      if (KindOf(now_at) == PathKind::kMissing) {
        base::Say("%s/%s is gone from the source; the bundle holds it as a file and as a folder "
                  "and gives back the %s; %s%s%s restores the %s elsewhere",
                  shown.c_str(), sub.c_str(), kind(given), restore.c_str(),
                  given ? m.name.c_str() : sub.c_str(), given ? "" : "/", kind(!given));
        continue;
      }
      if (now != given && !given && !holds_folder(sub)) {
        base::Say("%s/%s was a file and is a folder now: the bundle still gives back the file%s; "
                  "it holds no copy of the folder",
                  shown.c_str(), sub.c_str(), still.c_str());
        continue;
      }
      base::Say("%s/%s was a %s and is a %s now: the bundle %sgives back the %s%s; %s%s%s "
                "restores the %s elsewhere",
                shown.c_str(), sub.c_str(), kind(now == given ? !now : given), kind(now),
                now == given ? "" : "still ", kind(given), now == given ? "" : still.c_str(),
                restore.c_str(), given ? m.name.c_str() : sub.c_str(), given ? "" : "/",
                kind(!given));
    }
  }
  std::vector<base::Member> before;
  bool read = false;
  for (const std::string& sub : subs) {
    if (paired.count(sub)) continue;
    const std::string now_at = base::Join(source, sub);
    if (kept != kept_.end()) {
      // The bundle keeps no file of that name: the folder stays its copy.
      if (KindOf(now_at) == PathKind::kMissing || IsExistingFolder(now_at)) continue;
      paired.insert(sub);
      base::Say("%s/%s was a folder and is a file now: the bundle %s%s", shown.c_str(),
                sub.c_str(),
                holds_folder(sub) ? "still gives back the folder" : "holds neither copy",
                still.c_str());
      continue;
    }
    // A run that starts its archives afresh drops the earlier file.
    if (!fresh_ || !earlier_ || !std::binary_search(subfolders.begin(), subfolders.end(), sub)) {
      continue;
    }
    if (!read) before = EarlierMembers(below);
    read = true;
    for (const base::Member& m : before) {
      if (m.IsFolder() || m.gone || !base::SameNameText(m.name, sub)) continue;
      base::Say("%s/%s was a file and is a folder now: the bundle gives back the folder, and no "
                "longer holds the file",
                shown.c_str(), sub.c_str());
    }
  }
  return paired;
}

void JudgeKindChanges(KindChanges* kinds, const std::string& mirror, const std::string& source,
                      const std::string& shown) {
  FolderTool tool;
  std::vector<std::string> names;
  if (tool.ListSubfolders(mirror, &names) < 0) return;
  std::sort(names.begin(), names.end());
  kinds->Folder(mirror, source, shown, names);
  for (const std::string& name : names) {
    JudgeKindChanges(kinds, base::Join(mirror, name), base::Join(source, name),
                     shown + "/" + name);
  }
}

}  // namespace trevask
