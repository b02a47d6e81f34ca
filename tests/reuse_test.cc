// When a folder archive's update keeps a member as it is and when it adds
// the file again: its data by size and bytes, its record by the header's
// time and the exact one, and the mark of a file gone from the folder.
#include <chrono>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include "archiver/add_files.h"
#include "base/system.h"
#include "base/zip_directory.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

class Folder {
 public:
  Folder() : src_(scratch_.path() / "src"), file_(src_ / "f") {
    fs::create_directory(src_);
    WriteFile(file_, "data");
  }
  const fs::path& file() const { return file_; }

  archiver::Summary Update() {
    archiver::Request request;
    request.archive = (scratch_.path() / "a.zip").string();
    request.folder = src_.string();
    archiver::Summary summary;
    std::string error;
    EXPECT_TRUE(archiver::AddFiles(request, &summary, &error)) << error;
    return summary;
  }

  base::Member Member() {
    std::string error;
    auto archive = base::OpenFile((scratch_.path() / "a.zip").string(), &error);
    std::vector<base::Member> members;
    EXPECT_TRUE(archive && base::ReadDirectory(*archive, &members, &error)) << error;
    return members.empty() ? base::Member() : members[0];
  }

  // Moved by seconds, the part below them kept.
  void Shift(std::chrono::seconds by) {
#ifdef _WIN32
    // The 32-bit runtime's std::filesystem takes times through a 32-bit
    // time_t and would wrap one after 2038.
    HANDLE h = CreateFileW(file_.wstring().c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME written;
    ULARGE_INTEGER t;
    ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &written));
    t.LowPart = written.dwLowDateTime;
    t.HighPart = written.dwHighDateTime;
    t.QuadPart += static_cast<std::int64_t>(by.count()) * 10000000;
    written.dwLowDateTime = t.LowPart;
    written.dwHighDateTime = t.HighPart;
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &written));
    CloseHandle(h);
#else
    fs::last_write_time(file_, fs::last_write_time(file_) + by);
#endif
  }
  // Moved by one second within the two the header's time holds.
  void InHeaderTime() { Shift(std::chrono::seconds(Member().unix_time % 2 == 0 ? 1 : -1)); }
  // Beyond the extended field's 32 bits: only the header holds it.
  void After2038() { Shift(std::chrono::hours(100 * 365 * 24)); }
  void Rewrite(const std::string& bytes) {
    const auto time = fs::last_write_time(file_);
    WriteFile(file_, bytes);
    fs::last_write_time(file_, time);
  }
  void OtherBytes() { Rewrite("DATA"); }
  void OtherSize() { Rewrite("data!"); }
  void Remove() { fs::remove(file_); }
  // Gone, and the update after marks it so.
  void RemoveAndUpdate() {
    removed_at_ = fs::last_write_time(file_);
    Remove();
    Update();
  }
  // Back as it was before it was gone.
  void PutBack() {
    RemoveAndUpdate();
    WriteFile(file_, "data");
    fs::last_write_time(file_, removed_at_);
  }

 private:
  ScratchDir scratch_;
  fs::path src_, file_;
  fs::file_time_type removed_at_;
};

TEST(Reuse, AMemberIsKeptOnlyWhileItHoldsTheFileAndItsTimes) {
  using Step = void (Folder::*)();
  struct Case {
    const char* what;
    Step before, change;  // nullptr: nothing
    std::uint64_t unchanged, kept;
    bool rewritten, gone, exact_time;
  };
  const Case cases[] = {
      {"nothing changed", nullptr, nullptr, 1, 0, false, false, true},
      {"other bytes, same size and time", nullptr, &Folder::OtherBytes, 0, 0, true, false, true},
      {"another size", nullptr, &Folder::OtherSize, 0, 0, true, false, true},
      {"a second on, same header time", nullptr, &Folder::InHeaderTime, 1, 0, true, false, true},
      {"gone", nullptr, &Folder::Remove, 0, 1, true, true, true},
      {"gone, and so marked before", nullptr, &Folder::RemoveAndUpdate, 0, 1, false, true, true},
      {"back after it was gone", nullptr, &Folder::PutBack, 1, 0, true, false, true},
      {"a time after 2038", &Folder::After2038, nullptr, 1, 0, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folder folder;
    if (c.before) (folder.*c.before)();
    folder.Update();
    if (c.change) (folder.*c.change)();
    const archiver::Summary summary = folder.Update();
    EXPECT_EQ(summary.unchanged, c.unchanged);
    EXPECT_EQ(summary.kept, c.kept);
    EXPECT_EQ(summary.rewritten, c.rewritten);
    const base::Member member = folder.Member();
    EXPECT_EQ(member.gone, c.gone);
    EXPECT_EQ(member.has_unix_time, c.exact_time);
    std::vector<base::Entry> entries;
    std::string error;
    if (c.exact_time && !c.gone && base::ListFolder(folder.file().parent_path().string(),
                                                    &entries, &error)) {
      EXPECT_EQ(member.unix_time, entries.at(0).mtime);
    }
  }
}

}  // namespace
