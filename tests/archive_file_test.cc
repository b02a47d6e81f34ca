// The archive file as libzip's source: what another process does to the
// archive while it is updated is never undone by putting the update in
// its place.
#include <zip.h>

#include <gtest/gtest.h>

#include "archiver/archive_file.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

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

}  // namespace
