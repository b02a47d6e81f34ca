// The archiver's command line: its words, and on Windows the line handed
// to cmd.exe with each word quoted as cmd.exe and the C runtime read it.
#ifndef TREVASK_FOLDER_TOOL_COMMAND_LINE_H_
#define TREVASK_FOLDER_TOOL_COMMAND_LINE_H_

#include <cstddef>
#include <string>
#include <vector>

#include "folder_tool/folder_tool.h"

namespace trevask {

// False, after naming path on stderr, when it is over the platform's limit.
bool PathFits(const std::string& path);
// What PathFits says of path; empty when it fits.
std::string PathOverLimit(const std::string& path);

// The archiver's arguments exactly as it receives them: its command name,
// the option words, the archive and the pattern, each path one argument.
// False, after naming the path on stderr (or in why, saying nothing), when a
// path is over the limit.
bool BuildArchiverArguments(const std::string& archive, const std::string& source,
                            const char* options, ArchiverKind kind,
                            std::vector<std::string>* args, std::string* why = nullptr);

// Windows: the lines handed to cmd.exe. Each path becomes one argument; a
// plain path stays bare. False, after naming the offending path or line on
// stderr, when a limit is exceeded or the text cannot be carried.
bool BuildRemoveCommand(const std::string& path, std::string* command);
// Windows: the line that runs exactly these arguments (as
// BuildArchiverArguments makes them). With why, the reason goes there and
// nothing is said.
bool CommandFromArguments(const std::vector<std::string>& args, std::string* command,
                          std::string* why = nullptr);

// Windows: quotes arg for cmd.exe when it needs it. Fails (returns false)
// only for text the interpreter cannot carry safely.
bool QuoteArgument(const std::string& arg, std::string* quoted);
// The Windows form of it, for cmd.exe and then the C runtime's parsing of
// the program's command line; trailing_backslashes is how many of arg's
// last bytes are real backslashes (the caller knows the code page).
// Portable, so that it can be checked everywhere. With delayed expansion
// on, cmd.exe also expands '!' inside quotes, so such text is refused too.
bool QuoteForCmd(const std::string& arg, size_t trailing_backslashes, std::string* quoted,
                 bool delayed_expansion = false);

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_COMMAND_LINE_H_
