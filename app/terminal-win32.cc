#include <windows.h>

#include "app/progress.h"

namespace trevask {
namespace progress {

// A console; _isatty would also say yes for NUL.
bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// A console sends no signal when it is resized: its window is asked each time.
int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void WatchTerminalWidth() {}

}  // namespace progress
}  // namespace trevask
