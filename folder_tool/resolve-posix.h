// POSIX: a path followed from the root as the kernel resolves it.
#ifndef TREVASK_FOLDER_TOOL_RESOLVE_POSIX_H_
#define TREVASK_FOLDER_TOOL_RESOLVE_POSIX_H_

#include <sys/stat.h>

#include <functional>
#include <string>

namespace trevask {

// Called for "/" and then for each name reached, with its lstat (nullptr
// when it does not exist), before a link there is followed; false stops.
using ResolveVisitor = std::function<bool(const std::string& here, const struct stat* st)>;

// The absolute form of path, ".." applied and links followed (40 at most),
// on through the parts that do not exist yet; empty when the current
// folder is unknown or visit stopped the walk.
std::string ResolvePath(const std::string& path, const ResolveVisitor& visit);

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_RESOLVE_POSIX_H_
