// libFuzzer target over what trevask-extract -t runs on a bundle: its
// directory and layout, every folder archive (read in place, unpacked into
// memory or into a temporary file) and every member's data, checked. The
// sanitizers catch what the bytes could make it do wrong.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "extract/commands.h"

namespace {

std::string bundle_path;

void RemoveBundle() {
  std::remove(bundle_path.c_str());
  rmdir(base::ParentFolder(bundle_path).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No workers: each check runs on the input's own stack.
  setenv("TREVASK_THREADS", "0", 1);
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/bundle-fuzz-XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  // The name a failed run's bundle lends its tree when the top archive is missing.
  bundle_path = dir + "/Data.zip";
  std::atexit(RemoveBundle);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The extractor reads a file: the bytes become one.
  std::FILE* f = std::fopen(bundle_path.c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
    std::perror(bundle_path.c_str());
    std::abort();
  }
  // As extract::Main runs -t, past its arguments.
  extract::Bundle bundle;
  std::vector<std::string> problems;
  std::string error;
  if (!extract::ReadBundle(bundle_path, &bundle, &problems, &error) || !problems.empty()) {
    return 0;
  }
  extract::Options o;
  o.mode = extract::Options::kTest;
  o.quiet = true;
  o.bundle = bundle_path;
  o.select = extract::Selection(bundle, o.names);
  extract::failures = 0;
  extract::damaged = 0;
  extract::Verify(bundle, o);
  return 0;
}
