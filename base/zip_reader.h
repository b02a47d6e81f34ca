// Reads the data of a zip archive's members, from any source of bytes that
// can be read at an offset: a bundle, a folder archive lying inside it, or
// one in the mirror tree.
#ifndef TREVASK_BASE_ZIP_READER_H_
#define TREVASK_BASE_ZIP_READER_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/system.h"
#include "base/zip_directory.h"

namespace base {

// Receives a member's bytes as they are unpacked.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool Write(const unsigned char* data, std::size_t n, std::string* error) = 0;
};

// How an Unpack ended. kDamaged: the member itself fails (its header, its
// deflate data, its size or its CRC, or the bytes under it cannot be read);
// kFailed: the sink failed, or the run was interrupted.
enum class Unpacked { kDone, kDamaged, kFailed };

// Unpacks a member into sink and checks its size and CRC; the reason in
// error unless kDone.
Unpacked Unpack(const base::Source& source, const base::Member& member, Sink* sink,
                std::string* error);

// Unpack, keeping nothing: checks the member's size and CRC.
Unpacked CheckData(const Source& source, const Member& member, std::string* error);

}  // namespace base

#endif  // TREVASK_BASE_ZIP_READER_H_
