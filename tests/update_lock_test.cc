// The update lock handed from a holder to the archiver it starts.
#include "base/update_lock.h"

#include <gtest/gtest.h>

#include "folder_tool/folder_tool.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

TEST(UpdateLock, AnArchiverStartedByTheHolderDoesNotWaitForIt) {
  ScratchDir scratch;
  WorkingDir here(scratch.path());
  fs::create_directory(scratch.path() / "src");
  WriteFile(scratch.path() / "src" / "a.txt", "alpha");
  PrependPath(fs::path(GetEnv("TREVASK_PKZIP")).parent_path());
  {
    base::UpdateLock lock;
    std::string error;
    ASSERT_TRUE(lock.Acquire("out.zip", &error)) << error;
    trevask::ArchiverRun run;
    run.lock = lock.HandToChildren();
    // Would wait for ever if the archiver did not take the lock as its own.
    testing::internal::CaptureStderr();
    const int status =
        trevask::FolderTool().RunArchiver("out.zip", P("src/*.*"), "-a", trevask::kPkzip25, run);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(err.find("waiting"), std::string::npos) << err;
  }
  EXPECT_TRUE(fs::is_regular_file(scratch.path() / "out.zip"));
  EXPECT_EQ(GetEnv("TREVASK_UPDATE_LOCK"), "");
}

}  // namespace
