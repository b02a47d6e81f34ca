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

Walked JudgeSubfolder(const std::vector<FileId>& path, const std::string& dir,
                      const std::string& name, bool link) {
  if (!link) return {Walked::kFolder, ""};
  switch (JudgeFolderLink(path, dir, Join(dir, name))) {
    case FolderLink::kUnresolved:
      return {Walked::kLeftOut, "a link that cannot be followed"};
    case FolderLink::kLoop:
      return {Walked::kLeftOut,
              "a link to a folder that holds it (a loop); its files are archived where they are"};
    case FolderLink::kFollow:
      break;
  }
  return {Walked::kFolder, ""};
}

Walked JudgeEntry(const std::vector<FileId>& path, const std::string& dir, const Entry& entry) {
  switch (entry.type) {
    case Entry::kFile:
      return {Walked::kFile, ""};
    case Entry::kFolder:
      return JudgeSubfolder(path, dir, entry.name, false);
    case Entry::kUnreadable:
      return {Walked::kUnreadable, entry.why_skipped};
    case Entry::kSkipped:
      break;
  }
  if (entry.skipped == Entry::Skipped::kFolderLink) {
    return JudgeSubfolder(path, dir, entry.name, true);
  }
  return {Walked::kLeftOut, entry.why_skipped};
}

}  // namespace base
