// What one archiver run is handed reaches that run alone, as the stand-in
// archiver checks it; this process's environment stays as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "folder_tool/folder_tool.h"
#include "tests/support.h"

namespace {

using namespace testing_support;
using trevask::ArchiverRun;

const char* const kRunVariables[] = {"TREVASK_ARCHIVE_FOLDER", "TREVASK_SOURCE_FOLDER",
                                     "TREVASK_KEEP_MEMBERS", "TREVASK_UPDATE_LOCK"};

class ArchiverRunTest : public testing::Test {
 protected:
  void SetUp() override {
    PrependPath(fs::path(GetEnv("TREVASK_PKZIP")).parent_path());
    for (const char* name : kRunVariables) UnsetEnv(name);
    for (const char* dir : {"A", "B", "src"}) fs::create_directory(dir);
    WriteFile(P("src/a.txt"), "alpha");
  }
  base::FileId Id(const std::string& dir) {
    base::FileId id;
    EXPECT_TRUE(base::GetFileId(dir, &id)) << dir;
    return id;
  }
  int Run(const std::string& archive, const ArchiverRun& run) {
    testing::internal::CaptureStderr();
    const int status =
        trevask::FolderTool().RunArchiver(P(archive), P("src/*.*"), "-a", trevask::kPkzip25, run);
    said_ = testing::internal::GetCapturedStderr();
    return status;
  }

  ScratchDir scratch_;
  WorkingDir cwd_{scratch_.path()};
  std::string said_;
};

// A run sees only its own identities, a plain run none, whatever an
// earlier run or this process's own environment held.
TEST_F(ArchiverRunTest, EachRunSeesOnlyItsOwnFolders) {
  const struct {
    const char* archive_folder;  // handed, or ""
    const char* source_folder;
    bool written;
    const char* planted;  // in this process's environment first, or ""
  } kRuns[] = {{"A", "", true, ""},
               {"B", "", false, ""},
               {"", "", true, ""},
               {"", "A", false, ""},
               {"", "", true, "TREVASK_ARCHIVE_FOLDER"},
               {"A", "", true, "TREVASK_SOURCE_FOLDER"}};
  const std::string wrong = base::FileIdText(Id("B"));
  int n = 0;
  for (const auto& r : kRuns) {
    const std::string archive = "A/" + std::to_string(++n) + ".zip";
    SCOPED_TRACE(archive);
    ArchiverRun run;
    if (*r.archive_folder != '\0') run.archive_folder = Id(r.archive_folder);
    if (*r.source_folder != '\0') run.source_folder = Id(r.source_folder);
    if (*r.planted != '\0') SetEnv(r.planted, wrong);
    EXPECT_EQ(Run(archive, run) == 0, r.written) << said_;
    EXPECT_EQ(fs::exists(P(archive)), r.written);
    EXPECT_EQ(said_.find("is not the folder trevask made") != std::string::npos, !r.written);
    for (const char* name : kRunVariables) {
      EXPECT_EQ(GetEnv(name), name == std::string(r.planted) ? wrong : "") << name;
    }
    if (*r.planted != '\0') UnsetEnv(r.planted);
  }
}

#ifdef _WIN32
// As system(): COMSPEC's program with "/c" and the line, else cmd.exe;
// nothing started when COMSPEC's program exists and cannot be run.
TEST_F(ArchiverRunTest, TheInterpreterIsCOMSPECsAsSystemTakesIt) {
  const std::string comspec = GetEnv("COMSPEC");
  WriteFile("text.exe", "not a program");
  const fs::path log = scratch_.path() / "log";
  SetEnv("TREVASK_RECORD_LOG", log.string());
  // COMSPEC, and the status; the recorder, first, stands in for cmd.exe.
  const std::pair<std::string, int> kCases[] = {
      {GetEnv("TREVASK_RECORDER_DIR") + "\\PKZIP.EXE", 0},
      {(scratch_.path() / "missing.exe").string(), 0},
      {(scratch_.path() / "text.exe").string(), -1}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.first);
    fs::remove(log);
    fs::remove(P("A/x.zip"));
    SetEnv("COMSPEC", c.first);
    bool stopped = false;
    ArchiverRun run;
    run.stopped = &stopped;
    EXPECT_EQ(Run("A/x.zip", run), c.second) << said_;
    SetEnv("COMSPEC", comspec);
    EXPECT_EQ(stopped, c.second == -1);
    EXPECT_EQ(said_.find("cannot start the command interpreter") != std::string::npos,
              c.second == -1);
    EXPECT_EQ(fs::exists(P("A/x.zip")), c.second == 0);
    const bool recorded = &c == &kCases[0];
    ASSERT_EQ(fs::exists(log), recorded);
    if (recorded) {
      EXPECT_EQ(ReadRecordLog(log).at(0).args,
                (std::vector<std::string>{"/c", "PKZIP.EXE", "-a", P("A/x.zip"), P("src/*.*")}));
    }
  }
}
#endif

}  // namespace
