// The libzip source of a file member, fed by the pipeline: its data comes
// already deflated, its method decided by the file's first piece.
#ifndef TREVASK_ARCHIVER_MEMBER_SOURCE_H_
#define TREVASK_ARCHIVER_MEMBER_SOURCE_H_

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archiver/pipeline.h"

namespace archiver {

// What the members of one attempt found while they were read.
struct ReadOutcome {
  std::string error;  // the first failure
  // Files that were no longer regular files when opened: skipped, and the
  // archive written again without them.
  std::vector<std::string> not_regular;
};

// One file member: path, size, index and outcome are set before the
// archive is written, pipeline and slot once the pipeline is made.
struct Member {
  const std::string* path = nullptr;  // the item's, which outlives the attempt
  std::uint64_t size = 0;
  zip_uint64_t index = 0;
  Pipeline* pipeline = nullptr;
  std::size_t slot = 0;
  ReadOutcome* outcome = nullptr;
  // Reading state.
  bool decided = false, stored = false, done = false;
  std::size_t piece = 0, offset = 0;
  std::uint32_t crc = 0;
  std::uint64_t written = 0;
  std::vector<unsigned char> tail;  // of the piece before, which primed this one
  zip_error_t error;
};

// A source reading member, which it owns from here on: libzip frees it
// with the source. Null, member freed, when libzip cannot make one.
zip_source_t* MemberSource(zip_t* za, Member* member);

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_MEMBER_SOURCE_H_
