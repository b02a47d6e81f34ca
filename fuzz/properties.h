// The properties of the path and command-line functions, shared by the
// libFuzzer target and by the unit test that runs them over the committed
// corpus, so that the default suite checks them too.
#ifndef TREVASK_FUZZ_PROPERTIES_H_
#define TREVASK_FUZZ_PROPERTIES_H_

#include <string>
#include <vector>

namespace trevask_fuzz {

// One input: up to three texts cut at NUL bytes (a path, a second path that
// is also the pattern's folder, and a mirror root). Returns the first
// property that does not hold for it, or an empty string.
std::string FirstViolation(const std::string& input);

// Splits a program's command line as the Windows C runtime does.
std::vector<std::string> RuntimeWords(const std::string& line);
// True when cmd.exe acts on nothing in the /c line.
bool InertToCmd(const std::string& line);

}  // namespace trevask_fuzz

#endif  // TREVASK_FUZZ_PROPERTIES_H_
