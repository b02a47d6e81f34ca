// Which file or folder a path is, whatever names lead to it: the one file
// identity of every program here.
#ifndef TREVASK_BASE_FILE_ID_H_
#define TREVASK_BASE_FILE_ID_H_

#include <cstdint>
#include <string>

namespace base {

// POSIX: device and inode (high 0); Windows: volume serial number and file
// index.
struct FileId {
  unsigned long long volume = 0, high = 0, low = 0;
  bool operator==(const FileId& o) const {
    return volume == o.volume && high == o.high && low == o.low;
  }
  bool operator!=(const FileId& o) const { return !(*this == o); }
};

// The identity of an existing file or folder, links followed.
bool GetFileId(const std::string& path, FileId* id);
// The identity of an open file: a descriptor on POSIX, a HANDLE on Windows.
bool GetOpenFileId(std::intptr_t native, FileId* id);
// True when both name the same existing file.
bool SameFile(const std::string& a, const std::string& b);

// "VOLUME:HIGH:LOW", as one program hands an identity to another.
std::string FileIdText(const FileId& id);
bool ParseFileId(const char* text, FileId* id);

}  // namespace base

#endif  // TREVASK_BASE_FILE_ID_H_
