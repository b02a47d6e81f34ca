#include "base/archiver_temp.h"

#include <cctype>
#include <cstring>

namespace base {

const char kArchiverTempPrefix[] = ".pkz-";

std::string WindowsArchiverTempName(unsigned long pid, unsigned long tick) {
  return kArchiverTempPrefix + std::to_string(pid) + "-" + std::to_string(tick) + ".tmp";
}

std::string ArchiverTempName(unsigned long long mix) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string name = kArchiverTempPrefix;
  for (int i = 0; i < kArchiverTempLetters; ++i, mix /= 36) name += kDigits[mix % 36];
  return name;
}

namespace {

// How many of text's bytes from at on satisfy is, stopping at the first other.
template <typename Is>
size_t Run(const std::string& text, size_t at, Is is) {
  size_t n = 0;
  while (at + n < text.size() && is(static_cast<unsigned char>(text[at + n]))) ++n;
  return n;
}

}  // namespace

bool IsArchiverTempName(const std::string& name) {
  const size_t prefix = std::strlen(kArchiverTempPrefix);
  if (name.compare(0, prefix, kArchiverTempPrefix) != 0) return false;
  auto alnum = [](unsigned char c) { return std::isalnum(c) != 0; };
  auto digit = [](unsigned char c) { return std::isdigit(c) != 0; };
  const size_t letters = Run(name, prefix, alnum);
  if (prefix + letters == name.size()) {
    return letters == 6 || letters == static_cast<size_t>(kArchiverTempLetters);
  }
  const size_t pid = Run(name, prefix, digit);
  if (pid == 0 || name[prefix + pid] != '-') return false;
  const size_t tick = Run(name, prefix + pid + 1, digit);
  return tick > 0 && name.compare(prefix + pid + 1 + tick, std::string::npos, ".tmp") == 0;
}

}  // namespace base
