// FolderTool: every operation of Trevask that touches the platform.
#ifndef TREVASK_FOLDER_TOOL_FOLDER_TOOL_H_
#define TREVASK_FOLDER_TOOL_FOLDER_TOOL_H_

#include <cstddef>
#include <string>
#include <vector>

namespace trevask {

// Which external archiver a run uses; chosen once by the driver.
using ArchiverKind = int;
constexpr ArchiverKind kPkzip25 = 1;  // "PKZIP.EXE"
constexpr ArchiverKind kPkzip8 = 2;   // "PKZIPC.EXE"

const char* ArchiverCommandName(ArchiverKind kind);
// Option string for one folder's own files.
const char* FolderArchiveOptions(ArchiverKind kind);
// Option string for the whole mirror tree, subfolders included.
const char* BundleOptions(ArchiverKind kind);

// Platform facts. Lengths are in bytes, terminator excluded.
extern const char kSeparator;
extern const size_t kMaxPathLength;
extern const size_t kMaxCommandLength;
// Status of a command the interpreter could not find.
extern const int kCommandNotFoundStatus;

class FolderTool {
 public:
  FolderTool() = default;

  // Subfolders of dir, "." and ".." excluded, hidden ones and links to
  // folders included; -1 for a folder that cannot be listed.
  int CountSubfolders(const std::string& dir);
  int ListSubfolders(const std::string& dir, std::vector<std::string>* names);
  // Appends names (in the platform's order) only when store is 1. A name
  // that the platform's paths cannot carry exactly is counted, never
  // listed: listing then names it on stderr and returns -1.
  int ScanSubfolders(const std::string& dir, std::vector<std::string>* names,
                     int store);

  // The part of path after its first separator, or nullptr when it has none.
  // Points into path.
  const char* SkipFirstComponent(const char* path);

  // Creates every directory along path, shortest prefix first; failures are
  // left for the archiver run that needs the directory to report. Below the
  // prefix `below` of path, every existing directory must be a real one: a
  // link or a file there is named on stderr, nothing is made through it, and
  // the result is false.
  bool MakeDirectoryPath(const std::string& path, const std::string& below = "");

  // Runs the kind's archiver with "options archive source". Returns its
  // status: 0 for success. A line that cannot be built within the
  // platform's limits is reported on stderr and never run. An archiver that
  // cannot be found or started is named on stderr and stops the run.
  int RunArchiver(const std::string& archive, const std::string& source,
                  const char* options, ArchiverKind kind);

  // Removes path and everything beneath it, links never followed (on
  // Windows through cmd.exe's rmdir /s /q).
  int RemoveFolder(const std::string& path);
};

// The archiver's arguments exactly as it receives them: its command name,
// the option words, the archive and the pattern, each path one argument.
// False, after naming the path on stderr, when a path is over the limit.
bool BuildArchiverArguments(const std::string& archive, const std::string& source,
                            const char* options, ArchiverKind kind,
                            std::vector<std::string>* args);

// Windows: the lines handed to cmd.exe. Each path becomes one argument; a
// plain path stays bare. False, after naming the offending path or line on
// stderr, when a limit is exceeded or the text cannot be carried.
bool BuildArchiverCommand(const std::string& archive, const std::string& source,
                          const char* options, ArchiverKind kind,
                          std::string* command);
bool BuildRemoveCommand(const std::string& path, std::string* command);

// Windows: quotes arg for cmd.exe when it needs it. Fails (returns false)
// only for text the interpreter cannot carry safely.
bool QuoteArgument(const std::string& arg, std::string* quoted);
// The Windows form of it, for cmd.exe and then the C runtime's parsing of
// the program's command line; trailing_backslashes is how many of arg's
// last bytes are real backslashes (the caller knows the code page).
// Portable, so that it can be checked everywhere.
// With delayed expansion on, cmd.exe also expands '!' inside quotes, so
// such text is refused too.
bool QuoteForCmd(const std::string& arg, size_t trailing_backslashes,
                 std::string* quoted, bool delayed_expansion = false);

// Why Windows cannot reach a file of this name through a path (it drops a
// trailing dot or space, takes CON or aux.txt for a device, refuses some
// characters), or empty when it can. Portable, like QuoteForCmd.
std::string WindowsNameRule(const std::string& name);
// The same rule where this platform has one; empty on POSIX.
std::string NameRuleBroken(const std::string& name);
// The first component of path, a root excepted, that breaks the platform's
// rule, with the rule itself; empty when none does.
std::string PathRuleBroken(const std::string& path, std::string* component);
// A path argument in the platform's own form: on Windows '/' becomes '\',
// and \\?\C:\x and \\?\UNC\server\x become C:\x and \\server\x.
// False, with the reason, for a form that cannot be used.
bool NativeArgumentPath(const std::string& arg, std::string* path,
                        std::string* error);
// False, with a message, when an argument of the command line has
// characters that the program's code page cannot carry exactly (the
// runtime would have replaced them); true on POSIX.
bool ArgumentsCarried(std::string* message);

// Byte offset of the first separator in path at or after from, or npos.
// Aware of multi-byte characters where the platform has them.
size_t FindSeparator(const std::string& path, size_t from = 0);
// Byte offset of the last separator, or npos.
size_t FindLastSeparator(const std::string& path);
// "src/Data/" names the folder "src/Data", not one with an empty name; a root
// ("/", "C:\") keeps its separator.
std::string DropTrailingSeparators(std::string path);
#ifdef _WIN32
// The same in a given code page (FindSeparator uses the system's).
size_t FindSeparatorInCodePage(const std::string& path, size_t from,
                               unsigned code_page);
#endif

// True when the file system takes both names for the same one.
bool SameName(const std::string& a, const std::string& b);

// Writes the archiver failure message, without a line end, and flushes it.
void ReportArchiverFailure();

// The folder whose files the next archiver run will read after the one
// started next: read ahead while that one runs, so that a cold cache and
// the archiver's work overlap. Used once.
void HintNextFolder(const std::string& dir);

// True once an archiver could not be found or started: nothing more is run.
bool RunStopped();
// Whether the kind's archiver can be found as it will be looked for; true
// where the platform leaves the search to its interpreter.
bool ArchiverFound(ArchiverKind kind);

// Ctrl-C, SIGTERM and SIGHUP end the running archiver as well, then the
// run: cleanup runs first, then the process ends by that signal. On Windows
// everything the run starts ends with it (a job object).
void InstallInterruptHandling(void (*cleanup)());
// Ends the run that way once an interruption has arrived; else returns.
void ExitIfInterrupted();


// The locks of one run, held from Acquire to destruction: TempFolder's, so
// that one run at a time uses it, and the update lock of the folder that
// holds the bundle, which the stand-in archivers take too, so that runs
// writing the same bundle take turns. On POSIX the user's own folders above
// TempFolder are locked shared as well, so that a run whose TempFolder (or
// mirror tree) holds another's waits for it; all are taken in one order
// for every run. A run that must wait says so on stderr.
class RunLocks {
 public:
  RunLocks() = default;
  ~RunLocks();
  RunLocks(const RunLocks&) = delete;
  RunLocks& operator=(const RunLocks&) = delete;
  // False, with the reason, when a lock cannot be taken.
  bool Acquire(const std::string& temp_root, const std::string& bundle, std::string* error);
  // Makes the archivers started from now on take the bundle's lock as held.
  void HandBundleToChildren();

 private:
  void* held_ = nullptr;  // the platform's lock objects
};

// Removes the folder path with everything beneath it only while it is the
// folder id names; -2, removing nothing, when it is not. Links are never
// followed.
namespace platform { struct FileId; }
int RemoveFolderIfSame(const std::string& path, const platform::FileId& id);

// Creates the one folder path, private to the user where the platform can
// say so; false with the system's reason, also when it exists already.
bool CreateNewFolder(const std::string& path, std::string* error);

// Helpers for the driver's checks before a run.
bool IsExistingFolder(const std::string& path);
// What path itself is, links not followed: a symbolic link, junction or
// other reparse point is a link, even when it leads nowhere.
enum class PathKind { kMissing, kFolder, kLink, kOther };
PathKind KindOf(const std::string& path);
// True when path leads (links followed) to something that exists and is
// neither a folder nor a regular file: a FIFO, a device, a socket.
bool IsSpecialFile(const std::string& path);
// Absolute, normalized form of path; links resolved as far as they lead.
std::string AbsolutePath(const std::string& path);
// True when inner is outer itself or lies beneath it. Decided by the file
// identity of the nearest existing ancestors, so that links and other names
// of the same folder give the same answer; the parts that do not exist yet
// are compared as text.
bool PathIsWithin(const std::string& inner, const std::string& outer);
// The first component of path below `below` (a prefix of it) that exists and
// is a link or not a folder; empty when there is none.
std::string FirstUnsafeComponent(const std::string& path, const std::string& below);

namespace platform {
// Identity of an existing file or folder (links followed).
struct FileId {
  unsigned long long volume = 0, high = 0, low = 0;
  bool operator==(const FileId& o) const {
    return volume == o.volume && high == o.high && low == o.low;
  }
};
bool GetFileId(const std::string& path, FileId* id);
// The path by which the system itself knows an existing folder (links and
// short names resolved); path unchanged where it cannot tell.
std::string FinalPath(const std::string& path);
}  // namespace platform

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_FOLDER_TOOL_H_
