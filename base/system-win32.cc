// The archivers' file system on Windows: wide APIs underneath, UTF-8 above,
// which is what libzip takes for file names on Windows.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <shellapi.h>

#include "base/system.h"

#include "base/file_id.h"
#include "base/path.h"
#include "base/text-win32.h"
#include "base/threads.h"

namespace base {

// The \\?\ form of a path: Windows then takes every name as it stands, so
// that a file named "a." or "aux.txt" is that file, not "a" or a device.
// The usual parsing (relative paths, '/', '.' and '..') is done here.
std::wstring FsPath(const std::string& utf8) {
  std::wstring path = Wide(utf8);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0) {
    return path;
  }
  std::wstring root;
  std::wstring rest;
  if (path.compare(0, 2, L"\\\\") == 0) {
    // \\server\share\rest
    size_t server = path.find(L'\\', 2);
    size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    root = L"\\\\?\\UNC\\" + path.substr(2, share == std::wstring::npos ? share : share - 2);
    rest = share == std::wstring::npos ? L"" : path.substr(share);
  } else if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
    root = L"\\\\?\\" + path.substr(0, 2);
    rest = path.substr(2);
  } else {
    // Relative, rooted or drive-relative: the system's own parsing of the
    // current folder part, never of the names themselves.
    std::wstring base(MAX_PATH, L'\0');
    DWORD n = GetCurrentDirectoryW(MAX_PATH, &base[0]);
    if (n == 0 || n >= MAX_PATH) return path;
    base.resize(n);
    if (base.size() < 2 || base[1] != L':') return path;
    if (path.size() >= 2 && path[1] == L':') {
      if (towupper(path[0]) != towupper(base[0])) return path;
      rest = base.substr(2) + L"\\" + path.substr(2);
    } else if (!path.empty() && path[0] == L'\\') {
      rest = path;
    } else {
      rest = base.substr(2) + L"\\" + path;
    }
    root = L"\\\\?\\" + base.substr(0, 2);
  }
  std::vector<std::wstring> parts;
  for (size_t at = 0; at <= rest.size();) {
    size_t end = rest.find(L'\\', at);
    if (end == std::wstring::npos) end = rest.size();
    std::wstring part = rest.substr(at, end - at);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::wstring out = root;
  for (const std::wstring& part : parts) out += L"\\" + part;
  if (parts.empty()) out += L"\\";
  return out;
}

std::string ErrorText(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n > 0 ? Utf8(std::wstring(text, n)) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  // Followed by more of the message, as strerror's text is.
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
    out.pop_back();
  }
  return out;
}

namespace {

std::int64_t ToTime(const FILETIME& ft) {
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  // 100 ns ticks since 1601 to seconds since 1970.
  return static_cast<std::int64_t>(t.QuadPart / 10000000ULL) - 11644473600LL;
}

// Whether a link among the entries of dir can be followed to a file.
bool LeadsSomewhere(const std::string& dir, const std::wstring& name,
                    Entry* entry) {
  std::wstring path = FsPath(dir);
  if (path.back() != L'\\') path += L'\\';
  HANDLE h = CreateFileW((path + name).c_str(), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return true;
  }
  DWORD why = GetLastError();
  if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND) {
    entry->skipped = Entry::Skipped::kDeadLink;
    entry->why_skipped = "a link that leads nowhere";
    return false;
  }
  if (why == ERROR_CANT_RESOLVE_FILENAME) {
    entry->skipped = Entry::Skipped::kUnresolvedLink;
    entry->why_skipped = "a link that cannot be resolved";
    return false;
  }
  return true;  // the open of its contents says what else is wrong
}

}  // namespace

bool ListFolder(const std::string& dir, std::vector<Entry>* entries,
                std::string* error) {
  std::wstring pattern = FsPath(dir);
  if (pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    *error = "cannot read folder " + dir + ": " + LastErrorText();
    return false;
  }
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    Entry entry;
    entry.name = Utf8(name);
    entry.mtime = ToTime(data.ftLastWriteTime);
    bool folder = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    if (folder && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      entry.skipped = Entry::Skipped::kFolderLink;
      entry.why_skipped = "a link to a folder";
    } else if (folder) {
      entry.type = Entry::kFolder;
    } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
      entry.skipped = Entry::Skipped::kSpecial;
      entry.why_skipped = "not a regular file";
    } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
               !LeadsSomewhere(dir, name, &entry)) {
      // A link whose end is missing or cannot be reached: a warning.
    } else {
      entry.type = Entry::kFile;
      entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                   data.nFileSizeLow;
    }
    entries->push_back(entry);
  } while (FindNextFileW(search, &data));
  FindClose(search);
  return true;
}

bool IsFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesW(FsPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY);
}


bool GetOpenFileId(std::intptr_t native, FileId* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(native), &info)) return false;
  id->volume = info.dwVolumeSerialNumber;
  id->high = info.nFileIndexHigh;
  id->low = info.nFileIndexLow;
  return true;
}

bool GetFileId(const std::string& path, FileId* id) {
  HANDLE h = CreateFileW(FsPath(path).c_str(), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetOpenFileId(reinterpret_cast<std::intptr_t>(h), id);
  CloseHandle(h);
  return ok;
}

std::string FinalPath(const std::string& path) {
  HANDLE h = CreateFileW(FsPath(path).c_str(), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return path;
  std::vector<wchar_t> buffer(MAX_PATH * 4);
  DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      VOLUME_NAME_DOS);
  CloseHandle(h);
  if (n == 0 || n >= buffer.size()) return path;
  std::string out = Utf8(std::wstring(buffer.data(), n));
  // Returned as \\?\C:\x or \\?\UNC\server\share\x.
  if (out.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + out.substr(8);
  if (out.rfind("\\\\?\\", 0) == 0) return out.substr(4);
  return out;
}

std::int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(FsPath(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

Opened OpenRegular(const std::string& path, FileHandle* handle, std::string* error) {
  *handle = kNoFile;
  HANDLE h = CreateFileW(FsPath(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot open " + path + ": " + LastErrorText();
    return Opened::kFailed;
  }
  // A pipe or a device under a file's name is not read.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    *error = "not a regular file";
    return Opened::kNotRegular;
  }
  *handle = reinterpret_cast<FileHandle>(h);
  return Opened::kFile;
}

void CloseSource(FileHandle handle) {
  if (handle != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool StateOf(FileHandle handle, FileState* state) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle), &info)) return false;
  state->size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  state->written = (static_cast<std::int64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                   info.ftLastWriteTime.dwLowDateTime;
  state->changed = 0;
  return true;
}

bool ReadInto(FileHandle handle, const std::string& path, const FileRange& range,
              unsigned char* into, std::string* error) {
  const std::uint64_t offset = range.offset;
  const std::size_t length = range.length;
  const bool at_end = range.at_end;
  HANDLE h = reinterpret_cast<HANDLE>(handle);
  std::size_t got = 0;
  auto read_at = [&](std::uint64_t at, void* to, DWORD n, DWORD* done) {
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    if (ReadFile(h, to, n, done, &where)) return true;
    if (GetLastError() == ERROR_HANDLE_EOF) {
      *done = 0;
      return true;
    }
    return false;
  };
  while (got < length) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - got, 1 << 30));
    if (!read_at(offset + got, into + got, want, &n) || n == 0) {
      *error = n == 0 && GetLastError() == ERROR_HANDLE_EOF
                   ? path + " became shorter while it was read"
                   : "cannot read " + path + ": " + LastErrorText();
      return false;
    }
    got += n;
  }
  if (at_end) {
    unsigned char extra;
    DWORD n = 0;
    if (!read_at(offset + length, &extra, 1, &n) || n != 0) {
      *error = n != 0 ? path + " grew while it was read"
                      : "cannot read " + path + ": " + LastErrorText();
      return false;
    }
  }
  return true;
}

bool ReadRange(FileHandle handle, const std::string& path, const FileRange& range,
               std::vector<unsigned char>* out, std::string* error) {
  out->resize(range.length);
  return ReadInto(handle, path, range, out->data(), error);
}

std::FILE* OpenForReading(const std::string& path, int* error_number) {
  FileHandle h;
  std::string error;
  Opened opened = OpenRegular(path, &h, &error);
  if (opened != Opened::kFile) {
    *error_number = opened == Opened::kNotRegular ? EINVAL : ENOENT;
    return nullptr;
  }
  int fd = _open_osfhandle(h, _O_BINARY | _O_RDONLY);
  std::FILE* f = fd < 0 ? nullptr : _fdopen(fd, "rb");
  if (f == nullptr) {
    if (fd < 0) CloseSource(h); else _close(fd);
  }
  *error_number = f ? 0 : EIO;
  return f;
}

bool SeekFile(std::FILE* f, std::int64_t offset, int whence) {
  return _fseeki64(f, offset, whence) == 0;
}

std::int64_t TellFile(std::FILE* f) { return _ftelli64(f); }

bool RegularOrAbsent(const std::string& path, std::string* error) {
  DWORD attributes = GetFileAttributesW(FsPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
    return true;
  }
  *error = path + ": not a regular file";
  return false;
}

// The 64-bit call: no time after 2038 wraps.
bool LocalTime(std::int64_t t, std::tm* tm) {
  __time64_t t64 = t;
  return _localtime64_s(tm, &t64) == 0;
}

std::string LastErrorText() { return ErrorText(GetLastError()); }

namespace {
volatile LONG interrupted = 0;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  // Ctrl-C, Ctrl-Break, a closed console: stop at the next check.
  InterlockedExchange(&interrupted, static_cast<LONG>(event) + 1);
  return TRUE;
}
}  // namespace

// Nothing else to do on Windows: the console event comes on a thread of its own.
void InstallInterruptHandlers(void (*)(int)) { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int Interrupted() { return static_cast<int>(interrupted); }

void ExitInterrupted() { ExitProcess(0xC000013A); }

std::vector<std::string> Arguments(int, char**) {
  // The narrow argv is in the ANSI code page; the wide one loses nothing.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return out;
}

void WriteText(std::FILE* stream, const std::string& text) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode)) {
    // The console shows UTF-16 as it is, whatever its code page.
    std::fflush(stream);
    std::wstring wide = Wide(text);
    DWORD written = 0;
    WriteConsoleW(h, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fputs(text.c_str(), stream);
}

int UsableCores() {
  DWORD_PTR own = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &own, &system)) return 1;
  int n = 0;
  for (; own != 0; own &= own - 1) ++n;
  return n < 1 ? 1 : n;
}

void PassOn(std::FILE* stream, const char* data, std::size_t size) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode)) {
    WriteText(stream, std::string(data, size));
    return;
  }
  // Past the runtime's text mode, which would make the other program's
  // "\r\n" "\r\r\n".
  std::fflush(stream);
  for (std::size_t done = 0; done < size && h != INVALID_HANDLE_VALUE;) {
    DWORD n = 0;
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(size - done, 1 << 20));
    if (!WriteFile(h, data + done, part, &n, nullptr) || n == 0) break;
    done += n;
  }
}

void NoteOutputError() {}

void NoteInterrupted(int sig) { InterlockedCompareExchange(&interrupted, sig, 0); }

bool FlushText(std::FILE* stream) {
  return std::fflush(stream) == 0 && !std::ferror(stream);
}

}  // namespace base
