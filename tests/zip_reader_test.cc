// The zip readers in process: the central directory (base::ReadDirectory,
// base::DataRange) and the inflater (base::Unpack, base::CheckData), over
// archives made in memory, whole, damaged and cut short.
#include "base/zip_reader.h"

#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/zip_directory.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char kName[] = "notes/a.txt";

// Text that deflates well, but not to nothing.
std::string Text(std::size_t n) {
  static const char* const words[] = {"folder ", "archive ", "bundle ",  "member\n",
                                      "crc ",    "zip64 ",   "deflate ", "stored "};
  std::string out;
  std::uint32_t state = 12345;
  while (out.size() < n) {
    state = state * 1103515245u + 12345u;
    out += words[(state >> 16) % 8];
    if ((state >> 8) % 7 == 0) out += std::to_string(state % 1000);
  }
  out.resize(n);
  return out;
}

// One member, written by libzip into memory.
Bytes LibzipArchive(const std::string& data, bool deflate) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_source_keep(buffer);
  zip_t* zip = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
  zip_source_t* file = zip_source_buffer(zip, data.data(), data.size(), 0);
  const zip_int64_t i = zip_file_add(zip, kName, file, 0);
  zip_set_file_compression(zip, static_cast<zip_uint64_t>(i),
                           deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
  Bytes out;
  if (zip_close(zip) != 0 || zip_source_open(buffer) != 0) return out;
  zip_source_seek(buffer, 0, SEEK_END);
  out.resize(static_cast<std::size_t>(zip_source_tell(buffer)));
  zip_source_seek(buffer, 0, SEEK_SET);
  if (zip_source_read(buffer, out.data(), out.size()) != static_cast<zip_int64_t>(out.size())) {
    out.clear();
  }
  zip_source_close(buffer);
  zip_source_free(buffer);
  return out;
}

void Put(Bytes* b, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b->push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// One stored member with every size and offset saturated in its headers
// and given in the zip64 field, after the zip64 end records: libzip writes
// them only for archives of 4 GiB.
Bytes Zip64Archive(const std::string& data) {
  const std::uint32_t crc = static_cast<std::uint32_t>(crc32(
      0, reinterpret_cast<const Bytes::value_type*>(data.data()), static_cast<uInt>(data.size())));
  const std::string name = kName;
  Bytes b;
  Put(&b, 0x04034b50, 4);
  Put(&b, 45, 2), Put(&b, 0, 2), Put(&b, 0, 2), Put(&b, 0, 4), Put(&b, crc, 4);
  Put(&b, 0xFFFFFFFF, 4), Put(&b, 0xFFFFFFFF, 4), Put(&b, name.size(), 2), Put(&b, 20, 2);
  b.insert(b.end(), name.begin(), name.end());
  Put(&b, 1, 2), Put(&b, 16, 2), Put(&b, data.size(), 8), Put(&b, data.size(), 8);
  b.insert(b.end(), data.begin(), data.end());
  const std::size_t dir_at = b.size();
  Put(&b, 0x02014b50, 4);
  Put(&b, 3 << 8 | 45, 2), Put(&b, 45, 2), Put(&b, 0, 2), Put(&b, 0, 2), Put(&b, 0, 4);
  Put(&b, crc, 4), Put(&b, 0xFFFFFFFF, 4), Put(&b, 0xFFFFFFFF, 4), Put(&b, name.size(), 2);
  Put(&b, 28, 2), Put(&b, 0, 2), Put(&b, 0, 2), Put(&b, 0, 2), Put(&b, 0100644u << 16, 4);
  Put(&b, 0xFFFFFFFF, 4);
  b.insert(b.end(), name.begin(), name.end());
  Put(&b, 1, 2), Put(&b, 24, 2), Put(&b, data.size(), 8), Put(&b, data.size(), 8), Put(&b, 0, 8);
  const std::size_t dir_size = b.size() - dir_at, record_at = b.size();
  Put(&b, 0x06064b50, 4), Put(&b, 44, 8), Put(&b, 45, 2), Put(&b, 45, 2), Put(&b, 0, 4);
  Put(&b, 0, 4), Put(&b, 1, 8), Put(&b, 1, 8), Put(&b, dir_size, 8), Put(&b, dir_at, 8);
  Put(&b, 0x07064b50, 4), Put(&b, 0, 4), Put(&b, record_at, 8), Put(&b, 1, 4);
  Put(&b, 0x06054b50, 4), Put(&b, 0, 4), Put(&b, 0xFFFFFFFF, 4), Put(&b, 0xFFFFFFFF, 4);
  Put(&b, 0xFFFFFFFF, 4), Put(&b, 0, 2);
  return b;
}

// Where the first record with signature sig starts, found by its bytes.
std::size_t Find(const Bytes& b, std::uint32_t sig) {
  for (std::size_t i = 0; i + 4 <= b.size(); ++i) {
    if ((b[i] | b[i + 1] << 8 | b[i + 2] << 16 | static_cast<std::uint32_t>(b[i + 3]) << 24) ==
        sig) {
      return i;
    }
  }
  ADD_FAILURE() << "no record " << std::hex << sig;
  return 0;
}
std::uint32_t Get(const Bytes& b, std::size_t at, int n) {
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}
void Set(Bytes* b, std::size_t at, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) (*b)[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

std::size_t Local(const Bytes& b) { return Find(b, 0x04034b50); }
std::size_t Central(const Bytes& b) { return Find(b, 0x02014b50); }
std::size_t DataAt(const Bytes& b) {
  const std::size_t at = Local(b);
  return at + 30 + Get(b, at + 26, 2) + Get(b, at + 28, 2);
}
// The zip64 field's sizes in the central header: size at +0, packed at +8.
std::size_t Zip64Sizes(const Bytes& b) { return Central(b) + 46 + sizeof kName - 1 + 4; }

class Collect : public base::Sink {
 public:
  explicit Collect(bool fails) : fails_(fails) {}
  bool Write(const unsigned char* data, std::size_t n, std::string* error) override {
    got.append(reinterpret_cast<const char*>(data), n);
    if (fails_) *error = "the disk is full";
    return !fails_;
  }
  std::string got;

 private:
  bool fails_;
};

enum Kind { kStored, kDeflated, kStoredLarge, kDeflatedLarge, kZip64 };

struct Case {
  const char* what;
  Kind kind;
  std::function<void(Bytes*)> damage;  // null: as written
  const char* directory;               // ReadDirectory's error; "" when it reads
  const char* range;                   // DataRange's
  base::Unpacked unpacked;
  const char* reason;  // in Unpack's error; "" for kDone
  bool sink_fails = false;
};

TEST(ZipReader, ReadsAndChecks) {
  using U = base::Unpacked;
  // The large ones go past the one-call inflater (1 MiB) and the chunk
  // (256 KiB) to the stream's loop.
  const std::map<Kind, std::string> data = {{kStored, Text(3000)},
                                            {kDeflated, Text(50000)},
                                            {kStoredLarge, Text(600000)},
                                            {kDeflatedLarge, Text(3000000)},
                                            {kZip64, Text(5000)}};
  std::map<Kind, Bytes> archives;
  for (const auto& d : data) {
    archives[d.first] = d.first == kZip64 ? Zip64Archive(d.second)
                                          : LibzipArchive(d.second, d.first == kDeflated ||
                                                                        d.first == kDeflatedLarge);
    ASSERT_FALSE(archives[d.first].empty());
  }
  auto flip = [](std::function<std::size_t(const Bytes&)> where, int by = 1) {
    return [where, by](Bytes* b) { (*b)[where(*b)] ^= static_cast<unsigned char>(by); };
  };
  auto set_bits = [](std::function<std::size_t(const Bytes&)> where, int bits) {
    return [where, bits](Bytes* b) { (*b)[where(*b)] |= static_cast<unsigned char>(bits); };
  };
  auto add = [](std::function<std::size_t(const Bytes&)> where, int n, std::int64_t by) {
    return [where, n, by](Bytes* b) {
      Set(b, where(*b), static_cast<std::uint64_t>(Get(*b, where(*b), n) + by), n);
    };
  };
  auto central = [](std::size_t field) {
    return [field](const Bytes& b) { return Central(b) + field; };
  };
  auto in_data = [](std::size_t into) {
    return [into](const Bytes& b) { return DataAt(b) + into; };
  };
  auto end_record = [](std::size_t field) {
    return [field](const Bytes& b) { return b.size() - 22 + field; };
  };
  // From the zip64 field's first size; its length lies 2 bytes before.
  auto zip64_size = [](int field) {
    return [field](const Bytes& b) {
      return static_cast<std::size_t>(static_cast<long>(Zip64Sizes(b)) + field);
    };
  };
  const Case cases[] = {
      {"stored", kStored, nullptr, "", "", U::kDone, ""},
      {"deflated", kDeflated, nullptr, "", "", U::kDone, ""},
      {"stored, large", kStoredLarge, nullptr, "", "", U::kDone, ""},
      {"deflated, large", kDeflatedLarge, nullptr, "", "", U::kDone, ""},
      {"zip64", kZip64, nullptr, "", "", U::kDone, ""},
      // The CRC, in each way of reading data.
      {"stored, a data byte", kStored, flip(in_data(100)), "", "", U::kDamaged, "CRC mismatch"},
      {"stored large, last byte", kStoredLarge, flip(in_data(599999)), "", "", U::kDamaged,
       "CRC mismatch"},
      {"deflated, directory CRC", kDeflated, flip(central(16)), "", "", U::kDamaged,
       "CRC mismatch"},
      {"deflated large, directory CRC", kDeflatedLarge, flip(central(19), 0x80), "", "",
       U::kDamaged, "CRC mismatch"},
      {"zip64, a data byte", kZip64, flip(in_data(4999)), "", "", U::kDamaged, "CRC mismatch"},
      // A reserved block type as the first block.
      {"deflated, bad block", kDeflated, set_bits(in_data(0), 0x06), "", "", U::kDamaged,
       "damaged deflate data"},
      {"deflated large, bad block", kDeflatedLarge, set_bits(in_data(0), 0x06), "", "", U::kDamaged,
       "damaged deflate data"},
      // Sizes that are not the data's.
      {"stored, packed size apart", kStored, add(central(20), 4, 1), "", "", U::kDamaged,
       "wrong size"},
      {"deflated, one byte more", kDeflated, add(central(24), 4, 1), "", "", U::kDamaged,
       "damaged deflate data or wrong size"},
      {"deflated large, one byte more", kDeflatedLarge, add(central(24), 4, 1), "", "", U::kDamaged,
       "shorter than its recorded size"},
      {"deflated large, one byte less", kDeflatedLarge, add(central(24), 4, -1), "", "",
       U::kDamaged, "longer than its recorded size"},
      {"zip64, one byte less", kZip64, add(zip64_size(0), 4, -1), "", "", U::kDamaged,
       "wrong size"},
      // The local header.
      {"local header's name", kStored, flip([](const Bytes& b) { return Local(b) + 30; }), "",
       "its local header names another file", U::kDamaged, "its local header names another file"},
      {"local header's signature", kDeflated, flip([](const Bytes& b) { return Local(b); }), "",
       "no local header", U::kDamaged, "no local header"},
      {"zip64, local header's name", kZip64, flip([](const Bytes& b) { return Local(b) + 30; }), "",
       "its local header names another file", U::kDamaged, "its local header names another file"},
      // Cut short.
      {"cut in half", kDeflated, [](Bytes* b) { b->resize(b->size() / 2); },
       "no end of central directory", "", U::kDone, ""},
      {"cut to 21 bytes", kStored, [](Bytes* b) { b->resize(21); }, "too short for a zip archive",
       "", U::kDone, ""},
      {"directory past its end", kStored, add(end_record(16), 4, 1000), "damaged central directory",
       "", U::kDone, ""},
      {"stored data past the end", kStoredLarge,
       [&](Bytes* b) {
         add(central(20), 4, 500000)(b);
         add(central(24), 4, 500000)(b);
       },
       "", "reaches beyond the end of its archive", U::kDamaged,
       "reaches beyond the end of its archive"},
      {"zip64 data past the end", kZip64, add(zip64_size(8), 4, 100000), "",
       "reaches beyond the end of its archive", U::kDamaged, "reaches beyond the end"},
      {"deflated, stream cut", kDeflated, add(central(20), 4, -2000), "", "", U::kDamaged,
       "damaged deflate data"},
      {"deflated large, stream cut", kDeflatedLarge, add(central(20), 4, -200000), "", "",
       U::kDamaged, "deflate data"},
      // The zip64 records.
      {"zip64, no locator", kZip64, flip([](const Bytes& b) { return Find(b, 0x07064b50); }),
       "no zip64 end of central directory", "", U::kDone, ""},
      {"zip64, record's signature", kZip64,
       flip([](const Bytes& b) { return Find(b, 0x06064b50); }),
       "damaged zip64 end of central directory", "", U::kDone, ""},
      {"zip64, field too short", kZip64, add(zip64_size(-2), 2, -8),
       "damaged zip64 field of notes/a.txt", "", U::kDone, ""},
      // Not the member's fault.
      {"encrypted", kStored, add(central(8), 2, 1), "", "", U::kFailed, "encrypted"},
      {"another method", kDeflated, add(central(10), 2, 4), "", "", U::kFailed,
       "packed by method 12"},
      {"the sink fails", kDeflatedLarge, nullptr, "", "", U::kFailed, "the disk is full", true},
      {"the sink fails, small", kStored, nullptr, "", "", U::kFailed, "the disk is full", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = archives.at(c.kind);
    if (c.damage) c.damage(&bytes);
    const std::shared_ptr<base::Source> source = base::InMemory(bytes);
    std::vector<base::Member> members;
    std::string error;
    const bool read = base::ReadDirectory(*source, &members, &error);
    EXPECT_EQ(read ? "" : error, c.directory);
    if (!read || *c.directory) continue;
    ASSERT_EQ(members.size(), 1u);
    const base::Member& m = members[0];
    EXPECT_EQ(m.name, kName);
    if (!c.damage) {
      EXPECT_EQ(m.method, c.kind == kDeflated || c.kind == kDeflatedLarge ? 8 : 0);
    }
    std::uint64_t at = 0;
    error.clear();
    const bool ranged = base::DataRange(*source, m, &at, &error);
    EXPECT_EQ(ranged ? "" : error, c.range);
    if (ranged) {
      EXPECT_EQ(at, DataAt(bytes));
    }
    Collect sink(c.sink_fails);
    error.clear();
    EXPECT_EQ(base::Unpack(*source, m, &sink, &error), c.unpacked);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    if (c.unpacked == U::kDone) {
      EXPECT_EQ(error, "");
      EXPECT_TRUE(sink.got == data.at(c.kind)) << sink.got.size() << " bytes unpacked";
    }
    // Without a sink that fails, checking is unpacking.
    if (!c.sink_fails) {
      EXPECT_EQ(base::CheckData(*source, m, &error), c.unpacked);
    }
    EXPECT_EQ(base::ReadsAsZip(*source, &error), ranged);
  }
}

// A folder archive lying inside a bundle is read through a slice of it:
// what lies past the slice is not the archive's.
TEST(ZipReader, SliceEndsTheArchive) {
  Bytes bundle(1000, 'x');
  const Bytes inner = LibzipArchive(Text(3000), true);
  bundle.insert(bundle.end(), inner.begin(), inner.end());
  bundle.insert(bundle.end(), 1000, 'y');
  const std::shared_ptr<const base::Source> whole = base::InMemory(bundle);
  struct Cut {
    std::uint64_t cut;  // bytes of inner left out at its end
    bool reads;
  };
  for (const Cut c : {Cut{0, true}, Cut{1, false}, Cut{22, false}}) {
    SCOPED_TRACE(c.cut);
    const auto slice = base::Slice(whole, 1000, inner.size() - c.cut);
    std::vector<base::Member> members;
    std::string error;
    ASSERT_EQ(base::ReadDirectory(*slice, &members, &error), c.reads) << error;
    if (!c.reads) continue;
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(base::CheckData(*slice, members[0], &error), base::Unpacked::kDone) << error;
    unsigned char byte;
    EXPECT_FALSE(slice->ReadAt(inner.size() - 1, &byte, 2, &error));
  }
}

}  // namespace
