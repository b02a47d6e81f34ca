#include "app/driver.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/progress.h"
#include "base/bundle_layout.h"
#include "base/kept_members.h"
#include "base/update_lock.h"
#include "base/path.h"
#include "base/recorded_time.h"
#include "base/system.h"
#include "base/threads.h"
#include "base/zip_directory.h"
#include "folder_tool/folder_tool.h"
#include "folder_tool/name_rules.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/say.h"
#include "folder_tool/trust.h"
#include "walk/compress_folder.h"
#include "walk/mirror_tree.h"

namespace trevask {

namespace {

void PrintUsage() {
  std::fputs(
      "Trevask Version 1.0.0\n"
      " ERROR:Argument need for 3 Parameters.\n"
      " usage: Trevask SourceFolder DstFileName TempFolder [options]\n"
      " Option:\t-r  Temporary file delete.\n"
      "            -d  Using PKZIP ver2.5.(default)\n"
      "            -w  Using PKZIP ver8.\n"
      "\n"
      "Trevask is made and maintained by the Trevask developers.\n"
      "\n",
      stdout);
}

struct Options {
  int remove = 0;
  ArchiverKind kind = kPkzip25;
  int jobs = 1;  // archiver runs at once
};

// "-j" alone: the cores this process may run on; "-jN": N from 1 to 64,
// without a leading zero. 0 for anything else.
int JobsOf(const char* arg) {
  if (std::strcmp(arg, "-j") == 0) return base::UsableCores();
  const char* digits = arg + 2;
  if (digits[0] < '1' || digits[0] > '9') return 0;
  if (digits[1] != '\0' && (digits[1] < '0' || digits[1] > '9' || digits[2] != '\0')) return 0;
  const int n = std::atoi(digits);
  return n <= 64 ? n : 0;
}

// Every argument after the third, matched as substrings: "-r" anywhere sets
// removal; then "-d" or "-w" picks the archiver, "-w" winning. One that
// begins with "-j" sets the runs at once and nothing else, the last one
// winning.
Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 4; i < argc; ++i) {
    if (std::strncmp(argv[i], "-j", 2) == 0) {
      const int jobs = JobsOf(argv[i]);
      if (jobs == 0) {
        base::Say("%s is not understood and is ignored; -j takes 1 to 64 runs at once",
                  argv[i]);
      } else {
        options.jobs = jobs;
      }
      continue;
    }
    if (std::strstr(argv[i], "-r") != nullptr) options.remove = 1;
    if (std::strstr(argv[i], "-d") != nullptr) options.kind = kPkzip25;
    if (std::strstr(argv[i], "-w") != nullptr) options.kind = kPkzip8;
  }
  return options;
}

struct Paths {
  std::string source;
  std::string destination;
  std::string temp_root;
  std::string mirror;
};

int Refuse(const std::string& what, const std::string& path) {
  base::Say("%s: %s", what.c_str(), path.c_str());
  return -1;
}

int CheckMirrorWay(const std::string& mirror) {
  std::string folder, reason;
  if (WayIsTrusted(mirror, &folder, &reason)) return 0;
  return Refuse("TempFolder is not safe: " + reason + "; use a TempFolder that only "
                "you can write, for example under your home or $XDG_RUNTIME_DIR",
                folder);
}

bool HasDotDotComponent(const std::string& relative) {
  PathComponents parts(relative);
  while (parts.Next()) {
    if (parts.Name() == "..") return true;
  }
  return false;
}

// The three path arguments in the platform's own form, none of them
// empty or holding a name the platform cannot reach.
int ReadArguments(char** argv, Paths* paths) {
  const char* const kNames[] = {"SourceFolder", "DstFileName", "TempFolder"};
  for (int i = 1; i <= 3; ++i) {
    if (argv[i][0] == '\0') {
      base::Say("%s is empty", kNames[i - 1]);
      return -1;
    }
  }
  std::string given[3];
  for (int i = 0; i < 3; ++i) {
    std::string error;
    if (!NativeArgumentPath(argv[i + 1], &given[i], &error)) {
      return Refuse(std::string(kNames[i]) + ": " + error, argv[i + 1]);
    }
    std::string component;
    std::string rule = PathRuleBroken(given[i], &component);
    if (!rule.empty()) {
      return Refuse(std::string(kNames[i]) + " has the name \"" + component +
                        "\", but " + rule,
                    given[i]);
    }
  }
  paths->source = DropTrailingSeparators(given[0]);
  paths->destination = given[1];
  paths->temp_root = given[2];
  return 0;
}

// SourceFolder: an existing folder with a name of its own to mirror.
int CheckSource(const std::string& source) {
  // C:Data means Data in drive C's current folder, which is not this
  // process's business to guess.
  if (base::IsDriveRelative(source)) {
    return Refuse("SourceFolder must not be drive-relative (C:Data); write C:\\Data",
                  source);
  }
  if (!IsExistingFolder(source)) {
    return Refuse("SourceFolder is not an existing folder", source);
  }
  const std::string relative = RelativePart(source);
  if (relative.empty()) {
    return Refuse("SourceFolder is a root and has no folder name to mirror",
                  source);
  }
  if (HasDotDotComponent(relative) || FolderName(relative) == ".") {
    return Refuse(
        "SourceFolder must not contain '..' or end in '.' after its first "
        "component",
        source);
  }
  return 0;
}

// The mirror folder, all that the run makes and -r removes: inside
// TempFolder, apart from SourceFolder, reached through no link or file.
// What an existing one holds is judged only under the locks: until then it
// may be another run's.
int CheckMirror(Paths* paths) {
  const std::string& temp_root = paths->temp_root;
  if (KindOf(temp_root) != PathKind::kMissing && !IsExistingFolder(temp_root)) {
    return Refuse("TempFolder exists and is not a folder", temp_root);
  }
  paths->mirror = MirrorFolder(paths->source, temp_root);
  const std::string& mirror = paths->mirror;
  if (mirror.size() > kMaxPathLength) {
    return Refuse("the mirror folder's path is " + std::to_string(mirror.size()) +
                      " bytes long, over the limit of " + std::to_string(kMaxPathLength),
                  mirror);
  }
  if (PathIsWithin(mirror, paths->source) || PathIsWithin(paths->source, mirror)) {
    return Refuse(
        "the mirror folder would overlap SourceFolder; choose another "
        "TempFolder",
        mirror);
  }
  std::string unsafe = FirstUnsafeComponent(mirror, temp_root);
  if (!unsafe.empty() && unsafe != mirror) {
    return Refuse(
        "the mirror folder would pass through a link or a file below "
        "TempFolder; choose another TempFolder",
        unsafe);
  }
  const PathKind mirror_kind = KindOf(mirror);
  if (mirror_kind == PathKind::kLink || mirror_kind == PathKind::kOther) {
    return Refuse(
        "the mirror folder exists as a link or a file; choose another "
        "TempFolder",
        mirror);
  }
  return 0;
}

// DstFileName: a new or regular file in an existing folder, outside SourceFolder and the mirror folder.
int CheckDestination(const Paths& paths) {
  const std::string& destination = paths.destination;
  if (IsExistingFolder(destination)) {
    return Refuse("DstFileName is an existing folder", destination);
  }
  if (!IsExistingFolder(base::ParentFolder(destination))) {
    return Refuse("the folder of DstFileName does not exist", destination);
  }

  // Opening a FIFO or a device would block or read from it.
  if (IsSpecialFile(destination)) {
    return Refuse("DstFileName exists and is not a regular file", destination);
  }
  if (PathIsWithin(destination, paths.source)) {
    return Refuse("DstFileName lies inside SourceFolder", destination);
  }
  if (PathIsWithin(destination, paths.mirror)) {
    return Refuse("DstFileName lies inside the mirror folder", destination);
  }
  return 0;
}

// Another user who can rename a folder on either way can swap it for a
// link while the run writes, and -r would then remove through it. The
// bundle's folder must also take the new bundle, seen before the walk.
int CheckWays(const Paths& paths) {
  if (CheckMirrorWay(paths.mirror) != 0) return -1;
  std::string folder, reason;
  if (!WayIsTrusted(paths.destination, &folder, &reason)) {
    return Refuse("DstFileName is not safe: " + reason + "; write the bundle to a "
                  "folder that only you can write",
                  folder);
  }
  // The bundle is written beside the file a link at DstFileName leads to.
  std::string target;
  if (!base::FinalTarget(paths.destination, &target, &reason)) {
    return Refuse("DstFileName cannot be followed: " + reason, paths.destination);
  }
  if (!FolderIsWritable(base::ParentFolder(target), &reason)) {
    return Refuse("the bundle cannot be written in the folder of DstFileName: " + reason,
                  paths.destination);
  }
  return 0;
}

// Everything the run creates, and "-r" removes, is the mirror folder: it
// must lie inside TempFolder, apart from the source and the bundle, and
// reach no further than TempFolder through any link. Returns 0 when the
// run may start, after saying why on stderr otherwise.
int CheckPaths(char** argv, const Options& options, Paths* paths) {
  if (ReadArguments(argv, paths) != 0 || CheckSource(paths->source) != 0 ||
      CheckMirror(paths) != 0 || CheckDestination(*paths) != 0 ||
      CheckWays(*paths) != 0) {
    return -1;
  }
  if (!ArchiverFound(options.kind)) {
    base::Say("%s", ArchiverNotFound(options.kind).c_str());
    // Scripts look for the message of a failed archiver run.
    ReportArchiverFailure();
    return -1;
  }
  return 0;
}

// An existing DstFileName is updated only when it is empty or the bundle of
// a folder of this one's name: an update from another source would put its
// folders over this one's and leave two archives at the top. Looked at
// under the bundle's lock, so that two runs cannot both pass.
int CheckExistingBundle(const Paths& paths) {
  const std::string& destination = paths.destination;
  if (KindOf(destination) == PathKind::kMissing) return 0;
  std::string error;
  const std::shared_ptr<base::Source> opened = base::OpenFile(destination, &error);
  if (!opened) return Refuse("DstFileName exists and cannot be read: " + error, destination);
  const base::Source& file = *opened;
  // Taken as a new archive, as the archivers take it.
  if (file.Size() == 0) return 0;
  std::vector<base::Member> members;
  if (!base::ReadDirectory(file, &members, &error)) {
    return Refuse("DstFileName exists and is not a zip archive (" + error +
                      "); nothing was touched",
                  destination);
  }
  // Nothing in it to lose or to mix with this source's.
  if (members.empty()) return 0;
  // A failed run's bundle may lack its top archive: this run writes it.
  const std::string source_name = FolderName(RelativePart(paths.source));
  const std::string own = source_name + ".zip";
  const base::BundleLayout layout = base::JudgeBundleLayout(members, source_name);
  for (const std::size_t top : layout.tops) {
    if (!base::SameNameText(members[top].name, own)) {
      return Refuse("DstFileName is the bundle of another folder (" + members[top].name +
                        " at its top, where this source's is " + own +
                        "); write it to another file, or remove it first",
                    destination);
    }
  }
  if (!layout.IsBundle()) {
    const base::LayoutFault& fault = layout.faults[0];
    return Refuse("DstFileName is a zip archive but not a bundle of folder archives (" +
                      (fault.member.empty() ? fault.why : "it holds " + fault.member) +
                      "); nothing was touched",
                  destination);
  }
  // A reader takes "B/b.zip" for B's archive, but this run writes "B/B.zip"
  // and the update would hold both: no reader's bundle any more.
  for (const base::LayoutFolder& folder : layout.folders) {
    if (!folder.has_archive || folder.names.empty()) continue;
    std::string below;
    for (const std::string& name : folder.names) below += (below.empty() ? "" : "/") + name;
    const std::string written = base::FolderArchiveMember(below, "");
    const std::string& held = members[folder.archive].name;
    if (held != written) {
      return Refuse("DstFileName holds " + held + ", where this run writes " + written +
                        " for the same folder; write the bundle to another file, or "
                        "remove it first",
                    destination);
    }
  }
  return 0;
}

// A kept mirror tree goes into the bundle whole: anything in it that no run
// made would make a bundle no reader accepts. Under the locks, so that the
// tree is no other run's.
int CheckMirrorTree(const Paths& paths, const Options& options) {
  const PathKind kind = KindOf(paths.mirror);
  if (kind == PathKind::kMissing) return 0;
  if (kind != PathKind::kFolder) {
    return Refuse("the mirror folder exists as a link or a file; choose another TempFolder",
                  paths.mirror);
  }
  // -r takes only what this run made.
  if (options.remove == 1) {
    return Refuse("the mirror folder already exists and -r would remove it with "
                  "everything in it; remove it first or choose another TempFolder",
                  paths.mirror);
  }
  MirrorContents contents;
  JudgeMirrorTree(paths.mirror, &contents);
  for (const std::string& leftover : contents.leftovers) {
    base::Say("%s was left by an interrupted archiver; it is not packed and can be removed",
              leftover.c_str());
  }
  if (contents.foreign == 0) return 0;
  std::string more;
  if (contents.foreign > 1) more = " and " + std::to_string(contents.foreign - 1) + " more";
  return Refuse("the mirror tree holds what no run of trevask made (" +
                    contents.first_foreign + more +
                    "); move them out of it or choose another TempFolder; nothing was touched",
                paths.mirror);
}

// A folder whose archive cannot be named under TempFolder, or whose
// archiver line is over the platform's limits, would fail in mid-walk and
// take the leaves after it along: refused before anything is made.
int CheckNames(const Paths& paths, const Options& options, const TreeCount& count) {
  const size_t limit = NameLimitOf(paths.temp_root);
  std::vector<std::string> refused;
  for (const auto& folder : count.folders) {
    const std::string& dir = folder.first;
    const std::string name = FolderName(dir) + ".zip";
    std::string why;
    if (count.folders.count(base::Join(dir, name)) != 0) {
      why = "its archive " + name + " cannot be made: it has a subfolder of that name, whose "
            "mirror folder it would be";
    } else if (limit > 0 && NameLength(name) > limit) {
      why = "its archive's name " + name + " is longer than the " + std::to_string(limit) +
            " that TempFolder's file system allows";
    } else {
      const std::string mirror = paths.mirror + dir.substr(paths.source.size());
      why = ArchiverRunProblem(base::Join(mirror, name), base::Join(dir, "*.*"),
                               FolderArchiveOptions(options.kind), options.kind);
    }
    if (!why.empty()) refused.push_back(dir + ": " + why);
  }
  if (refused.empty()) {
    const std::string why =
        ArchiverRunProblem(paths.destination, base::Join(paths.mirror, "*.*"),
                           BundleOptions(options.kind), options.kind);
    if (why.empty()) return 0;
    return Refuse("the bundle cannot be made: " + why + "; nothing was made", paths.destination);
  }
  const size_t kNamed = 20;
  for (size_t i = 0; i < refused.size() && i < kNamed; ++i) {
    base::Say("cannot be archived: %s", refused[i].c_str());
  }
  if (refused.size() > kNamed) {
    base::Say("and %zu more folders that cannot be archived", refused.size() - kNamed);
  }
  const std::string folders =
      refused.size() == 1 ? "a folder" : std::to_string(refused.size()) + " folders";
  base::Say("nothing was made: %s cannot be archived under this TempFolder; rename or "
            "shorten them, or choose a TempFolder with a shorter path",
            folders.c_str());
  return -1;
}

// The mirror folder that this run made itself, for an interrupted -r run
// to take away again.
struct Made {
  std::string path;
  base::FileId id;
  bool set = false;
} made_mirror;

// Removes the mirror folder only while it is still the one this run knows:
// a folder swapped in meanwhile is left alone.
bool RemoveMirror(const std::string& mirror, const base::FileId& id) {
  if (FolderTool().RemoveFolder(mirror, id) == -2) {
    base::Say("%s is no longer the mirror folder this run made; nothing was removed",
              mirror.c_str());
    return false;
  }
  return true;
}

void RemoveMadeMirror() {
  if (made_mirror.set) RemoveMirror(made_mirror.path, made_mirror.id);
}

// With -r the mirror folder must be new, so that the removal takes only
// what this run made: created here, exclusively.
int MakeMirror(const Paths& paths) {
  FolderTool tool;
  std::string parent = base::ParentFolder(paths.mirror);
  if (!parent.empty() && !tool.MakeDirectoryPath(parent, paths.temp_root)) return -1;
  std::string error;
  if (!CreateNewFolder(paths.mirror, &error)) {
    if (KindOf(paths.mirror) != PathKind::kMissing) {
      return Refuse("the mirror folder already exists and -r would remove it with "
                    "everything in it; remove it first or choose another TempFolder",
                    paths.mirror);
    }
    return Refuse("cannot make the mirror folder: " + error, paths.mirror);
  }
  base::FileId id;
  if (!base::GetFileId(paths.mirror, &id)) {
    return Refuse("cannot look at the mirror folder", paths.mirror);
  }
  made_mirror.path = paths.mirror;
  made_mirror.id = id;
  made_mirror.set = true;
  return 0;
}

// The folder archives the bundle is to keep as it holds them: those whose
// run failed, and kept ones (not written by this run) that do not read as
// a zip or hold a damaged member.
std::vector<base::KeptMember> KeptMembers(const Paths& paths, const ArchiveRuns& runs) {
  std::vector<base::KeptMember> kept;
  for (const std::string& name : runs.failed) {
    kept.push_back(base::KeptMember{name, base::KeptMember::kRunFailed});
  }
  const std::vector<base::KeptMember> unreadable =
      UnreadableKeptArchives(paths.source, paths.temp_root, runs);
  kept.insert(kept.end(), unreadable.begin(), unreadable.end());
  return kept;
}

// Hands kept to the bundle archiver's run alone; returns 1 when a kept
// archive is damaged, which fails the run, -1 when the list cannot be handed.
int HandKeptMembers(const Paths& paths, const std::vector<base::KeptMember>& kept,
                    ArchiverRun* bundle_run) {
  std::string error;
  if (!KeepBundleMembers(kept, bundle_run, &error)) {
    return Refuse(error + "; the bundle step is not run, the bundle is left as it was and the "
                  "mirror folder stays",
                  paths.mirror);
  }
  return std::any_of(kept.begin(), kept.end(), [](const base::KeptMember& m) {
    return m.reason != base::KeptMember::kRunFailed;
  }) ? 1 : 0;
}

int RunBundle(const Paths& paths, const Options& options, const RunLocks& locks,
              const base::FileId& mirror_id, ArchiverRun run) {
  // Its archiver takes the update lock this run holds as its own.
  run.lock = locks.HandedBundleLock();
  // And it writes only into the folder locked here, from the mirror folder
  // made here, however either was swapped since.
  std::string target, error;
  base::FileId holder_id;
  if (!base::FinalTarget(paths.destination, &target, &error) ||
      !base::GetFileId(base::ParentFolder(target), &holder_id)) {
    return Refuse("cannot look at the folder of DstFileName", paths.destination);
  }
  run.archive_folder = holder_id;
  run.source_folder = mirror_id;
  FolderTool tool;
  std::string pattern = paths.mirror + base::kSeparator + "*.*";
  progress::Erase();
  if (tool.RunArchiver(paths.destination, pattern, BundleOptions(options.kind),
                       options.kind, run) != 0) {
    ReportArchiverFailure();
    return -1;
  }
  return 0;
}

// The bundle just written, judged as trevask-extract judges it: one that it
// would refuse whole fails the run, and the mirror folder stays, even with
// -r, for the user to make it again from.
int CheckWrittenBundle(const Paths& paths) {
  std::string error;
  std::vector<base::Member> members;
  const std::shared_ptr<base::Source> written = base::OpenFile(paths.destination, &error);
  if (!written || !base::ReadDirectory(*written, &members, &error)) {
    return Refuse("the bundle just written cannot be read back (" + error +
                      "); the mirror folder " + paths.mirror + " stays",
                  paths.destination);
  }
  const base::BundleLayout layout =
      base::JudgeBundleLayout(members, base::TreeNameOfFile(paths.destination));
  if (layout.IsBundle()) return 0;
  return Refuse("the bundle just written is not one trevask-extract reads (" +
                    layout.faults[0].why + "); the mirror folder " + paths.mirror + " stays",
                paths.destination);
}

// The folders that making TempFolder made, nearest first, for a run refused
// under its locks to take away again while they are still empty.
class MadeForLock {
 public:
  explicit MadeForLock(const std::string& temp_root) {
    for (std::string at = temp_root; !at.empty() && KindOf(at) == PathKind::kMissing;) {
      missing_.push_back(at);
      const std::string parent = base::ParentFolder(at);
      if (parent == at) break;
      at = parent;
    }
  }
  void Note() {
    for (const std::string& path : missing_) {
      base::FileId id;
      if (!base::GetFileId(path, &id)) break;
      made_.push_back({path, id});
    }
  }
  void Undo() {
    for (const auto& folder : made_) {
      if (!RemoveEmptyFolder(folder.first, folder.second)) break;
    }
    made_.clear();
  }

 private:
  std::vector<std::string> missing_;
  std::vector<std::pair<std::string, base::FileId>> made_;
};

// Everything the run depends on that other runs write, judged once it holds
// the locks and before it makes anything.
int JudgeUnderLocks(const Paths& paths, const Options& options, TreeCount* count) {
  if (CheckMirrorTree(paths, options) != 0 || CheckExistingBundle(paths) != 0) return -1;
  // The files are counted for the progress line alone.
  CountWalk(paths.source, paths.temp_root, paths.destination, progress::StderrIsTerminal(),
            count);
  return CheckNames(paths, options, *count);
}

int Run(const Paths& paths, const Options& options) {
  // Mirror folders of two runs over one TempFolder can nest, and one run's
  // -r would take the other's.
  FolderTool tool;
  MadeForLock made(paths.temp_root);
  const bool temp_made = tool.MakeDirectoryPath(paths.temp_root);
  made.Note();
  if (!temp_made) {
    made.Undo();
    return -1;
  }
  // One run at a time per TempFolder and per bundle folder; see RunLocks.
  RunLocks locks;
  std::string error;
  if (!locks.Acquire(paths.temp_root, paths.destination, &error)) {
    made.Undo();
    ExitIfInterrupted();
    return Refuse("cannot lock: " + error, paths.temp_root);
  }
  TreeCount count;
  if (JudgeUnderLocks(paths, options, &count) != 0) {
    made.Undo();
    return -1;
  }
  // A mirror folder that cannot be made fails the run before anything runs.
  if (options.remove == 1 ? MakeMirror(paths) != 0
                          : !tool.MakeDirectoryPath(paths.mirror, paths.temp_root)) {
    made.Undo();
    return -1;
  }
  // Folders made since the checks, by this run or meanwhile by another user
  // (TempFolder in /tmp, say), must be trusted as well.
  if (CheckMirrorWay(paths.mirror) != 0) return -1;
  base::FileId mirror_id = made_mirror.id;
  if (!made_mirror.set && !base::GetFileId(paths.mirror, &mirror_id)) {
    return Refuse("cannot look at the mirror folder", paths.mirror);
  }

  progress::NoteExistingBundle(paths.destination);
  progress::Begin(count);
  progress::WalkLine line;
  ArchiveRuns runs;
  int walk_status = CompressFolder(paths.source, paths.temp_root, options.kind,
                                   paths.destination, &line, &runs, options.jobs);
  if (runs.stopped) return -1;
  const std::vector<base::KeptMember> kept_members = KeptMembers(paths, runs);
  // A kept mirror tree may hold folders of an earlier run that the source
  // no longer has; -r starts from an empty one.
  {
    // Before the bundle step: a -r run's earlier copy may be only in the
    // bundle as it is now, which is closed again before the step (Windows
    // replaces no open file).
    KindChanges kinds(paths.destination, options.remove == 1, kept_members);
    if (options.remove != 1) {
      NameGoneFolders(paths.source, paths.temp_root, &kinds);
    } else if (kinds.HasEarlier()) {
      JudgeKindChanges(&kinds, paths.mirror, paths.source,
                       FolderName(RelativePart(paths.source)));
    }
  }

  ArchiverRun bundle_run;
  const int kept = HandKeptMembers(paths, kept_members, &bundle_run);
  if (kept < 0) return -1;
  if (RunBundle(paths, options, locks, mirror_id, bundle_run) != 0) return -1;
  if (CheckWrittenBundle(paths) != 0) return -1;
  // A mirror tree with failed folders is kept for the user to inspect.
  if (walk_status != 0 || kept != 0) return -1;
  if (options.remove != 1) return 0;
  // A link may lead into the mirror folder only now that it exists.
  if (PathIsWithin(paths.destination, paths.mirror)) {
    base::Say("DstFileName %s lies inside the mirror folder %s; nothing was removed",
              paths.destination.c_str(), paths.mirror.c_str());
    return -1;
  }
  made_mirror.set = false;
  if (!RemoveMirror(paths.mirror, made_mirror.id)) return -1;
  if (KindOf(paths.mirror) != PathKind::kMissing) {
    base::Say("the mirror folder %s could not be removed entirely", paths.mirror.c_str());
  }
  return 0;
}

}  // namespace

int RunTrevask(int argc, char** argv) {
  if (argc < 4) {
    PrintUsage();
    return -1;
  }
  std::string uncarried;
  if (!ArgumentsCarried(&uncarried)) {
    base::Say("%s", uncarried.c_str());
    return -1;
  }
  // The archivers would refuse it for every folder.
  std::int64_t latest_time;
  if (!base::LatestRecordedTime(&latest_time, &uncarried)) {
    base::Say("%s", uncarried.c_str());
    return -1;
  }
  Options options = ParseOptions(argc, argv);
  Paths paths;
  if (CheckPaths(argv, options, &paths) != 0) return -1;
  InstallInterruptHandling(RemoveMadeMirror);
  int status = Run(paths, options);
  // An interruption after the last archiver still ends the run by it.
  ExitIfInterrupted();
  progress::End(paths.destination);
  return status;
}

}  // namespace trevask
