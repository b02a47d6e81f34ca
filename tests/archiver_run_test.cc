// One archiver run as a value: what it is handed reaches that run alone,
// through the stand-in archiver that checks it, and leaves this process's
// environment as it was.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/file_id.h"
#include "folder_tool/folder_tool.h"
#include "tests/support.h"

namespace {

using namespace testing_support;
using trevask::ArchiverRun;
using trevask::FolderTool;

const char* const kRunVariables[] = {"TREVASK_ARCHIVE_FOLDER", "TREVASK_SOURCE_FOLDER",
                                     "TREVASK_KEEP_MEMBERS", "TREVASK_UPDATE_LOCK"};

class ArchiverRunTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string pkzip = GetEnv("TREVASK_PKZIP");
    ASSERT_FALSE(pkzip.empty()) << "TREVASK_PKZIP is not set";
    PrependPath(fs::path(pkzip).parent_path());
    for (const char* name : kRunVariables) UnsetEnv(name);
    cwd_ = std::make_unique<WorkingDir>(scratch_.path());
    for (const char* dir : {"A", "B", "src", "other"}) fs::create_directory(dir);
    WriteFile(P("src/a.txt"), "alpha");
  }
  base::FileId Id(const std::string& dir) {
    base::FileId id;
    EXPECT_TRUE(base::GetFileId(dir, &id)) << dir;
    return id;
  }
  int Run(const std::string& archive, const ArchiverRun& run,
          trevask::ArchiverKind kind = trevask::kPkzip25) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = FolderTool().RunArchiver(archive, P("src/*.*"),
                                                trevask::FolderArchiveOptions(kind), kind, run);
    testing::internal::GetCapturedStdout();
    said_ = testing::internal::GetCapturedStderr();
    return status;
  }

  ScratchDir scratch_;
  std::unique_ptr<WorkingDir> cwd_;
  std::string said_;
};

// Runs one after another, each with identities of its own or none: a run
// sees only its own, and a plain run none, whatever an earlier run or this
// process's environment held.
TEST_F(ArchiverRunTest, EachRunSeesOnlyItsOwnFolders) {
  enum Handed { kNone, kArchiveA, kArchiveB, kSourceSrc, kSourceOther };
  const struct {
    Handed handed;
    const char* archive;
    bool written;
    const char* planted;  // in this process's own environment first, or ""
  } kRuns[] = {
      {kArchiveA, "A/1.zip", true, ""},
      {kArchiveB, "A/2.zip", false, ""},
      {kNone, "A/3.zip", true, ""},
      {kSourceOther, "A/4.zip", false, ""},
      {kSourceSrc, "A/5.zip", true, ""},
      {kNone, "A/6.zip", true, "TREVASK_ARCHIVE_FOLDER"},
      {kArchiveA, "A/7.zip", true, "TREVASK_SOURCE_FOLDER"},
  };
  const std::string wrong = base::FileIdText(Id("B"));
  for (const auto& r : kRuns) {
    SCOPED_TRACE(r.archive);
    ArchiverRun run;
    if (r.handed == kArchiveA) run.archive_folder = Id("A");
    if (r.handed == kArchiveB) run.archive_folder = Id("B");
    if (r.handed == kSourceSrc) run.source_folder = Id("src");
    if (r.handed == kSourceOther) run.source_folder = Id("other");
    if (*r.planted != '\0') SetEnv(r.planted, wrong);
    EXPECT_EQ(Run(P(r.archive), run) == 0, r.written) << said_;
    EXPECT_EQ(fs::exists(P(r.archive)), r.written);
    EXPECT_EQ(said_.find("is not the folder trevask made") != std::string::npos, !r.written)
        << said_;
    // This process's own environment is as the test left it.
    for (const char* name : kRunVariables) {
      EXPECT_EQ(GetEnv(name), name == std::string(r.planted) ? wrong : "") << name;
    }
    if (*r.planted != '\0') UnsetEnv(r.planted);
  }
}

// A run whose archiver cannot be found stops the caller's later runs, and
// only those that share its flag.
TEST_F(ArchiverRunTest, NotFoundStopsTheRunsThatShareItsFlag) {
  const std::string path = GetEnv("PATH");
  bool stopped = false;
  ArchiverRun run;
  run.stopped = &stopped;
  SetEnv("PATH", (scratch_.path() / "other").string());
  // A kind not looked for before: where one was found is kept (POSIX).
  EXPECT_EQ(Run(P("A/1.zip"), run, trevask::kPkzip8), trevask::kCommandNotFoundStatus) << said_;
  EXPECT_TRUE(stopped);
  SetEnv("PATH", path);
  EXPECT_EQ(Run(P("A/2.zip"), run), -1);
  EXPECT_FALSE(fs::exists(P("A/2.zip")));
  EXPECT_EQ(Run(P("A/3.zip"), ArchiverRun()), 0) << said_;
}

#ifdef _WIN32
// The interpreter is started as system() starts it: COMSPEC's program with
// "/c" and the line, else cmd.exe; nothing started when COMSPEC's program
// cannot be run.
TEST_F(ArchiverRunTest, TheInterpreterIsCOMSPECsAsSystemTakesIt) {
  const std::string recorder = GetEnv("TREVASK_RECORDER_DIR");
  ASSERT_FALSE(recorder.empty()) << "TREVASK_RECORDER_DIR is not set";
  const std::string comspec = GetEnv("COMSPEC");
  WriteFile("text.exe", "not a program");
  const fs::path log = scratch_.path() / "log";
  SetEnv("TREVASK_RECORD_LOG", log.string());
  const struct {
    std::string comspec;
    int status;
    bool recorded;  // by the recorder standing in for the interpreter
  } kCases[] = {
      {recorder + "\\PKZIP.EXE", 0, true},
      {(scratch_.path() / "missing.exe").string(), 0, false},
      {"", 0, false},
      {(scratch_.path() / "text.exe").string(), -1, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.comspec);
    fs::remove(log);
    fs::remove(P("A/x.zip"));
    SetEnv("COMSPEC", c.comspec);
    bool stopped = false;
    ArchiverRun run;
    run.stopped = &stopped;
    EXPECT_EQ(Run(P("A/x.zip"), run), c.status) << said_;
    SetEnv("COMSPEC", comspec);
    EXPECT_EQ(stopped, c.status == -1);
    EXPECT_EQ(said_.find("cannot start the command interpreter") != std::string::npos,
              c.status == -1)
        << said_;
    ASSERT_EQ(fs::exists(log), c.recorded);
    if (c.recorded) {
      const std::vector<RecordedRun> runs = ReadRecordLog(log);
      ASSERT_EQ(runs.size(), 1u);
      EXPECT_EQ(runs[0].args, (std::vector<std::string>{"/c", "PKZIP.EXE", "-a", P("A/x.zip"),
                                                        P("src/*.*")}));
    } else {
      EXPECT_EQ(fs::exists(P("A/x.zip")), c.status == 0);
    }
  }
}
#endif

}  // namespace
