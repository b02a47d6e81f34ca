// The libzip source of a file member, fed by the pipeline: its data comes
// already deflated, its method decided by the file's first piece.
#ifndef TREVASK_ARCHIVER_MEMBER_SOURCE_H_
#define TREVASK_ARCHIVER_MEMBER_SOURCE_H_

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <deque>
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

// What the members of one attempt share: libzip reads one member's data at
// a time, so that one reading state serves them all.
struct MemberReading {
  Pipeline* pipeline = nullptr;
  ReadOutcome* outcome = nullptr;
  std::size_t piece = 0, offset = 0;
  std::vector<unsigned char> tail;  // of the piece before, which primed this one
  zip_error_t error;
  MemberReading() { zip_error_init(&error); }
  ~MemberReading() { zip_error_fini(&error); }
  MemberReading(const MemberReading&) = delete;
  MemberReading& operator=(const MemberReading&) = delete;
};

// One file member, kept by its attempt (libzip is given a pointer to it):
// path, size, index and reading are set before the archive is written,
// slot once the pipeline is made.
struct Member {
  const std::string* path = nullptr;  // the item's, which outlives the attempt
  std::uint64_t size = 0;
  zip_uint64_t index = 0;
  MemberReading* reading = nullptr;
  std::uint64_t written = 0;
  std::uint32_t slot = 0;
  std::uint32_t crc = 0;
  bool decided = false, stored = false, done = false;
};

// The members of one attempt, at addresses that stay put.
struct Members {
  std::deque<Member> store;
  MemberReading reading;
  Member* New() {
    store.emplace_back();
    store.back().reading = &reading;
    return &store.back();
  }
};

// A source reading member, which must outlive it. Null when libzip cannot
// make one.
zip_source_t* MemberSource(zip_t* za, Member* member);

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_MEMBER_SOURCE_H_
