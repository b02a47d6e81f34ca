#include <windows.h>

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

}  // namespace base
