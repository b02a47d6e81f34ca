#include "base/folder_link.h"

#include <algorithm>

#include "base/path.h"
#include "base/system.h"

namespace base {

FolderLink JudgeFolderLink(const std::vector<FileId>& path, const std::string& dir,
                           const std::string& child) {
  FileId id;
  if (!GetFileId(child, &id)) return FolderLink::kUnresolved;
  if (std::find(path.begin(), path.end(), id) != path.end()) return FolderLink::kLoop;
  // Up from where dir really is: a folder that holds it is a way back up,
  // whatever names led the walk there.
  for (std::string at = FinalPath(dir);;) {
    FileId above;
    if (GetFileId(at, &above) && above == id) return FolderLink::kLoop;
    const std::string parent = ParentFolder(at);
    if (parent == at || parent == ".") return FolderLink::kFollow;
    at = parent;
  }
}

}  // namespace base
