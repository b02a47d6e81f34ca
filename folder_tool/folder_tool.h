// FolderTool: what a run does to folders and archivers, and the platform's
// facts. Path text, path identity, command lines, the archivers' syntax, run
// locks and interruptions have headers of their own beside this one.
#ifndef TREVASK_FOLDER_TOOL_FOLDER_TOOL_H_
#define TREVASK_FOLDER_TOOL_FOLDER_TOOL_H_

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/file_id.h"
#include "base/kept_members.h"
#include "base/path.h"
#include "base/system.h"
#include "base/update_lock.h"
#include "folder_tool/archiver_syntax.h"
#include "folder_tool/interruption.h"
#include "folder_tool/run_locks.h"

namespace trevask {

// Platform facts. Lengths are in bytes, terminator excluded.
extern const size_t kMaxPathLength;
extern const size_t kMaxCommandLength;
// One NAME=VALUE of the environment an archiver is started with.
extern const size_t kMaxVariableLength;
// Status of a command the interpreter could not find.
extern const int kCommandNotFoundStatus;

// Everything of one archiver run besides its words, handed to that run
// alone. A default value is a plain run: nothing read ahead, no folder
// checked, no member kept, no lock handed on.
struct ArchiverRun {
  // The folder whose files the run after this one will read: read ahead
  // while this one runs, so that a cold cache and the archiver's work
  // overlap.
  std::string read_ahead;
  // The folders the archiver may write into and read from, by identity
  // (none: not checked). The archiver refuses, writing nothing, when the
  // folder it finds is another: swapped since it was made.
  std::optional<base::FileId> archive_folder, source_folder;
  // The bundle members to leave as the bundle holds them, as
  // KeepBundleMembers puts them; empty: none.
  std::string kept_members;
  // The update lock the archiver is to take as already its own.
  base::HandedLock lock;
  // TREVASK_THREADS for this run's archiver; empty: as this process has it.
  std::string threads;
  // POSIX: the process whose end ends the archiver; 0: this one.
  long parent_pid = 0;
  // The caller's "nothing more runs" (nullptr: none kept), for it to check
  // before each run: set once an archiver cannot be found or started, as
  // every later run would fail the same way.
  bool* stopped = nullptr;
};

// Folders, by path, that one step of a run has made or seen to be real
// folders; it is dropped once the step is done, as they may change later.
using KnownFolders = std::set<std::string>;

class FolderTool {
 public:
  FolderTool() = default;

  // Subfolders of dir, "." and ".." excluded, hidden ones and links to
  // folders included; -1 for a folder that cannot be listed.
  int CountSubfolders(const std::string& dir);
  // links (optional) gets one flag per name listed: 1 for a link to a
  // folder (on Windows any reparse point), as KindOf would say, 0 for a
  // folder.
  int ListSubfolders(const std::string& dir, std::vector<std::string>* names,
                     std::vector<char>* links = nullptr);
  // Appends names (in the platform's order) only when store is 1. A name
  // that the platform's paths cannot carry exactly is counted, never
  // listed: listing then returns -1 and names it on stderr.
  int ScanSubfolders(const std::string& dir, std::vector<std::string>* names,
                     int store, std::vector<char>* links = nullptr);
  // ListSubfolders, saying nothing of a name it cannot list.
  int ListSubfoldersQuietly(const std::string& dir, std::vector<std::string>* names,
                            std::vector<char>* links = nullptr);

  // The part of path after its first separator, or nullptr when it has none.
  // Points into path.
  const char* SkipFirstComponent(const char* path);

  // Creates every directory along path, shortest prefix first; failures are
  // left for the archiver run that needs the directory to report. Below the
  // prefix `below` of path, every existing directory must be a real one: a
  // link or a file there is named on stderr, nothing is made through it, and
  // the result is false. known (optional) holds the folders below `below`
  // that this step made or found real, each looked at once for all its paths.
  bool MakeDirectoryPath(const std::string& path, const std::string& below = "",
                         KnownFolders* known = nullptr);

  // Runs the kind's archiver with "options archive source", handing it run
  // and nothing of any other run. Returns its status: 0 for success. A line
  // that cannot be built within the platform's limits is reported on stderr
  // and never run. An archiver that cannot be found or started is named on
  // stderr and sets *run.stopped.
  int RunArchiver(const std::string& archive, const std::string& source,
                  const char* options, ArchiverKind kind,
                  const ArchiverRun& run = ArchiverRun());

  // Removes the folder path with everything beneath it only while it is the
  // folder id names; -2, removing nothing, when it is not. Links are never
  // followed (on Windows the removal is cmd.exe's rmdir /s /q).
  int RemoveFolder(const std::string& path, const base::FileId& expected);
};

// Puts into run the bundle members its archiver is to leave as the bundle
// holds them, named as this program names paths; none when empty. False,
// changing nothing, with the reason when the list is more than one
// environment variable can carry.
bool KeepBundleMembers(const std::vector<base::KeptMember>& members, ArchiverRun* run,
                       std::string* error);

// True when the user may make files in folder; false with the system's reason.
bool FolderIsWritable(const std::string& folder, std::string* reason);

// Why FolderTool::RunArchiver could not run the kind's archiver on archive
// and source within the platform's limits; empty when it could. Says nothing.
std::string ArchiverRunProblem(const std::string& archive, const std::string& source,
                               const char* options, ArchiverKind kind);

// The line that says the kind's archiver cannot be found.
std::string ArchiverNotFound(ArchiverKind kind);

// Whether the kind's archiver can be found as it will be looked for; true
// where the platform leaves the search to its interpreter.
bool ArchiverFound(ArchiverKind kind);

// The longest name the file system holding folder takes, in the units of
// NameLength: bytes on POSIX, UTF-16 units on Windows; 0 when it cannot say.
size_t NameLimitOf(const std::string& folder);
size_t NameLength(const std::string& name);

// Removes the folder path only while it is empty and still the folder of
// id, never through a link; false when it did not.
bool RemoveEmptyFolder(const std::string& path, const base::FileId& id);

// Creates the one folder path, private to the user where the platform can
// say so; false with the system's reason, also when it exists already.
bool CreateNewFolder(const std::string& path, std::string* error);

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_FOLDER_TOOL_H_
