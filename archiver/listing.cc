#include "archiver/listing.h"

#include <algorithm>
#include <cstdlib>

#include "base/archiver_temp.h"
#include "base/diagnostic.h"
#include "base/file_id.h"
#include "base/kept_members.h"
#include "base/path.h"
#include "base/recorded_time.h"
#include "base/system.h"

namespace archiver {

namespace {

bool Collect(const Request& request, const std::string& dir, const std::string& prefix,
             Listing* listing, std::string* error) {
  std::vector<base::Entry> entries;
  if (!base::ListFolder(dir, &entries, error)) return false;
  for (const base::Entry& entry : entries) {
    Item item;
    item.path = base::Join(dir, entry.name);
    item.name = prefix + entry.name;
    item.mtime = base::Recorded(entry.mtime, request.latest_time);
    item.mode = entry.mode;
    if (entry.type == base::Entry::kFile) {
      if (request.skip_archiver_temps && base::IsArchiverTempName(entry.name)) continue;
      // Only a file of the archive's own name can be the archive.
      if (base::SameNameText(entry.name, base::BaseName(request.archive)) &&
          base::SameFile(item.path, request.archive)) {
        continue;
      }
      item.size = entry.size;
      listing->items.push_back(item);
    } else if (entry.type == base::Entry::kFolder) {
      if (!request.recurse) continue;
      item.folder = true;
      item.name += '/';
      listing->items.push_back(item);
      if (!Collect(request, item.path, item.name, listing, error)) return false;
    } else if (entry.type == base::Entry::kUnreadable) {
      // A subfolder is none of a folder archive's business; anything else
      // that cannot be looked at would be missing from the archive.
      if (!request.recurse && entry.maybe_folder) continue;
      *error = "cannot read " + item.path + ": " + entry.why_skipped;
      return false;
    } else if (request.recurse || entry.skipped != base::Entry::Skipped::kFolderLink) {
      if (request.recurse) ++listing->left_out;
      base::Say("warning: skipped %s: %s", item.path.c_str(), entry.why_skipped.c_str());
    }
  }
  return true;
}

}  // namespace

bool ListItems(const Request& request, const std::string& target, Listing* listing,
               std::string* error) {
  Request listed = request;
  listed.archive = target;
  // The folder trevask handed over as its own mirror tree.
  const char* handed = std::getenv("TREVASK_SOURCE_FOLDER");
  listed.skip_archiver_temps = request.recurse && handed != nullptr && *handed != '\0';
  if (!Collect(listed, request.folder, "", listing, error)) return false;
  std::sort(listing->items.begin(), listing->items.end(),
            [](const Item& a, const Item& b) { return a.name < b.name; });
  // Kept to the end of the run: no room to spare.
  listing->items.shrink_to_fit();
  return true;
}

bool ReadKeptMembers(Request* request, std::vector<Item>* items, std::string* error) {
  const char* value = std::getenv(base::kKeptMembersVariable);
  if (!request->recurse || value == nullptr || *value == '\0') return true;
  if (!base::DecodeKeptMembers(value, &request->keep, error)) return false;
  items->erase(std::remove_if(items->begin(), items->end(),
                              [&](const Item& item) {
                                return !item.folder &&
                                       std::any_of(request->keep.begin(), request->keep.end(),
                                                   [&](const base::KeptMember& keep) {
                                                     return base::SameNameText(item.name,
                                                                               keep.name);
                                                   });
                              }),
               items->end());
  return true;
}

}  // namespace archiver
