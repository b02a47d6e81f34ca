#include "archiver/reuse.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/system.h"

namespace archiver {

namespace {

// Members up to this size are inflated whole by libdeflate, at twice
// zlib's speed; larger ones stream through libzip a piece at a time. Each
// archiver is a new process, and every page of memory it touches the first
// time costs more than inflating it would: the buffers stay small and are
// used again.
constexpr std::uint64_t kWholeCompare = 128 << 10;
constexpr std::size_t kCompareChunk = 64 << 10;

// A whole member against the file's n bytes: its CRC first, which decides
// quickly when they differ, then the bytes inflated from its raw data.
// The file's bytes are those scratch->File(n) holds.
bool WholeMemberHolds(zip_t* za, zip_uint64_t index, const zip_stat_t& st, std::size_t n,
                      CompareScratch* scratch) {
  const unsigned char* file = scratch->File(n);
  // Deflate never grows data by a sixteenth: a member that claims more raw
  // bytes is not read into memory but taken as changed.
  if (!(st.valid & ZIP_STAT_CRC) || !(st.valid & ZIP_STAT_COMP_SIZE) ||
      st.crc != static_cast<zip_uint32_t>(libdeflate_crc32(0, file, n)) ||
      st.comp_size > kWholeCompare + (kWholeCompare >> 4) + 64) {
    return false;
  }
  const std::size_t packed = static_cast<std::size_t>(st.comp_size);
  unsigned char* raw = scratch->Raw(packed);
  zip_file_t* member = zip_fopen_index(za, index, ZIP_FL_COMPRESSED);
  bool same =
      member != nullptr && zip_fread(member, raw, packed) == static_cast<zip_int64_t>(packed);
  if (member != nullptr) zip_fclose(member);
  if (!same) return false;
  if (st.comp_method == ZIP_CM_STORE) return packed == n && std::memcmp(raw, file, n) == 0;
  unsigned char* held = scratch->Held(n);
  libdeflate_decompressor* inflater = scratch->Inflater();
  return inflater != nullptr &&
         libdeflate_deflate_decompress(inflater, raw, packed, held, n, nullptr) ==
             LIBDEFLATE_SUCCESS &&
         std::memcmp(held, file, n) == 0;
}

// A large member against the file, both read a piece at a time: the first
// difference decides, and libzip checks the member's CRC as it reads it.
bool StreamedMemberHolds(zip_t* za, zip_uint64_t index, const Item& item, base::FileHandle handle,
                         CompareScratch* scratch) {
  zip_file_t* member = zip_fopen_index(za, index, 0);
  bool same = member != nullptr;
  unsigned char* file = scratch->File(kCompareChunk);
  unsigned char* held = scratch->Held(kCompareChunk);
  std::string ignored;
  for (std::uint64_t at = 0; same && at < item.size; at += kCompareChunk) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(kCompareChunk, item.size - at));
    same = base::ReadInto(handle, item.path, {at, n, at + n == item.size}, file, &ignored) &&
           zip_fread(member, held, n) == static_cast<zip_int64_t>(n) &&
           std::memcmp(file, held, n) == 0;
  }
  // The member ends where the file does.
  if (same) same = zip_fread(member, held, 1) == 0;
  if (member != nullptr) zip_fclose(member);
  return same;
}

}  // namespace

CompareScratch::~CompareScratch() {
  if (inflater_ != nullptr) libdeflate_free_decompressor(inflater_);
}

libdeflate_decompressor* CompareScratch::Inflater() {
  if (inflater_ == nullptr) inflater_ = libdeflate_alloc_decompressor();
  return inflater_;
}

unsigned char* CompareScratch::Grow(Buffer* buffer, std::size_t n) {
  if (buffer->bytes == nullptr || n > buffer->size) {
    buffer->size = std::max<std::size_t>({n, 2 * buffer->size, 1});
    buffer->bytes.reset(new unsigned char[buffer->size]);
  }
  return buffer->bytes.get();
}

bool HoldsFile(zip_t* za, zip_uint64_t index, const Item& item, CompareScratch* scratch) {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(za, index, 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE) ||
      st.size != item.size ||
      ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE)) {
    zip_error_clear(za);
    return false;
  }
  base::FileHandle handle;
  std::string ignored;
  if (base::OpenRegular(item.path, &handle, &ignored) != base::Opened::kFile) return false;
  bool same;
  const bool whole = item.size <= kWholeCompare && (st.valid & ZIP_STAT_COMP_METHOD) &&
                     (st.comp_method == ZIP_CM_STORE || st.comp_method == ZIP_CM_DEFLATE);
  if (whole) {
    const std::size_t n = static_cast<std::size_t>(item.size);
    unsigned char* file = scratch->File(n);
    same = base::ReadInto(handle, item.path, {0, n, true}, file, &ignored) &&
           WholeMemberHolds(za, index, st, n, scratch);
  } else {
    same = StreamedMemberHolds(za, index, item, handle, scratch);
  }
  base::CloseSource(handle);
  zip_error_clear(za);
  return same;
}

}  // namespace archiver
