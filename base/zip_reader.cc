#include "base/zip_reader.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>

#include "base/system.h"

namespace base {

namespace {

constexpr std::size_t kChunk = 256 * 1024;
// Members up to this size are inflated in one call, by libdeflate.
constexpr std::uint64_t kWhole = 1024 * 1024;

bool Failed(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

// Unpack, but false for any failure; *not_damage is set where the member
// is not to blame.
bool UnpackChecked(const base::Source& source, const base::Member& m, Sink* sink,
                   std::string* error, bool* not_damage) {
  if (m.flags & 1 || (m.method != 0 && m.method != 8)) {
    *not_damage = true;
    return Failed(error, m.flags & 1 ? "encrypted"
                                     : "packed by method " + std::to_string(m.method) +
                                           "; only stored and deflated members can be read");
  }
  std::uint64_t data_at;
  if (!base::DataRange(source, m, &data_at, error)) return false;
  if (m.method == 0 && m.packed_size != m.size) return Failed(error, "wrong size");

  std::uint32_t crc = 0;
  std::uint64_t produced = 0;
  auto emit = [&](const unsigned char* data, std::size_t n) {
    crc = libdeflate_crc32(crc, data, n);
    produced += n;
    if (produced > m.size) return Failed(error, "longer than its recorded size");
    if (sink->Write(data, n, error)) return true;
    *not_damage = true;
    return false;
  };

  if (m.method == 8 && m.size <= kWhole && m.packed_size <= kWhole) {
    std::vector<unsigned char> in(static_cast<std::size_t>(m.packed_size));
    std::vector<unsigned char> out(static_cast<std::size_t>(m.size));
    if (!source.ReadAt(data_at, in.data(), in.size(), error)) return false;
    thread_local libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    std::size_t in_used = 0;
    if (libdeflate_deflate_decompress_ex(d, in.data(), in.size(), out.data(), out.size(),
                                         &in_used, nullptr) != LIBDEFLATE_SUCCESS) {
      return Failed(error, "damaged deflate data or wrong size");
    }
    if (!emit(out.data(), out.size())) return false;
  } else {
    std::vector<unsigned char> in(kChunk), out(m.method == 8 ? kChunk : 0);
    z_stream z{};
    if (m.method == 8 && inflateInit2(&z, -15) != Z_OK) {
      *not_damage = true;
      return Failed(error, "out of memory");
    }
    bool ok = true, ended = m.method == 0;
    std::uint64_t read = 0;
    while (ok && read < m.packed_size) {
      if (base::Interrupted()) {
        *not_damage = true;
        ok = Failed(error, "interrupted");
        break;
      }
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, m.packed_size - read));
      if (!source.ReadAt(data_at + read, in.data(), n, error)) {
        ok = false;
        break;
      }
      read += n;
      if (m.method == 0) {
        ok = emit(in.data(), n);
        continue;
      }
      z.next_in = in.data();
      z.avail_in = static_cast<uInt>(n);
      while (ok && z.avail_in > 0 && !ended) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        int r = inflate(&z, Z_NO_FLUSH);
        if (r != Z_OK && r != Z_STREAM_END) {
          ok = Failed(error, "damaged deflate data");
          break;
        }
        ok = emit(out.data(), out.size() - z.avail_out);
        ended = r == Z_STREAM_END;
      }
    }
    // Output still held back after the last input.
    while (ok && !ended && m.method == 8) {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      int r = inflate(&z, Z_FINISH);
      if (r != Z_STREAM_END && (r != Z_BUF_ERROR || z.avail_out != 0) && r != Z_OK) {
        ok = Failed(error, "damaged deflate data");
        break;
      }
      ok = emit(out.data(), out.size() - z.avail_out);
      ended = r == Z_STREAM_END;
      if (!ended && z.avail_out != 0) ok = Failed(error, "deflate data ends too soon");
    }
    if (m.method == 8) inflateEnd(&z);
    if (!ok) return false;
  }
  if (produced != m.size) return Failed(error, "shorter than its recorded size");
  if (crc != m.crc) return Failed(error, "CRC mismatch");
  return true;
}

class Discard : public Sink {
 public:
  bool Write(const unsigned char*, std::size_t, std::string*) override { return true; }
};

}  // namespace

Unpacked CheckData(const Source& source, const Member& m, std::string* error) {
  Discard sink;
  return Unpack(source, m, &sink, error);
}

Unpacked Unpack(const base::Source& source, const base::Member& m, Sink* sink,
                std::string* error) {
  bool not_damage = false;
  if (UnpackChecked(source, m, sink, error, &not_damage)) return Unpacked::kDone;
  return not_damage ? Unpacked::kFailed : Unpacked::kDamaged;
}

}  // namespace base
