// The programs' own lines on stderr, one way for all four: each begins with
// the program's name, set once in main, and goes out in one piece.
#ifndef TREVASK_BASE_DIAGNOSTIC_H_
#define TREVASK_BASE_DIAGNOSTIC_H_

#include <cstdio>  // __MINGW_PRINTF_FORMAT
#include <string>

#if defined(__MINGW32__)
#define TREVASK_PRINTF_FORMAT(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define TREVASK_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define TREVASK_PRINTF_FORMAT(f, a)
#endif

namespace base {

// The name the lines begin with ("trevask", "PKZIP.EXE"...).
void SetProgramName(const char* name);

// "<program>: <format...>\n" on stderr, as WriteText writes it.
void Say(const char* format, ...) TREVASK_PRINTF_FORMAT(1, 2);
// Called around every line of Say, so that a line kept at the bottom of a
// terminal (the progress line) can make way for it and come back after it.
void AroundSay(void (*before)(), void (*after)());

// Where the lines of Say and of ReportArchiverFailure go instead of
// WriteText's stream (nullptr: there), so that a program whose archivers
// run at once can put its own lines where they stand among theirs. The
// route, not Say, then keeps AroundSay's line out of the way.
void RouteLines(void (*write)(std::FILE* stream, const std::string& text));
// Writes text to stream as Say does: to the route when there is one.
void WriteLine(std::FILE* stream, const std::string& text);
// Say's line for text, "<program>: <text>\n", for a caller that writes it itself.
std::string SaidLine(const std::string& text);

// "1 file", "2 files", "0 files": a count and its noun, which takes an "s"
// for any count but one.
std::string Counted(unsigned long long n, const char* noun);

// printf into WriteText: a whole line of the program's other output.
void Print(std::FILE* stream, const char* format, ...) TREVASK_PRINTF_FORMAT(2, 3);

}  // namespace base

#endif  // TREVASK_BASE_DIAGNOSTIC_H_
