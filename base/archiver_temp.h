// The names the stand-in archivers give the files they write before the
// commit: a run they could not finish may leave one behind.
#ifndef TREVASK_BASE_ARCHIVER_TEMP_H_
#define TREVASK_BASE_ARCHIVER_TEMP_H_

#include <string>

namespace base {

// Every such name begins with it.
extern const char kArchiverTempPrefix[];
// The POSIX form: the prefix and eight letters (six in what earlier runs,
// which took mkstemp's, left).
constexpr int kArchiverTempLetters = 8;
// That form, its letters from mix: a run gives each name its own.
std::string ArchiverTempName(unsigned long long mix);
// Windows: the prefix, then "PID-TICK.tmp".
std::string WindowsArchiverTempName(unsigned long pid, unsigned long tick);

// True for a name of either form, whatever platform made it.
bool IsArchiverTempName(const std::string& name);

}  // namespace base

#endif  // TREVASK_BASE_ARCHIVER_TEMP_H_
