// The pipeline's reading of source files, below the archivers' process:
// never blocked by what a file became after the listing, each file opened
// once for all its pieces.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include <gtest/gtest.h>

#include "archiver/pipeline.h"
#include "base/system.h"
#include "tests/support.h"

namespace {

using namespace testing_support;
using base::Opened;

// A hang fails the test instead of stopping the suite.
class Bounded : public ::testing::Test {
 protected:
  void SetUp() override { alarm(20); }
  void TearDown() override { alarm(0); }
};

TEST_F(Bounded, AFileThatBecameAFifoAfterTheListingIsNotOpened) {
  for (bool through_link : {false, true}) {
    SCOPED_TRACE(through_link ? "a link to a FIFO" : "a FIFO");
    ScratchDir scratch;
    std::string path = (scratch.path() / "f").string();
    WriteFile(path, "data");
    std::vector<base::Entry> entries;
    std::string error;
    ASSERT_TRUE(base::ListFolder(scratch.path().string(), &entries, &error));
    ASSERT_EQ(entries.at(0).type, base::Entry::kFile);
    fs::remove(path);
    ASSERT_EQ(mkfifo((through_link ? path + ".fifo" : path).c_str(), 0644), 0);
    if (through_link) fs::create_symlink(path + ".fifo", path);
    base::FileHandle handle;
    EXPECT_EQ(base::OpenRegular(path, &handle, &error), Opened::kNotRegular) << error;
    EXPECT_EQ(handle, base::kNoFile);
  }
}

// A file of one piece is opened by its own job: what it became since the
// listing is found there too, on the caller's thread or a worker's.
TEST_F(Bounded, ASmallFileThatBecameAFifoIsSkippedUnread) {
  for (int threads : {0, 2}) {
    SCOPED_TRACE(threads);
    ScratchDir scratch;
    const std::string fifo = (scratch.path() / "f").string();
    const std::string plain = (scratch.path() / "g").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    WriteFile(plain, "data");
    archiver::Pipeline pipeline({archiver::FileTask{fifo, 4}, archiver::FileTask{plain, 4}},
                                threads);
    const archiver::Piece& skipped = pipeline.Get(0, 0);
    EXPECT_TRUE(skipped.not_regular);
    EXPECT_EQ(skipped.error, "not a regular file");
    const archiver::Piece& read = pipeline.Get(1, 0);
    EXPECT_FALSE(read.not_regular);
    EXPECT_TRUE(read.error.empty()) << read.error;
    EXPECT_EQ(std::string(read.bytes(), read.bytes() + read.length()), "data");
  }
}

TEST_F(Bounded, AllPiecesOfAFileComeFromTheFileFirstOpened) {
  ScratchDir scratch;
  std::string path = (scratch.path() / "f").string();
  std::uint64_t size = archiver::kWholeFileLimit + archiver::kPieceSize;
  WriteFile(path, std::string(size, 'a'));
  archiver::Pipeline pipeline({archiver::FileTask{path, size}}, 0);
  ASSERT_EQ(pipeline.PieceCount(0), 9u);
  ASSERT_TRUE(pipeline.Get(0, 0).error.empty());
  // Replaced after its first piece: the rest still from the original.
  WriteFile(path + ".new", std::string(size, 'b'));
  fs::rename(path + ".new", path);
  for (std::size_t k = 1; k < pipeline.PieceCount(0); ++k) {
    const archiver::Piece& piece = pipeline.Get(0, k);
    ASSERT_TRUE(piece.error.empty()) << piece.error;
    EXPECT_EQ(piece.bytes()[0], 'a') << k;
    pipeline.Release(0, k);
  }
}

TEST_F(Bounded, AFileWrittenToWhileItsPiecesAreReadFailsItsLastPiece) {
  ScratchDir scratch;
  std::string path = (scratch.path() / "f").string();
  std::uint64_t size = archiver::kWholeFileLimit + archiver::kPieceSize;
  WriteFile(path, std::string(size, 'a'));
  // Long ago, so that the write below moves it even where times are coarse.
  fs::last_write_time(path, fs::last_write_time(path) - std::chrono::hours(24 * 365));
  archiver::Pipeline pipeline({archiver::FileTask{path, size}}, 0);
  ASSERT_TRUE(pipeline.Get(0, 0).error.empty());
  {
    // In place, the size kept: only the file's times tell.
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fputc('b', f);
    std::fclose(f);
  }
  const std::size_t last = pipeline.PieceCount(0) - 1;
  for (std::size_t k = 1; k < last; ++k) EXPECT_TRUE(pipeline.Get(0, k).error.empty()) << k;
  EXPECT_EQ(pipeline.Get(0, last).error, path + " changed while it was read");
}

}  // namespace
