// The archive file as libzip's source: what another process does to the
// archive while it is updated is never undone by putting the update in
// its place.
#include <zip.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "archiver/archive_file.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

// Bytes this process has read so far, where the system counts them
// (Linux); -1 elsewhere. Under Wine the count holds Wine's own reads.
std::int64_t BytesRead() {
#ifndef _WIN32
  std::ifstream io("/proc/self/io");
  std::string key;
  std::int64_t value;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
#endif
  return -1;
}

std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string bytes;
  for (std::uint32_t x = seed; bytes.size() < size; x = x * 1103515245 + 12345) {
    bytes.push_back(static_cast<char>(x >> 24));
  }
  return bytes;
}

// A new archive at path of one member, written through the archivers' source.
void WriteOneMember(const std::string& path, const std::string& bytes) {
  zip_error_t ze;
  zip_error_init(&ze);
  zip_t* za = zip_open_from_source(archiver::ArchiveFileSource(path, &ze), ZIP_CREATE, &ze);
  ASSERT_NE(za, nullptr);
  ASSERT_GE(zip_file_add(za, "old", zip_source_buffer(za, bytes.data(), bytes.size(), 0), 0), 0);
  ASSERT_EQ(zip_close(za), 0) << zip_strerror(za);
  zip_error_fini(&ze);
}

// Adding a member costs the same however much was written before it:
// nothing written is read again, whether the member's header is patched
// while still held or, after a large member, in the file.
TEST(ArchiveFile, WritingAnArchiveReadsNothingBackFromIt) {
  struct Case {
    const char* what;
    std::size_t old_size;  // of a member already in the archive, 0 for none
    std::size_t large;     // a member written between the small ones
  };
  const Case cases[] = {
      {"new, small members", 0, 0},
      {"new, a member larger than what is held", 0, 3u << 20},
      {"updated", 600u << 10, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    const std::string path = (scratch.path() / "a.zip").string();
    zip_error_t ze;
    zip_error_init(&ze);
    std::vector<std::pair<std::string, std::string>> members;
    const std::string old_bytes = Noise(c.old_size, 7);
    if (c.old_size > 0) {
      ASSERT_NO_FATAL_FAILURE(WriteOneMember(path, old_bytes));
      members.emplace_back("old", old_bytes);
    }
    for (int i = 0; i < 2000; ++i) {
      members.emplace_back("f" + std::to_string(i), std::to_string(i * 7919) + "\n");
      if (c.large > 0 && i == 1000) members.emplace_back("large", Noise(c.large, 11));
    }
    zip_t* za = zip_open_from_source(archiver::ArchiveFileSource(path, &ze), ZIP_CREATE, &ze);
    ASSERT_NE(za, nullptr);
    for (const auto& m : members) {
      if (m.first == "old") continue;
      zip_source_t* data = zip_source_buffer(za, m.second.data(), m.second.size(), 0);
      ASSERT_GE(zip_file_add(za, m.first.c_str(), data, 0), 0);
    }
    // Less the bytes of one look at the count itself.
    const std::int64_t first = BytesRead(), before = BytesRead();
    ASSERT_EQ(zip_close(za), 0) << zip_strerror(za);
    const std::int64_t after = BytesRead();
    if (first >= 0) {
      // An old member is copied: its bytes are read once, with its header.
      EXPECT_LE((after - before) - (before - first), static_cast<std::int64_t>(c.old_size + 200));
    }

    za = zip_open(path.c_str(), ZIP_CHECKCONS, nullptr);
    ASSERT_NE(za, nullptr);
    ASSERT_EQ(zip_get_num_entries(za, 0), static_cast<zip_int64_t>(members.size()));
    for (const auto& m : members) {
      std::string got(m.second.size() + 1, '\0');
      zip_file_t* f = zip_fopen(za, m.first.c_str(), 0);
      ASSERT_NE(f, nullptr) << m.first;
      got.resize(static_cast<std::size_t>(zip_fread(f, &got[0], got.size())));
      EXPECT_EQ(zip_fclose(f), 0) << m.first;  // the CRC is checked here
      EXPECT_EQ(got, m.second) << m.first;
    }
    zip_close(za);
    zip_error_fini(&ze);
  }
}

TEST(ArchiveFile, AnArchiveChangedWhileUpdatedIsLeftAsTheOtherLeftIt) {
  struct Case {
    const char* what;
    int code;
    void (*change)(const std::string& path);
  };
  const Case cases[] = {
      {"grew", ZIP_ER_CHANGED,
       [](const std::string& p) { WriteFile(p, ReadFile(p) + "appended"); }},
      {"shrank", ZIP_ER_EOF, [](const std::string& p) { fs::resize_file(p, 100); }},
#ifndef _WIN32
      // Windows lets nobody rename over a file held open without leave to.
      {"replaced", ZIP_ER_CHANGED,
       [](const std::string& p) {
         WriteFile(p + ".other", "another archive");
         fs::rename(p + ".other", p);
       }},
#endif
  };
  // Spans more than one read window, so that the old member is read again.
  const std::string old_bytes = Noise(600u << 10, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    const std::string path = (scratch.path() / "a.zip").string();
    ASSERT_NO_FATAL_FAILURE(WriteOneMember(path, old_bytes));
    zip_error_t ze;
    zip_error_init(&ze);
    zip_t* za = zip_open_from_source(archiver::ArchiveFileSource(path, &ze), 0, &ze);
    ASSERT_NE(za, nullptr);
    zip_source_t* data = zip_source_buffer(za, "new", 3, 0);
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

}  // namespace
