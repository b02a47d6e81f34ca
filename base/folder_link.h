// What a walk does with a link to a folder, the one answer for trevask's
// walk, its count of the tree and trevask-extract --compare.
#ifndef TREVASK_BASE_FOLDER_LINK_H_
#define TREVASK_BASE_FOLDER_LINK_H_

#include <string>
#include <vector>

#include "base/file_id.h"

namespace base {

// The one rule for links to folders, shared by the walk, its count and
// --compare. A link at child (an entry of dir) that leads to a folder is
// walked like a folder, unless it leads back up: to a folder on the walk's
// path (the identities of dir and the folders above it, as walked), or to
// one that holds dir. kUnresolved: the link leads nowhere one can look.
enum class FolderLink { kFollow, kLoop, kUnresolved };
FolderLink JudgeFolderLink(const std::vector<FileId>& path, const std::string& dir,
                           const std::string& child);

}  // namespace base

#endif  // TREVASK_BASE_FOLDER_LINK_H_
