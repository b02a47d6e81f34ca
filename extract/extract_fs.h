// What the extractor needs from the file system, per platform. Paths and
// names are in the archivers' encoding (archiver/archiver_fs.h): the native
// bytes on POSIX, UTF-8 on Windows.
#ifndef TREVASK_EXTRACT_EXTRACT_FS_H_
#define TREVASK_EXTRACT_EXTRACT_FS_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/zip_reader.h"

namespace extract {

// A file read at offsets, from several threads at once.
std::shared_ptr<base::Source> OpenInput(const std::string& path, std::string* error);

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

// A file being extracted; destroyed before Commit, it is removed. Without
// overwrite it is made under its own name at once, never over anything
// there; with overwrite it is written under a private name and put in
// place of the old file by Commit, in one step. Create says kExists for a
// file already there (without overwrite), kRefused for a folder there or a
// name there in another case.
class NewFile {
 public:
  static std::unique_ptr<NewFile> Create(const DirPtr& dir, const std::string& name,
                                         bool overwrite, Put* status, std::string* error);
  virtual ~NewFile() = default;
  virtual bool Write(const unsigned char* data, std::size_t n, std::string* error) = 0;
  // Sets the time and (on POSIX, when mode is not -1) the permission bits.
  virtual bool Commit(std::int64_t mtime, std::int32_t mode, std::string* error) = 0;
};

// A temporary file without a name, gone when closed, in $TMPDIR, else /tmp
// (Windows: the folder GetTempPathW names). Null with the reason, the
// folder named, when it cannot be made.
std::FILE* AnonymousTempFile(std::string* error);

// The permission bits a restored file may get: 0777 less the umask, and
// never setuid, setgid or sticky. 0 where files have no mode.
std::uint32_t AllowedMode();

}  // namespace extract

#endif  // TREVASK_EXTRACT_EXTRACT_FS_H_
