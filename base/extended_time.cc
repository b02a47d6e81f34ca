#include "base/extended_time.h"

#include <cstdint>
#include <utility>

namespace base {

namespace {

constexpr unsigned char kHasMtime = 1, kHasAtime = 2;

void Put(std::int64_t t, std::vector<unsigned char>* out) {
  const auto u = static_cast<std::uint32_t>(static_cast<std::int32_t>(t));
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<unsigned char>(u >> shift));
}

}  // namespace

bool FitsExtendedTime(std::int64_t t) { return t >= INT32_MIN && t <= INT32_MAX; }

std::vector<unsigned char> EncodeExtendedTime(const ExtendedTime& times) {
  std::vector<unsigned char> data(1, 0);
  if (times.mtime) {
    data[0] |= kHasMtime;
    Put(*times.mtime, &data);
  }
  if (times.atime) {
    data[0] |= kHasAtime;
    Put(*times.atime, &data);
  }
  return data;
}

ExtendedTime DecodeExtendedTime(const unsigned char* data, std::size_t length) {
  ExtendedTime times;
  if (length == 0) return times;
  std::size_t at = 1;
  for (auto [bit, time] : {std::pair{kHasMtime, &times.mtime}, std::pair{kHasAtime, &times.atime}}) {
    if (!(data[0] & bit)) continue;
    if (at + 4 > length) break;
    const std::uint32_t u = data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
                            static_cast<std::uint32_t>(data[at + 3]) << 24;
    *time = static_cast<std::int32_t>(u);
    at += 4;
  }
  return times;
}

}  // namespace base
