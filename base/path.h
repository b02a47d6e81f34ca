// Paths as text: the platform's separator and the few ways to take a path
// apart or put it together. Nothing here looks at the disk.
#ifndef TREVASK_BASE_PATH_H_
#define TREVASK_BASE_PATH_H_

#include <string>

namespace base {

// '/' on POSIX, '\\' on Windows, which takes '/' as well.
extern const char kSeparator;
bool IsSeparator(char c);

// dir, a separator and name; no second separator when dir ends with one.
std::string Join(const std::string& dir, const std::string& name);

// The folder that holds path: the text before its last separator. A root
// keeps its separator ("/", "C:\"); a path without a separator gives ".".
std::string ParentFolder(const std::string& path);

// The text after the last separator of path: path itself when it has none,
// "" when it ends with one.
std::string BaseName(const std::string& path);

// Why Windows cannot reach a file of this name through a path (it drops a
// trailing dot or space, takes CON or aux.txt for a device, refuses some
// characters), or empty when it can. Portable, so that it can be checked
// everywhere.
std::string WindowsNameRule(const std::string& name);
// The same rule where this platform has one; empty on POSIX.
std::string NameRuleBroken(const std::string& name);

}  // namespace base

#endif  // TREVASK_BASE_PATH_H_
