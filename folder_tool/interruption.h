// How an interruption ends a run: the archiver first, then trevask.
#ifndef TREVASK_FOLDER_TOOL_INTERRUPTION_H_
#define TREVASK_FOLDER_TOOL_INTERRUPTION_H_

#include "base/system.h"

namespace trevask {

// Ctrl-C, SIGTERM and SIGHUP end the running archiver as well, then the
// run: cleanup runs first, then the process ends by that signal. A closed
// pipe on our output (SIGPIPE, or EPIPE where SIGPIPE is ignored), or an
// archiver ended by one, is an interruption the same way. On Windows
// everything the run starts ends with it (a job object).
void InstallInterruptHandling(void (*cleanup)());
// Ends the run that way once an interruption has arrived; else returns.
void ExitIfInterrupted();

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_INTERRUPTION_H_
