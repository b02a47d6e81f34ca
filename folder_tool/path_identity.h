// What a path is on the disk and which folder it is: kinds, identities,
// and containment decided by identity rather than by text.
#ifndef TREVASK_FOLDER_TOOL_PATH_IDENTITY_H_
#define TREVASK_FOLDER_TOOL_PATH_IDENTITY_H_

#include <string>
#include <vector>

#include "base/file_id.h"
#include "base/path.h"
#include "base/system.h"

namespace trevask {

// True when path leads (links followed) to an existing folder.
bool IsExistingFolder(const std::string& path);
// What path itself is, links not followed: a symbolic link, junction or
// other reparse point is a link, even when it leads nowhere.
enum class PathKind { kMissing, kFolder, kLink, kOther };
PathKind KindOf(const std::string& path);
// True when path leads (links followed) to something that exists and is
// neither a folder nor a regular file: a FIFO, a device, a socket.
bool IsSpecialFile(const std::string& path);
// Absolute, normalized form of path; links resolved as far as they lead.
std::string AbsolutePath(const std::string& path);
// True when inner is outer itself or lies beneath it. Decided by the file
// identity of the nearest existing ancestors, so that links and other names
// of the same folder give the same answer; the parts that do not exist yet
// are compared as text.
bool PathIsWithin(const std::string& inner, const std::string& outer);
// The first component of path below `below` (a prefix of it) that exists and
// is a link or not a folder; empty when there is none.
std::string FirstUnsafeComponent(const std::string& path, const std::string& below);

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_PATH_IDENTITY_H_
