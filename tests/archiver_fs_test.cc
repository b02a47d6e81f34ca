// The archivers' reading of source files: never blocked by what a file
// became after the listing, each file opened once for all its pieces.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "archiver/archiver_fs.h"
#include "archiver/pipeline.h"
#include "tests/support.h"

namespace {

using namespace testing_support;
using archiver::Opened;

// A hang fails the test instead of stopping the suite.
class Bounded : public ::testing::Test {
 protected:
  void SetUp() override { alarm(20); }
  void TearDown() override { alarm(0); }
};

void MakeSocket(const std::string& path) {
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(s);
}

TEST_F(Bounded, WhatAListedFileBecameBeforeItIsOpened) {
  struct Case {
    const char* label;
    std::function<void(const std::string&)> swap;
    Opened expected;
  };
  const Case cases[] = {
      {"still a file", [](const std::string&) {}, Opened::kFile},
      {"a FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); },
       Opened::kNotRegular},
      {"a folder", [](const std::string& p) { fs::create_directory(p); }, Opened::kNotRegular},
      {"a socket", MakeSocket, Opened::kNotRegular},
      {"a link to a FIFO",
       [](const std::string& p) {
         ASSERT_EQ(mkfifo((p + ".fifo").c_str(), 0644), 0);
         fs::create_symlink(p + ".fifo", p);
       },
       Opened::kNotRegular},
      {"gone", [](const std::string&) {}, Opened::kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir scratch;
    WriteFile(scratch.path() / "f", "data");
    std::vector<archiver::Entry> entries;
    std::string error;
    ASSERT_TRUE(archiver::ListFolder(scratch.path().string(), &entries, &error));
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_EQ(entries[0].type, archiver::Entry::kFile);
    std::string path = (scratch.path() / "f").string();
    if (c.expected != Opened::kFile) fs::remove(path);
    c.swap(path);
    archiver::FileHandle handle;
    EXPECT_EQ(archiver::OpenRegular(path, &handle, &error), c.expected) << error;
    if (c.expected == Opened::kFile) {
      std::vector<unsigned char> bytes;
      EXPECT_TRUE(archiver::ReadRange(handle, path, 0, 4, true, &bytes, &error)) << error;
      EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "data");
      archiver::CloseSource(handle);
    } else {
      EXPECT_EQ(handle, archiver::kNoFile);
    }
  }
}

TEST_F(Bounded, PipelineSkipsAFileThatBecameAFifo) {
  for (int threads : {0, 2}) {
    SCOPED_TRACE(threads);
    ScratchDir scratch;
    std::string path = (scratch.path() / "f").string();
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    archiver::Pipeline pipeline({archiver::FileTask{path, 3 * archiver::kWholeFileLimit, false}},
                                threads);
    const archiver::Piece& piece = pipeline.Get(0, 0);
    EXPECT_TRUE(piece.not_regular);
    EXPECT_FALSE(piece.error.empty());
  }
}

TEST_F(Bounded, AllPiecesOfAFileComeFromTheFileFirstOpened) {
  ScratchDir scratch;
  std::string path = (scratch.path() / "f").string();
  std::uint64_t size = archiver::kWholeFileLimit + archiver::kPieceSize;
  WriteFile(path, std::string(size, 'a'));
  archiver::Pipeline pipeline({archiver::FileTask{path, size, true}}, 0);
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

}  // namespace
