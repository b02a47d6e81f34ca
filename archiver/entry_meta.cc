#include "archiver/entry_meta.h"

#include <cstdint>
#include <vector>

#include "base/extended_time.h"
#include "base/zip_directory.h"

namespace archiver {

namespace {

using base::kExtendedTimeId;

// The exact time goes into the extended timestamp field, as Info-ZIP
// writes it; beyond what it holds only the header's time is kept.
bool SetExtendedTime(zip_t* za, zip_uint64_t index, std::int64_t mtime) {
  if (!base::FitsExtendedTime(mtime)) {
    // An earlier time of the member's must not stay behind as the exact one.
    for (zip_flags_t flag : {ZIP_FL_LOCAL, ZIP_FL_CENTRAL}) {
      if (zip_file_extra_fields_count_by_id(za, index, kExtendedTimeId, flag) > 0 &&
          zip_file_extra_field_delete_by_id(za, index, kExtendedTimeId, ZIP_EXTRA_FIELD_ALL,
                                            flag) != 0) {
        return false;
      }
    }
    return true;
  }
  const std::vector<unsigned char> field = base::EncodeExtendedTime({mtime, std::nullopt});
  const auto size = static_cast<zip_uint16_t>(field.size());
  // A member without the field gets one record for both headers: the same
  // bytes as two, at half of libzip's memory for each member.
  if (zip_file_extra_fields_count_by_id(za, index, kExtendedTimeId, ZIP_FL_LOCAL) <= 0 &&
      zip_file_extra_fields_count_by_id(za, index, kExtendedTimeId, ZIP_FL_CENTRAL) <= 0) {
    zip_error_clear(za);
    return zip_file_extra_field_set(za, index, kExtendedTimeId, ZIP_EXTRA_FIELD_NEW, field.data(),
                                    size, ZIP_FL_LOCAL | ZIP_FL_CENTRAL) == 0;
  }
  for (zip_flags_t flag : {ZIP_FL_LOCAL, ZIP_FL_CENTRAL}) {
    zip_int16_t count = zip_file_extra_fields_count_by_id(za, index, kExtendedTimeId, flag);
    zip_uint16_t at = count > 0 ? 0 : ZIP_EXTRA_FIELD_NEW;
    if (zip_file_extra_field_set(za, index, kExtendedTimeId, at, field.data(), size, flag) != 0) {
      return false;
    }
  }
  return true;
}

// The header's local time, clamped to what it holds (1980 to 2107).
bool SetTimes(zip_t* za, zip_uint64_t index, std::int64_t mtime) {
  const std::uint32_t dos = base::DosTimeOf(mtime);
  const auto dos_time = static_cast<zip_uint16_t>(dos & 0xFFFF);
  const auto dos_date = static_cast<zip_uint16_t>(dos >> 16);
  if (zip_file_set_dostime(za, index, dos_time, dos_date, 0) != 0) return false;
  return SetExtendedTime(za, index, mtime);
}

}  // namespace

std::string Failure(zip_t* za, const std::string& what) { return what + ": " + zip_strerror(za); }

bool SetAttributes(zip_t* za, zip_uint64_t index, const Item& item, std::string* error) {
  if (!SetTimes(za, index, item.mtime)) {
    *error = Failure(za, "cannot set the time of " + item.name);
    return false;
  }
  // The Unix mode with the Unix host system, as Info-ZIP records it.
  if (item.mode != 0 &&
      zip_file_set_external_attributes(za, index, 0, ZIP_OPSYS_UNIX, item.mode << 16) != 0) {
    *error = Failure(za, "cannot set the mode of " + item.name);
    return false;
  }
  return true;
}

bool AttributesHeld(zip_t* za, zip_uint64_t index, const Item& item) {
  zip_uint8_t opsys;
  zip_uint32_t attributes;
  if (item.mode != 0 &&
      (zip_file_get_external_attributes(za, index, 0, &opsys, &attributes) != 0 ||
       opsys != ZIP_OPSYS_UNIX || attributes != item.mode << 16)) {
    return false;
  }
  zip_stat_t st;
  zip_stat_init(&st);
  zip_uint16_t length = 0;
  const zip_uint8_t* field =
      zip_file_extra_field_get_by_id(za, index, kExtendedTimeId, 0, &length, ZIP_FL_CENTRAL);
  // A time beyond the field's 32 bits is recorded in the header alone.
  const bool exact =
      base::FitsExtendedTime(item.mtime)
          ? field != nullptr && base::DecodeExtendedTime(field, length).mtime == item.mtime
          : zip_file_extra_fields_count_by_id(za, index, kExtendedTimeId, ZIP_FL_LOCAL) == 0 &&
                zip_file_extra_fields_count_by_id(za, index, kExtendedTimeId, ZIP_FL_CENTRAL) == 0;
  const bool held = zip_stat_index(za, index, ZIP_FL_UNCHANGED, &st) == 0 &&
                    (st.valid & ZIP_STAT_MTIME) && exact &&
                    base::DosTimeOf(st.mtime) == base::DosTimeOf(item.mtime);
  zip_error_clear(za);
  return held;
}

bool MarkGone(zip_t* za, zip_uint64_t index, Presence file, bool* changed) {
  const bool gone = file == Presence::kGone;
  const bool marked =
      zip_file_extra_fields_count_by_id(za, index, base::kGoneMarkId, ZIP_FL_CENTRAL) > 0;
  zip_error_clear(za);
  if (marked == gone) return true;
  *changed = true;
  if (gone) {
    return zip_file_extra_field_set(za, index, base::kGoneMarkId, ZIP_EXTRA_FIELD_NEW, nullptr,
                                    0, ZIP_FL_CENTRAL) == 0;
  }
  return zip_file_extra_field_delete_by_id(za, index, base::kGoneMarkId, ZIP_EXTRA_FIELD_ALL,
                                           ZIP_FL_CENTRAL) == 0;
}

}  // namespace archiver
