#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "app/progress.h"

namespace trevask {
namespace progress {

namespace {

volatile sig_atomic_t width_changed = 1;
int width = 0;

void NoteWidthChange(int) { width_changed = 1; }

}  // namespace

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int TerminalColumns() {
  if (!width_changed) return width;
  width_changed = 0;
  struct winsize size = {};
  width = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
  return width;
}

void WatchTerminalWidth() {
  struct sigaction action = {};
  action.sa_handler = NoteWidthChange;
  sigemptyset(&action.sa_mask);
  // The waits for the archivers go on through a resize.
  action.sa_flags = SA_RESTART;
  sigaction(SIGWINCH, &action, nullptr);
}

}  // namespace progress
}  // namespace trevask
