#include "base/recorded_time.h"

#include <cstdlib>
#include <limits>

namespace base {

bool LatestRecordedTime(std::int64_t* latest, std::string* error) {
  *latest = -1;
  const char* value = std::getenv("SOURCE_DATE_EPOCH");
  if (value == nullptr) return true;
  std::int64_t t = 0;
  const char* at = value;
  bool too_large = false;
  for (; *at >= '0' && *at <= '9'; ++at) {
    const int digit = *at - '0';
    too_large = too_large || t > (std::numeric_limits<std::int64_t>::max() - digit) / 10;
    if (!too_large) t = t * 10 + digit;
  }
  if (too_large) {
    *error = std::string("SOURCE_DATE_EPOCH is too large: '") + value + "'";
    return false;
  }
  if (at == value || *at != '\0') {
    *error = std::string("SOURCE_DATE_EPOCH must be a whole number of seconds since 1970 "
                         "(digits only): '") + value + "'";
    return false;
  }
  *latest = t;
  return true;
}

}  // namespace base
