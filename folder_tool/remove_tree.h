// Removing a folder with everything beneath it.
#ifndef TREVASK_FOLDER_TOOL_REMOVE_TREE_H_
#define TREVASK_FOLDER_TOOL_REMOVE_TREE_H_

#include <string>

#include "base/file_id.h"

namespace trevask {
namespace platform {

// Removes the folder path and everything beneath it, never through a link,
// only while path is still the folder expected (checked on the very handle
// the removal then works through); -2 when it is not.
int RemoveTree(const std::string& path, const base::FileId& expected);

}  // namespace platform
}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_REMOVE_TREE_H_
