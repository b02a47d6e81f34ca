// What an entry records besides its data: its times, its mode and the mark
// of a file gone from its folder.
#ifndef TREVASK_ARCHIVER_ENTRY_META_H_
#define TREVASK_ARCHIVER_ENTRY_META_H_

#include <zip.h>

#include <string>

#include "archiver/listing.h"

namespace archiver {

// what, then libzip's last error of za.
std::string Failure(zip_t* za, const std::string& what);

// Records item's time and mode in the entry at index.
bool SetAttributes(zip_t* za, zip_uint64_t index, const Item& item, std::string* error);

// Whether the entry at index already records item's time and mode, as
// SetAttributes writes them: any setter marks the archive changed.
bool AttributesHeld(zip_t* za, zip_uint64_t index, const Item& item);

enum class Presence { kThere, kGone };

// Sets or removes the entry's mark of a file gone from its folder; only a
// mark that changes sets *changed.
bool MarkGone(zip_t* za, zip_uint64_t index, Presence file, bool* changed);

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_ENTRY_META_H_
