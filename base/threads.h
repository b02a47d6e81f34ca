// How many worker threads a program here may use.
#ifndef TREVASK_BASE_THREADS_H_
#define TREVASK_BASE_THREADS_H_

namespace base {

// TREVASK_THREADS when it is set to a count (0: the main thread alone; at
// most 64), else -1.
int ForcedThreads();
// One per core, at most 16; 0 when the system cannot say.
int CoreThreads();

}  // namespace base

#endif  // TREVASK_BASE_THREADS_H_
