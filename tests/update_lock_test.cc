// The update lock handed from a holder to the archiver it starts.
#include "archiver/update_lock.h"

#include <gtest/gtest.h>

#include "tests/support.h"

namespace {

using namespace testing_support;

TEST(UpdateLock, AnArchiverStartedByTheHolderDoesNotWaitForIt) {
  struct Case {
    const char* label;
    const char* archive;  // what both name
    const char* written;  // the file the archiver writes
    bool link;
  };
  const Case cases[] = {
      {"plain archive", "out.zip", "out.zip", false},
#ifndef _WIN32
      {"link to an archive in another folder", "link.zip", "store/real.zip", true},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir scratch;
    WorkingDir here(scratch.path());
    fs::create_directory(scratch.path() / "src");
    WriteFile(scratch.path() / "src" / "a.txt", "alpha");
    fs::create_directory(scratch.path() / "store");
    if (c.link) fs::create_symlink("store/real.zip", scratch.path() / c.archive);
    {
      archiver::UpdateLock lock;
      std::string error;
      ASSERT_TRUE(lock.Acquire(c.archive, "test", &error)) << error;
      lock.HandToChildren();
      // Would wait for ever if the archiver did not take the lock as its own.
      ProcessResult run = RunProgram(GetEnv("TREVASK_PKZIP"), {"-a", c.archive, P("src/*.*")});
      EXPECT_EQ(run.exit_code, 0) << run.err;
      EXPECT_EQ(run.err.find("waiting"), std::string::npos) << run.err;
    }
    EXPECT_TRUE(fs::is_regular_file(scratch.path() / c.written));
    EXPECT_EQ(GetEnv("TREVASK_UPDATE_LOCK"), "");
  }
}

}  // namespace
