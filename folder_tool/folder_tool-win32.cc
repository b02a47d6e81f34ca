// FolderTool on Windows: FindFirstFileA, CreateDirectoryA, cmd.exe through
// system(). Paths are narrow strings in the system code page.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "folder_tool/folder_tool.h"
#include "folder_tool/platform.h"

namespace trevask {

const char kSeparator = '\\';
const size_t kMaxPathLength = MAX_PATH - 1;
// cmd.exe takes at most 8191 characters; system() puts "cmd.exe /c " and a
// folder before the line.
const size_t kMaxCommandLength = 8191 - 64;
const int kCommandNotFoundStatus = 9009;

int FolderTool::ScanSubfolders(const std::string& dir,
                               std::vector<std::string>* names, int store) {
  std::string pattern = dir + kSeparator + "*.*";
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    // A junction or a folder link is not walked, so no cycle can be followed.
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    if (lstrcmpA(data.cFileName, ".") == 0 || lstrcmpA(data.cFileName, "..") == 0) {
      continue;
    }
    if (store == 1 && names != nullptr) names->push_back(data.cFileName);
    ++count;
  } while (FindNextFileA(search, &data));
  FindClose(search);
  return count;
}

size_t FindSeparatorInCodePage(const std::string& path, size_t from,
                               unsigned code_page) {
  // A trail byte of a double-byte character may equal the backslash, so the
  // search steps over whole characters from the start.
  size_t i = 0;
  while (i < path.size()) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (i >= from && c == static_cast<unsigned char>(kSeparator)) return i;
    i += (IsDBCSLeadByteEx(code_page, c) && i + 1 < path.size()) ? 2 : 1;
  }
  return std::string::npos;
}

size_t FindSeparator(const std::string& path, size_t from) {
  return FindSeparatorInCodePage(path, from, CP_ACP);
}

bool QuoteArgument(const std::string& arg, std::string* quoted) {
  // '"' cannot be in a Windows name. '%' is expanded by cmd.exe even inside
  // quotes and has no escape on a /c line, so such a path is refused.
  if (arg.find_first_of("\"%") != std::string::npos) return false;
  if (!arg.empty() && arg.find_first_of(" \t&|<>^(),;=!") == std::string::npos) {
    *quoted = arg;
    return true;
  }
  // Inside quotes cmd.exe takes & | < > ^ ( ) literally. The C runtime reads
  // backslashes before the closing quote as escapes, so those are doubled.
  std::string out = "\"" + arg;
  size_t trailing = 0;
  while (trailing < arg.size() && arg[arg.size() - 1 - trailing] == '\\') {
    ++trailing;
  }
  out.append(trailing, '\\');
  out += '"';
  *quoted = out;
  return true;
}

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

std::string AbsolutePath(const std::string& path) {
  DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::string out(size, '\0');
  DWORD written = GetFullPathNameA(path.c_str(), size, &out[0], nullptr);
  if (written == 0 || written >= size) return path;
  out.resize(written);
  return DropTrailingSeparators(out);
}

namespace platform {

bool CreateOneDirectory(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

int RunCommand(const std::string& line) { return std::system(line.c_str()); }

const char* RemoveCommandPrefix() { return "rmdir /s /q "; }

bool PathTextEqual(const std::string& a, const std::string& b) {
  return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

namespace {

HANDLE OpenForIdentity(const std::string& path) {
  // Backup semantics open folders too; no access right is needed.
  return CreateFileA(path.c_str(), 0,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool GetFileId(const std::string& path, FileId* id) {
  HANDLE h = OpenForIdentity(path);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return false;
  id->volume = info.dwVolumeSerialNumber;
  id->high = info.nFileIndexHigh;
  id->low = info.nFileIndexLow;
  return true;
}

std::string FinalPath(const std::string& path) {
  HANDLE h = OpenForIdentity(path);
  if (h == INVALID_HANDLE_VALUE) return path;
  char buffer[MAX_PATH * 4];
  DWORD n = GetFinalPathNameByHandleA(h, buffer, sizeof buffer, VOLUME_NAME_DOS);
  CloseHandle(h);
  if (n == 0 || n >= sizeof buffer) return path;
  std::string out(buffer, n);
  // Returned as \\?\C:\x or \\?\UNC\server\share\x.
  if (out.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + out.substr(8);
  if (out.rfind("\\\\?\\", 0) == 0) return out.substr(4);
  return out;
}

}  // namespace platform
}  // namespace trevask
