// The zip readers in process: the central directory (base::ReadDirectory,
// base::DataRange) and the inflater (base::Unpack, base::CheckData), over
// archives made in memory, whole, damaged and cut short.
#include "base/zip_reader.h"

#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
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
  const zip_int64_t i =
      zip_file_add(zip, kName, zip_source_buffer(zip, data.data(), data.size(), 0), 0);
  zip_set_file_compression(zip, static_cast<zip_uint64_t>(i),
                           deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
  Bytes out;
  if (zip_close(zip) == 0 && zip_source_open(buffer) == 0) {
    zip_source_seek(buffer, 0, SEEK_END);
    out.resize(static_cast<std::size_t>(zip_source_tell(buffer)));
    zip_source_seek(buffer, 0, SEEK_SET);
    if (zip_source_read(buffer, out.data(), out.size()) != static_cast<zip_int64_t>(out.size())) {
      out.clear();
    }
    zip_source_close(buffer);
  }
  zip_source_free(buffer);
  return out;
}

std::uint64_t Get(const Bytes& b, std::size_t at, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}
void Set(Bytes* b, std::size_t at, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) (*b)[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
// Appends little-endian fields, each {value, width}.
void Put(Bytes* b, std::initializer_list<std::pair<std::uint64_t, int>> fields) {
  for (const auto& f : fields) {
    b->resize(b->size() + static_cast<std::size_t>(f.second));
    Set(b, b->size() - static_cast<std::size_t>(f.second), f.first, f.second);
  }
}

// One stored member with every size and offset saturated in its headers
// and given in the zip64 field, after the zip64 end records: libzip writes
// them only for archives of 4 GiB.
Bytes Zip64Archive(const std::string& data) {
  const std::uint64_t crc = crc32(0, reinterpret_cast<const Bytes::value_type*>(data.data()),
                                  static_cast<uInt>(data.size()));
  const std::string name = kName;
  const std::uint64_t n = data.size(), max = 0xFFFFFFFF;
  Bytes b;
  Put(&b, {{0x04034b50, 4}, {45, 2}, {0, 2}, {0, 2}, {0, 4}, {crc, 4}, {max, 4}, {max, 4}});
  Put(&b, {{name.size(), 2}, {20, 2}});
  b.insert(b.end(), name.begin(), name.end());
  Put(&b, {{1, 2}, {16, 2}, {n, 8}, {n, 8}});
  b.insert(b.end(), data.begin(), data.end());
  const std::size_t dir_at = b.size();
  Put(&b, {{0x02014b50, 4}, {3 << 8 | 45, 2}, {45, 2}, {0, 2}, {0, 2}, {0, 4}, {crc, 4}});
  Put(&b, {{max, 4}, {max, 4}, {name.size(), 2}, {28, 2}, {0, 2}, {0, 2}, {0, 2}});
  Put(&b, {{0100644u << 16, 4}, {max, 4}});
  b.insert(b.end(), name.begin(), name.end());
  Put(&b, {{1, 2}, {24, 2}, {n, 8}, {n, 8}, {0, 8}});
  const std::size_t dir_size = b.size() - dir_at, record_at = b.size();
  Put(&b, {{0x06064b50, 4}, {44, 8}, {45, 2}, {45, 2}, {0, 4}, {0, 4}, {1, 8}, {1, 8}});
  Put(&b, {{dir_size, 8}, {dir_at, 8}, {0x07064b50, 4}, {0, 4}, {record_at, 8}, {1, 4}});
  Put(&b, {{0x06054b50, 4}, {0, 4}, {max, 4}, {max, 4}, {max, 4}, {0, 2}});
  return b;
}

// Where the first record with signature sig starts, found by its bytes.
std::size_t Find(const Bytes& b, std::uint32_t sig) {
  for (std::size_t i = 0; i + 4 <= b.size(); ++i) {
    if (Get(b, i, 4) == sig) return i;
  }
  ADD_FAILURE() << "no record " << std::hex << sig;
  return 0;
}
// Where an edit's offset counts from.
using Anchor = std::size_t (*)(const Bytes&);
std::size_t Local(const Bytes& b) { return Find(b, 0x04034b50); }
std::size_t Central(const Bytes& b) { return Find(b, 0x02014b50); }
std::size_t Locator(const Bytes& b) { return Find(b, 0x07064b50); }
std::size_t Record(const Bytes& b) { return Find(b, 0x06064b50); }
std::size_t End(const Bytes& b) { return b.size() - 22; }
std::size_t DataAt(const Bytes& b) {
  const std::size_t at = Local(b);
  return static_cast<std::size_t>(at + 30 + Get(b, at + 26, 2) + Get(b, at + 28, 2));
}
// The zip64 field's sizes in the central header: size at +0, packed at +8;
// the field's length lies 2 bytes before.
std::size_t Zip64Sizes(const Bytes& b) { return Central(b) + 46 + sizeof kName - 1 + 4; }

// One change to an archive's bytes: a byte xor'd or or'd with by, a field
// of width bytes moved by by, or the archive cut to by bytes (0: to half).
struct Edit {
  enum { kXor, kOr, kAdd, kCut } op;
  Anchor from;
  int at, width;
  std::int64_t by;
  void Apply(Bytes* b) const {
    const std::size_t p = from ? from(*b) + static_cast<std::size_t>(at) : 0;
    if (op == kXor) (*b)[p] ^= static_cast<unsigned char>(by);
    if (op == kOr) (*b)[p] |= static_cast<unsigned char>(by);
    if (op == kAdd) Set(b, p, Get(*b, p, width) + static_cast<std::uint64_t>(by), width);
    if (op == kCut) b->resize(by ? static_cast<std::size_t>(by) : b->size() / 2);
  }
};
Edit Flip(Anchor from, int at, int by = 1) { return {Edit::kXor, from, at, 1, by}; }
Edit SetBits(Anchor from, int at, int bits) { return {Edit::kOr, from, at, 1, bits}; }
Edit Add(Anchor from, int at, int n, std::int64_t by) { return {Edit::kAdd, from, at, n, by}; }
Edit Cut(std::int64_t to) { return {Edit::kCut, nullptr, 0, 0, to}; }
// The central header's packed and unpacked sizes, the zip64 field's and
// its length, and the end record's offset of the directory.
Edit Packed(std::int64_t by) { return Add(Central, 20, 4, by); }
Edit Size(std::int64_t by) { return Add(Central, 24, 4, by); }
Edit Zip64Size(std::int64_t by) { return Add(Zip64Sizes, 0, 4, by); }
Edit Zip64Packed(std::int64_t by) { return Add(Zip64Sizes, 8, 4, by); }
Edit Zip64Length(std::int64_t by) { return Add(Zip64Sizes, -2, 2, by); }
Edit DirOffset(std::int64_t by) { return Add(End, 16, 4, by); }

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

enum Kind { kStored, kDeflated, kBigStored, kBigDeflated, kZip64 };
bool Deflated(Kind k) { return k == kDeflated || k == kBigDeflated; }

// Where reading stops: the directory or the data's range with the row's
// words (Unpack's damage too), Unpack with them, or nowhere.
enum Verdict { kWhole, kNoDir, kNoRange, kDamaged, kFailed };

struct Case {
  const char* what;
  Kind kind;
  std::vector<Edit> edits;  // none: as written
  Verdict verdict;
  const char* said;  // in the error of the step that stops
  bool sink_fails = false;
};

const char kCrc[] = "CRC mismatch", kInflate[] = "damaged deflate data";
const char kBeyond[] = "reaches beyond the end of its archive";
const char kOtherName[] = "its local header names another file";
const Case kCases[] = {
    {"stored", kStored, {}, kWhole, ""},
    {"deflated", kDeflated, {}, kWhole, ""},
    {"stored, large", kBigStored, {}, kWhole, ""},
    {"deflated, large", kBigDeflated, {}, kWhole, ""},
    {"zip64", kZip64, {}, kWhole, ""},
    // The CRC, in each way of reading data.
    {"stored, a data byte", kStored, {Flip(DataAt, 100)}, kDamaged, kCrc},
    {"big stored, last byte", kBigStored, {Flip(DataAt, 599999)}, kDamaged, kCrc},
    {"deflated, directory CRC", kDeflated, {Flip(Central, 16)}, kDamaged, kCrc},
    {"big deflated, directory CRC", kBigDeflated, {Flip(Central, 19, 0x80)}, kDamaged, kCrc},
    {"zip64, a data byte", kZip64, {Flip(DataAt, 4999)}, kDamaged, kCrc},
    // A reserved block type as the first block.
    {"deflated, bad block", kDeflated, {SetBits(DataAt, 0, 6)}, kDamaged, kInflate},
    {"big deflated, bad block", kBigDeflated, {SetBits(DataAt, 0, 6)}, kDamaged, kInflate},
    // Sizes that are not the data's.
    {"stored, packed size apart", kStored, {Packed(1)}, kDamaged, "wrong size"},
    {"deflated, size +1", kDeflated, {Size(1)}, kDamaged, "damaged deflate data or wrong size"},
    {"big deflated, size +1", kBigDeflated, {Size(1)}, kDamaged, "shorter than its recorded size"},
    {"big deflated, size -1", kBigDeflated, {Size(-1)}, kDamaged, "longer than its recorded size"},
    {"zip64, size -1", kZip64, {Zip64Size(-1)}, kDamaged, "wrong size"},
    // The local header.
    {"local header's name", kStored, {Flip(Local, 30)}, kNoRange, kOtherName},
    {"local header's signature", kDeflated, {Flip(Local, 0)}, kNoRange, "no local header"},
    {"zip64, local header's name", kZip64, {Flip(Local, 30)}, kNoRange, kOtherName},
    // Cut short.
    {"cut in half", kDeflated, {Cut(0)}, kNoDir, "no end of central directory"},
    {"cut to 21 bytes", kStored, {Cut(21)}, kNoDir, "too short for a zip archive"},
    {"directory past its end", kStored, {DirOffset(1000)}, kNoDir, "damaged central directory"},
    {"stored data past the end", kBigStored, {Packed(500000), Size(500000)}, kNoRange, kBeyond},
    {"zip64 data past the end", kZip64, {Zip64Packed(100000)}, kNoRange, kBeyond},
    {"deflated, stream cut", kDeflated, {Packed(-2000)}, kDamaged, kInflate},
    {"big deflated, stream cut", kBigDeflated, {Packed(-200000)}, kDamaged, "deflate data"},
    // The zip64 records.
    {"zip64, no locator", kZip64, {Flip(Locator, 0)}, kNoDir, "no zip64 end of central directory"},
    {"zip64 record", kZip64, {Flip(Record, 0)}, kNoDir, "damaged zip64 end of central directory"},
    {"zip64 field short", kZip64, {Zip64Length(-8)}, kNoDir, "damaged zip64 field of notes/a.txt"},
    // Not the member's fault.
    {"encrypted", kStored, {Add(Central, 8, 2, 1)}, kFailed, "encrypted"},
    {"another method", kDeflated, {Add(Central, 10, 2, 4)}, kFailed, "packed by method 12"},
    {"the sink fails", kBigDeflated, {}, kFailed, "the disk is full", true},
    {"the sink fails, small", kStored, {}, kFailed, "the disk is full", true},
};

TEST(ZipReader, ReadsAndChecks) {
  using U = base::Unpacked;
  // The large ones go past the one-call inflater (1 MiB) and the chunk
  // (256 KiB) to the stream's loop.
  const std::map<Kind, std::string> data = {{kStored, Text(3000)},       {kDeflated, Text(50000)},
                                            {kBigStored, Text(600000)},  {kZip64, Text(5000)},
                                            {kBigDeflated, Text(3000000)}};
  std::map<Kind, Bytes> archives;
  for (const auto& d : data) {
    archives[d.first] =
        d.first == kZip64 ? Zip64Archive(d.second) : LibzipArchive(d.second, Deflated(d.first));
    ASSERT_FALSE(archives[d.first].empty());
  }
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = archives.at(c.kind);
    for (const Edit& e : c.edits) e.Apply(&bytes);
    const std::shared_ptr<base::Source> source = base::InMemory(bytes);
    std::vector<base::Member> members;
    std::string error;
    const bool read = base::ReadDirectory(*source, &members, &error);
    EXPECT_EQ(read ? "" : error, c.verdict == kNoDir ? c.said : "");
    if (!read || c.verdict == kNoDir) continue;
    ASSERT_EQ(members.size(), 1u);
    const base::Member& m = members[0];
    EXPECT_EQ(m.name, kName);
    if (c.edits.empty()) {
      EXPECT_EQ(m.method, Deflated(c.kind) ? 8 : 0);
    }
    std::uint64_t at = 0;
    error.clear();
    const bool ranged = base::DataRange(*source, m, &at, &error);
    EXPECT_EQ(ranged ? "" : error, c.verdict == kNoRange ? c.said : "");
    if (ranged) {
      EXPECT_EQ(at, DataAt(bytes));
    }
    const U unpacked =
        c.verdict == kWhole ? U::kDone : c.verdict == kFailed ? U::kFailed : U::kDamaged;
    Collect sink(c.sink_fails);
    error.clear();
    EXPECT_EQ(base::Unpack(*source, m, &sink, &error), unpacked);
    EXPECT_NE(error.find(c.said), std::string::npos) << error;
    if (unpacked == U::kDone) {
      EXPECT_EQ(error, "");
      EXPECT_TRUE(sink.got == data.at(c.kind)) << sink.got.size() << " bytes unpacked";
    }
    // Without a sink that fails, checking is unpacking.
    if (!c.sink_fails) {
      EXPECT_EQ(base::CheckData(*source, m, &error), unpacked);
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
  struct Row {
    std::uint64_t cut;  // bytes of inner left out at its end
    bool reads;
  };
  for (const Row c : {Row{0, true}, Row{1, false}, Row{22, false}}) {
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
