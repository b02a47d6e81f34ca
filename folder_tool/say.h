// Trevask's own lines on stderr, each "trevask: " and one line of text.
#ifndef TREVASK_FOLDER_TOOL_SAY_H_
#define TREVASK_FOLDER_TOOL_SAY_H_

#include <cstdio>  // __MINGW_PRINTF_FORMAT

#if defined(__MINGW32__)
#define TREVASK_PRINTF_FORMAT __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
#define TREVASK_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define TREVASK_PRINTF_FORMAT
#endif

namespace trevask {

// Writes "trevask: <format...>\n" to stderr in one piece.
void Say(const char* format, ...) TREVASK_PRINTF_FORMAT;

// Writes the archiver failure message to stdout, without a line end, and
// flushes it so that it stays in order with the archivers' own output.
void ReportArchiverFailure();

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_SAY_H_
