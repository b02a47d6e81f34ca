// How many worker threads a program here may use.
#ifndef TREVASK_BASE_THREADS_H_
#define TREVASK_BASE_THREADS_H_

namespace base {

// TREVASK_THREADS when it is set to a count (0: the main thread alone; at
// most 64), else -1.
int ForcedThreads();
// One per core, at most 16; 0 when the system cannot say.
int CoreThreads();
// The cores this process may run on (its affinity), at most 64; at least 1.
int UsableCores();

}  // namespace base

#endif  // TREVASK_BASE_THREADS_H_
