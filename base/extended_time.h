// The extended timestamp extra field (0x5455) as Info-ZIP writes it: a
// flags byte, then for each time it names (bit 0 modification, bit 1
// access) four bytes of seconds since 1970, little-endian, read as signed
// by most tools. The central directory's copy holds the modification time
// alone.
#ifndef TREVASK_BASE_EXTENDED_TIME_H_
#define TREVASK_BASE_EXTENDED_TIME_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace base {

constexpr std::uint16_t kExtendedTimeId = 0x5455;

struct ExtendedTime {
  std::optional<std::int64_t> mtime, atime;
};

// Whether the field can hold t; beyond it only a header's time is kept.
bool FitsExtendedTime(std::int64_t t);

// The field's data (after its id and size) for the times present, each of
// which must fit.
std::vector<unsigned char> EncodeExtendedTime(const ExtendedTime& times);

// The times the data holds: one its flags name but the data is too short
// for is absent.
ExtendedTime DecodeExtendedTime(const unsigned char* data, std::size_t length);

}  // namespace base

#endif  // TREVASK_BASE_EXTENDED_TIME_H_
