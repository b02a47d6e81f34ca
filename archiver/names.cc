#include "archiver/names.h"

#include "archiver/entry_meta.h"

namespace archiver {

Existing HideExisting(zip_t* za) {
  Existing existing;
  const zip_int64_t count = zip_get_num_entries(za, 0);
  for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
    if (const char* name = zip_get_name(za, i, ZIP_FL_ENC_RAW)) existing.by_name.emplace(name, i);
  }
  for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
    if (zip_delete(za, i) == 0) existing.hidden.push_back(i);
  }
  zip_error_clear(za);
  return existing;
}

bool RestoreExisting(zip_t* za, const Existing& existing) {
  for (zip_uint64_t i : existing.hidden) {
    if (zip_unchange(za, i) != 0) return false;
  }
  return true;
}

bool PlaceItems(zip_t* za, const Existing& existing, const std::vector<Item>& items,
                Members* members, Placement* placement, std::string* error) {
  for (const Item& item : items) {
    Member* member = nullptr;
    auto found = existing.by_name.find(item.name);
    zip_int64_t index =
        found == existing.by_name.end() ? -1 : static_cast<zip_int64_t>(found->second);
    if (index < 0 && item.folder) {
      index = zip_dir_add(za, item.name.c_str(), ZIP_FL_ENC_GUESS);
    } else if (index < 0) {
      member = members->New();
      zip_source_t* source = MemberSource(za, member);
      if (source == nullptr) {
        *error = Failure(za, "cannot read " + item.path);
        return false;
      }
      index = zip_file_add(za, item.name.c_str(), source, ZIP_FL_ENC_GUESS);
      if (index < 0) zip_source_free(source);
    }
    if (index < 0 && zip_error_code_zip(zip_get_error(za)) == ZIP_ER_EXISTS) {
      // Another new name libzip reads alike.
      zip_error_clear(za);
      placement->later.push_back(item);
      continue;
    }
    if (index < 0) {
      *error = Failure(za, "cannot add " + item.name);
      return false;
    }
    placement->placed.push_back(Placed{&item, static_cast<zip_uint64_t>(index), member});
  }
  return true;
}

}  // namespace archiver
