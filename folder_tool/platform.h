// The per-platform half of FolderTool; only folder_tool-*.cc define these.
#ifndef TREVASK_FOLDER_TOOL_PLATFORM_H_
#define TREVASK_FOLDER_TOOL_PLATFORM_H_

#include <string>
#include <vector>

#include "base/file_id.h"

namespace trevask {
namespace platform {

// Creates one directory, private to the user where the platform can say so.
// False with the system's reason; "exists" is a failure too.
bool CreateOneDirectory(const std::string& path, std::string* error);

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

// Removes path and everything beneath it, never through a link. With
// expected, only while path is still that folder (checked on the very
// handle the removal then works through); -2 when it is not.
int RemoveTree(const std::string& path, const base::FileId* expected = nullptr);

// Sets name in the environment the archivers inherit; empty value: removes it.
void SetChildVariable(const char* name, const std::string& value);

// A name of this program's paths as the archivers take their names: UTF-8
// on Windows, the same bytes on POSIX.
std::string ArchiverText(const std::string& name);

}  // namespace platform
}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_PLATFORM_H_
