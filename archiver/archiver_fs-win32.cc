// The archivers' file system on Windows: wide APIs underneath, UTF-8 above,
// which is what libzip takes for file names on Windows.
#include <windows.h>

#include <cstdio>
#include <shellapi.h>

#include "archiver/archiver_fs.h"

namespace archiver {

const char kPathSeparator = '\\';

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                              nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                              nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0],
                      n, nullptr, nullptr);
  return out;
}

std::string LastError() {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, GetLastError(), 0, reinterpret_cast<wchar_t*>(&text), 0,
                 nullptr);
  std::string out = text ? Utf8(text) : "unknown error";
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::time_t ToTime(const FILETIME& ft) {
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  // 100 ns ticks since 1601 to seconds since 1970.
  return static_cast<std::time_t>(t.QuadPart / 10000000ULL - 11644473600ULL);
}

}  // namespace

bool ListFolder(const std::string& dir, std::vector<Entry>* entries,
                std::string* error) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(Wide(dir + "\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    *error = "cannot read folder " + dir + ": " + LastError();
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
      entry.why_skipped = "a link to a folder";
    } else if (folder) {
      entry.type = Entry::kFolder;
    } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
      entry.why_skipped = "not a regular file";
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
  DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool SameFile(const std::string& a, const std::string& b) {
  auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = CreateFileW(Wide(path).c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return identify(a, &ia) && identify(b, &ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool CheckReadable(const std::string& path, std::string* error) {
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot read " + path + ": " + LastError();
    return false;
  }
  CloseHandle(h);
  return true;
}

std::int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes,
                         std::string* error) {
  std::wstring target = Wide(path);
  std::wstring temp = target + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot create " + path + ": " + LastError();
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                      nullptr) &&
            written == bytes.size();
  CloseHandle(h);
  if (!ok || !MoveFileExW(temp.c_str(), target.c_str(),
                          MOVEFILE_REPLACE_EXISTING)) {
    *error = "cannot write " + path + ": " + LastError();
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

std::vector<std::string> Arguments(int, char**) {
  // The narrow argv is in the ANSI code page; the wide one loses nothing.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return out;
}

}  // namespace archiver
