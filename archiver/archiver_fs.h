// What the stand-in archivers need from the file system, per platform.
// Paths and names are in the encoding libzip expects on the platform: the
// native bytes on POSIX, UTF-8 on Windows.
#ifndef TREVASK_ARCHIVER_ARCHIVER_FS_H_
#define TREVASK_ARCHIVER_ARCHIVER_FS_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace archiver {

extern const char kPathSeparator;

struct Entry {
  // kUnreadable: the system would not say what it is (why_skipped says
  // why); maybe_folder when the listing itself called it a folder.
  enum Type { kFile, kFolder, kSkipped, kUnreadable };
  std::string name;
  Type type = kSkipped;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;  // seconds since 1970, whatever time_t holds
  std::uint32_t mode = 0;  // the Unix mode (type and permissions); 0 elsewhere
  std::string why_skipped;  // for kSkipped: a link to a folder, a device...
  bool maybe_folder = false;
};

// The entries of dir, "." and ".." excluded. Links to files count as files;
// links to folders are skipped so that no cycle can be followed.
bool ListFolder(const std::string& dir, std::vector<Entry>* entries,
                std::string* error);

bool IsFolder(const std::string& path);

// True when both name the same existing file.
bool SameFile(const std::string& a, const std::string& b);

// Identity of an existing folder, links followed: POSIX device and inode
// (high 0), Windows volume serial number and file index.
struct FolderId {
  std::uint64_t volume = 0, high = 0, low = 0;
};
// Looks at folder dir. On Windows it is then held open until the process
// ends, without leave to delete, so that nobody can rename or remove it
// while this run writes into it or reads from it.
bool GetFolderId(const std::string& dir, FolderId* id, std::string* error);
// From now on, Commit puts a new archive only into a folder of this
// identity, checked on the very folder it links the file into (POSIX).
void PinArchiveFolder(const FolderId& id);

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

// Reads length bytes of an open file from offset into out. A file that ends
// sooner, or (with at_end) goes on beyond them, has changed while being
// read: an error, like any the system reports, with its reason.
bool ReadRange(FileHandle handle, const std::string& path, std::uint64_t offset,
               std::size_t length, bool at_end, std::vector<unsigned char>* out,
               std::string* error);

// The existing archive, names as above; 64-bit offsets. Never blocks on
// something that is not a regular file: that fails.
std::FILE* OpenForReading(const std::string& path, int* error_number);
bool SeekFile(std::FILE* f, std::int64_t offset, int whence);
std::int64_t TellFile(std::FILE* f);
// False with the reason when path exists but is not a regular file.
bool RegularOrAbsent(const std::string& path, std::string* error);

// A new archive while it is written. Where the system allows it has no name
// until Commit (O_TMPFILE on Linux; elsewhere a short name of its own,
// removed by Discard, or on Windows by the system when the process ends),
// so that even a killed run leaves nothing behind.
struct NewFile {
  std::FILE* file = nullptr;
  std::string temp;           // its name while written, if it has one
  std::intptr_t native = -1;  // the platform's handle underneath file
  bool delete_on_close = false;
};
// Beside path; an existing file there lends its group and permission bits
// (setgid and sticky too, where the system allows), otherwise the usual
// 0666 less the umask.
bool CreateBeside(const std::string& path, NewFile* out, std::string* error);
// Writes out what is buffered and puts the file in place of path in one step.
bool Commit(NewFile* out, const std::string& path, std::string* error);
// Closes it; removes it by the name this run gave it, never by a pattern.
void Discard(NewFile* out);
// The reason for the last failed system call, in words.
std::string LastErrorText();

// Ctrl-C, SIGTERM and the like only set a flag, which the work checks
// (SIGXFSZ is ignored: a write failure);
// Interrupted() is 0 until then. ExitInterrupted ends the process the way
// the interruption would have.
void InstallInterruptHandlers();
int Interrupted();
[[noreturn]] void ExitInterrupted();

// The local time of t, 64-bit on every platform (32-bit Windows has a
// 32-bit time_t); false when the system cannot say.
bool LocalTime(std::int64_t t, std::tm* tm);

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
// printf into WriteText.
void Print(std::FILE* stream, const char* format, ...);

// The program's arguments in the same encoding as paths.
std::vector<std::string> Arguments(int argc, char** argv);

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_ARCHIVER_FS_H_
