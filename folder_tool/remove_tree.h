// Removing a folder with everything beneath it.
#ifndef TREVASK_FOLDER_TOOL_REMOVE_TREE_H_
#define TREVASK_FOLDER_TOOL_REMOVE_TREE_H_

#include <string>

#include "base/file_id.h"

namespace trevask {
namespace platform {

// Removes path and everything beneath it, never through a link. With
// expected, only while path is still that folder (checked on the very
// handle the removal then works through); -2 when it is not.
int RemoveTree(const std::string& path, const base::FileId* expected = nullptr);

}  // namespace platform
}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_REMOVE_TREE_H_
