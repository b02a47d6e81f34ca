// zip_directory.h's sources, members and where their data lies; the
// inflating is zip_reader.cc's.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/zip_directory.h"

#include "base/extended_time.h"
#include "base/system.h"

namespace base {

namespace {

std::uint16_t U16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(U16(p)) | (static_cast<std::uint32_t>(U16(p + 2)) << 16);
}
std::uint64_t U64(const unsigned char* p) {
  return static_cast<std::uint64_t>(U32(p)) | (static_cast<std::uint64_t>(U32(p + 4)) << 32);
}

class SliceSource : public Source {
 public:
  SliceSource(std::shared_ptr<const Source> base, std::uint64_t offset, std::uint64_t size)
      : base_(std::move(base)), offset_(offset), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void* into, std::size_t n,
              std::string* error) const override {
    if (offset > size_ || n > size_ - offset) {
      *error = "reaches beyond the end of its archive";
      return false;
    }
    return base_->ReadAt(offset_ + offset, into, n, error);
  }

 private:
  std::shared_ptr<const Source> base_;
  std::uint64_t offset_, size_;
};

class MemorySource : public Source {
 public:
  explicit MemorySource(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, void* into, std::size_t n,
              std::string* error) const override {
    if (offset > bytes_.size() || n > bytes_.size() - offset) {
      *error = "reaches beyond the end of its archive";
      return false;
    }
    if (n > 0) std::memcpy(into, bytes_.data() + offset, n);
    return true;
  }

 private:
  std::vector<unsigned char> bytes_;
};

// Looks for field id in an extra block; false when absent or malformed.
bool FindExtra(const unsigned char* extra, std::size_t size, std::uint16_t id,
               const unsigned char** data, std::size_t* length) {
  std::size_t at = 0;
  while (at + 4 <= size) {
    std::uint16_t field = U16(extra + at);
    std::size_t n = U16(extra + at + 2);
    if (at + 4 + n > size) return false;
    if (field == id) {
      *data = extra + at + 4;
      *length = n;
      return true;
    }
    at += 4 + n;
  }
  return false;
}

bool Failed(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

}  // namespace

bool StreamSource::ReadAt(std::uint64_t offset, void* into, std::size_t n,
                          std::string* error) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (offset > size_ || n > size_ - offset ||
      !SeekFile(f_, static_cast<std::int64_t>(offset), SEEK_SET) ||
      std::fread(into, 1, n, f_) != n) {
    *error = offset > size_ || n > size_ - offset ? "reaches beyond the end of its archive"
                                                  : "cannot read it: " + LastErrorText();
    return false;
  }
  return true;
}

std::shared_ptr<Source> Slice(std::shared_ptr<const Source> base,
                              std::uint64_t offset, std::uint64_t size) {
  return std::make_shared<SliceSource>(std::move(base), offset, size);
}

std::shared_ptr<Source> InMemory(std::vector<unsigned char> bytes) {
  return std::make_shared<MemorySource>(std::move(bytes));
}

std::shared_ptr<Source> OpenFile(const std::string& path, std::string* error) {
  int error_number = 0;
  std::FILE* f = OpenForReading(path, &error_number);
  if (f == nullptr) {
    errno = error_number;
    *error = LastErrorText();
    return nullptr;
  }
  SeekFile(f, 0, SEEK_END);
  return std::make_shared<StreamSource>(f, static_cast<std::uint64_t>(TellFile(f)));
}

std::uint32_t Member::UnixMode() const {
  if ((made_by >> 8) != 3) return 0;  // 3: Unix
  return external >> 16;
}

bool ReadDirectory(const Source& source, std::vector<Member>* members,
                   std::string* error) {
  const std::uint64_t size = source.Size();
  if (size < 22) return Failed(error, "too short for a zip archive");
  // The end record lies within the last 22 + 65535 bytes.
  std::size_t tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, 22 + 65535));
  std::vector<unsigned char> tail(tail_size);
  if (!source.ReadAt(size - tail_size, tail.data(), tail_size, error)) return false;
  std::size_t end = tail_size - 22 + 1;
  do {
    --end;
  } while (end > 0 && U32(&tail[end]) != 0x06054b50);
  if (U32(&tail[end]) != 0x06054b50) return Failed(error, "no end of central directory");
  const unsigned char* e = &tail[end];
  std::uint64_t count = U16(e + 10);
  std::uint64_t dir_size = U32(e + 12);
  std::uint64_t dir_offset = U32(e + 16);
  if (U16(e + 4) != 0 || U16(e + 6) != 0) return Failed(error, "spans several disks");
  const std::uint64_t end_at = size - tail_size + end;
  if (count == 0xFFFF || dir_size == 0xFFFFFFFF || dir_offset == 0xFFFFFFFF) {
    unsigned char locator[20], record[56];
    if (end_at < 20 || !source.ReadAt(end_at - 20, locator, 20, error) ||
        U32(locator) != 0x07064b50) {
      return Failed(error, "no zip64 end of central directory");
    }
    if (!source.ReadAt(U64(locator + 8), record, 56, error) || U32(record) != 0x06064b50) {
      return Failed(error, "damaged zip64 end of central directory");
    }
    count = U64(record + 32);
    dir_size = U64(record + 40);
    dir_offset = U64(record + 48);
  }
  if (dir_offset > end_at || dir_size > end_at - dir_offset || count > dir_size / 46) {
    if (count != 0 || dir_size != 0) return Failed(error, "damaged central directory");
  }
  std::vector<unsigned char> dir(static_cast<std::size_t>(dir_size));
  if (dir_size > 0 && !source.ReadAt(dir_offset, dir.data(), dir.size(), error)) return false;
  std::size_t at = 0;
  members->clear();
  members->reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    if (at + 46 > dir.size() || U32(&dir[at]) != 0x02014b50) {
      return Failed(error, "damaged central directory");
    }
    const unsigned char* h = &dir[at];
    const std::size_t name_size = U16(h + 28), extra_size = U16(h + 30),
                      comment_size = U16(h + 32);
    if (at + 46 + name_size + extra_size + comment_size > dir.size()) {
      return Failed(error, "damaged central directory");
    }
    Member m;
    m.made_by = U16(h + 4);
    m.flags = U16(h + 8);
    m.method = U16(h + 10);
    m.dos_time = U16(h + 12);
    m.dos_date = U16(h + 14);
    m.crc = U32(h + 16);
    m.packed_size = U32(h + 20);
    m.size = U32(h + 24);
    m.external = U32(h + 38);
    m.header_offset = U32(h + 42);
    m.name.assign(reinterpret_cast<const char*>(h + 46), name_size);
    const unsigned char* extra = h + 46 + name_size;
    const unsigned char* field;
    std::size_t length;
    if (FindExtra(extra, extra_size, 0x0001, &field, &length)) {
      // Only the fields whose header values are saturated, in this order.
      std::size_t used = 0;
      for (std::uint64_t* value : {&m.size, &m.packed_size, &m.header_offset}) {
        if (*value != 0xFFFFFFFF) continue;
        if (used + 8 > length) return Failed(error, "damaged zip64 field of " + m.name);
        *value = U64(field + used);
        used += 8;
      }
    }
    if (FindExtra(extra, extra_size, kExtendedTimeId, &field, &length)) {
      const ExtendedTime times = DecodeExtendedTime(field, length);
      m.has_unix_time = times.mtime.has_value();
      m.unix_time = times.mtime.value_or(0);
    }
    m.gone = FindExtra(extra, extra_size, kGoneMarkId, &field, &length);
    members->push_back(std::move(m));
    at += 46 + name_size + extra_size + comment_size;
  }
  return true;
}

bool DataRange(const Source& source, const Member& m, std::uint64_t* at,
               std::string* error) {
  // The header and the name it should hold, read at once.
  std::string local(30 + m.name.size(), '\0');
  unsigned char* h = reinterpret_cast<unsigned char*>(&local[0]);
  if (m.header_offset > source.Size() || local.size() > source.Size() - m.header_offset) {
    return Failed(error, "no local header");
  }
  if (!source.ReadAt(m.header_offset, h, local.size(), error)) return false;
  if (U32(h) != 0x04034b50) return Failed(error, "no local header");
  // A directory that names another file than its header does is damaged:
  // which name is true cannot be told.
  if (U16(h + 26) != m.name.size() || local.compare(30, std::string::npos, m.name) != 0) {
    return Failed(error, "its local header names another file");
  }
  const std::uint64_t data_at = m.header_offset + 30 + U16(h + 26) + U16(h + 28);
  if (data_at > source.Size() || m.packed_size > source.Size() - data_at) {
    return Failed(error, "reaches beyond the end of its archive");
  }
  *at = data_at;
  return true;
}

bool ReadsAsZip(const Source& source, std::string* error) {
  std::vector<Member> members;
  if (!ReadDirectory(source, &members, error)) return false;
  for (const Member& m : members) {
    std::uint64_t at = 0;
    if (!DataRange(source, m, &at, error)) {
      *error = m.name + ": " + *error;
      return false;
    }
  }
  return true;
}

std::int64_t Member::Time() const {
  if (has_unix_time) return unix_time;
  std::tm tm{};
  tm.tm_year = (dos_date >> 9) + 80;
  tm.tm_mon = ((dos_date >> 5) & 15) - 1;
  tm.tm_mday = dos_date & 31;
  tm.tm_hour = dos_time >> 11;
  tm.tm_min = (dos_time >> 5) & 63;
  tm.tm_sec = (dos_time & 31) * 2;
  tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm));
}

std::uint32_t DosTimeOf(std::int64_t t) {
  std::tm tm{};
  const bool known = LocalTime(t, &tm);
  if ((!known && t < 0) || (known && tm.tm_year < 80)) {
    return (1u << 21) | (1u << 16);  // 1980-01-01 00:00:00
  }
  if (!known || tm.tm_year > 207) {
    return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
  }
  return (static_cast<std::uint32_t>(tm.tm_year - 80) << 25) |
         (static_cast<std::uint32_t>(tm.tm_mon + 1) << 21) |
         (static_cast<std::uint32_t>(tm.tm_mday) << 16) |
         (static_cast<std::uint32_t>(tm.tm_hour) << 11) |
         (static_cast<std::uint32_t>(tm.tm_min) << 5) | static_cast<std::uint32_t>(tm.tm_sec / 2);
}

}  // namespace base
