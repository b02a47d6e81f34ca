// Starting an archiver and what it inherits: its environment, the text of
// its names, the search for it.
#ifndef TREVASK_FOLDER_TOOL_SPAWN_H_
#define TREVASK_FOLDER_TOOL_SPAWN_H_

#include <string>
#include <vector>

namespace trevask {
namespace platform {

// Runs the archiver with exactly these arguments (args[0] is its command
// name, found as the platform's interpreter would find it) and waits for
// it. Returns its exit status, kCommandNotFoundStatus when it cannot be
// found; started is false when nothing could be started at all (said on
// stderr).
// While it runs, the files of read_ahead (if not empty) are asked into the
// cache, without blocking on anything but a regular file.
int RunArchiverProgram(const std::vector<std::string>& args, const std::string& read_ahead,
                       bool* started);

// Why the platform could not run exactly these arguments (its interpreter's
// line, its limits); empty when it can. Says nothing.
std::string ArchiverLineProblem(const std::vector<std::string>& args);

// Whether a program of this name can be found as it will be looked for;
// true where the platform leaves the search to its interpreter.
bool ProgramFound(const std::string& name);

// Sets name in the environment the archivers inherit; empty value: removes it.
void SetChildVariable(const char* name, const std::string& value);

// A name of this program's paths as the archivers take their names: UTF-8
// on Windows, the same bytes on POSIX.
std::string ArchiverText(const std::string& name);

// POSIX, from a signal handler: passes sig on to the running archiver, so
// that it ends with the run.
void ForwardToArchiver(int sig);

}  // namespace platform
}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_SPAWN_H_
