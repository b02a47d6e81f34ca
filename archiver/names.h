// Where each item goes among an archive's entries. libzip compares names
// as it reads them: one that is not UTF-8 as CP437, so that "\x80" matches
// "Ç". Entries are found here by their bytes, and the archive's own are
// hidden from libzip's check while new ones are added (deleted, then
// restored unchanged).
#ifndef TREVASK_ARCHIVER_NAMES_H_
#define TREVASK_ARCHIVER_NAMES_H_

#include <zip.h>

#include <map>
#include <string>
#include <vector>

#include "archiver/listing.h"
#include "archiver/member_source.h"

namespace archiver {

struct Existing {
  std::map<std::string, zip_uint64_t> by_name;
  std::vector<zip_uint64_t> hidden;
};

Existing HideExisting(zip_t* za);
bool RestoreExisting(zip_t* za, const Existing& existing);

// An item's entry: a new one, or the existing one of its name.
struct Placed {
  const Item* item;
  zip_uint64_t index;
  Member* member;  // a new file's; an existing one's is made once restored
};

struct Placement {
  std::vector<Placed> placed;
  // Those libzip refused beside another new name it reads alike: they go
  // in by an update of their own.
  std::vector<Item> later;
};

// Runs while the existing entries are hidden, so that only new names meet
// libzip's check.
bool PlaceItems(zip_t* za, const Existing& existing, const std::vector<Item>& items,
                Members* members, Placement* placement, std::string* error);

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_NAMES_H_
