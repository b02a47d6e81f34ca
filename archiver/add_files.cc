#include "archiver/add_files.h"

#include <libdeflate.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>

#include "archiver/archive_file.h"
#include "archiver/archiver_fs.h"
#include "archiver/pipeline.h"
#include "base/archiver_temp.h"
#include "base/path.h"
#include "base/recorded_time.h"
#include "base/syntax.h"
#include "base/update_lock.h"
#include "base/zip_directory.h"
#include "base/zip_reader.h"

namespace archiver {

namespace {

const char kAllFiles[] = "*.*";

struct Item {
  std::string path;  // on disk
  std::string name;  // in the archive, '/'-separated
  bool folder = false;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
  std::uint32_t mode = 0;
};

bool SameName(const std::string& a, const std::string& b) {
  if (base::kSeparator == '/') return a == b;
  // Windows names compare without case.
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

bool Collect(const Request& request, const std::string& dir,
             const std::string& prefix, std::vector<Item>* items,
             std::uint64_t* left_out, std::string* error) {
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
      if (SameName(entry.name, base::BaseName(request.archive)) &&
          base::SameFile(item.path, request.archive)) {
        continue;
      }
      item.size = entry.size;
      items->push_back(item);
    } else if (entry.type == base::Entry::kFolder) {
      if (!request.recurse) continue;
      item.folder = true;
      item.name += '/';
      items->push_back(item);
      if (!Collect(request, item.path, item.name, items, left_out, error)) return false;
    } else if (entry.type == base::Entry::kUnreadable) {
      // A subfolder is none of a folder archive's business; anything else
      // that cannot be looked at would be missing from the archive.
      if (!request.recurse && entry.maybe_folder) continue;
      *error = "cannot read " + item.path + ": " + entry.why_skipped;
      return false;
    } else if (request.recurse || entry.skipped != base::Entry::Skipped::kFolderLink) {
      if (request.recurse) ++*left_out;
      base::Say("warning: skipped %s: %s", item.path.c_str(), entry.why_skipped.c_str());
    }
  }
  return true;
}

std::string ZipError(zip_t* za) { return zip_strerror(za); }

// An end-of-central-directory record and nothing else: a valid empty zip,
// which libzip declines to write.
bool WriteEmptyArchive(const std::string& path, std::string* error) {
  static const unsigned char kEnd[22] = {'P', 'K', 5, 6};
  NewFile out;
  if (!CreateBeside(path, &out, error)) return false;
  if (std::fwrite(kEnd, 1, sizeof kEnd, out.file) != sizeof kEnd || base::Interrupted()) {
    *error = "cannot write " + path + ": " + base::LastErrorText();
    Discard(&out);
    return false;
  }
  return Commit(&out, path, error);
}

// What the members of one attempt found while they were read.
struct ReadOutcome {
  std::string error;  // the first failure
  // Files that were no longer regular files when opened: skipped, and the
  // archive written again without them.
  std::vector<std::string> not_regular;
};

// One file member: its data comes from the pipeline, already deflated.
struct Member {
  std::string path;
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

zip_int64_t MemberFail(Member* m, const std::string& why) {
  if (m->outcome->error.empty()) m->outcome->error = why;
  zip_error_set(&m->error, ZIP_ER_READ, 0);
  return -1;
}

// libzip stats a source before writing its data and again after. The first
// answer says "deflated, this size", so that libzip copies the bytes as they
// come; the second gives the CRC and the method the bytes really have, which
// libzip writes into the headers. The method is the pipeline's, read from
// the file's first piece.
zip_int64_t MemberStat(Member* m, void* data, zip_uint64_t length) {
  if (length < sizeof(zip_stat_t)) return -1;
  if (base::Interrupted()) return MemberFail(m, "interrupted");
  if (!m->decided) {
    const Piece& first = m->pipeline->Get(m->slot, 0);
    if (first.not_regular) {
      m->outcome->not_regular.push_back(m->path);
      zip_error_set(&m->error, ZIP_ER_READ, 0);
      return -1;
    }
    if (!first.error.empty()) return MemberFail(m, first.error);
    m->stored = first.store;
    m->decided = true;
  }
  zip_stat_t* st = static_cast<zip_stat_t*>(data);
  zip_stat_init(st);
  st->size = m->size;
  st->comp_method = ZIP_CM_DEFLATE;
  st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_METHOD;
  if (m->done) {
    st->comp_method = m->stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
    st->crc = m->crc;
    st->comp_size = m->written;
    st->valid |= ZIP_STAT_CRC | ZIP_STAT_COMP_SIZE;
  }
  return sizeof(zip_stat_t);
}

// Copies the pieces' bytes, raw or deflated, releasing each once copied so
// that the pipeline's window moves on; the CRCs of the pieces are joined.
zip_int64_t MemberRead(Member* m, unsigned char* out, zip_uint64_t length) {
  zip_uint64_t filled = 0;
  std::size_t pieces = m->pipeline->PieceCount(m->slot);
  while (filled < length && m->piece < pieces) {
    if (base::Interrupted()) return MemberFail(m, "interrupted");
    const Piece& p = m->pipeline->Get(m->slot, m->piece);
    if (!p.error.empty()) return MemberFail(m, p.error);
    // A piece deflated against other bytes than those written before it
    // would inflate to something its CRC does not cover.
    if (m->offset == 0 && m->piece > 0 &&
        (p.skip != m->tail.size() || std::memcmp(p.raw.data(), m->tail.data(), p.skip) != 0)) {
      return MemberFail(m, m->path + " changed while it was read");
    }
    const unsigned char* bytes = m->stored ? p.bytes() : p.packed.data();
    std::size_t size = m->stored ? p.length() : p.packed.size();
    std::size_t n = static_cast<std::size_t>(
        std::min<zip_uint64_t>(size - m->offset, length - filled));
    std::memcpy(out + filled, bytes + m->offset, n);
    filled += n;
    m->offset += n;
    if (m->offset == size) {
      m->crc = m->piece == 0 ? p.crc
                             : static_cast<std::uint32_t>(crc32_combine(
                                   m->crc, p.crc, static_cast<z_off_t>(p.length())));
      if (m->piece + 1 < pieces && p.length() >= kPriming) {
        m->tail.assign(p.bytes() + p.length() - kPriming, p.bytes() + p.length());
      }
      m->pipeline->Release(m->slot, m->piece);
      ++m->piece;
      m->offset = 0;
    }
  }
  m->written += filled;
  if (m->piece == pieces) m->done = true;
  return static_cast<zip_int64_t>(filled);
}

zip_int64_t MemberCallback(void* state, void* data, zip_uint64_t length,
                           zip_source_cmd_t command) {
  Member* m = static_cast<Member*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      m->piece = 0;
      m->offset = 0;
      m->crc = 0;
      m->written = 0;
      m->done = false;
      return 0;
    case ZIP_SOURCE_STAT:
      return MemberStat(m, data, length);
    case ZIP_SOURCE_READ:
      return MemberRead(m, static_cast<unsigned char*>(data), length);
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&m->error, data, length);
    case ZIP_SOURCE_FREE:
      zip_error_fini(&m->error);
      delete m;
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                            ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                            ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
      zip_error_set(&m->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

zip_source_t* MemberSource(zip_t* za, Member* member) {
  zip_error_init(&member->error);
  zip_source_t* source = zip_source_function(za, MemberCallback, member);
  if (source == nullptr) {
    zip_error_fini(&member->error);
    delete member;
  }
  return source;
}

// The exact time goes into the extended timestamp field (0x5455), as
// Info-ZIP writes it: four bytes of seconds since 1970, read as signed by
// most tools; beyond what they hold only the header's time is kept.
bool FitsExtendedTime(std::int64_t mtime) { return mtime >= INT32_MIN && mtime <= INT32_MAX; }

bool SetExtendedTime(zip_t* za, zip_uint64_t index, std::int64_t mtime) {
  if (!FitsExtendedTime(mtime)) {
    // An earlier time of the member's must not stay behind as the exact one.
    for (zip_flags_t flag : {ZIP_FL_LOCAL, ZIP_FL_CENTRAL}) {
      if (zip_file_extra_fields_count_by_id(za, index, 0x5455, flag) > 0 &&
          zip_file_extra_field_delete_by_id(za, index, 0x5455, ZIP_EXTRA_FIELD_ALL, flag) != 0) {
        return false;
      }
    }
    return true;
  }
  std::uint32_t t = static_cast<std::uint32_t>(static_cast<std::int32_t>(mtime));
  const zip_uint8_t field[5] = {1, static_cast<zip_uint8_t>(t), static_cast<zip_uint8_t>(t >> 8),
                                static_cast<zip_uint8_t>(t >> 16), static_cast<zip_uint8_t>(t >> 24)};
  for (zip_flags_t flag : {ZIP_FL_LOCAL, ZIP_FL_CENTRAL}) {
    zip_int16_t count = zip_file_extra_fields_count_by_id(za, index, 0x5455, flag);
    zip_uint16_t at = count > 0 ? 0 : ZIP_EXTRA_FIELD_NEW;
    if (zip_file_extra_field_set(za, index, 0x5455, at, field, sizeof field, flag) != 0) {
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

bool ParseArguments(int kind, const std::vector<std::string>& args,
                    Request* request, std::string* error) {
  const char* add = base::SyntaxOf(kind).add;
  const char* recurse = base::SyntaxOf(kind).recurse;
  request->kind = kind;
  size_t at = 0;
  if (args.empty() || args[0] != add) {
    *error = std::string("the first argument must be ") + add;
    return false;
  }
  ++at;
  request->recurse = args.size() > at && args[at] == recurse;
  if (request->recurse) ++at;
  if (args.size() != at + 2) {
    *error = args.size() < at + 2 ? "an archive and a pattern are needed"
                                  : "too many arguments";
    return false;
  }
  request->archive = args[at];
  const std::string& pattern = args[at + 1];
  if (request->archive.empty() || request->archive[0] == '-') {
    *error = "unknown option " + request->archive;
    return false;
  }
  size_t stem = pattern.size() - (sizeof(kAllFiles) - 1);
  if (pattern.size() < sizeof(kAllFiles) ||
      pattern.compare(stem, std::string::npos, kAllFiles) != 0 ||
      !base::IsSeparator(pattern[stem - 1])) {
    *error = std::string("the pattern must be FOLDER") + base::kSeparator +
             kAllFiles + ": " + pattern;
    return false;
  }
  request->folder = pattern.substr(0, stem - 1);
  // "/*.*" names the root.
  if (request->folder.empty()) request->folder = pattern.substr(0, 1);
  return true;
}

namespace {

zip_t* OpenArchive(const Request& request, const std::string& target, std::string* error) {
  zip_error_t ze;
  zip_error_init(&ze);
  zip_source_t* archive = ArchiveFileSource(target, &ze);
  zip_t* za = archive ? zip_open_from_source(archive, ZIP_CREATE, &ze) : nullptr;
  if (za == nullptr) {
    *error = "cannot open " + request.archive + ": " + zip_error_strerror(&ze);
    if (archive) zip_source_free(archive);
  }
  zip_error_fini(&ze);
  return za;
}

std::string Failure(zip_t* za, const std::string& what) { return what + ": " + ZipError(za); }

// libzip compares names as it reads them: one that is not UTF-8 as CP437,
// so that "\x80" matches "Ç". Entries are found here by their bytes, and
// the archive's own are hidden from libzip's check while new ones are
// added (deleted, then restored unchanged).
struct Existing {
  std::map<std::string, zip_uint64_t> by_name;
  std::vector<zip_uint64_t> hidden;
};

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

// An item's entry: a new one, or the existing one of its name.
struct Placed {
  const Item* item;
  zip_uint64_t index;
  Member* member;  // a new file's; an existing one's is made once restored
};

// Runs while the existing entries are hidden, so that only new names meet
// libzip's check; those it refuses beside another new one go to later.
bool PlaceItems(zip_t* za, const Existing& existing, const std::vector<Item>& items,
                std::vector<Placed>* placed, std::vector<Item>* later, std::string* error) {
  for (const Item& item : items) {
    Member* member = nullptr;
    auto found = existing.by_name.find(item.name);
    zip_int64_t index =
        found == existing.by_name.end() ? -1 : static_cast<zip_int64_t>(found->second);
    if (index < 0 && item.folder) {
      index = zip_dir_add(za, item.name.c_str(), ZIP_FL_ENC_GUESS);
    } else if (index < 0) {
      member = new Member;
      zip_source_t* source = MemberSource(za, member);
      if (source == nullptr) {
        *error = Failure(za, "cannot read " + item.path);
        return false;
      }
      index = zip_file_add(za, item.name.c_str(), source, ZIP_FL_ENC_GUESS);
      if (index < 0) zip_source_free(source);
    }
    if (index < 0 && zip_error_code_zip(zip_get_error(za)) == ZIP_ER_EXISTS) {
      // Another new name libzip reads alike: it goes in by an update of its own.
      zip_error_clear(za);
      later->push_back(item);
      continue;
    }
    if (index < 0) {
      *error = Failure(za, "cannot add " + item.name);
      return false;
    }
    placed->push_back(Placed{&item, static_cast<zip_uint64_t>(index), member});
  }
  return true;
}

// A file's data comes from a Member: a new entry has its own already, an
// existing one is given one in place of its old data.
bool AttachMember(zip_t* za, const Placed& place, ReadOutcome* outcome, Member** attached,
                  std::string* error) {
  const Item& item = *place.item;
  Member* member = place.member;
  if (member == nullptr) {
    member = new Member;
    zip_source_t* source = MemberSource(za, member);
    if (source == nullptr) {
      *error = Failure(za, "cannot read " + item.path);
      return false;
    }
    if (zip_file_replace(za, place.index, source, 0) != 0) {
      zip_source_free(source);
      *error = Failure(za, "cannot add " + item.name);
      return false;
    }
  }
  // The method comes from the member's data, not from an entry it
  // replaces.
  if (zip_set_file_compression(za, place.index, ZIP_CM_DEFAULT, 0) != 0) {
    *error = Failure(za, "cannot set compression of " + item.name);
    return false;
  }
  member->size = item.size;
  member->outcome = outcome;
  member->index = place.index;
  member->path = item.path;
  *attached = member;
  return true;
}

bool SetAttributes(zip_t* za, zip_uint64_t at, const Item& item, std::string* error) {
  if (!SetTimes(za, at, item.mtime)) {
    *error = Failure(za, "cannot set the time of " + item.name);
    return false;
  }
  // The Unix mode with the Unix host system, as Info-ZIP records it.
  if (item.mode != 0 &&
      zip_file_set_external_attributes(za, at, 0, ZIP_OPSYS_UNIX, item.mode << 16) != 0) {
    *error = Failure(za, "cannot set the mode of " + item.name);
    return false;
  }
  return true;
}

// Members up to this size are inflated whole by libdeflate, at twice
// zlib's speed; larger ones stream through libzip a piece at a time. Each
// archiver is a new process, and every page of memory it touches the first
// time costs more than inflating it would: the buffers stay small and are
// used again.
constexpr std::uint64_t kWholeCompare = 128 << 10;
constexpr std::size_t kCompareChunk = 64 << 10;

// What every compare of one update uses again: buffers made fresh for
// each file would be zeroed and faulted in each time, and most are small.
class CompareScratch {
 public:
  CompareScratch() = default;
  CompareScratch(const CompareScratch&) = delete;
  CompareScratch& operator=(const CompareScratch&) = delete;
  ~CompareScratch() {
    if (inflater_ != nullptr) libdeflate_free_decompressor(inflater_);
  }
  unsigned char* File(std::size_t n) { return Grow(&file_, n); }
  unsigned char* Raw(std::size_t n) { return Grow(&raw_, n); }
  unsigned char* Held(std::size_t n) { return Grow(&held_, n); }
  libdeflate_decompressor* Inflater() {
    if (inflater_ == nullptr) inflater_ = libdeflate_alloc_decompressor();
    return inflater_;
  }

 private:
  struct Buffer {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size = 0;
  };
  static unsigned char* Grow(Buffer* buffer, std::size_t n) {
    if (buffer->bytes == nullptr || n > buffer->size) {
      buffer->size = std::max<std::size_t>({n, 2 * buffer->size, 1});
      buffer->bytes.reset(new unsigned char[buffer->size]);
    }
    return buffer->bytes.get();
  }
  Buffer file_, raw_, held_;
  libdeflate_decompressor* inflater_ = nullptr;
};

// A whole member against the file's n bytes: its CRC first, which decides
// quickly when they differ, then the bytes inflated from its raw data.
bool WholeMemberHolds(zip_t* za, zip_uint64_t index, const zip_stat_t& st,
                      const unsigned char* file, std::size_t n, CompareScratch* scratch) {
  // Deflate never grows data by a sixteenth: a member that claims more raw
  // bytes is not read into memory but taken as changed.
  if (!(st.valid & ZIP_STAT_CRC) || !(st.valid & ZIP_STAT_COMP_SIZE) ||
      st.crc != static_cast<zip_uint32_t>(libdeflate_crc32(0, file, n)) ||
      st.comp_size > kWholeCompare + (kWholeCompare >> 4) + 64) {
    return false;
  }
  const std::size_t packed = static_cast<std::size_t>(st.comp_size);
  unsigned char* raw = scratch->Raw(packed);
  zip_file_t* member = zip_fopen_index(za, index, ZIP_FL_COMPRESSED);
  bool same =
      member != nullptr && zip_fread(member, raw, packed) == static_cast<zip_int64_t>(packed);
  if (member != nullptr) zip_fclose(member);
  if (!same) return false;
  if (st.comp_method == ZIP_CM_STORE) return packed == n && std::memcmp(raw, file, n) == 0;
  unsigned char* held = scratch->Held(n);
  libdeflate_decompressor* inflater = scratch->Inflater();
  return inflater != nullptr &&
         libdeflate_deflate_decompress(inflater, raw, packed, held, n, nullptr) ==
             LIBDEFLATE_SUCCESS &&
         std::memcmp(held, file, n) == 0;
}

// A large member against the file, both read a piece at a time: the first
// difference decides, and libzip checks the member's CRC as it reads it.
bool StreamedMemberHolds(zip_t* za, zip_uint64_t index, const Item& item, base::FileHandle handle,
                         CompareScratch* scratch) {
  zip_file_t* member = zip_fopen_index(za, index, 0);
  bool same = member != nullptr;
  unsigned char* file = scratch->File(kCompareChunk);
  unsigned char* held = scratch->Held(kCompareChunk);
  std::string ignored;
  for (std::uint64_t at = 0; same && at < item.size; at += kCompareChunk) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(kCompareChunk, item.size - at));
    same = base::ReadInto(handle, item.path, at, n, at + n == item.size, file, &ignored) &&
           zip_fread(member, held, n) == static_cast<zip_int64_t>(n) &&
           std::memcmp(file, held, n) == 0;
  }
  // The member ends where the file does.
  if (same) same = zip_fread(member, held, 1) == 0;
  if (member != nullptr) zip_fclose(member);
  return same;
}

// True when the member at index holds exactly the file's bytes now: sizes
// and CRCs may match by chance, so the bytes themselves decide.
bool HoldsFile(zip_t* za, zip_uint64_t index, const Item& item, CompareScratch* scratch) {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(za, index, 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE) ||
      st.size != item.size ||
      ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE)) {
    zip_error_clear(za);
    return false;
  }
  base::FileHandle handle;
  std::string ignored;
  if (base::OpenRegular(item.path, &handle, &ignored) != base::Opened::kFile) return false;
  bool same;
  const bool whole = item.size <= kWholeCompare && (st.valid & ZIP_STAT_COMP_METHOD) &&
                     (st.comp_method == ZIP_CM_STORE || st.comp_method == ZIP_CM_DEFLATE);
  if (whole) {
    const std::size_t n = static_cast<std::size_t>(item.size);
    unsigned char* file = scratch->File(n);
    same = base::ReadInto(handle, item.path, 0, n, true, file, &ignored) &&
           WholeMemberHolds(za, index, st, file, n, scratch);
  } else {
    same = StreamedMemberHolds(za, index, item, handle, scratch);
  }
  base::CloseSource(handle);
  zip_error_clear(za);
  return same;
}

// Whether the entry at index already records item's time and mode, as
// SetAttributes writes them: any setter marks the archive changed.
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
      zip_file_extra_field_get_by_id(za, index, 0x5455, 0, &length, ZIP_FL_CENTRAL);
  // A time beyond the field's 32 bits is recorded in the header alone.
  const bool exact =
      FitsExtendedTime(item.mtime)
          ? field != nullptr && length >= 5 && (field[0] & 1) &&
                static_cast<std::int32_t>(field[1] | field[2] << 8 | field[3] << 16 |
                                          static_cast<std::uint32_t>(field[4]) << 24) == item.mtime
          : zip_file_extra_fields_count_by_id(za, index, 0x5455, ZIP_FL_LOCAL) == 0 &&
                zip_file_extra_fields_count_by_id(za, index, 0x5455, ZIP_FL_CENTRAL) == 0;
  const bool held = zip_stat_index(za, index, ZIP_FL_UNCHANGED, &st) == 0 &&
                    (st.valid & ZIP_STAT_MTIME) && exact &&
                    base::DosTimeOf(st.mtime) == base::DosTimeOf(item.mtime);
  zip_error_clear(za);
  return held;
}

// Sets or removes the member's mark of a file gone from its folder; only a
// mark that changes makes the archive change.
bool MarkGone(zip_t* za, zip_uint64_t index, bool gone, bool* changed) {
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

// A member kept though its file is gone is copied as it is, and no file
// can be compared with it: its data is inflated and checked here, so that
// a damaged one fails the run instead of standing in for the bundle's good
// copy. Only these members are read; unchanged ones are compared with their
// files, new ones written afresh.
bool CheckGoneMembers(const Request& request, const std::string& target,
                      const std::set<std::string>& gone, std::string* error) {
  if (gone.empty()) return true;
  std::string why;
  const std::shared_ptr<base::Source> archive = base::OpenFile(target, &why);
  std::vector<base::Member> members;
  if (!archive || !base::ReadDirectory(*archive, &members, &why)) {
    *error = "cannot read " + request.archive + ": " + why;
    return false;
  }
  for (const base::Member& m : members) {
    if (!gone.count(m.name)) continue;
    const base::Unpacked checked = base::CheckData(*archive, m, &why);
    if (base::Interrupted()) base::ExitInterrupted();
    // What no reader here can unpack (encrypted, another method) is kept
    // unjudged, as before.
    if (checked == base::Unpacked::kDamaged) {
      *error = "cannot update " + request.archive + ": its member " + m.name + " is damaged (" +
               why + "); the archive is left as it was";
      return false;
    }
  }
  return true;
}

// Gives every item its entry, new or in place of the existing one of its
// name, with its time and mode; members gets the files' data sources. An
// existing member that holds the file's bytes keeps its data, and what
// already records the item's time and mode is left alone.
bool AddEntries(zip_t* za, const Request& request, const std::string& target,
                const std::vector<Item>& items,
                const std::set<std::string>& listed, Summary* summary, ReadOutcome* outcome, std::vector<Member*>* members,
                std::vector<Item>* later, bool* changed, std::string* error) {
  Existing existing = HideExisting(za);
  std::vector<Placed> placed;
  if (!PlaceItems(za, existing, items, &placed, later, error)) return false;
  if (!RestoreExisting(za, existing)) {
    *error = Failure(za, "cannot update " + request.archive);
    return false;
  }
  CompareScratch scratch;
  std::uint64_t files_existing = 0;
  for (const auto& entry : existing.by_name) {
    if (entry.first.empty() || entry.first.back() != '/') ++files_existing;
  }
  for (const Placed& place : placed) {
    const Item& item = *place.item;
    const bool existed = existing.by_name.count(item.name) > 0;
    if (!existed) *changed = true;
    bool data_kept = existed;
    if (!item.folder) {
      ++summary->files;
      summary->bytes_in += item.size;
      if (existed) --files_existing;
      data_kept = existed && HoldsFile(za, place.index, item, &scratch);
      if (data_kept) {
        ++summary->unchanged;
      } else {
        Member* member = nullptr;
        if (!AttachMember(za, place, outcome, &member, error)) return false;
        members->push_back(member);
        *changed = true;
      }
    }
    if (!item.folder && existed && !request.recurse &&
        !MarkGone(za, place.index, false, changed)) {
      *error = Failure(za, "cannot update " + request.archive);
      return false;
    }
    // New data reads its stat from the pipeline: its attributes are set.
    if (data_kept && AttributesHeld(za, place.index, item)) continue;
    if (!SetAttributes(za, place.index, item, error)) return false;
    *changed = true;
  }
  for (const base::KeptMember& keep : request.keep) {
    const bool held = std::any_of(existing.by_name.begin(), existing.by_name.end(),
                                  [&](const std::pair<const std::string, zip_uint64_t>& entry) {
                                    return SameName(entry.first, keep.name);
                                  });
    (held ? summary->held : summary->not_added).push_back(keep);
    if (held) --files_existing;
  }
  summary->kept = files_existing;
  // Only a folder archive's members are judged against subfolders.
  if (request.recurse) return true;
  std::set<std::string> gone;
  for (const auto& entry : existing.by_name) {
    if (listed.count(entry.first) || (!entry.first.empty() && entry.first.back() == '/')) {
      continue;
    }
    gone.insert(entry.first);
    if (!MarkGone(za, entry.second, true, changed)) {
      *error = Failure(za, "cannot update " + request.archive);
      return false;
    }
  }
  return CheckGoneMembers(request, target, gone, error);
}

// Writes the archive with the members' data read and deflated ahead by a
// pipeline; za is closed or discarded either way.
bool CloseArchive(zip_t* za, const Request& request, std::vector<Member*> members,
                  std::uint64_t bytes_in, const ReadOutcome& outcome, std::string* error) {
  // libzip writes entries in index order; replaced ones keep theirs.
  std::sort(members.begin(), members.end(),
            [](const Member* a, const Member* b) { return a->index < b->index; });
  std::vector<FileTask> tasks;
  for (std::size_t i = 0; i < members.size(); ++i) {
    members[i]->slot = i;
    tasks.push_back(FileTask{members[i]->path, members[i]->size});
  }
  Pipeline pipeline(std::move(tasks), ThreadsFor(bytes_in));
  for (Member* member : members) member->pipeline = &pipeline;
  if (zip_close(za) == 0) return true;
  if (base::Interrupted()) base::ExitInterrupted();
  // A member's own failure says why; libzip's "Read error" adds nothing.
  *error = !outcome.error.empty() ? outcome.error
           : zip_error_code_zip(zip_get_error(za)) == ZIP_ER_CHANGED
               ? "cannot write " + request.archive +
                     ": it was changed by someone else while it was updated; it is left as they "
                     "left it"
               : Failure(za, "cannot write " + request.archive);
  zip_discard(za);
  return false;
}

// One attempt at writing the archive with items; those libzip would not add
// beside another new one go to later.
bool WriteArchive(const Request& request, const std::string& target,
                  const std::vector<Item>& items, const std::set<std::string>& listed,
                  Summary* summary,
                  ReadOutcome* outcome, std::vector<Item>* later, std::string* error) {
  zip_t* za = OpenArchive(request, target, error);
  if (za == nullptr) return false;
  std::vector<Member*> members;
  bool changed = false;
  if (!AddEntries(za, request, target, items, listed, summary, outcome, &members, later, &changed,
                  error)) {
    zip_discard(za);
    return false;
  }
  const bool empty = zip_get_num_entries(za, 0) == 0;
  // An empty archive already there is a whole one, or libzip would not
  // have opened it; an empty file is one to write.
  if (!changed && (!empty || base::FileSize(target) > 0)) {
    // Not rewritten at all: the same file, times and all.
    zip_discard(za);
    summary->rewritten = false;
    return true;
  }
  if (empty) {
    zip_discard(za);
    return WriteEmptyArchive(target, error);
  }
  return CloseArchive(za, request, std::move(members), summary->bytes_in, *outcome, error);
}

// A folder that trevask made and named by its identity must still be that
// folder: one swapped for a link or moved since is refused before anything
// is read or written through it. Without the variable nothing is checked.
bool CheckHandedFolder(const char* variable, const std::string& dir, bool pin,
                       std::string* error) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') return true;
  base::FileId expected, found;
  if (!base::ParseFileId(value, &expected)) {
    *error = std::string(variable) + " is not VOLUME:HIGH:LOW: " + value;
    return false;
  }
  std::string why;
  if (!GetFolderId(dir, &found, &why) || found != expected) {
    *error = dir + " is not the folder trevask made for this run (it was replaced or "
             "moved); nothing was written";
    return false;
  }
  if (pin) PinArchiveFolder(expected);
  return true;
}

// A recursive run leaves out of items the members trevask lists as kept:
// the archive's copy of each stays, or none is added.
bool ReadKeptMembers(Request* request, std::vector<Item>* items, std::string* error) {
  const char* value = std::getenv(base::kKeptMembersVariable);
  if (!request->recurse || value == nullptr || *value == '\0') return true;
  if (!base::DecodeKeptMembers(value, &request->keep, error)) return false;
  items->erase(std::remove_if(items->begin(), items->end(),
                              [&](const Item& item) {
                                return !item.folder &&
                                       std::any_of(request->keep.begin(), request->keep.end(),
                                                   [&](const base::KeptMember& keep) {
                                                     return SameName(item.name, keep.name);
                                                   });
                              }),
               items->end());
  return true;
}

// The items in name order, without the archive itself: target is the file
// a link at the archive leads to, the one never to be added to itself.
bool ListItems(const Request& request, const std::string& target, std::vector<Item>* items,
               std::uint64_t* left_out, std::string* error) {
  Request listing = request;
  listing.archive = target;
  // The folder trevask handed over as its own mirror tree.
  const char* handed = std::getenv("TREVASK_SOURCE_FOLDER");
  listing.skip_archiver_temps = request.recurse && handed != nullptr && *handed != '\0';
  if (!Collect(listing, request.folder, "", items, left_out, error)) return false;
  std::sort(items->begin(), items->end(),
            [](const Item& a, const Item& b) { return a.name < b.name; });
  return true;
}

// Attempts until every item is in: names libzip reads alike go in by
// updates of their own, and files that stopped being regular files are left
// out and the attempt, which wrote nothing, made again.
bool WriteInAttempts(const Request& request, const std::string& target,
                     std::vector<Item> items, Summary* summary, std::uint64_t* left_out,
                     std::string* error) {
  // What the first attempt found there: later ones see its own new entries.
  bool first = true, rewritten = false;
  // Every name of the folder, for the marks: an attempt holds only some.
  std::set<std::string> listed;
  for (const Item& item : items) listed.insert(item.name);
  while (true) {
    Summary attempt;
    ReadOutcome outcome;
    std::vector<Item> later;
    if (WriteArchive(request, target, items, listed, &attempt, &outcome, &later, error)) {
      summary->files += attempt.files;
      summary->bytes_in += attempt.bytes_in;
      summary->unchanged += attempt.unchanged;
      if (first) {
        summary->kept = attempt.kept;
        summary->held = attempt.held;
        summary->not_added = attempt.not_added;
      }
      first = false;
      rewritten = rewritten || attempt.rewritten;
      summary->rewritten = rewritten;
      if (later.empty()) return true;
      if (later.size() == items.size()) {
        *error = "cannot add " + later[0].name + ": File already exists";
        return false;
      }
      items.swap(later);
      continue;
    }
    if (!outcome.error.empty() || outcome.not_regular.empty()) return false;
    // Rare: a file became something else after the listing.
    for (const std::string& path : outcome.not_regular) {
      base::Say("warning: skipped %s: not a regular file", path.c_str());
      if (request.recurse) ++*left_out;
      for (const Item& item : items) {
        if (item.path == path) listed.erase(item.name);
      }
      items.erase(std::remove_if(items.begin(), items.end(),
                                 [&](const Item& item) { return item.path == path; }),
                  items.end());
    }
  }
}

}  // namespace

bool AddFiles(const Request& request, Summary* summary, std::string* error) {
  if (!base::IsFolder(request.folder)) {
    *error = "no such folder: " + request.folder;
    return false;
  }
  // A link at the archive stays a link: the file it leads to is updated.
  std::string target;
  if (!base::FinalTarget(request.archive, &target, error)) return false;
  if (!CheckHandedFolder("TREVASK_ARCHIVE_FOLDER", base::ParentFolder(target), true, error) ||
      !CheckHandedFolder("TREVASK_SOURCE_FOLDER", request.folder, false, error)) {
    return false;
  }
  std::vector<Item> items;
  std::uint64_t left_out = 0;
  if (!ListItems(request, target, &items, &left_out, error)) return false;
  Request keeping = request;
  if (!ReadKeptMembers(&keeping, &items, error)) return false;

  base::UpdateLock lock;
  if (!lock.Acquire(request.archive, error)) {
    if (base::Interrupted()) base::ExitInterrupted();
    return false;
  }
  if (!base::RegularOrAbsent(target, error)) return false;
  *summary = Summary();
  if (!WriteInAttempts(keeping, target, std::move(items), summary, &left_out, error)) {
    return false;
  }
  if (base::Interrupted()) base::ExitInterrupted();
  summary->bytes_out = base::FileSize(target);
  summary->left_out = left_out;
  return true;
}


}  // namespace archiver
