// The folder walk: builds the mirror tree of a source folder under a
// temporary root, one folder archive per folder.
#ifndef TREVASK_WALK_COMPRESS_FOLDER_H_
#define TREVASK_WALK_COMPRESS_FOLDER_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/kept_members.h"
#include "folder_tool/folder_tool.h"
#include "walk/kind_changes.h"
#include "walk/walk_status.h"

namespace trevask {

// Walks dir depth-first and makes, under tempRoot, the mirror folder of every
// folder with that folder's own files in one archive named after it. Returns
// 0 when every archiver run succeeded, -1 otherwise; a failure in one
// subfolder does not stop the walk of the others. Links to folders are
// walked, except those that lead back up (a loop), into the mirror tree or
// to the folder that holds bundle; those and folders that cannot be listed
// are named on stderr, and a real folder that cannot be listed makes the
// result -1. Every archiver run is told to status.
//
// The folder archives of the walk, named as the bundle names them, relative
// to dir's mirror folder with '/' ("Data.zip", "A/A.zip"): those written by
// a run that succeeded, and those of folders whose run failed or that
// failed before it (their listing, their mirror folder, their name). And
// whether an archiver could not be found or started, so that nothing more
// is to run.
struct ArchiveRuns {
  std::set<std::string> written;
  std::vector<std::string> failed;
  bool stopped = false;
};
// Up to jobs archiver runs go at once, started in the same order (see
// RunQueue); a failure then leaves the folder's runs not yet started.
int CompressFolder(const std::string& dir, const std::string& tempRoot,
                   ArchiverKind kind, const std::string& bundle, WalkStatus* status,
                   ArchiveRuns* runs = nullptr, int jobs = 1);

// The folder archives in dir's mirror tree that runs did not write and that
// do not read as a zip (central directory and every local header) or hold
// a member whose data is damaged (size, CRC), each named on stderr and as
// in ArchiveRuns; the failed ones are left out, already known.
std::vector<base::KeptMember> UnreadableKeptArchives(const std::string& dir,
                                                     const std::string& tempRoot,
                                                     const ArchiveRuns& runs);

// Names on stderr each folder beneath dir's mirror folder under tempRoot
// whose source folder is no longer there (the topmost of each such
// subtree): its archives stay in the bundle. Returns how many were named.
// Every folder it lists is judged by kinds on the way.
int NameGoneFolders(const std::string& dir, const std::string& tempRoot, KindChanges* kinds);

// The folders CompressFolder will archive, by its own rules for links, and
// each one's files as its archiver will take them (with_files; else none
// are looked at); keyed by the names the walk hands its status. Nothing is
// said on stderr.
struct TreeCount {
  struct Own {
    std::uint64_t files = 0, bytes = 0;
  };
  std::map<std::string, Own> folders;
  std::uint64_t files = 0, bytes = 0;
};
void CountWalk(const std::string& dir, const std::string& tempRoot, const std::string& bundle,
               bool with_files, TreeCount* count);

// The text of dir after its first separator; dir itself when it has none.
std::string RelativePart(const std::string& dir);
// "tempRoot<sep>relative part of dir".
std::string MirrorFolder(const std::string& dir, const std::string& tempRoot);
// Last component of a relative part.
std::string FolderName(const std::string& relative);

}  // namespace trevask

#endif  // TREVASK_WALK_COMPRESS_FOLDER_H_
