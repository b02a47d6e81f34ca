// FolderTool on Windows: FindFirstFileW, CreateDirectoryA, the limits of
// MAX_PATH and cmd.exe. Paths are narrow strings in the active code page,
// UTF-8 where the manifest is honoured; names the code page cannot carry
// are refused.
#include <windows.h>

#include <string>
#include <vector>

#include "base/path.h"
#include "base/text-win32.h"
#include "folder_tool/code_page-win32.h"
#include "folder_tool/folder_tool.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/say.h"

namespace trevask {

const size_t kMaxPathLength = MAX_PATH - 1;
// cmd.exe takes at most 8191 characters; system() puts "cmd.exe /c " and a
// folder before the line.
const size_t kMaxCommandLength = 8191 - 64;
const int kCommandNotFoundStatus = 9009;
// NAME=VALUE in UTF-16 units, terminator excluded.
const size_t kMaxVariableLength = 32767 - 1;

namespace {

// Lists (with list) or counts the subfolders of dir; with say, one whose
// name cannot be listed is named on stderr.
int Scan(const std::string& dir, std::vector<std::string>* names, bool list, bool say,
         std::vector<char>* links) {
  // The wide listing: the narrow one would hand back best-fit names.
  std::wstring pattern;
  if (!ToWide(dir + base::kSeparator + "*.*", &pattern)) return -1;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    // An empty folder still lists "." and ".."; anything else is unreadable.
    return -1;
  }
  int count = 0;
  bool unusable = false;
  do {
    // Junctions and folder links carry the directory attribute and are
    // walked like folders; the walk keeps them from looping.
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (lstrcmpW(data.cFileName, L".") == 0 || lstrcmpW(data.cFileName, L"..") == 0) {
      continue;
    }
    ++count;
    std::string name;
    std::string why;
    if (!ToNarrow(data.cFileName, &name)) {
      why = "the code page " + std::to_string(GetACP()) +
            " cannot carry its name exactly (Windows 10 1903 and later run "
            "Trevask in UTF-8)";
    } else {
      why = base::NameRuleBroken(name);
    }
    if (!why.empty()) {
      unusable = true;
      if (list && say) {
        base::Say("cannot archive the folder %s: %s",
                  base::Join(dir, Printable(data.cFileName)).c_str(), why.c_str());
      }
      continue;
    }
    if (list && names != nullptr) {
      names->push_back(name);
      if (links != nullptr) {
        links->push_back((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0);
      }
    }
  } while (FindNextFileW(search, &data));
  FindClose(search);
  return list && unusable ? -1 : count;
}

}  // namespace

int FolderTool::ScanSubfolders(const std::string& dir, std::vector<std::string>* names,
                               int store, std::vector<char>* links) {
  return Scan(dir, names, store != 0, true, links);
}

int FolderTool::ListSubfoldersQuietly(const std::string& dir, std::vector<std::string>* names,
                                      std::vector<char>* links) {
  return Scan(dir, names, true, false, links);
}

size_t NameLimitOf(const std::string& folder) {
  const std::wstring wide = base::Wide(folder);
  std::vector<wchar_t> root(wide.size() + MAX_PATH + 1);
  DWORD longest = 0;
  if (GetVolumePathNameW(wide.c_str(), root.data(), static_cast<DWORD>(root.size())) == 0 ||
      GetVolumeInformationW(root.data(), nullptr, 0, nullptr, &longest, nullptr, nullptr, 0) ==
          0) {
    return 0;
  }
  return longest;
}

size_t NameLength(const std::string& name) { return base::Wide(name).size(); }

bool RemoveEmptyFolder(const std::string& path, const base::FileId& id) {
  base::FileId found;
  // A junction or link in its place is not the folder made.
  return KindOf(path) == PathKind::kFolder && base::GetFileId(path, &found) && found == id &&
         RemoveDirectoryW(base::FsPath(path).c_str()) != 0;
}

bool CreateNewFolder(const std::string& path, std::string* error) {
  if (CreateDirectoryA(path.c_str(), nullptr) != 0) return true;
  *error = base::ErrorText(GetLastError());
  return false;
}

// Access lists decide, which no single call reads out: a file made and
// gone again in one step asks the system itself.
bool FolderIsWritable(const std::string& folder, std::string* reason) {
  std::wstring wide;
  std::string probe = folder;
  if (!probe.empty() && probe.back() != '\\' && probe.back() != '/') probe += '\\';
  probe += ".trevask-probe-" + std::to_string(GetCurrentProcessId());
  if (!ToWide(probe, &wide)) {
    *reason = "the name cannot be carried";
    return false;
  }
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    // Taken by a probe of another run: the folder takes files.
    if (code == ERROR_FILE_EXISTS) return true;
    *reason = base::ErrorText(code);
    return false;
  }
  CloseHandle(h);
  return true;
}

}  // namespace trevask
