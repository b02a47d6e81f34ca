// Trust in a way through the file system: whether another user could
// rename or replace a folder on it.
#ifndef TREVASK_FOLDER_TOOL_TRUST_H_
#define TREVASK_FOLDER_TOOL_TRUST_H_

#include <string>

namespace trevask {

// Whether no other user can rename or replace any existing folder on the
// way to path, from the root down, links followed (a link on the way must
// be the user's or root's). Otherwise false, with the first folder or link
// that fails and why.
bool WayIsTrusted(const std::string& path, std::string* folder, std::string* reason);

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_TRUST_H_
