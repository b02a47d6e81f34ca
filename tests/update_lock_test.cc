// The update lock handed from a holder to the archiver it starts.
#include "base/update_lock.h"

#include <gtest/gtest.h>

#include "tests/support.h"

namespace {

using namespace testing_support;

TEST(UpdateLock, AnArchiverStartedByTheHolderDoesNotWaitForIt) {
  ScratchDir scratch;
  WorkingDir here(scratch.path());
  fs::create_directory(scratch.path() / "src");
  WriteFile(scratch.path() / "src" / "a.txt", "alpha");
  {
    base::UpdateLock lock;
    std::string error;
    ASSERT_TRUE(lock.Acquire("out.zip", &error)) << error;
    lock.HandToChildren();
    // Would wait for ever if the archiver did not take the lock as its own.
    ProcessResult run = RunProgram(GetEnv("TREVASK_PKZIP"), {"-a", "out.zip", P("src/*.*")});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err.find("waiting"), std::string::npos) << run.err;
  }
  EXPECT_TRUE(fs::is_regular_file(scratch.path() / "out.zip"));
  EXPECT_EQ(GetEnv("TREVASK_UPDATE_LOCK"), "");
}

}  // namespace
