// libFuzzer target over the path and command-line functions: whatever the
// bytes, paths are cut consistently, the archiver gets exactly the arguments
// that were meant, and every Windows command line parses back, by cmd.exe's
// and the C runtime's rules, into exactly those words.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/properties.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string violated =
      trevask_fuzz::FirstViolation(std::string(reinterpret_cast<const char*>(data), size));
  if (!violated.empty()) {
    std::fprintf(stderr, "property violated: %s\n", violated.c_str());
    std::abort();
  }
  return 0;
}
