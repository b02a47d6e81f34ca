// The reuse compare: whether an existing member already holds a file's
// bytes, so that its data is kept instead of the file added again.
#ifndef TREVASK_ARCHIVER_REUSE_H_
#define TREVASK_ARCHIVER_REUSE_H_

#include <zip.h>

#include <cstddef>
#include <memory>

#include "archiver/listing.h"

struct libdeflate_decompressor;

namespace archiver {

// What every compare of one update uses again: buffers made fresh for
// each file would be zeroed and faulted in each time, and most are small.
class CompareScratch {
 public:
  CompareScratch() = default;
  CompareScratch(const CompareScratch&) = delete;
  CompareScratch& operator=(const CompareScratch&) = delete;
  ~CompareScratch();
  // Each at least n bytes; what a smaller request got before is reused.
  unsigned char* File(std::size_t n) { return Grow(&file_, n); }
  unsigned char* Raw(std::size_t n) { return Grow(&raw_, n); }
  unsigned char* Held(std::size_t n) { return Grow(&held_, n); }
  libdeflate_decompressor* Inflater();

 private:
  struct Buffer {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size = 0;
  };
  static unsigned char* Grow(Buffer* buffer, std::size_t n);
  Buffer file_, raw_, held_;
  libdeflate_decompressor* inflater_ = nullptr;
};

// True when the member at index holds exactly item's bytes now: sizes
// and CRCs may match by chance, so the bytes themselves decide.
bool HoldsFile(zip_t* za, zip_uint64_t index, const Item& item, CompareScratch* scratch);

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_REUSE_H_
