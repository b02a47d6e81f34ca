// What the stand-in archivers alone need from the file system, per
// platform: the folders trevask hands them, and a new archive put in place
// in one step. Paths as in base/system.h.
#ifndef TREVASK_ARCHIVER_ARCHIVER_FS_H_
#define TREVASK_ARCHIVER_ARCHIVER_FS_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/diagnostic.h"
#include "base/file_id.h"
#include "base/system.h"

namespace archiver {

// The identity of folder dir, links followed. On Windows it is then held
// open until the process ends, without leave to delete, so that nobody can
// rename or remove it while this run writes into it or reads from it.
bool GetFolderId(const std::string& dir, base::FileId* id, std::string* error);
// From now on, Commit puts a new archive only into a folder of this
// identity, checked on the very folder it links the file into (POSIX).
void PinArchiveFolder(const base::FileId& id);

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

// base::OpenRegular and base::StateOf in one: a member's file opened for
// reading, with its state as opened, at the fewest calls of the system
// (one status for both on POSIX). error as from base::OpenRegular, or
// "cannot open PATH: why" when the state cannot be had.
base::Opened OpenMemberFile(const std::string& path, base::FileHandle* handle,
                            base::FileState* state, std::string* error);

// Started by trevask, which hands its process id in TREVASK_PARENT_PID:
// this run ends as an interrupted one when trevask dies (Linux; on Windows
// trevask's job object ends it), and at once, writing nothing, when
// trevask is gone already. Called first, before anything is written; does
// nothing without the variable.
void EndWithTrevask();
}  // namespace archiver

#endif  // TREVASK_ARCHIVER_ARCHIVER_FS_H_
