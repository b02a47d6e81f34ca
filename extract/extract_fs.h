// What the extractor needs from the file system, per platform. Paths and
// names are in the archivers' encoding (archiver/archiver_fs.h): the native
// bytes on POSIX, UTF-8 on Windows.
#ifndef TREVASK_EXTRACT_EXTRACT_FS_H_
#define TREVASK_EXTRACT_EXTRACT_FS_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "extract/zip_reader.h"

namespace extract {

// A file read at offsets, from several threads at once.
std::shared_ptr<Source> OpenInput(const std::string& path, std::string* error);

// An open folder of the destination.
struct Dir;
using DirPtr = std::shared_ptr<Dir>;

// The destination folder itself, made when missing; links leading to it
// are the user's own and are followed.
DirPtr OpenDestination(const std::string& path, std::string* error);

// The folder name inside parent, made first with create. Never through a
// link, and never a folder whose name on disk differs from name (another
// case on a case-insensitive file system).
DirPtr EnterFolder(const DirPtr& parent, const std::string& name, bool create,
                   std::string* error);

enum class Put { kDone, kExists, kRefused, kFailed };

// A new file with a private temporary name in a destination folder. It
// becomes a file of the tree only by Commit, in one step; destroyed before
// that, it is removed.
class TempFile {
 public:
  static std::unique_ptr<TempFile> Create(const DirPtr& dir, std::string* error);
  virtual ~TempFile() = default;
  virtual bool Write(const unsigned char* data, std::size_t n, std::string* error) = 0;
  // Sets the time and (on POSIX, when mode is not -1) the permission bits,
  // then puts the file under name: kExists when a file of that name is
  // there and overwrite is false, kRefused when what is there is a folder
  // or has that name in another case.
  virtual Put Commit(const std::string& name, std::int64_t mtime, std::int32_t mode,
                     bool overwrite, std::string* error) = 0;
};

// A temporary file of the system's, gone when closed.
std::FILE* AnonymousTempFile();

// The permission bits a restored file may get: 0777 less the umask, and
// never setuid, setgid or sticky. 0 where files have no mode.
std::uint32_t AllowedMode();

}  // namespace extract

#endif  // TREVASK_EXTRACT_EXTRACT_FS_H_
