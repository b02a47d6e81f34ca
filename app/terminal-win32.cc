#include <windows.h>

#include "app/progress.h"

namespace trevask {
namespace progress {

// A console; _isatty would also say yes for NUL.
bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace progress
}  // namespace trevask
