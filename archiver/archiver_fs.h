// What the stand-in archivers need from the file system, per platform.
// Paths and names are in the encoding libzip expects on the platform: the
// native bytes on POSIX, UTF-8 on Windows.
#ifndef TREVASK_ARCHIVER_ARCHIVER_FS_H_
#define TREVASK_ARCHIVER_ARCHIVER_FS_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace archiver {

extern const char kPathSeparator;

struct Entry {
  enum Type { kFile, kFolder, kSkipped };
  std::string name;
  Type type = kSkipped;
  std::uint64_t size = 0;
  std::time_t mtime = 0;
  std::string why_skipped;  // for kSkipped: a link to a folder, a device...
};

// The entries of dir, "." and ".." excluded. Links to files count as files;
// links to folders are skipped so that no cycle can be followed.
bool ListFolder(const std::string& dir, std::vector<Entry>* entries,
                std::string* error);

bool IsFolder(const std::string& path);
bool Exists(const std::string& path);

// True when both name the same existing file.
bool SameFile(const std::string& a, const std::string& b);

// Opens and closes path for reading, so that an unreadable file is named
// before anything is written.
bool CheckReadable(const std::string& path, std::string* error);

// Size of a file, or -1.
std::int64_t FileSize(const std::string& path);

// Replaces path with bytes through a temporary file and a rename.
bool WriteFileAtomically(const std::string& path, const std::string& bytes,
                         std::string* error);

// The program's arguments in the same encoding as paths.
std::vector<std::string> Arguments(int argc, char** argv);

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_ARCHIVER_FS_H_
