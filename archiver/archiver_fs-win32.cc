#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "archiver/archiver_fs.h"
#include "base/archiver_temp.h"
#include "base/path.h"
#include "base/text-win32.h"
#include "base/unnamed_file.h"

namespace archiver {

using base::FsPath;
using base::RenameOpen;
using base::SetDeleteOnClose;

namespace {
std::string LastError() { return base::LastErrorText(); }
}  // namespace

bool GetFolderId(const std::string& dir, base::FileId* id, std::string* error) {
  // Kept open, and without FILE_SHARE_DELETE: the folder cannot be renamed
  // or removed until this process ends.
  HANDLE h = CreateFileW(FsPath(dir).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      !base::GetOpenFileId(reinterpret_cast<std::intptr_t>(h), id)) {
    *error = dir + ": " + LastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return false;
  }
  return true;
}

base::Opened OpenMemberFile(const std::string& path, base::FileHandle* handle,
                            base::FileState* state, std::string* error) {
  const base::Opened opened = base::OpenRegular(path, handle, error);
  if (opened == base::Opened::kFile && !base::StateOf(*handle, state)) {
    *error = "cannot open " + path + ": " + base::LastErrorText();
    base::CloseSource(*handle);
    *handle = base::kNoFile;
    return base::Opened::kFailed;
  }
  return opened;
}

// The held folder cannot change under the commit.
void PinArchiveFolder(const base::FileId&) {}

bool CreateBeside(const std::string& path, NewFile* out, std::string* error) {
  *out = NewFile();
  const std::string dir = base::ParentFolder(path);
  // The system's form of a name in dir, less the name.
  base::Folder folder;
  folder.prefix = FsPath(base::Join(dir, "x"));
  folder.prefix.pop_back();
  auto namer = [](unsigned attempt) {
    return base::WindowsArchiverTempName(GetCurrentProcessId(), GetTickCount() + attempt);
  };
  base::UnnamedFile made;
  if (base::MakeUnnamedFile(folder, base::Access::kReadWrite, namer, &made)) {
    HANDLE h = reinterpret_cast<HANDLE>(made.handle);
    out->temp = base::Join(dir, made.temp);
    out->native = made.handle;
    out->delete_on_close = made.delete_on_close;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    out->file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (out->file != nullptr) return true;
    if (fd < 0) CloseHandle(h); else _close(fd);
    if (!out->delete_on_close) DeleteFileW(FsPath(out->temp).c_str());
    out->temp.clear();
  }
  *error = "cannot create a file beside " + path + ": " + LastError();
  return false;
}

bool Commit(NewFile* out, const std::string& path, std::string* error) {
  HANDLE h = reinterpret_cast<HANDLE>(out->native);
  if (std::fflush(out->file) != 0 || std::ferror(out->file)) {
    *error = "cannot write " + path + ": " + LastError();
    Discard(out);
    return false;
  }
  // Kept from here on; renamed while still open, so that the window in
  // which a killed run leaves its file is as short as it can be.
  if (out->delete_on_close && !SetDeleteOnClose(h, false)) {
    *error = "cannot write " + path + ": " + LastError();
    Discard(out);
    return false;
  }
  out->delete_on_close = false;
  bool renamed = RenameOpen(h, FsPath(path), true);
  std::fclose(out->file);
  out->file = nullptr;
  if (!renamed &&
      !MoveFileExW(FsPath(out->temp).c_str(), FsPath(path).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = "cannot write " + path + ": " + LastError();
    Discard(out);
    return false;
  }
  out->temp.clear();
  return true;
}

void Discard(NewFile* out) {
  if (out->file != nullptr) std::fclose(out->file);
  out->file = nullptr;
  if (!out->temp.empty() && !out->delete_on_close) DeleteFileW(FsPath(out->temp).c_str());
  out->temp.clear();
}


// trevask's job object ends this run when trevask dies, however it dies.
void EndWithTrevask() {}

}  // namespace archiver
