// What an existing mirror tree holds, judged before a run adds to it.
#ifndef TREVASK_WALK_MIRROR_TREE_H_
#define TREVASK_WALK_MIRROR_TREE_H_

#include <cstddef>
#include <string>
#include <vector>

namespace trevask {

// A mirror tree holds only folders, each folder's own archive "<name>.zip"
// as a regular file, and files an interrupted archiver left (leftovers).
struct MirrorContents {
  std::string first_foreign;  // the first entry of anything else
  size_t foreign = 0;         // how many there are
  std::vector<std::string> leftovers;
};

// Lists every folder of the tree at mirror once; mirror must be a folder.
void JudgeMirrorTree(const std::string& mirror, MirrorContents* contents);

}  // namespace trevask

#endif  // TREVASK_WALK_MIRROR_TREE_H_
