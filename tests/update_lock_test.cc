// The update lock: handed from a holder to the archiver it starts, and its wait.
#include "base/update_lock.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "base/system.h"
#endif

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

#ifndef _WIN32
// A signal that ends the flock wait with EINTR (no SA_RESTART): one not of
// the run's own is waited through, and the lock taken once it is free; the
// run's own interruption ends the wait. Each case in a process of its own,
// since an interruption stays noted.
TEST(UpdateLock, ASignalDuringTheWaitRetriesItUnlessTheRunIsInterrupted) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    int sig;
    bool run_handlers;  // base's, which note an interruption
    const char* said;   // Acquire's error after it waited, bracketed
  } cases[] = {{SIGUSR1, false, "waiting for another run .*\\[\\]$"},
               {SIGTERM, true, "waiting for .*\\[cannot lock .*: Interrupted system call\\]$"}};
  for (const Case& c : cases) {
    ScratchDir scratch;
    WorkingDir here(scratch.path());
    auto wait = [&c] {
      const int holder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      flock(holder, LOCK_EX);
      struct sigaction quiet {};
      quiet.sa_handler = [](int) {};
      sigaction(SIGUSR1, &quiet, nullptr);
      if (c.run_handlers) base::InstallInterruptHandlers();
      const pthread_t waiter = pthread_self();
      std::thread([&] {
        for (int i = 0; i < 10; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          pthread_kill(waiter, c.sig);
        }
        flock(holder, LOCK_UN);
      }).detach();
      base::UpdateLock lock;
      std::string error;
      std::fprintf(stderr, "[%s]", lock.Acquire("out.zip", &error) ? "" : error.c_str());
      std::exit(0);
    };
    EXPECT_EXIT(wait(), testing::ExitedWithCode(0), c.said) << c.sig;
  }
}

// A variable naming a descriptor merely open on the folder, not locked by
// anyone, hands nothing: runs sharing that descriptor would each be granted
// the lock through it.
TEST(UpdateLock, ADescriptorNobodyLockedIsNotTakenAsTheParents) {
  ScratchDir scratch;
  WorkingDir here(scratch.path());
  const int open_only = open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(open_only, 0);
  base::FileId id;
  ASSERT_TRUE(base::GetOpenFileId(open_only, &id));
  const std::string value = std::to_string(open_only) + ":" + base::FileIdText(id);
  ASSERT_EQ(setenv(base::kUpdateLockVariable, value.c_str(), 1), 0);
  {
    base::UpdateLock lock;
    std::string error;
    ASSERT_TRUE(lock.Acquire("out.zip", &error)) << error;
    // Held through a descriptor of its own: the named one is shut out.
    EXPECT_NE(flock(open_only, LOCK_EX | LOCK_NB), 0);
  }
  EXPECT_EQ(flock(open_only, LOCK_EX | LOCK_NB), 0);
  unsetenv(base::kUpdateLockVariable);
  close(open_only);
}
#endif

}  // namespace
