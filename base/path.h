// Paths as text: the platform's separator and the few ways to take a path
// apart or put it together. Nothing here looks at the disk.
#ifndef TREVASK_BASE_PATH_H_
#define TREVASK_BASE_PATH_H_

#include <cstddef>
#include <string>

namespace base {

// '/' on POSIX, '\' on Windows, which takes '/' as well.
extern const char kSeparator;
bool IsSeparator(char c);

// Byte offset of the first separator in path at or after from, or npos;
// the last one, or npos. On Windows they step over whole characters of the
// encoding of this program's paths, where a trail byte may equal '\'.
std::size_t FindSeparator(const std::string& path, std::size_t from = 0);
std::size_t FindLastSeparator(const std::string& path);
#ifdef _WIN32
// FindSeparator in a given code page.
std::size_t FindSeparatorInCodePage(const std::string& path, std::size_t from, unsigned code_page);
#endif
// Windows: this program's narrow paths are in the ANSI code page, not UTF-8
// (trevask, whose paths go to cmd.exe). Nothing on POSIX.
void UseAnsiCodePageForPaths();

// Length of path's root: "/" on POSIX; "C:\", the drive of "C:x",
// "\\server\share" or "\" on Windows; 0 for a relative path.
std::size_t RootLength(const std::string& path);
// True for a Windows path relative to a drive's current folder ("C:Data").
bool IsDriveRelative(const std::string& path);

// dir, a separator and name: the separators at the end of dir and at the
// start of name (other than the root's) give way to one.
std::string Join(const std::string& dir, const std::string& name);

// The folder that holds path: the text before its last separator. A root
// is its own parent and keeps its separator ("/", "C:\"); a path without a
// separator gives "." ("C:" for "C:x").
std::string ParentFolder(const std::string& path);

// The text after the last separator of path: path itself when it has none
// ("x" for "C:x"), "" when it ends with one.
std::string BaseName(const std::string& path);

// Why Windows cannot reach a file of this name through a path (it drops a
// trailing dot or space, takes CON or aux.txt for a device, refuses some
// characters), or empty when it can. Portable, so that it can be checked
// everywhere.
std::string WindowsNameRule(const std::string& name);
// The same rule where this platform has one; empty on POSIX.
std::string NameRuleBroken(const std::string& name);

// True when the file system takes both names for the same one: without
// case on Windows, byte for byte on POSIX.
bool SameNameText(const std::string& a, const std::string& b);

}  // namespace base

#endif  // TREVASK_BASE_PATH_H_
