// What one stand-in archiver run is asked to do, from its command line.
#ifndef TREVASK_ARCHIVER_ARGUMENTS_H_
#define TREVASK_ARCHIVER_ARGUMENTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/kept_members.h"

namespace archiver {

struct Request {
  int kind = 1;            // as SyntaxOf takes it
  std::string archive;
  std::string folder;      // the folder the pattern names
  bool recurse = false;    // subfolders too, under relative paths
  // Set for a mirror tree trevask made: files an interrupted archiver left
  // there are no part of it.
  bool skip_archiver_temps = false;
  std::int64_t latest_time = -1;  // no time after it recorded; -1: none
  // Recursive runs: members to leave as the archive holds them, never
  // added from the folder; from trevask's list in the environment.
  std::vector<base::KeptMember> keep;
};

// Parses one program's syntax: kind 1 is "PKZIP.EXE" ("-a", "-a -rp"),
// kind 2 "PKZIPC.EXE" ("-add", "-add -recurse"); args exclude the program
// name. Each is followed by ARCHIVE and a pattern FOLDER<sep>*.*.
bool ParseArguments(int kind, const std::vector<std::string>& args,
                    Request* request, std::string* error);

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_ARGUMENTS_H_
