// FolderTool on Windows: FindFirstFileW, CreateDirectoryA, cmd.exe through
// system(). Paths are narrow strings in the active code page, UTF-8 where
// the manifest is honoured; names the code page cannot carry are refused.
#include <windows.h>

#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/path.h"
#include "base/text-win32.h"
#include "base/update_lock.h"
#include "folder_tool/command_line.h"
#include "folder_tool/folder_tool.h"
#include "folder_tool/name_rules.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/platform.h"
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

bool ToWide(const std::string& narrow, std::wstring* wide) {
  wide->clear();
  if (narrow.empty()) return true;
  int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(),
                              static_cast<int>(narrow.size()), nullptr, 0);
  if (n <= 0) return false;
  wide->resize(n);
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(),
                      static_cast<int>(narrow.size()), &(*wide)[0], n);
  return true;
}

// Into the active code page, or false when it cannot carry the text
// exactly: a best-fit substitute ('O' for omega, '\' for a full-width
// backslash) would name another file.
bool ToNarrow(const std::wstring& wide, std::string* narrow) {
  narrow->clear();
  if (wide.empty()) return true;
  const UINT cp = GetACP();
  BOOL used_default = FALSE;
  // UTF-8 takes no best-fit flag and reports only malformed text.
  const DWORD flags = cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL* used = cp == CP_UTF8 ? nullptr : &used_default;
  int n = WideCharToMultiByte(cp, flags, wide.data(), static_cast<int>(wide.size()),
                              nullptr, 0, nullptr, used);
  if (n <= 0 || used_default) return false;
  narrow->resize(n);
  WideCharToMultiByte(cp, flags, wide.data(), static_cast<int>(wide.size()),
                      &(*narrow)[0], n, nullptr, used);
  return !used_default;
}

std::string ErrorText(DWORD code) {
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n > 0 ? std::string(text, n) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
    out.pop_back();
  }
  return out;
}

// For messages only: what cannot be carried shows as '?'.
std::string Printable(const std::wstring& wide) {
  int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                              nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &out[0],
                        n, nullptr, nullptr);
  }
  return out;
}

}  // namespace

int FolderTool::ScanSubfolders(const std::string& dir,
                               std::vector<std::string>* names, int store) {
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
      if (store == 1) {
        base::Say("cannot archive the folder %s: %s",
                  base::Join(dir, Printable(data.cFileName)).c_str(), why.c_str());
      }
      continue;
    }
    if (store != 0 && names != nullptr) names->push_back(name);
  } while (FindNextFileW(search, &data));
  FindClose(search);
  return store != 0 && unusable ? -1 : count;
}

bool NativeArgumentPath(const std::string& arg, std::string* path, std::string* error) {
  // No DBCS trail byte is '/', so bytewise replacing is safe.
  std::string p = arg;
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  if (p.compare(0, 8, "\\\\?\\UNC\\") == 0) {
    p = "\\\\" + p.substr(8);
  } else if (p.compare(0, 4, "\\\\?\\") == 0 || p.compare(0, 4, "\\\\.\\") == 0) {
    std::string rest = p.substr(4);
    if (rest.size() < 3 || rest[1] != ':' || rest[2] != '\\') {
      *error = "only drive and UNC paths are taken in the \\\\?\\ form, no device or volume names";
      return false;
    }
    p = rest;
  }
  *path = p;
  return true;
}

bool ArgumentsCarried(std::string* message) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return true;
  bool ok = true;
  for (int i = 1; i < count && ok; ++i) {
    std::string narrow;
    if (!ToNarrow(wide[i], &narrow)) {
      *message = "argument " + std::to_string(i) + " (" + Printable(wide[i]) +
                 ") has characters that the code page " + std::to_string(GetACP()) +
                 " cannot carry exactly (Windows 10 1903 and later run Trevask in "
                 "UTF-8)";
      ok = false;
    }
  }
  LocalFree(wide);
  return ok;
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

namespace platform {

std::string ArchiverLineProblem(const std::vector<std::string>& args) {
  std::string line, why;
  return CommandFromArguments(args, &line, &why) ? std::string() : why;
}

bool CreateOneDirectory(const std::string& path, std::string* error) {
  if (CreateDirectoryA(path.c_str(), nullptr) != 0) return true;
  *error = ErrorText(GetLastError());
  return false;
}

int RunArchiverProgram(const std::vector<std::string>& args, const std::string&,
                       bool* started) {
  std::string line;
  if (!CommandFromArguments(args, &line)) return -1;
  errno = 0;
  int status = std::system(line.c_str());
  // No interpreter could be started at all.
  if (status == -1 && errno != 0) *started = false;
  return status;
}

int RemoveTree(const std::string& path, const base::FileId* expected) {
  base::FileId now;
  // cmd.exe works by name: the check is as close to it as Windows allows.
  if (expected != nullptr && (!base::GetFileId(path, &now) || !(now == *expected))) return -2;
  std::string line;
  if (!BuildRemoveCommand(path, &line)) return -1;
  return std::system(line.c_str());
}

void SetChildVariable(const char* name, const std::string& value) {
  // The C runtime's copy as well: system() hands that one on.
  SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
  _putenv_s(name, value.c_str());
}

std::string ArchiverText(const std::string& name) {
  std::wstring wide;
  return ToWide(name, &wide) ? base::Utf8(wide) : name;
}

bool PathTextEqual(const std::string& a, const std::string& b) {
  return base::SameNameText(a, b);
}

}  // namespace platform

void InstallInterruptHandling(void (*)()) {
  // Everything started from here on is in a job that ends when this process
  // does, however it ends: taskkill of Trevask ends cmd.exe and the archiver.
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) return;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  ZeroMemory(&limits, sizeof limits);
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                               sizeof limits) ||
      !AssignProcessToJobObject(job, GetCurrentProcess())) {
    CloseHandle(job);
  }
}

// Windows ends the process on Ctrl-C itself, and the job takes the rest.
void ExitIfInterrupted() {}
// A closed pipe shows only as failed writes, which end no run here.

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
    *reason = ErrorText(code);
    return false;
  }
  CloseHandle(h);
  return true;
}

// cmd.exe searches the current folder first, then PATH with its own rules.
bool ArchiverFound(ArchiverKind) { return true; }

namespace {

struct WindowsLocks {
  HANDLE mutex = nullptr;
  base::UpdateLock bundle;
};

}  // namespace

RunLocks::~RunLocks() {
  auto* held = static_cast<WindowsLocks*>(held_);
  if (held == nullptr) return;
  if (held->mutex != nullptr) {
    ReleaseMutex(held->mutex);
    CloseHandle(held->mutex);
  }
  delete held;
}

// TempFolder's mutex and the bundle's update mutex have names of their own,
// so that no two runs can each hold one that the other waits for.
bool RunLocks::Acquire(const std::string& temp_root, const std::string& bundle,
                       std::string* error) {
  auto* held = new WindowsLocks;
  held_ = held;
  std::string name;
  if (!base::FolderMutexName("folder", temp_root, &name, error)) return false;
  HANDLE mutex = static_cast<HANDLE>(base::CreateFolderMutex(&name));
  if (mutex == nullptr) {
    *error = ErrorText(GetLastError());
    return false;
  }
  DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_TIMEOUT) {
    base::Say("waiting for another run that uses %s (TempFolder)", AbsolutePath(temp_root).c_str());
    waited = WaitForSingleObject(mutex, INFINITE);
  }
  // An abandoned lock was left by a run that ended without releasing it.
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    *error = ErrorText(GetLastError());
    CloseHandle(mutex);
    return false;
  }
  held->mutex = mutex;
  return held->bundle.Acquire(bundle, error, "the folder of DstFileName");
}

void RunLocks::HandBundleToChildren() {
  if (held_ != nullptr) static_cast<WindowsLocks*>(held_)->bundle.HandToChildren();
}

}  // namespace trevask
