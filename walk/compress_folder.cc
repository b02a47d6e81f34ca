#include "walk/compress_folder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "base/file_id.h"
#include "base/folder_link.h"
#include "base/path.h"
#include "base/kept_members.h"
#include "base/zip_directory.h"
#include "base/zip_reader.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/run_queue.h"
#include "folder_tool/say.h"

namespace trevask {

namespace {

std::string Pattern(const std::string& dir) { return base::Join(dir, "*.*"); }

// Names on stderr the leaf folders that a failure left without archives.
void ReportSkippedLeaves(const std::string& dir,
                         const std::vector<std::string>& names,
                         const std::vector<char>& walked, size_t from) {
  std::string list;
  for (size_t j = from; j < names.size(); ++j) {
    if (walked[j]) continue;
    list += (list.empty() ? "" : ", ") + base::Join(dir, names[j]);
  }
  if (list.empty()) return;
  base::Say("not archived after that failure: %s", list.c_str());
}

// What the whole walk shares: where it must never go, the folders on the
// current path, by identity, so that a link back up is seen as a loop, and
// where and how every archiver run writes and is reported.
struct WalkGuard {
  std::string mirror_root;
  std::string bundle_folder;
  std::vector<base::FileId> path;
  std::string temp_root;
  ArchiverKind kind = kPkzip25;
  WalkStatus* status = nullptr;
  ArchiveRuns* runs = nullptr;
  bool lost = false;  // a folder could not be listed: its files are missing
  bool failed = false;  // an archiver run failed
  // An archiver could not be found or started: nothing more is run.
  bool stopped = false;
  RunQueue* queue = nullptr;
  // Counting ahead of the walk: the same folders left out, nothing said,
  // so that the walk itself says it once.
  bool counting = false;
};

// The folder archive of the folder that member_dir ("", "A/", "B/X/")
// names in the bundle, whose folder name is name.
std::string MemberOf(const std::string& member_dir, const std::string& name) {
  return member_dir + name + ".zip";
}

void NoteRun(WalkGuard* guard, const std::string& member, bool written) {
  if (guard->runs == nullptr || guard->counting) return;
  if (written) {
    guard->runs->written.insert(member);
  } else {
    guard->runs->failed.push_back(member);
  }
}

// One folder of the walk: its walkable subfolders, which of them were
// walked (they have subfolders of their own) and their mirror folders.
struct Folder {
  std::string dir, relative, mirror;
  std::string member_dir;  // "" for the top, "A/" below it
  std::vector<std::string> names;
  std::vector<char> links;  // as listed: names[j] is a link to a folder
  std::vector<int> counts;
  std::vector<char> walked;
  bool mirror_ok = false;
  base::FileId mirror_id;
  std::vector<char> leaf_ok;
  std::vector<base::FileId> leaf_ids;
};

// Drops what must not be walked, naming each on stderr: a link that leads
// to a folder of the current path, into the mirror tree or to what holds
// the bundle, and a folder that cannot be listed. The walk counts the
// subfolders of those that stay.
void KeepWalkable(FolderTool* tool, WalkGuard* guard, Folder* f) {
  const std::string& dir = f->dir;
  std::vector<std::string> kept;
  std::vector<char> kept_links;
  for (size_t j = 0; j < f->names.size(); ++j) {
    const std::string& name = f->names[j];
    std::string child = base::Join(dir, name);
    const bool link = f->links[j] != 0;
    const base::Walked judged = base::JudgeSubfolder(guard->path, dir, name, link);
    std::string why = judged.kind == base::Walked::kFolder ? "" : judged.why;
    // Where this run writes: the walk's own rules for links, beyond the
    // shared one.
    if (link && why.empty()) {
      if (PathIsWithin(guard->mirror_root, child) || PathIsWithin(child, guard->mirror_root)) {
        why = "a link into the mirror tree or to a folder that holds it";
      } else if (!guard->bundle_folder.empty() && PathIsWithin(guard->bundle_folder, child)) {
        why = "a link to the folder that holds DstFileName, or to one that holds it";
      }
    }
    if (!why.empty()) {
      if (!guard->counting) base::Say("not entered: %s: %s", child.c_str(), why.c_str());
      continue;
    }
    // Counting lists the folder next anyway and leaves it out when it
    // cannot; only the walk needs to know ahead whether it is a leaf.
    int count = guard->counting ? 0 : tool->CountSubfolders(child);
    if (count < 0) {
      base::Say("not archived: %s: the folder cannot be listed", child.c_str());
      // A link's folder is kept where it really is; a real folder is lost.
      if (!link) {
        guard->lost = true;
        NoteRun(guard, MemberOf(f->member_dir + name + "/", name), false);
      }
      continue;
    }
    kept.push_back(name);
    kept_links.push_back(link ? 1 : 0);
    f->counts.push_back(count);
  }
  f->names.swap(kept);
  f->links.swap(kept_links);
}

int Walk(const std::string& dir, const std::string& relative, const std::string& member_dir,
         WalkGuard* guard);
bool ListWalkable(FolderTool* tool, WalkGuard* guard, Folder* f);

// What Walk will hand the archivers of dir and below, by its own listing;
// a folder whose subfolders cannot all be listed fails before its archiver.
void Count(FolderTool* tool, WalkGuard* guard, const std::string& dir, bool with_files,
           TreeCount* count) {
  Folder f;
  f.dir = dir;
  if (!ListWalkable(tool, guard, &f)) return;
  // The files the archivers take.
  TreeCount::Own& own = count->folders[dir];
  std::vector<base::Entry> entries;
  std::string error;
  if (with_files && base::ListFolder(dir, &entries, &error)) {
    for (const base::Entry& e : entries) {
      if (base::JudgeEntry(guard->path, dir, e).kind != base::Walked::kFile) continue;
      ++own.files;
      own.bytes += e.size;
    }
  }
  count->files += own.files;
  count->bytes += own.bytes;
  for (const std::string& name : f.names) {
    const std::string child = base::Join(dir, name);
    base::FileId id;
    guard->path.push_back(base::GetFileId(child, &id) ? id : base::FileId());
    Count(tool, guard, child, with_files, count);
    guard->path.pop_back();
  }
}

// Only names actually listed are used, so that a folder that changes while
// it is walked cannot push the walk past its list.
bool ListWalkable(FolderTool* tool, WalkGuard* guard, Folder* f) {
  if (guard->counting) {
    if (tool->ListSubfoldersQuietly(f->dir, &f->names, &f->links) < 0) return false;
  } else if (tool->ListSubfolders(f->dir, &f->names, &f->links) < 0) {
    // A subfolder whose name cannot be carried would be missing from the
    // bundle; the folder fails before anything of it is made.
    ReportArchiverFailure();
    ReportSkippedLeaves(f->dir, f->names, std::vector<char>(f->names.size(), 0), 0);
    return false;
  }
  KeepWalkable(tool, guard, f);
  f->walked.assign(f->names.size(), 0);
  return true;
}

// Subfolders with subfolders go first, depth-first; the leaves are left to
// this folder, after its own archive. Returns -1 when one of them failed.
int WalkDeeper(WalkGuard* guard, Folder* f) {
  int result = 0;
  for (size_t j = 0; j < f->names.size() && !guard->stopped; ++j) {
    if (f->counts[j] == 0) continue;
    const std::string child = base::Join(f->dir, f->names[j]);
    base::FileId id;
    guard->path.push_back(base::GetFileId(child, &id) ? id : base::FileId());
    if (Walk(child, base::Join(f->relative, f->names[j]), f->member_dir + f->names[j] + "/",
             guard) != 0) {
      result = -1;
    }
    guard->path.pop_back();
    f->walked[j] = 1;
  }
  return result;
}

// Everything below tempRoot is made here or must be a real folder: a
// planted link would have the archives written wherever it leads. Each
// archiver is told which folder it is to write into, so that one swapped
// for a link since is refused rather than written through.
void MakeMirrors(FolderTool* tool, const WalkGuard& guard, Folder* f) {
  f->mirror = base::Join(guard.temp_root, f->relative);
  // The way to the mirror folder, looked at once for all its leaves.
  KnownFolders known;
  f->mirror_ok = tool->MakeDirectoryPath(f->mirror, guard.temp_root, &known) &&
                 base::GetFileId(f->mirror, &f->mirror_id);
  f->leaf_ok.assign(f->names.size(), 1);
  f->leaf_ids.resize(f->names.size());
  for (size_t j = 0; j < f->names.size() && f->mirror_ok; ++j) {
    const std::string leaf = base::Join(f->mirror, f->names[j]);
    f->leaf_ok[j] = tool->MakeDirectoryPath(leaf, guard.temp_root, &known) &&
                    base::GetFileId(leaf, &f->leaf_ids[j]);
  }
}

// The folder's archive would sit where a subfolder's mirror folder goes.
bool OwnArchiveClashes(const Folder& f, const std::string& own_name) {
  for (const std::string& name : f.names) {
    if (base::SameNameText(name, own_name)) {
      base::Say("cannot make %s: %s has a subfolder of that name, whose mirror folder it would be",
                base::Join(f.mirror, own_name).c_str(), f.dir.c_str());
      return true;
    }
  }
  return false;
}

// The next leaf from j on, whose files can be read while this archiver
// runs; empty when none is left.
std::string NextLeaf(const Folder& f, size_t j) {
  while (j < f.names.size() && f.walked[j]) ++j;
  return j < f.names.size() ? base::Join(f.dir, f.names[j]) : std::string();
}

// One folder's archiver run, as the walk plans it.
struct FolderRun {
  std::string source;      // the folder whose files go in
  std::string archive;     // its archive in the mirror tree
  std::string member;      // that archive's name in the bundle
  base::FileId id;         // the mirror folder made for it
  bool ready = false;      // the mirror folder is there and clashes with nothing
  std::string read_ahead;  // the folder the next run will read
};

// What the runs of one folder share; they may end after its walk returned.
struct FolderRuns {
  std::string dir;
  std::vector<std::string> names;
  std::vector<char> walked;
  size_t next = 0;        // the first leaf not started
  bool failed = false;    // a run failed: no more of its leaves start
  bool reported = false;  // the leaves not started have been named
};

// Starts the planned run once one may start, unless the folder has failed
// or nothing more runs; next is the leaf after it. A failure is said in the
// run's place, with the folder's leaves not started by then.
bool StartFolderArchiver(WalkGuard* guard, const std::shared_ptr<FolderRuns>& folder,
                         const FolderRun& planned, size_t next) {
  guard->queue->WaitForSlot();
  if (guard->stopped || guard->queue->Stopped() || folder->failed) return false;
  folder->next = next;
  guard->status->ArchiverStarting(planned.source);
  QueuedRun queued;
  queued.archive = planned.archive;
  queued.source = Pattern(planned.source);
  queued.options = FolderArchiveOptions(guard->kind);
  queued.kind = guard->kind;
  queued.run.archive_folder = planned.id;
  queued.run.read_ahead = planned.read_ahead;
  queued.run.stopped = &guard->stopped;
  queued.ready = planned.ready;
  const std::string source = planned.source, member = planned.member;
  guard->queue->Start(
      std::move(queued),
      // The failure counts from the run's end, though an earlier run may
      // still be going: nothing of the folder starts after it.
      [guard, folder, source](int status) {
        if (status == 0) {
          guard->status->FolderArchived(source);
        } else {
          folder->failed = true;
        }
      },
      [guard, folder, member](int status) {
        NoteRun(guard, member, status == 0);
        if (status == 0) return;
        guard->failed = true;
        ReportArchiverFailure();
        if (folder->reported) return;
        folder->reported = true;
        // Unless no archiver can run at all.
        if (!guard->stopped) {
          ReportSkippedLeaves(folder->dir, folder->names, folder->walked, folder->next);
        }
      });
  return !folder->failed;
}

// The relative part travels with the walk so that a source without any
// separator keeps the same mirror folders at every depth.
int Walk(const std::string& dir, const std::string& relative, const std::string& member_dir,
         WalkGuard* guard) {
  FolderTool tool;
  Folder f;
  f.dir = dir;
  f.relative = relative;
  f.member_dir = member_dir;
  const std::string own_name = FolderName(relative) + ".zip";
  if (!ListWalkable(&tool, guard, &f)) {
    NoteRun(guard, member_dir + own_name, false);
    return -1;
  }
  const int result = WalkDeeper(guard, &f);
  // Nothing more runs once the archiver cannot be started.
  if (guard->stopped) return -1;
  MakeMirrors(&tool, *guard, &f);

  // A failure ends this folder: its leaves not started by then are not.
  auto folder = std::make_shared<FolderRuns>();
  folder->dir = dir;
  folder->names = f.names;
  folder->walked = f.walked;
  const bool clash = OwnArchiveClashes(f, own_name);
  if (!StartFolderArchiver(guard, folder,
                           {dir, base::Join(f.mirror, own_name), member_dir + own_name,
                            f.mirror_id, f.mirror_ok && !clash, NextLeaf(f, 0)},
                           0)) {
    return -1;
  }
  for (size_t j = 0; j < f.names.size(); ++j) {
    if (f.walked[j]) continue;
    const std::string& name = f.names[j];
    if (!StartFolderArchiver(guard, folder,
                             {base::Join(dir, name),
                              base::Join(base::Join(f.mirror, name), name + ".zip"),
                              MemberOf(member_dir + name + "/", name), f.leaf_ids[j],
                              f.leaf_ok[j] != 0, NextLeaf(f, j + 1)},
                             j + 1)) {
      return -1;
    }
  }
  return result;
}

// The subfolders of the mirror folder mirror in name order, and of them
// the real folders, which alone are descended into: no run makes a link.
bool MirrorSubfolders(FolderTool* tool, const std::string& mirror,
                      std::vector<std::string>* names, std::vector<std::string>* folders) {
  std::vector<std::string> listed;
  std::vector<char> links;
  if (tool->ListSubfolders(mirror, &listed, &links) < 0) return false;
  std::vector<std::pair<std::string, char>> sorted;
  for (size_t j = 0; j < listed.size(); ++j) sorted.emplace_back(listed[j], links[j]);
  std::sort(sorted.begin(), sorted.end());
  for (const auto& entry : sorted) {
    names->push_back(entry.first);
    if (entry.second == 0) folders->push_back(entry.first);
  }
  return true;
}

// The mirror tree is walked, not the source: it holds no links, so the
// descent ends however the source's links lead.
int NameGone(FolderTool* tool, const std::string& dir, const std::string& mirror,
             const std::string& shown, KindChanges* kinds) {
  std::vector<std::string> names, folders;
  if (!MirrorSubfolders(tool, mirror, &names, &folders)) return 0;
  // A subfolder whose name is now a file's is named as such, not as gone.
  const std::set<std::string> changed = kinds->Folder(mirror, dir, shown, names);
  int gone = 0;
  for (const std::string& name : folders) {
    const std::string kept = base::Join(mirror, name), source = base::Join(dir, name);
    if (IsExistingFolder(source)) {
      gone += NameGone(tool, source, kept, shown + "/" + name, kinds);
    } else if (!changed.count(name)) {
      base::Say(
          "%s is gone from the source; its mirror folder %s stays, and so do its "
          "archives in the bundle",
          source.c_str(), kept.c_str());
      ++gone;
    }
  }
  return gone;
}

// True when the archive at path reads as a zip and every member's data
// unpacks to its size and CRC; else false, with what is wrong in *fault and
// on stderr. Every member is inflated, but only of the archives this run
// did not write: the others were just made from their files.
bool ArchiveSound(const std::string& path, base::KeptMember::Reason* fault) {
  std::string why;
  if (const std::shared_ptr<base::Source> archive = base::OpenFile(path, &why)) {
    const base::Source& file = *archive;
    std::vector<base::Member> members;
    if (base::ReadsAsZip(file, &why) && base::ReadDirectory(file, &members, &why)) {
      for (const base::Member& m : members) {
        // What no reader here can unpack (encrypted, another method) is
        // taken as it is.
        if (base::CheckData(file, m, &why) != base::Unpacked::kDamaged) continue;
        base::Say("%s holds a damaged member %s (%s); it is not to go into the bundle",
                  path.c_str(), m.name.c_str(), why.c_str());
        *fault = base::KeptMember::kDamaged;
        return false;
      }
      return true;
    }
  }
  base::Say("%s does not read as a zip (%s); it is not to go into the bundle", path.c_str(),
            why.c_str());
  *fault = base::KeptMember::kNotAZip;
  return false;
}

// The mirror folder mirror, named member_dir in the bundle, and below it.
void FindUnreadable(FolderTool* tool, const std::string& mirror, const std::string& member_dir,
                    const std::string& name, const ArchiveRuns& runs,
                    std::vector<base::KeptMember>* unreadable) {
  const std::string member = MemberOf(member_dir, name);
  const std::string archive = base::Join(mirror, name + ".zip");
  if (runs.written.count(member) == 0 &&
      std::find(runs.failed.begin(), runs.failed.end(), member) == runs.failed.end()) {
    // Anything there but a folder, or a link to one.
    const PathKind kind = KindOf(archive);
    base::KeptMember::Reason fault;
    if ((kind == PathKind::kOther || (kind == PathKind::kLink && !IsExistingFolder(archive))) &&
        !ArchiveSound(archive, &fault)) {
      unreadable->push_back({member, fault});
    }
  }
  std::vector<std::string> names, folders;
  if (!MirrorSubfolders(tool, mirror, &names, &folders)) return;
  for (const std::string& sub : folders) {
    FindUnreadable(tool, base::Join(mirror, sub), member_dir + sub + "/", sub, runs, unreadable);
  }
}

}  // namespace

std::vector<base::KeptMember> UnreadableKeptArchives(const std::string& dir,
                                                     const std::string& tempRoot,
                                                     const ArchiveRuns& runs) {
  FolderTool tool;
  std::vector<base::KeptMember> unreadable;
  FindUnreadable(&tool, MirrorFolder(dir, tempRoot), "", FolderName(RelativePart(dir)), runs,
                 &unreadable);
  return unreadable;
}

int NameGoneFolders(const std::string& dir, const std::string& tempRoot, KindChanges* kinds) {
  FolderTool tool;
  return NameGone(&tool, dir, MirrorFolder(dir, tempRoot), FolderName(RelativePart(dir)), kinds);
}

std::string RelativePart(const std::string& dir) {
  FolderTool tool;
  const char* rest = tool.SkipFirstComponent(dir.c_str());
  return rest == nullptr ? dir : std::string(rest);
}

std::string MirrorFolder(const std::string& dir, const std::string& tempRoot) {
  return base::Join(tempRoot, RelativePart(dir));
}

std::string FolderName(const std::string& relative) { return base::BaseName(relative); }

namespace {

WalkGuard GuardFor(const std::string& dir, const std::string& tempRoot,
                   const std::string& bundle) {
  WalkGuard guard;
  guard.temp_root = tempRoot;
  guard.mirror_root = MirrorFolder(dir, tempRoot);
  if (!bundle.empty()) guard.bundle_folder = base::ParentFolder(bundle);
  base::FileId id;
  guard.path.push_back(base::GetFileId(dir, &id) ? id : base::FileId());
  return guard;
}

}  // namespace

int CompressFolder(const std::string& dir, const std::string& tempRoot,
                   ArchiverKind kind, const std::string& bundle, WalkStatus* status,
                   ArchiveRuns* runs, int jobs) {
  WalkGuard guard = GuardFor(dir, tempRoot, bundle);
  guard.kind = kind;
  guard.status = status;
  guard.runs = runs;
  RunQueue queue(jobs, [status] { status->OutputComing(); }, [status] { status->OutputWritten(); });
  guard.queue = &queue;
  int result = Walk(dir, RelativePart(dir), "", &guard);
  queue.Finish();
  if (runs != nullptr) runs->stopped = guard.stopped;
  return guard.lost || guard.failed ? -1 : result;
}

void CountWalk(const std::string& dir, const std::string& tempRoot, const std::string& bundle,
               bool with_files, TreeCount* count) {
  WalkGuard guard = GuardFor(dir, tempRoot, bundle);
  guard.counting = true;
  FolderTool tool;
  Count(&tool, &guard, dir, with_files, count);
}

}  // namespace trevask
