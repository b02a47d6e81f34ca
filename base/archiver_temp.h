// The names the stand-in archivers give the files they write before the
// commit: a run they could not finish may leave one behind.
#ifndef TREVASK_BASE_ARCHIVER_TEMP_H_
#define TREVASK_BASE_ARCHIVER_TEMP_H_

#include <string>

namespace base {

// Every such name begins with it.
extern const char kArchiverTempPrefix[];
// The form where the file system has no unnamed files: the prefix and
// mkstemp's six letters, or a name of our own of eight.
constexpr int kArchiverTempLetters = 8;
// Windows: the prefix, then "PID-TICK.tmp".
std::string WindowsArchiverTempName(unsigned long pid, unsigned long tick);

// True for a name of either form, whatever platform made it.
bool IsArchiverTempName(const std::string& name);

}  // namespace base

#endif  // TREVASK_BASE_ARCHIVER_TEMP_H_
