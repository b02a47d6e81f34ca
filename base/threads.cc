#include "base/threads.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace base {

int ForcedThreads() {
  const char* forced = std::getenv("TREVASK_THREADS");
  if (forced == nullptr || *forced == '\0') return -1;
  const int n = std::atoi(forced);
  return n < 0 ? -1 : std::min(n, 64);
}

int CoreThreads() { return static_cast<int>(std::min(std::thread::hardware_concurrency(), 16u)); }

}  // namespace base
