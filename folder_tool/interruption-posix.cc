// Interruptions on POSIX: the signal reaches the archiver, then ends the
// run by itself once cleanup has run.
#include "folder_tool/interruption.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "folder_tool/spawn.h"

namespace trevask {

namespace {
void (*interrupt_cleanup)() = nullptr;
}  // namespace

void InstallInterruptHandling(void (*cleanup)()) {
  interrupt_cleanup = cleanup;
  base::InstallInterruptHandlers(platform::ForwardToArchiver);
}

void ExitIfInterrupted() {
  int sig = base::Interrupted();
  if (sig == 0) return;
  // Cleanup is not to be interrupted by a second signal.
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, nullptr);
  if (interrupt_cleanup != nullptr) interrupt_cleanup();
  std::fflush(stdout);
  signal(sig, SIG_DFL);
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, sig);
  raise(sig);
  sigprocmask(SIG_UNBLOCK, &just, nullptr);
  _exit(128 + sig);
}

}  // namespace trevask
