// What every program here needs from the system, per platform: folder
// listings, files read whole or in pieces, interruptions, text output.
// Paths and names are in the encoding libzip expects on the platform: the
// native bytes on POSIX, UTF-8 on Windows.
#ifndef TREVASK_BASE_SYSTEM_H_
#define TREVASK_BASE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>


namespace base {

struct Entry {
  // kUnreadable: the system would not say what it is (why_skipped says
  // why); maybe_folder when the listing itself called it a folder.
  enum Type { kFile, kFolder, kSkipped, kUnreadable };
  std::string name;
  Type type = kSkipped;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;  // seconds since 1970, whatever time_t holds
  std::uint32_t mode = 0;  // the Unix mode (type and permissions); 0 elsewhere
  // For kSkipped, what it is, and why_skipped the same in words.
  enum class Skipped { kNo, kFolderLink, kDeadLink, kUnresolvedLink, kSpecial };
  Skipped skipped = Skipped::kNo;
  std::string why_skipped;  // for kSkipped: a link to a folder, a device...
  bool maybe_folder = false;
};

// The entries of dir, "." and ".." excluded. Links to files count as files;
// links to folders are skipped so that no cycle can be followed.
bool ListFolder(const std::string& dir, std::vector<Entry>* entries,
                std::string* error);

bool IsFolder(const std::string& path);

// A source file held open for all its pieces: a descriptor on POSIX, a
// HANDLE on Windows.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

enum class Opened { kFile, kNotRegular, kFailed };
// Opens path for reading without ever blocking: whatever was listed as a
// file may since have become a FIFO or a device. Only a regular file (a disk
// file on Windows) is kept open; kNotRegular says what else was found, to
// be skipped like the special files of the listing.
Opened OpenRegular(const std::string& path, FileHandle* handle, std::string* error);
void CloseSource(FileHandle handle);
// What an open file is now: its size and when it last changed (on POSIX
// also its status change, which no writer can set back).
struct FileState {
  std::uint64_t size = 0;
  std::int64_t written = 0;
  std::int64_t changed = 0;
  bool operator==(const FileState& o) const {
    return size == o.size && written == o.written && changed == o.changed;
  }
  bool operator!=(const FileState& o) const { return !(*this == o); }
};
bool StateOf(FileHandle handle, FileState* state);

// Where to read an open file: length bytes from offset. With at_end the
// file must end there.
struct FileRange {
  std::uint64_t offset = 0;
  std::size_t length = 0;
  bool at_end = false;
};
// Reads range into out. A file that ends sooner, or (with at_end) goes on
// beyond it, has changed while being read: an error, like any the system
// reports, with its reason.
bool ReadRange(FileHandle handle, const std::string& path, const FileRange& range,
               std::vector<unsigned char>* out, std::string* error);
// The same into a buffer of at least range.length bytes.
bool ReadInto(FileHandle handle, const std::string& path, const FileRange& range,
              unsigned char* into, std::string* error);

// The existing archive, names as above; 64-bit offsets. Never blocks on
// something that is not a regular file: that fails.
std::FILE* OpenForReading(const std::string& path, int* error_number);
bool SeekFile(std::FILE* f, std::int64_t offset, int whence);
std::int64_t TellFile(std::FILE* f);
// False with the reason when path exists but is not a regular file.
bool RegularOrAbsent(const std::string& path, std::string* error);

// The reason for the last failed system call, in words.
std::string LastErrorText();

// Ctrl-C, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE (the reader gone) only set a
// flag, which the work checks, and call also (POSIX, from the handler: only
// what is safe there); SIGXFSZ is ignored, so that a write beyond ulimit -f
// fails like one on a full disk. A signal ignored by whoever started the
// program stays ignored. Interrupted() is 0 until then, then the first
// signal (Windows: the console event + 1). ExitInterrupted ends the process
// the way the interruption would have.
void InstallInterruptHandlers(void (*also)(int) = nullptr);
int Interrupted();
[[noreturn]] void ExitInterrupted();
// After a failed write to a standard stream: a reader that is gone (EPIPE)
// counts as an interruption by SIGPIPE, also when SIGPIPE is ignored.
void NoteOutputError();
// Counts as an interruption by sig unless one came first: a child ended by
// the user's interrupt, or by the closed pipe the two share.
void NoteInterrupted(int sig);

// The local time of t, 64-bit on every platform (32-bit Windows has a
// 32-bit time_t); false when the system cannot say.
bool LocalTime(std::int64_t t, std::tm* tm);

// The path by which the system itself knows an existing file or folder
// (links and short names resolved); path unchanged where it cannot tell.
std::string FinalPath(const std::string& path);

// Size of a file, or -1.
std::int64_t FileSize(const std::string& path);

// Writes text (in the encoding of paths) to stream; a Windows console gets
// it in its own characters, anything else the bytes as they are. On POSIX a
// reader that is gone (EPIPE) counts as an interruption by SIGPIPE, so that
// Interrupted() stops the caller.
void WriteText(std::FILE* stream, const std::string& text);
// Flushes stream; false when that or an earlier write failed (EPIPE
// recorded as above).
bool FlushText(std::FILE* stream);

// Writes another program's output on as it came, NUL bytes too, its line
// ends untouched; a Windows console gets it as WriteText gives it text.
// POSIX: once the run is interrupted, a reader that takes nothing for a
// moment is given up on, and nothing more is passed on.
void PassOn(std::FILE* stream, const char* data, std::size_t size);

// The program's arguments in the same encoding as paths.
std::vector<std::string> Arguments(int argc, char** argv);

}  // namespace base

#endif  // TREVASK_BASE_SYSTEM_H_
