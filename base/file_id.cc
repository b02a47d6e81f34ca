#include "base/file_id.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace base {

bool SameFile(const std::string& a, const std::string& b) {
  FileId ia, ib;
  return GetFileId(a, &ia) && GetFileId(b, &ib) && ia == ib;
}

std::string FileIdText(const FileId& id) {
  return std::to_string(id.volume) + ":" + std::to_string(id.high) + ":" +
         std::to_string(id.low);
}

bool ParseFileId(const char* text, FileId* id) {
  unsigned long long parts[3];
  const char* at = text;
  for (int i = 0; i < 3; ++i) {
    char* end = nullptr;
    if (*at < '0' || *at > '9') return false;
    errno = 0;
    parts[i] = std::strtoull(at, &end, 10);
    if (errno != 0 || *end != (i < 2 ? ':' : '\0')) return false;
    at = end + 1;
  }
  id->volume = parts[0];
  id->high = parts[1];
  id->low = parts[2];
  return true;
}

}  // namespace base
