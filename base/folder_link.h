// What a walk takes of a folder's entries and what it does with a link to
// a folder: the one answer for trevask's walk, its count of the tree and
// trevask-extract --compare.
#ifndef TREVASK_BASE_FOLDER_LINK_H_
#define TREVASK_BASE_FOLDER_LINK_H_

#include <string>
#include <vector>

#include "base/file_id.h"
#include "base/system.h"

namespace base {

// The one rule for links to folders, shared by the walk, its count and
// --compare. A link at child (an entry of dir) that leads to a folder is
// walked like a folder, unless it leads back up: to a folder on the walk's
// path (the identities of dir and the folders above it, as walked), or to
// one that holds dir. kUnresolved: the link leads nowhere one can look.
enum class FolderLink { kFollow, kLoop, kUnresolved };
FolderLink JudgeFolderLink(const std::vector<FileId>& path, const std::string& dir,
                           const std::string& child);

// What a walk takes of one entry of dir, the folders on its path as for
// JudgeFolderLink. kFile: a regular file or a link to one, as the
// archivers take it; kFolder: a folder, or a link to one that is followed;
// kLeftOut: a link that leads back up, nowhere or to what cannot be
// followed, or a special file; kUnreadable: the system would not say what
// it is. why says why for the last two.
struct Walked {
  enum Kind { kFile, kFolder, kLeftOut, kUnreadable } kind;
  std::string why;
};
Walked JudgeEntry(const std::vector<FileId>& path, const std::string& dir, const Entry& entry);
// The same for a subfolder name of dir, listed as a folder or (link) a
// link to one: kFolder or kLeftOut.
Walked JudgeSubfolder(const std::vector<FileId>& path, const std::string& dir,
                      const std::string& name, bool link);

}  // namespace base

#endif  // TREVASK_BASE_FOLDER_LINK_H_
