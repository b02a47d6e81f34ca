// The work of one stand-in archiver run: add a folder's files to a zip
// archive, atomically, on libzip.
#ifndef TREVASK_ARCHIVER_ADD_FILES_H_
#define TREVASK_ARCHIVER_ADD_FILES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "archiver/arguments.h"
#include "base/kept_members.h"

namespace archiver {

struct Summary {
  std::uint64_t files = 0;
  std::uint64_t bytes_in = 0;
  std::int64_t bytes_out = 0;
  // Recursive runs: entries given but not archived (links to folders,
  // dangling links, special files), each named in a warning.
  std::uint64_t left_out = 0;
  // Files whose member already held their bytes, and members of files no
  // longer there, both kept as they were.
  std::uint64_t unchanged = 0;
  std::uint64_t kept = 0;
  // Of request.keep: those the archive holds, left as they were, and those
  // it does not hold, not added.
  std::vector<base::KeptMember> held, not_added;
  bool rewritten = true;  // false: nothing changed, the archive left as it was
};

// Info-ZIP's zip status for "could not open a specified file": the archive
// holds the rest, but a bundle short of something must not pass as whole.
constexpr int kLeftOutStatus = 18;

// Adds the files; an entry of the same name is replaced, others are kept.
// On failure the archive is left as it was. The whole update holds the
// archive's UpdateLock.
bool AddFiles(const Request& request, Summary* summary, std::string* error);

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_ADD_FILES_H_
