// Reads the central directory of a zip archive from any source of bytes
// that can be read at an offset: trevask looks at an existing bundle
// through it before it starts, trevask-extract reads everything through it.
#ifndef TREVASK_BASE_ZIP_DIRECTORY_H_
#define TREVASK_BASE_ZIP_DIRECTORY_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace base {

// Bytes that can be read at an offset, from several threads at once.
class Source {
 public:
  virtual ~Source() = default;
  virtual std::uint64_t Size() const = 0;
  // Exactly n bytes at offset, or false with the reason.
  virtual bool ReadAt(std::uint64_t offset, void* into, std::size_t n,
                      std::string* error) const = 0;
};

// A stdio stream of size bytes, read at offsets from several threads at
// once; closed with the source.
class StreamSource : public Source {
 public:
  StreamSource(std::FILE* f, std::uint64_t size) : f_(f), size_(size) {}
  ~StreamSource() override { std::fclose(f_); }
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void* into, std::size_t n,
              std::string* error) const override;

 protected:
  std::FILE* f_;
  std::uint64_t size_;
  mutable std::mutex mutex_;
};

// The bytes [offset, offset + size) of another source: a stored member is
// read in place.
std::shared_ptr<Source> Slice(std::shared_ptr<const Source> base,
                              std::uint64_t offset, std::uint64_t size);
std::shared_ptr<Source> InMemory(std::vector<unsigned char> bytes);
// The file at path, whole; null with the system's reason.
std::shared_ptr<Source> OpenFile(const std::string& path, std::string* error);

// The project's own extra field, in the central directory only: a folder
// archive's member kept though its file is gone from the folder. Where the
// bundle also holds a subfolder of that name, the subfolder is the newer
// copy; an unmarked member is newer than such a subfolder.
constexpr std::uint16_t kGoneMarkId = 0x5654;  // "TV"

struct Member {
  std::string name;
  std::uint16_t made_by = 0;   // host system in the high byte
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t dos_time = 0, dos_date = 0;
  std::uint32_t crc = 0;
  std::uint64_t packed_size = 0, size = 0;
  std::uint64_t header_offset = 0;
  std::uint32_t external = 0;
  bool has_unix_time = false;  // the extended timestamp (0x5455)
  std::int64_t unix_time = 0;
  bool gone = false;  // carries kGoneMarkId

  bool IsFolder() const { return !name.empty() && name.back() == '/'; }
  // The Unix mode when the archive recorded one, else 0.
  std::uint32_t UnixMode() const;
  // Seconds since 1970: the exact time when recorded, else the header's
  // local time.
  std::int64_t Time() const;
};

// The members in central directory order; false with the reason for an
// archive that cannot be read as a zip.
bool ReadDirectory(const Source& source, std::vector<Member>* members,
                   std::string* error);

// Where a member's data lies in source, checked to lie within it.
bool DataRange(const Source& source, const Member& member, std::uint64_t* at,
               std::string* error);

// True when source reads as a zip: its central directory and the local
// header of every member, each within it; false with the reason.
bool ReadsAsZip(const Source& source, std::string* error);

// The zip header's local date (high 16 bits) and time (low) for t, clamped
// to 1980..2107 as the archivers write it.
std::uint32_t DosTimeOf(std::int64_t t);

}  // namespace base

#endif  // TREVASK_BASE_ZIP_DIRECTORY_H_
