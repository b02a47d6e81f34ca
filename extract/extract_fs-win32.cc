// The extractor's file system on Windows: wide calls under UTF-8 names,
// every path in its \\?\ form so that names are taken as they stand.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>

#include "base/path.h"
#include "base/system.h"
#include "base/text-win32.h"
#include "base/unnamed_file.h"
#include "extract/extract_fs.h"

namespace extract {

using base::Wide;

struct Dir {
  std::wstring path;  // \\?\ form
  std::string shown;
};

namespace {

// A path the user gave, made absolute by the system's own rules.
std::wstring FullPath(const std::string& path) {
  std::wstring wide = Wide(path);
  if (wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, &full[0], nullptr);
  full.resize(n);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::string Reason() { return base::LastErrorText(); }

class InputFile : public base::Source {
 public:
  InputFile(HANDLE h, std::uint64_t size, std::string path)
      : h_(h), size_(size), path_(std::move(path)) {}
  ~InputFile() override { CloseHandle(h_); }
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void* into, std::size_t n,
              std::string* error) const override {
    if (offset > size_ || n > size_ - offset) {
      *error = "reaches beyond the end of " + path_;
      return false;
    }
    char* to = static_cast<char*>(into);
    while (n > 0) {
      OVERLAPPED where = {};
      where.Offset = static_cast<DWORD>(offset);
      where.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD got = 0;
      DWORD want = static_cast<DWORD>(n < (1u << 30) ? n : (1u << 30));
      if (!ReadFile(h_, to, want, &got, &where) || got == 0) {
        *error = "cannot read " + path_ + ": " + (got == 0 ? "it became shorter" : Reason());
        return false;
      }
      to += got;
      offset += got;
      n -= got;
    }
    return true;
  }

 private:
  HANDLE h_;
  std::uint64_t size_;
  std::string path_;
};

// True when path exists spelt exactly so: Windows finds other cases too.
bool ExactNameThere(const std::wstring& path, const std::wstring& name) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(path.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return name == data.cFileName;
}

FILETIME FileTimeOf(std::int64_t t) {
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<ULONGLONG>(t + 11644473600LL) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = ticks.LowPart;
  ft.dwHighDateTime = ticks.HighPart;
  return ft;
}

std::atomic<unsigned> temp_counter{0};

class WindowsFile : public NewFile {
 public:
  // Written under a private name that the system removes when the handle
  // closes, however the process ends; the real name comes at Commit.
  WindowsFile(DirPtr dir, const base::UnnamedFile& file, std::string name, bool overwrite)
      : dir_(std::move(dir)), h_(reinterpret_cast<HANDLE>(file.handle)),
        own_(dir_->path + L"\\" + Wide(file.temp)), name_(std::move(name)),
        overwrite_(overwrite), delete_on_close_(file.delete_on_close) {
    folder_.prefix = dir_->path + L"\\";
  }
  ~WindowsFile() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    if (!committed_ && !delete_on_close_) DeleteFileW(own_.c_str());
  }

  static bool Exists(DWORD code) {
    return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
  }

  bool Write(const unsigned char* data, std::size_t n, std::string* error) override {
    while (n > 0) {
      DWORD done = 0;
      DWORD want = static_cast<DWORD>(n < (1u << 30) ? n : (1u << 30));
      if (!WriteFile(h_, data, want, &done, nullptr) || done == 0) {
        *error = "cannot write in " + dir_->shown + ": " + Reason();
        return false;
      }
      data += done;
      n -= done;
    }
    return true;
  }

  bool Commit(std::int64_t mtime, std::int32_t, std::string* error) override {
    FILETIME ft = FileTimeOf(mtime);
    if (SetFileTime(h_, nullptr, nullptr, &ft) == 0) {
      *error = "cannot finish it: " + Reason();
      return false;
    }
    // A new name is given first and the file kept only then: a kill
    // between the two leaves no file rather than one under the private
    // name. Over an existing file (-o), and on a system that will not
    // rename a file marked for deletion, kept first: the file it replaces
    // must never go with it.
    bool renamed = delete_on_close_ && !overwrite_ && Rename(base::Replace::kNever);
    DWORD code = renamed ? 0 : GetLastError();
    if (!renamed && !Exists(code)) {
      if (delete_on_close_ && !base::SetDeleteOnClose(h_, false)) {
        *error = "cannot finish it: " + Reason();
        return false;
      }
      delete_on_close_ = false;
      renamed = Rename(overwrite_ ? base::Replace::kOver : base::Replace::kNever);
      code = renamed ? 0 : GetLastError();
    }
    if (!renamed) {
      *error = Exists(code) ? "it appeared meanwhile; not replaced (-o replaces it)"
                            : "cannot finish it: " + Reason();
      if (!delete_on_close_) delete_on_close_ = base::SetDeleteOnClose(h_, true);
      return false;
    }
    committed_ = true;
    if (delete_on_close_ && !base::SetDeleteOnClose(h_, false)) {
      // The name is given, but the system would still remove the file.
      *error = "cannot finish it: " + Reason();
      return false;
    }
    delete_on_close_ = false;
    if (CloseHandle(h_) == 0) {
      h_ = INVALID_HANDLE_VALUE;
      *error = "cannot finish it: " + Reason();
      return false;
    }
    h_ = INVALID_HANDLE_VALUE;
    return true;
  }

 private:
  bool Rename(base::Replace replace) {
    base::UnnamedFile file;
    file.handle = reinterpret_cast<base::FileHandle>(h_);
    return base::NameFile(folder_, &file, name_, replace, nullptr);
  }

  DirPtr dir_;
  base::Folder folder_;
  HANDLE h_;
  std::wstring own_;  // the private name's path
  std::string name_;
  bool overwrite_;
  bool delete_on_close_;
  bool committed_ = false;
};

// What is there under target, for a file that cannot be made.
Put WhatIsThere(const std::wstring& target, const std::wstring& name, std::string* error) {
  DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Put::kDone;
  if (!ExactNameThere(target, name)) {
    *error = "the file system takes it for another name there (another case?)";
    return Put::kRefused;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    *error = "a folder of that name is there";
    return Put::kRefused;
  }
  *error = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? "a link is there" : "a file is there";
  return Put::kExists;
}

}  // namespace

std::shared_ptr<base::Source> OpenInput(const std::string& path, std::string* error) {
  const std::wstring full = FullPath(path);
  // A folder would only be denied; said as what it is.
  const DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = "cannot read " + path + ": it is a folder, not a regular file";
    return nullptr;
  }
  HANDLE h = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot read " + path + ": " + Reason();
    return nullptr;
  }
  // A pipe, a console or a device is refused before anything waits on it.
  LARGE_INTEGER size;
  const bool disk = GetFileType(h) == FILE_TYPE_DISK;
  if (!disk || !GetFileSizeEx(h, &size)) {
    *error = "cannot read " + path + ": " +
             (disk ? Reason() : std::string("it is a device or a pipe, not a regular file"));
    CloseHandle(h);
    return nullptr;
  }
  return std::make_shared<InputFile>(h, static_cast<std::uint64_t>(size.QuadPart), path);
}

DirPtr OpenDestination(const std::string& path, std::string* error) {
  auto dir = std::make_shared<Dir>();
  dir->path = FullPath(path);
  dir->shown = path;
  while (dir->path.size() > 7 && dir->path.back() == L'\\') dir->path.pop_back();
  if (!CreateDirectoryW(dir->path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = "cannot make " + path + ": " + Reason();
    return nullptr;
  }
  DWORD attributes = GetFileAttributesW(dir->path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = "cannot extract into " + path + ": " +
             (attributes == INVALID_FILE_ATTRIBUTES ? Reason()
              : attributes & FILE_ATTRIBUTE_REPARSE_POINT
                  ? std::string("a link is there that leads to a file, not to a folder")
                  : std::string("a file is there, not a folder"));
    return nullptr;
  }
  return dir;
}

DirPtr EnterFolder(const DirPtr& parent, const std::string& name, bool create,
                   std::string* error) {
  auto dir = std::make_shared<Dir>();
  const std::wstring wide = Wide(name);
  dir->path = parent->path + L"\\" + wide;
  dir->shown = base::Join(parent->shown, name);
  bool existed = true;
  if (create) {
    existed = !CreateDirectoryW(dir->path.c_str(), nullptr);
    if (existed && GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = "cannot make folder: " + Reason();
      return nullptr;
    }
  }
  DWORD attributes = GetFileAttributesW(dir->path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *error = "cannot open: " + Reason();
    return nullptr;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *error = "a link is there, which is not followed";
    return nullptr;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = "a file is there, not a folder";
    return nullptr;
  }
  if (existed && !ExactNameThere(dir->path, wide)) {
    *error = "the file system takes it for another name there (another case?)";
    return nullptr;
  }
  return dir;
}

std::unique_ptr<NewFile> NewFile::Create(const DirPtr& dir, const std::string& name,
                                         bool overwrite, Put* status, std::string* error) {
  const std::wstring wide = Wide(name);
  const std::wstring target = dir->path + L"\\" + wide;
  *status = WhatIsThere(target, wide, error);
  if (*status == Put::kRefused || (*status == Put::kExists && !overwrite)) return nullptr;
  *status = Put::kFailed;
  base::Folder folder;
  folder.prefix = dir->path + L"\\";
  auto namer = [](unsigned) {
    return ".trx-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(temp_counter.fetch_add(1));
  };
  base::UnnamedFile made;
  if (base::MakeUnnamedFile(folder, base::Access::kWrite, namer, &made)) {
    return std::unique_ptr<NewFile>(new WindowsFile(dir, made, name, overwrite));
  }
  *error = "cannot create a file in " + dir->shown + ": " + Reason();
  return nullptr;
}

std::FILE* AnonymousTempFile(std::string* error) {
  wchar_t dir[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH) {
    *error = "cannot make a temporary file: the system names no folder for it";
    return nullptr;
  }
  const std::string shown = base::Utf8(dir);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring path = std::wstring(dir) + L".trx-" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(temp_counter.fetch_add(1)) + L".tmp";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      break;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    std::FILE* f = fd < 0 ? nullptr : _fdopen(fd, "w+b");
    if (f != nullptr) return f;
    if (fd < 0) {
      CloseHandle(h);
    } else {
      _close(fd);
    }
    break;
  }
  *error = "cannot make a temporary file in " + shown + ": " + Reason();
  return nullptr;
}

std::uint32_t AllowedMode() { return 0; }

}  // namespace extract
