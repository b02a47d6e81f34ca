#include <unistd.h>

#include "app/progress.h"

namespace trevask {
namespace progress {

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace progress
}  // namespace trevask
