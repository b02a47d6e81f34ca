// The walk in process over real trees, with the recording archiver first on
// PATH: which folders get an archiver run, in which order, and what a
// failure, a missing archiver or an interruption leaves out.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "tests/support.h"
#include "walk/compress_folder.h"

namespace {

using namespace testing_support;
using Names = std::vector<std::string>;

struct Done : trevask::WalkStatus {  // the folders counted done, by name
  Names folders;
  void ArchiverStarting(const std::string&) override {}
  void FolderArchived(const std::string& dir) override {
    folders.push_back(fs::path(dir).filename().string());
  }
};

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = GetEnv("PATH");
    PrependPath(GetEnv("TREVASK_RECORDER_DIR"));
    SetEnv("TREVASK_RECORD_LOG", "record.log");
    for (std::string v : {"FAIL_TEXT", "FAIL_KILL", "HANG_RUN"}) UnsetEnv("TREVASK_RECORD_" + v);
    Enter("tree");
  }
  void TearDown() override { cwd_.reset(), SetEnv("PATH", path_); }
  // Data holds A (files only) and B, which holds X (files only) and Y, which
  // holds Z: no folder has two leaves or two with subfolders, so the order
  // does not depend on the order of listing.
  void Enter(const std::string& name) {
    cwd_.reset();
    fs::create_directory(scratch_.path() / name);
    cwd_ = std::make_unique<WorkingDir>(scratch_.path() / name);
    for (const std::string file : {"d", "A/a", "B/b", "B/X/x", "B/Y/y", "B/Y/Z/z"}) {
      fs::create_directories(fs::path(P("src/Data/" + file)).parent_path());
      WriteFile(P("src/Data/" + file + ".txt"), file);
    }
  }
  int Walk(Done* done, trevask::ArchiveRuns* runs = nullptr) {
    return trevask::CompressFolder(P("src/Data"), "T", trevask::kPkzip25, P("out/B.zip"), done,
                                   runs);
  }
  Names Runs() {  // the folder each archiver run read
    Names names;
    if (!fs::exists("record.log")) return names;
    for (const RecordedRun& run : ReadRecordLog("record.log")) {
      names.push_back(fs::path(run.args.back()).parent_path().filename().string());
    }
    return names;
  }
  ScratchDir scratch_;
  std::string path_;
  std::unique_ptr<WorkingDir> cwd_;
};

TEST_F(WalkTest, OrderAndFailures) {
  const Names all = {"Y", "Z", "B", "X", "Data", "A"};
  // fail: whose archiver run fails; plant: "kill": it is killed, "clash": Z
  // holds a folder Z.zip, "loop": Z holds a link to B; skipped: named after;
  // failed: the bundle member noted as failed.
  const struct {
    std::string fail, plant;
    int result;
    Names runs;
    std::string skipped, failed;
  } cases[] = {
      {"", "", 0, all, "", ""},
      // A failure leaves out only its folder's leaves not yet archived.
      {"Y", "", -1, {"Y", "B", "X", "Data", "A"}, "B/Y/Z", "B/Y/Y.zip"},
      {"Z", "", -1, all, "", "B/Y/Z/Z.zip"},
      {"B", "", -1, {"Y", "Z", "B", "Data", "A"}, "B/X", "B/B.zip"},
      {"B", "kill", -1, {"Y", "Z", "B", "Data", "A"}, "B/X", "B/B.zip"},
      {"Data", "", -1, {"Y", "Z", "B", "X", "Data"}, "A", "Data.zip"},
      {"A", "", -1, all, "", "A/A.zip"},
      // Z's archive would sit where its subfolder's mirror goes: not run.
      {"", "clash", -1, {"Y", "B", "X", "Data", "A"}, "B/Y/Z/Z.zip", "B/Y/Z/Z.zip"},
      // The loop is not entered; Z, now with a subfolder, comes before Y.
      {"", "loop", 0, {"Z", "Y", "B", "X", "Data", "A"}, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fail + " " + c.plant);
    Enter("case " + c.fail + c.plant);
    SetEnv("TREVASK_RECORD_FAIL_TEXT", c.fail.empty() ? "" : c.fail + ".zip");
    SetEnv("TREVASK_RECORD_FAIL_KILL", c.plant == "kill" ? "1" : "");
    if (c.plant == "clash") fs::create_directory(P("src/Data/B/Y/Z/Z.zip"));
    std::error_code no_link;
    if (c.plant == "loop") fs::create_directory_symlink("../..", P("src/Data/B/Y/Z/up"), no_link);
    if (no_link) continue;  // not on this platform
    Done done;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    trevask::ArchiveRuns noted;
    const int result = Walk(&done, &noted);
    const std::string err = testing::internal::GetCapturedStderr();
    // One failure is said once, whatever it leaves out.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), result ? "PKZIP Compress Error!" : "");
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Runs(), c.runs);
    Names succeeded = c.runs;  // a failed run is never counted done
    succeeded.erase(std::remove(succeeded.begin(), succeeded.end(), c.fail), succeeded.end());
    EXPECT_EQ(done.folders, succeeded);
    EXPECT_EQ(noted.failed, c.failed.empty() ? Names() : Names{c.failed});
    EXPECT_EQ(noted.written.size(), succeeded.size());
    EXPECT_EQ(noted.written.count("B/Y/Y.zip"), c.fail == "Y" ? 0u : 1u);
    const std::string said = c.skipped.empty() ? "" : ": " + P("src/Data/" + c.skipped) + "\n";
    EXPECT_EQ(err.find("after that failure" + said) != std::string::npos, !said.empty()) << err;
  }
}

TEST_F(WalkTest, MissingArchiverStopsEverything) {
  SetEnv("PATH", (scratch_.path() / "nothing").string());
  // In a fresh process: where an archiver was found is kept for the run.
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Nothing is run or made after the first try, not even mirror folders.
  auto walk = [this](Done done) {
    return Walk(&done) == -1 && Runs().empty() && done.folders.empty() &&
           !fs::exists(P("T/Data/B/X")) && !fs::exists(P("T/Data/A"));
  };
  EXPECT_EXIT(std::_Exit(walk({}) ? 0 : 1), testing::ExitedWithCode(0), "PKZIP.EXE was not found");
  GTEST_FLAG_SET(death_test_style, style);
}

#ifndef _WIN32
TEST_F(WalkTest, InterruptionEndsTheRun) {
  // SIGTERM while Z's archiver runs ends the run by it; nothing runs after.
  SetEnv("TREVASK_RECORD_HANG_RUN", "2");
  SetEnv("TREVASK_RECORD_HANG_FILE", "beat");
  auto walk = [this](Done done) {
    trevask::InstallInterruptHandling(nullptr);
    std::thread([] {
      while (!fs::exists("beat")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::raise(SIGTERM);
    }).detach();
    return Walk(&done);
  };
  EXPECT_EXIT(std::_Exit(walk({})), testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(Runs(), (Names{"Y", "Z"}));
}
#endif

}  // namespace
