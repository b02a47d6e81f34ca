// Files written before they are given their names, so that a run killed
// meanwhile leaves no short file under a real one: without a name where
// the system allows it (Linux's O_TMPFILE), otherwise under a temporary
// name, which on Windows the system removes should the process end first.
// Each program keeps its own policy: its temporary names, the permission
// bits and group, whether a file there is replaced.
#ifndef TREVASK_BASE_UNNAMED_FILE_H_
#define TREVASK_BASE_UNNAMED_FILE_H_

#include <cstdio>
#include <functional>
#include <string>

#include "base/system.h"

namespace base {

// The folder the file is made in.
struct Folder {
  FileHandle handle = kNoFile;  // POSIX: open; names are looked up in it
  std::wstring prefix;          // Windows: a name in it is this and the name
};

// A new temporary name for a file in the folder, for each attempt.
using TempNamer = std::function<std::string(unsigned attempt)>;

struct UnnamedFile {
  FileHandle handle = kNoFile;
  std::string temp;              // its name in the folder while it has one
  bool delete_on_close = false;  // Windows: the system removes it when closed
};

enum class Access { kWrite, kReadWrite };

// Makes a new private file (0600) in folder, never over a file there; on
// failure the system's error stays set (errno, GetLastError).
bool MakeUnnamedFile(const Folder& folder, Access access, const TempNamer& namer,
                     UnnamedFile* file);

enum class Replace { kNever, kOver };

// Gives the file its name in folder in one step. kNever fails, the error
// EEXIST (ERROR_ALREADY_EXISTS), when the name is taken; kOver puts it in
// place of what is there. POSIX: a file without a name is linked under a
// temporary name of namer's and that renamed over name. Its temporary name
// is gone once it has its name.
bool NameFile(const Folder& folder, UnnamedFile* file, const std::string& name, Replace replace,
              const TempNamer& namer);

// A new file of no name (removed as soon as it is closed, or at once where
// the system allows) in the folder for temporary files ($TMPDIR, else /tmp;
// Windows: GetTempPath), open for reading and writing; nullptr with the
// system's error set.
std::FILE* OpenScratchFile();

}  // namespace base

#endif  // TREVASK_BASE_UNNAMED_FILE_H_
