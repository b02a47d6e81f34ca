// The latest time an archive may record, for archives that are the same
// bytes whenever they are made.
#ifndef TREVASK_BASE_RECORDED_TIME_H_
#define TREVASK_BASE_RECORDED_TIME_H_

#include <cstdint>
#include <string>

namespace base {

// SOURCE_DATE_EPOCH, as reproducible builds set it: seconds since 1970 in
// plain decimal digits. *latest is -1 where it is not set. False, with the
// reason, for any other value.
bool LatestRecordedTime(std::int64_t* latest, std::string* error);

// t, or latest where t is after it (latest -1: no limit).
inline std::int64_t Recorded(std::int64_t t, std::int64_t latest) {
  return latest >= 0 && t > latest ? latest : t;
}

}  // namespace base

#endif  // TREVASK_BASE_RECORDED_TIME_H_
