// The extended timestamp field's bytes and the times they hold; the
// archivers' temporary names and the rule that recognises them.
#include <gtest/gtest.h>

#include "base/archiver_temp.h"
#include "base/extended_time.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(ExtendedTime, TheFieldsBytesGiveTheTimesItsFlagsName) {
  struct Case {
    const char* what;
    Bytes data;
    std::optional<std::int64_t> mtime, atime;
  };
  const Case cases[] = {
      {"modification", {1, 0x78, 0x56, 0x34, 0x12}, 0x12345678, std::nullopt},
      {"before 1970, signed", {1, 0xFF, 0xFF, 0xFF, 0xFF}, -1, std::nullopt},
      {"both", {3, 1, 0, 0, 0, 2, 0, 0, 0}, 1, 2},
      {"access alone", {2, 2, 0, 0, 0}, std::nullopt, 2},
      // The central directory's copy names both but holds one.
      {"both named, one held", {3, 1, 0, 0, 0}, 1, std::nullopt},
      {"too short", {1, 1, 0, 0}, std::nullopt, std::nullopt},
      {"empty", {}, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const base::ExtendedTime times = base::DecodeExtendedTime(c.data.data(), c.data.size());
    EXPECT_EQ(times.mtime, c.mtime);
    EXPECT_EQ(times.atime, c.atime);
    // What the encoder writes: flags for exactly the times held.
    if (!c.data.empty() && c.data[0] == (c.mtime ? 1 : 0) + (c.atime ? 2 : 0)) {
      EXPECT_EQ(base::EncodeExtendedTime({c.mtime, c.atime}), c.data);
    }
  }
  EXPECT_TRUE(base::FitsExtendedTime(INT32_MIN));
  EXPECT_FALSE(base::FitsExtendedTime(std::int64_t{INT32_MAX} + 1));
}

TEST(ArchiverTempName, EveryNameTheArchiversGiveIsRecognised) {
  for (unsigned long long mix : {0ULL, 35ULL, 36ULL, 0x123456789abcdefULL, ~0ULL}) {
    SCOPED_TRACE(mix);
    const std::string name = base::ArchiverTempName(mix);
    EXPECT_TRUE(base::IsArchiverTempName(name)) << name;
    EXPECT_FALSE(base::IsArchiverTempName(name + "x")) << name;
  }
  EXPECT_NE(base::ArchiverTempName(1), base::ArchiverTempName(2));
  EXPECT_TRUE(base::IsArchiverTempName(base::WindowsArchiverTempName(12, 345)));
}

}  // namespace
