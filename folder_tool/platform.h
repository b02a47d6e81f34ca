// The per-platform half of FolderTool; only folder_tool-*.cc define these.
#ifndef TREVASK_FOLDER_TOOL_PLATFORM_H_
#define TREVASK_FOLDER_TOOL_PLATFORM_H_

#include <string>

namespace trevask {
namespace platform {

// Creates one directory; the result is only informative.
bool CreateOneDirectory(const std::string& path);

// Runs line through the command interpreter and waits for it. Returns the
// command's exit status, -1 when no interpreter could be started.
int RunCommand(const std::string& line);

// The interpreter's command that removes a tree, followed by a space.
const char* RemoveCommandPrefix();

// Compares path text the way the file system does (case-folding or not).
bool PathTextEqual(const std::string& a, const std::string& b);

}  // namespace platform
}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_PLATFORM_H_
