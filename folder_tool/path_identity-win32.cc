// Path kinds on Windows: file attributes, reparse points as links, the
// system's own full path.
#include <windows.h>

#include <string>

#include "folder_tool/name_rules.h"
#include "folder_tool/path_identity.h"

namespace trevask {

bool IsExistingFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

PathKind KindOf(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::kLink;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kFolder
                                                 : PathKind::kOther;
}

// Device names and \\.\ paths are refused before this is asked.
bool IsSpecialFile(const std::string&) { return false; }

std::string AbsolutePath(const std::string& path) {
  DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::string out(size, '\0');
  DWORD written = GetFullPathNameA(path.c_str(), size, &out[0], nullptr);
  if (written == 0 || written >= size) return path;
  out.resize(written);
  return DropTrailingSeparators(out);
}

}  // namespace trevask
