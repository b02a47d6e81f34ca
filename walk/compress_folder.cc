#include "walk/compress_folder.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "folder_tool/name_rules.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/say.h"

namespace trevask {

namespace {

std::string Join(const std::string& a, const std::string& b) {
  return a + kSeparator + b;
}

std::string Pattern(const std::string& dir) { return Join(dir, "*.*"); }

// Names on stderr the leaf folders that a failure left without archives.
void ReportSkippedLeaves(const std::string& dir,
                         const std::vector<std::string>& names,
                         const std::vector<char>& walked, size_t from) {
  std::string list;
  for (size_t j = from; j < names.size(); ++j) {
    if (walked[j]) continue;
    list += (list.empty() ? "" : ", ") + Join(dir, names[j]);
  }
  if (list.empty()) return;
  Say("not archived after that failure: %s", list.c_str());
}

// What the whole walk shares: where it must never go, and the folders on
// the current path, by identity, so that a link back up is seen as a loop.
struct WalkGuard {
  std::string mirror_root;
  std::string bundle_folder;
  std::vector<platform::FileId> path;
  WalkStatus* status = nullptr;
  bool lost = false;  // a folder could not be listed: its files are missing
};

// Drops what must not be walked, naming each on stderr: a link that leads
// to a folder of the current path, into the mirror tree or to what holds
// the bundle, and a folder that cannot be listed. Counts the subfolders of
// those that stay.
void KeepWalkable(FolderTool* tool, const std::string& dir, WalkGuard* guard,
                  std::vector<std::string>* names, std::vector<int>* counts) {
  std::vector<std::string> kept;
  for (const std::string& name : *names) {
    std::string child = Join(dir, name);
    const bool link = KindOf(child) == PathKind::kLink;
    if (link) {
      const FolderLink verdict = JudgeFolderLink(guard->path, dir, child);
      const char* why = nullptr;
      if (verdict == FolderLink::kUnresolved) {
        why = "a link that cannot be followed";
      } else if (verdict == FolderLink::kLoop) {
        why = "a link to a folder that holds it (a loop); its files are archived where they are";
      } else if (PathIsWithin(guard->mirror_root, child) ||
                 PathIsWithin(child, guard->mirror_root)) {
        why = "a link into the mirror tree or to a folder that holds it";
      } else if (!guard->bundle_folder.empty() && PathIsWithin(guard->bundle_folder, child)) {
        why = "a link to the folder that holds DstFileName, or to one that holds it";
      }
      if (why != nullptr) {
        Say("not entered: %s: %s", child.c_str(), why);
        continue;
      }
    }
    int count = tool->CountSubfolders(child);
    if (count < 0) {
      Say("not archived: %s: the folder cannot be listed", child.c_str());
      // A link's folder is kept where it really is; a real folder is lost.
      if (!link) guard->lost = true;
      continue;
    }
    kept.push_back(name);
    counts->push_back(count);
  }
  names->swap(kept);
}

// The relative part travels with the walk so that a source without any
// separator keeps the same mirror folders at every depth.
int Walk(const std::string& dir, const std::string& relative,
         const std::string& tempRoot, ArchiverKind kind, WalkGuard* guard) {
  FolderTool tool;
  // Only names actually listed are used, so a folder that changes while it
  // is walked cannot push the walk past its list.
  std::vector<std::string> names;
  const bool listed = tool.ListSubfolders(dir, &names) >= 0;
  if (!listed) {
    std::vector<char> none(names.size(), 0);
    // A subfolder whose name cannot be carried would be missing from the
    // bundle; the folder fails before anything of it is made.
    ReportArchiverFailure();
    ReportSkippedLeaves(dir, names, none, 0);
    return -1;
  }
  std::vector<int> counts;
  KeepWalkable(&tool, dir, guard, &names, &counts);
  std::vector<char> walked(names.size(), 0);
  int result = 0;

  for (size_t j = 0; j < names.size() && !RunStopped(); ++j) {
    std::string child = Join(dir, names[j]);
    if (counts[j] > 0) {
      platform::FileId id;
      guard->path.push_back(platform::GetFileId(child, &id) ? id : platform::FileId());
      if (Walk(child, Join(relative, names[j]), tempRoot, kind, guard) != 0) {
        result = -1;
      }
      guard->path.pop_back();
      walked[j] = 1;
    }
  }
  // Nothing more runs once the archiver cannot be started.
  if (RunStopped()) return -1;

  // Everything below tempRoot is made here or must be a real folder: a
  // planted link would have the archives written wherever it leads.
  // Each archiver is told which folder it is to write into, so that one
  // swapped for a link since is refused rather than written through.
  std::string mirror = Join(tempRoot, relative);
  platform::FileId mirror_id;
  bool mirror_ok = tool.MakeDirectoryPath(mirror, tempRoot) &&
                   platform::GetFileId(mirror, &mirror_id);
  std::vector<char> leaf_ok(names.size(), 1);
  std::vector<platform::FileId> leaf_ids(names.size());
  for (size_t j = 0; j < names.size() && mirror_ok; ++j) {
    const std::string leaf = Join(mirror, names[j]);
    leaf_ok[j] = tool.MakeDirectoryPath(leaf, tempRoot) && platform::GetFileId(leaf, &leaf_ids[j]);
  }

  const char* options = FolderArchiveOptions(kind);
  const std::string own_name = FolderName(relative) + ".zip";
  std::string archive = Join(mirror, own_name);
  bool clash = false;
  for (const std::string& name : names) {
    clash = clash || SameName(name, own_name);
  }
  if (clash) {
    Say("cannot make %s: %s has a subfolder of that name, whose mirror folder it would be",
        archive.c_str(), dir.c_str());
  }
  // The leaves come next; their files can be read while this one runs.
  auto hint_leaf_after = [&](size_t j) {
    while (j < names.size() && walked[j]) ++j;
    if (j < names.size()) HintNextFolder(Join(dir, names[j]));
  };
  hint_leaf_after(0);
  guard->status->ArchiverStarting(dir);
  ExpectFolders(&mirror_id, nullptr);
  if (!mirror_ok || clash ||
      tool.RunArchiver(archive, Pattern(dir), options, kind) != 0) {
    ReportArchiverFailure();
    if (!RunStopped()) ReportSkippedLeaves(dir, names, walked, 0);
    return -1;
  }
  guard->status->FolderArchived(dir);
  for (size_t j = 0; j < names.size(); ++j) {
    if (walked[j]) continue;
    std::string leaf_archive = Join(Join(mirror, names[j]), names[j] + ".zip");
    hint_leaf_after(j + 1);
    guard->status->ArchiverStarting(Join(dir, names[j]));
    ExpectFolders(&leaf_ids[j], nullptr);
    if (!leaf_ok[j] || tool.RunArchiver(leaf_archive,
                                        Pattern(Join(dir, names[j])), options,
                                        kind) != 0) {
      ReportArchiverFailure();
      if (!RunStopped()) ReportSkippedLeaves(dir, names, walked, j + 1);
      return -1;
    }
    guard->status->FolderArchived(Join(dir, names[j]));
  }
  return result;
}

}  // namespace

std::string RelativePart(const std::string& dir) {
  FolderTool tool;
  const char* rest = tool.SkipFirstComponent(dir.c_str());
  return rest == nullptr ? dir : std::string(rest);
}

std::string MirrorFolder(const std::string& dir, const std::string& tempRoot) {
  return Join(tempRoot, RelativePart(dir));
}

std::string FolderName(const std::string& relative) {
  size_t last = FindLastSeparator(relative);
  return last == std::string::npos ? relative : relative.substr(last + 1);
}

int CompressFolder(const std::string& dir, const std::string& tempRoot,
                   ArchiverKind kind, const std::string& bundle, WalkStatus* status) {
  WalkGuard guard;
  guard.status = status;
  guard.mirror_root = MirrorFolder(dir, tempRoot);
  if (!bundle.empty()) {
    size_t last = FindLastSeparator(bundle);
    guard.bundle_folder = last == std::string::npos ? "." : bundle.substr(0, last + 1);
  }
  platform::FileId id;
  guard.path.push_back(platform::GetFileId(dir, &id) ? id : platform::FileId());
  int result = Walk(dir, RelativePart(dir), tempRoot, kind, &guard);
  return guard.lost ? -1 : result;
}

}  // namespace trevask
