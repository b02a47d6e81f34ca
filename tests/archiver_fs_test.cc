// The archivers below their process: the reading of source files, never
// blocked by what a file became after the listing, each file opened once
// for all its pieces; and the folder a command line's pattern names.
#include "archiver/archiver_fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archiver/add_files.h"
#include "archiver/archive_file.h"
#include "archiver/pipeline.h"
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

// What another process does to the archive while it is updated is never
// undone by putting the update in its place.
TEST(ArchiveFile, AnArchiveChangedWhileUpdatedIsLeftAsTheOtherLeftIt) {
  struct Case {
    const char* what;
    int code;
    void (*change)(const std::string& path);
  };
  const Case cases[] = {
      {"grew", ZIP_ER_CHANGED,
       [](const std::string& p) { WriteFile(p, ReadFile(p) + "appended"); }},
      {"shrank", ZIP_ER_EOF, [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 100), 0); }},
      {"replaced", ZIP_ER_CHANGED,
       [](const std::string& p) {
         WriteFile(p + ".other", "another archive");
         fs::rename(p + ".other", p);
       }},
  };
  // Spans more than one read window, so that the old member is read again.
  std::string old_bytes;
  for (std::uint32_t x = 1; old_bytes.size() < (600u << 10); x = x * 1103515245 + 12345) {
    old_bytes.push_back(static_cast<char>(x >> 24));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    const std::string path = (scratch.path() / "a.zip").string();
    zip_error_t ze;
    zip_error_init(&ze);
    zip_t* za = zip_open_from_source(archiver::ArchiveFileSource(path, &ze), ZIP_CREATE, &ze);
    ASSERT_NE(za, nullptr);
    zip_source_t* data = zip_source_buffer(za, old_bytes.data(), old_bytes.size(), 0);
    ASSERT_GE(zip_file_add(za, "old", data, 0), 0);
    ASSERT_EQ(zip_close(za), 0) << zip_strerror(za);

    za = zip_open_from_source(archiver::ArchiveFileSource(path, &ze), 0, &ze);
    ASSERT_NE(za, nullptr);
    data = zip_source_buffer(za, "new", 3, 0);
    ASSERT_GE(zip_file_add(za, "new", data, 0), 0);
    c.change(path);
    const std::string left = ReadFile(path);
    ASSERT_NE(zip_close(za), 0);
    EXPECT_EQ(zip_error_code_zip(zip_get_error(za)), c.code) << zip_strerror(za);
    zip_discard(za);
    zip_error_fini(&ze);
    EXPECT_EQ(ReadFile(path), left);
    EXPECT_EQ(ListTree(scratch.path()), std::vector<std::string>{"a.zip"});
  }
}

// "/*.*" names the root, not ""; no test archives / to see it.
TEST(ParseArguments, APatternAtTheRootNamesTheRoot) {
  archiver::Request request;
  std::string error;
  ASSERT_TRUE(archiver::ParseArguments(1, {"-a", "x.zip", "/*.*"}, &request, &error)) << error;
  EXPECT_EQ(request.folder, "/");
}

}  // namespace
