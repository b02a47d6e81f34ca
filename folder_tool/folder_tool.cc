// The portable half of FolderTool: the order of directory creation and
// the bookkeeping around archiver runs. The platform half lives in
// folder_tool-<platform>.cc, spawn-<platform>.cc and remove_tree-<platform>.cc.
#include "folder_tool/folder_tool.h"

#include <cstdio>
#include <cstring>

#include "base/syntax.h"
#include "folder_tool/command_line.h"
#include "folder_tool/name_rules.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/remove_tree.h"
#include "folder_tool/say.h"
#include "folder_tool/spawn.h"

namespace trevask {

const char* ArchiverCommandName(ArchiverKind kind) {
  return base::SyntaxOf(kind).command;
}

const char* FolderArchiveOptions(ArchiverKind kind) {
  return base::SyntaxOf(kind).add;
}

const char* BundleOptions(ArchiverKind kind) {
  return base::SyntaxOf(kind).bundle;
}

int FolderTool::CountSubfolders(const std::string& dir) {
  return ScanSubfolders(dir, nullptr, 0);
}

int FolderTool::ListSubfolders(const std::string& dir, std::vector<std::string>* names,
                               std::vector<char>* links) {
  return ScanSubfolders(dir, names, 1, links);
}

const char* FolderTool::SkipFirstComponent(const char* path) {
  size_t at = base::FindSeparator(path);
  return at == std::string::npos ? nullptr : path + at + 1;
}

namespace {

enum class Below { kMade, kUnsafe, kFailed };

// Makes path's components from byte from on, each existing one a real
// folder, in one pass: where a folder is likely missing (the last one, or
// below one just made) mkdir is the look, as it never follows a link at its
// end. kFailed: one is missing and could not be made, or there is none.
Below MakeBelow(const std::string& path, size_t from, KnownFolders* known,
                std::string* unsafe) {
  PathComponents parts(path, from);
  bool any = false, made = false;
  while (parts.Next()) {
    any = true;
    const std::string prefix = parts.Prefix();
    if (known->count(prefix) != 0) continue;
    PathComponents rest = parts;
    PathKind kind = made || !rest.Next() ? PathKind::kMissing : KindOf(prefix);
    made = false;
    if (kind == PathKind::kMissing) {
      std::string error;
      made = CreateNewFolder(prefix, &error);
      kind = made ? PathKind::kFolder : KindOf(prefix);
      if (kind == PathKind::kMissing) return Below::kFailed;
    }
    if (kind != PathKind::kFolder) {
      *unsafe = prefix;
      return Below::kUnsafe;
    }
    known->insert(prefix);
  }
  return any ? Below::kMade : Below::kFailed;
}

}  // namespace

bool FolderTool::MakeDirectoryPath(const std::string& path, const std::string& below,
                                   KnownFolders* known) {
  // A path the platform cannot hold is reported by the archiver run that
  // needs it; no part of it is made.
  if (path.size() > kMaxPathLength) return true;
  std::string unsafe;
  if (!below.empty() && path.compare(0, below.size(), below) == 0) {
    KnownFolders own;
    const Below made = MakeBelow(path, below.size(), known != nullptr ? known : &own, &unsafe);
    if (made == Below::kMade) return true;
    // A failure is judged and said below, from the root on.
    if (made == Below::kFailed) unsafe.clear();
  }
  if (unsafe.empty()) unsafe = FirstUnsafeComponent(path, below);
  if (!unsafe.empty()) {
    base::Say("%s is a link or not a folder; nothing is written through it", unsafe.c_str());
    return false;
  }
  // The walk asks again for folders it has made; one look then suffices
  // where every prefix would be attempted anew.
  if (IsExistingFolder(path)) return true;
  // The root stays whole (a share is never made), with the separators that
  // follow it; runs of separators inside collapse and a trailing one adds
  // nothing.
  size_t start = base::RootLength(path);
  while (start < path.size() && base::FindSeparator(path, start) == start) ++start;
  std::string prefix = path.substr(0, start);
  std::string failed, why;
  PathComponents parts(path, start);
  for (bool first = true; parts.Next(); first = false) {
    if (!first) prefix += base::kSeparator;
    prefix += parts.Name();
    std::string error;
    // The first prefix that could not be made is the reason for the rest.
    if (!CreateNewFolder(prefix, &error) && failed.empty() &&
        !IsExistingFolder(prefix)) {
      failed = prefix;
      why = KindOf(prefix) == PathKind::kMissing ? error : "it exists and is not a folder";
    }
  }
  if (IsExistingFolder(path)) return true;
  base::Say("cannot make the folder %s: %s", failed.empty() ? path.c_str() : failed.c_str(),
            why.empty() ? "it exists and is not a folder" : why.c_str());
  return false;
}

bool KeepBundleMembers(const std::vector<base::KeptMember>& members, ArchiverRun* run,
                       std::string* error) {
  std::vector<base::KeptMember> handed = members;
  for (base::KeptMember& m : handed) m.name = platform::ArchiverText(m.name);
  const std::string text = base::EncodeKeptMembers(handed);
  const size_t length = std::strlen(base::kKeptMembersVariable) + 1 + text.size();
  if (length > kMaxVariableLength) {
    *error = "the list of " + std::to_string(members.size()) +
             " folder archives the bundle is to keep as it holds them takes " +
             std::to_string(length) + " characters, over the limit of " +
             std::to_string(kMaxVariableLength) + " for one environment variable";
    return false;
  }
  run->kept_members = text;
  return true;
}

bool ArchiverFound(ArchiverKind kind) {
  return platform::ProgramFound(ArchiverCommandName(kind));
}

namespace platform {

ChildVariables RunVariables(const ArchiverRun& run, const std::string& parent_pid) {
  auto text = [](const std::optional<base::FileId>& id) {
    return id ? base::FileIdText(*id) : std::string();
  };
  ChildVariables variables{{"TREVASK_ARCHIVE_FOLDER", text(run.archive_folder)},
                           {"TREVASK_SOURCE_FOLDER", text(run.source_folder)},
                           {base::kKeptMembersVariable, run.kept_members},
                           {base::kUpdateLockVariable, run.lock.value},
                           {"TREVASK_PARENT_PID", parent_pid}};
  if (!run.threads.empty()) variables.emplace_back("TREVASK_THREADS", run.threads);
  return variables;
}

}  // namespace platform

std::string ArchiverNotFound(ArchiverKind kind) {
  return std::string("the archiver ") + ArchiverCommandName(kind) + " was not found; put it on PATH";
}

int FolderTool::RunArchiver(const std::string& archive,
                            const std::string& source, const char* options,
                            ArchiverKind kind, const ArchiverRun& run) {
  std::vector<std::string> args;
  if (!BuildArchiverArguments(archive, source, options, kind, &args)) return -1;
  if (std::fflush(stdout) != 0) base::NoteOutputError();
  bool started = true;
  int status = platform::RunArchiverProgram(args, run, &started);
  if (status == kCommandNotFoundStatus) base::Say("%s", ArchiverNotFound(kind).c_str());
  // Every later run would fail the same way.
  if ((status == kCommandNotFoundStatus || !started) && run.stopped != nullptr) {
    *run.stopped = true;
  }
  return status;
}

std::string ArchiverRunProblem(const std::string& archive, const std::string& source,
                               const char* options, ArchiverKind kind) {
  std::vector<std::string> args;
  std::string why;
  if (!BuildArchiverArguments(archive, source, options, kind, &args, &why)) return why;
  return platform::ArchiverLineProblem(args);
}

int FolderTool::RemoveFolder(const std::string& path, const base::FileId& expected) {
  if (!PathFits(path)) return -1;
  std::fflush(stdout);
  return platform::RemoveTree(path, expected);
}

}  // namespace trevask
