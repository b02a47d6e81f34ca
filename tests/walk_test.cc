// The walk in process over a real tree, with the recording archiver first on
// PATH: which folders get an archiver run, in which order, and what a
// failure, a missing archiver or an interruption leaves out.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <thread>

#include "tests/support.h"
#include "walk/compress_folder.h"

namespace {

using namespace testing_support;
using Names = std::vector<std::string>;

struct Done : trevask::WalkStatus {
  Names folders;
  void ArchiverStarting(const std::string&) override {}
  void FolderArchived(const std::string& dir) override {
    folders.push_back(fs::path(dir).filename().string());
  }
};

// Data holds A (files only) and B, which holds X (files only) and Y, which
// holds Z: no folder has two leaves or two with subfolders, so the order
// does not depend on the order of listing. Every case gets its own tree.
class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_path_ = GetEnv("PATH");
    PrependPath(GetEnv("TREVASK_RECORDER_DIR"));
    SetEnv("TREVASK_RECORD_LOG", "record.log");
    for (const char* name : {"TREVASK_RECORD_FAIL_TEXT", "TREVASK_RECORD_FAIL_KILL",
                             "TREVASK_RECORD_HANG_RUN"}) UnsetEnv(name);
    Enter("tree");
  }
  void TearDown() override { cwd_.reset(), SetEnv("PATH", saved_path_); }
  void Enter(const std::string& name) {
    cwd_.reset();
    fs::create_directory(scratch_.path() / name);
    cwd_ = std::make_unique<WorkingDir>(scratch_.path() / name);
    for (const char* file : {"d", "A/a", "B/b", "B/X/x", "B/Y/y", "B/Y/Z/z"}) {
      fs::create_directories(fs::path(P(std::string("src/Data/") + file)).parent_path());
      WriteFile(P(std::string("src/Data/") + file + ".txt"), file);
    }
  }
  int Walk(Done* done) {
    return trevask::CompressFolder(P("src/Data"), "T", trevask::kPkzip25, P("out/B.zip"), done);
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
  std::string saved_path_;
  std::unique_ptr<WorkingDir> cwd_;
};

TEST_F(WalkTest, OrderAndFailures) {
  const Names all = {"Y", "Z", "B", "X", "Data", "A"};
  const struct {
    const char* fail;   // the folder whose archiver run fails
    const char* plant;  // "kill": that archiver is killed; "clash": Z holds a folder Z.zip;
                        // "loop": Z holds a link to B
    int result;
    Names runs;
    const char* skipped;  // named after the failure
  } cases[] = {
      {"", "", 0, all, ""},
      // A failure leaves out only its folder's leaves not yet archived.
      {"Y", "", -1, {"Y", "B", "X", "Data", "A"}, "B/Y/Z"},
      {"Z", "", -1, all, ""},
      {"B", "", -1, {"Y", "Z", "B", "Data", "A"}, "B/X"},
      {"B", "kill", -1, {"Y", "Z", "B", "Data", "A"}, "B/X"},
      {"Data", "", -1, {"Y", "Z", "B", "X", "Data"}, "A"},
      {"A", "", -1, all, ""},
      // Z's archive would sit where its subfolder's mirror goes: not run.
      {"", "clash", -1, {"Y", "B", "X", "Data", "A"}, "B/Y/Z/Z.zip"},
      // The loop is not entered; Z, now with a subfolder, comes before Y.
      {"", "loop", 0, {"Z", "Y", "B", "X", "Data", "A"}, ""},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string fail = c.fail, plant = c.plant;
    SCOPED_TRACE(fail + " " + plant);
    Enter("case" + std::to_string(++n));
    SetEnv("TREVASK_RECORD_FAIL_TEXT", fail.empty() ? "" : fail + ".zip");
    SetEnv("TREVASK_RECORD_FAIL_KILL", plant == "kill" ? "1" : "");
    if (plant == "clash") fs::create_directory(P("src/Data/B/Y/Z/Z.zip"));
    std::error_code no_links;
    if (plant == "loop") fs::create_directory_symlink(P("../.."), P("src/Data/B/Y/Z/up"), no_links);
    if (no_links) continue;  // not on this platform
    Done done;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = Walk(&done);
    const std::string err = testing::internal::GetCapturedStderr();
    // One failure is said once, whatever it leaves out.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.result ? "PKZIP Compress Error!" : "");
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Runs(), c.runs);
    Names succeeded = c.runs;
    succeeded.erase(std::remove(succeeded.begin(), succeeded.end(), fail), succeeded.end());
    EXPECT_EQ(done.folders, succeeded);  // a failed run is never counted done
    const std::string said = *c.skipped ? "after that failure: " + P(std::string("src/Data/") +
                                                                     c.skipped) + "\n"
                                         : "after that failure";
    EXPECT_EQ(err.find(said) != std::string::npos, *c.skipped != 0) << err;
  }
}

TEST_F(WalkTest, MissingArchiverStopsEverything) {
  SetEnv("PATH", (scratch_.path() / "nothing").string());
  // In a fresh process: where an archiver was found is kept for the run.
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Nothing is run or made after the first try, not even mirror folders.
  EXPECT_EXIT(
      {
        Done done;
        const bool ok = Walk(&done) == -1 && Runs().empty() && done.folders.empty() &&
                        !fs::exists(P("T/Data/B/X")) && !fs::exists(P("T/Data/A"));
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "PKZIP.EXE was not found");
  GTEST_FLAG_SET(death_test_style, style);
}

#ifndef _WIN32
TEST_F(WalkTest, InterruptionEndsTheRun) {
  // SIGTERM while Z's archiver runs ends the run by it; nothing runs after.
  SetEnv("TREVASK_RECORD_HANG_RUN", "2");
  SetEnv("TREVASK_RECORD_HANG_FILE", "beat");
  EXPECT_EXIT(
      {
        trevask::InstallInterruptHandling(nullptr);
        std::thread([] {
          while (!fs::exists("beat")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
          std::raise(SIGTERM);
        }).detach();
        Done done;
        Walk(&done);
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(Runs(), (Names{"Y", "Z"}));
}
#endif

}  // namespace
