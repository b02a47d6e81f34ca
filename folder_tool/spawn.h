// Starting an archiver and what it inherits: its environment, the text of
// its names, the search for it.
#ifndef TREVASK_FOLDER_TOOL_SPAWN_H_
#define TREVASK_FOLDER_TOOL_SPAWN_H_

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "folder_tool/folder_tool.h"

namespace trevask {
namespace platform {

// The variables that carry something of one run, each name with run's
// value; an empty value removes the variable. The rest of an archiver's
// environment is this process's own. parent_pid is TREVASK_PARENT_PID's.
using ChildVariables = std::vector<std::pair<std::string, std::string>>;
ChildVariables RunVariables(const ArchiverRun& run, const std::string& parent_pid);

// NAME=VALUE entries of environment with those of variables in their place:
// every entry of a variable's name dropped, one added unless its value is
// empty. same_name says whether two names are one.
template <typename Text>
std::vector<Text> MergeEnvironment(const std::vector<Text>& environment,
                                   const std::vector<std::pair<Text, Text>>& variables,
                                   bool (*same_name)(const Text&, const Text&)) {
  const typename Text::value_type equals = '=';
  std::vector<Text> merged;
  for (const Text& entry : environment) {
    // Windows keeps "=C:=C:\dir" entries, whose name starts with '='.
    const Text name = entry.substr(0, entry.find(equals, 1));
    bool replaced = false;
    for (const auto& v : variables) replaced = replaced || same_name(name, v.first);
    if (!replaced) merged.push_back(entry);
  }
  for (const auto& v : variables) {
    if (!v.second.empty()) merged.push_back(v.first + equals + v.second);
  }
  return merged;
}

// Runs the archiver with exactly these arguments (args[0] is its command
// name, found as the platform's interpreter would find it) and waits for
// it, with this process's environment and run's variables (RunVariables).
// Returns its exit status, kCommandNotFoundStatus when it cannot be found;
// started is false when nothing could be started at all (said on stderr).
// While it runs, the files of run.read_ahead (if not empty) are asked into
// the cache, without blocking on anything but a regular file.
int RunArchiverProgram(const std::vector<std::string>& args, const ArchiverRun& run,
                       bool* started);

// An archiver started without waiting for it, its standard output and its
// standard error each coming through a pipe of its own.
class StartedArchiver {
 public:
  virtual ~StartedArchiver() = default;
  // Some of its output, stream 0 its stdout and 1 its stderr: the count
  // read, 0 once that stream has ended (POSIX: or once the archiver has
  // ended and all it wrote is read), -1 when it cannot be read.
  virtual long Read(int stream, char* buffer, std::size_t size) = 0;
  // Waits for its end; its status as RunArchiverProgram gives it.
  virtual int Wait() = 0;
};

// Starts args as RunArchiverProgram does and returns while it runs, its
// files of run.read_ahead asked for by then. Null when it could not be
// started: *status is then kCommandNotFoundStatus, or -1 with the reason
// in *why. Safe to call from several threads at once.
std::unique_ptr<StartedArchiver> StartArchiverProgram(const std::vector<std::string>& args,
                                                      const ArchiverRun& run, int* status,
                                                      std::string* why);

// Passes sig on to every archiver running; KillArchivers ends them (POSIX;
// on Windows the console's Ctrl-C reaches them, the job object the rest).
void StopArchivers(int sig);
void KillArchivers();

// Why the platform could not run exactly these arguments (its interpreter's
// line, its limits); empty when it can. Says nothing.
std::string ArchiverLineProblem(const std::vector<std::string>& args);

// Whether a program of this name can be found as it will be looked for;
// true where the platform leaves the search to its interpreter.
bool ProgramFound(const std::string& name);

// A name of this program's paths as the archivers take their names: UTF-8
// on Windows, the same bytes on POSIX.
std::string ArchiverText(const std::string& name);

// POSIX, from a signal handler: passes sig on to the running archiver, so
// that it ends with the run.
void ForwardToArchiver(int sig);

}  // namespace platform
}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_SPAWN_H_
