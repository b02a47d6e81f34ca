// The files and folders one run puts into its archive.
#ifndef TREVASK_ARCHIVER_LISTING_H_
#define TREVASK_ARCHIVER_LISTING_H_

#include <cstdint>
#include <string>
#include <vector>

#include "archiver/arguments.h"

namespace archiver {

struct Item {
  std::string path;  // on disk
  std::string name;  // in the archive, '/'-separated
  bool folder = false;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
  std::uint32_t mode = 0;
};

struct Listing {
  std::vector<Item> items;  // in name order
  // Recursive runs: entries given but not archived (links to folders,
  // dangling links, special files), each named in a warning.
  std::uint64_t left_out = 0;
};

// The items of request's folder, without the archive itself: target is the
// file a link at the archive leads to, the one never to be added to itself.
bool ListItems(const Request& request, const std::string& target, Listing* listing,
               std::string* error);

// A recursive run leaves out of items the members trevask lists as kept:
// the archive's copy of each stays, or none is added.
bool ReadKeptMembers(Request* request, std::vector<Item>* items, std::string* error);

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_LISTING_H_
