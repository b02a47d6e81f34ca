#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <atomic>

#include "base/text-win32.h"
#include "base/unnamed_file.h"

namespace base {

bool MakeUnnamedFile(const Folder& folder, Access access, const TempNamer& namer,
                     UnnamedFile* file) {
  const DWORD rights =
      (access == Access::kReadWrite ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE) | DELETE;
  *file = UnnamedFile();
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::string temp = namer(attempt);
    HANDLE h = CreateFileW((folder.prefix + Wide(temp)).c_str(), rights, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    file->handle = reinterpret_cast<FileHandle>(h);
    file->temp = std::move(temp);
    file->delete_on_close = SetDeleteOnClose(h, true);
    return true;
  }
  return false;
}

bool NameFile(const Folder& folder, UnnamedFile* file, const std::string& name, Replace replace,
              const TempNamer&) {
  if (!RenameOpen(reinterpret_cast<HANDLE>(file->handle), folder.prefix + Wide(name),
                  replace == Replace::kOver)) {
    return false;
  }
  file->temp.clear();
  return true;
}

std::FILE* OpenScratchFile() {
  wchar_t dir[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH + 1) return nullptr;
  Folder folder;
  folder.prefix = dir;
  static std::atomic<unsigned> made{0};
  const std::string stem =
      "trevask-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made);
  UnnamedFile file;
  if (!MakeUnnamedFile(folder, Access::kReadWrite, [&](unsigned attempt) {
        return stem + "-" + std::to_string(attempt) + ".tmp";
      }, &file)) {
    return nullptr;
  }
  const int fd = _open_osfhandle(static_cast<intptr_t>(file.handle), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    CloseHandle(reinterpret_cast<HANDLE>(file.handle));
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, "w+b");
  if (f == nullptr) _close(fd);
  return f;
}

}  // namespace base
