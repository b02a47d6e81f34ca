// The archiver's words, and the quoting of one word for cmd.exe.
#include "folder_tool/command_line.h"

#include <cstring>

#include "folder_tool/say.h"

namespace trevask {

std::string PathOverLimit(const std::string& path) {
  if (path.size() <= kMaxPathLength) return std::string();
  return "path is " + std::to_string(path.size()) + " bytes long, over the limit of " +
         std::to_string(kMaxPathLength) + ": " + path;
}

bool PathFits(const std::string& path) {
  const std::string why = PathOverLimit(path);
  if (why.empty()) return true;
  base::Say("%s", why.c_str());
  return false;
}

namespace {

// A path that begins with '-' would be read as an option.
std::string NotAnOption(const std::string& path) {
  if (path.empty() || path[0] != '-') return path;
  return std::string(".") + base::kSeparator + path;
}

}  // namespace

bool BuildArchiverArguments(const std::string& archive, const std::string& source,
                            const char* options, ArchiverKind kind,
                            std::vector<std::string>* args, std::string* why) {
  const std::string archive_arg = NotAnOption(archive);
  const std::string source_arg = NotAnOption(source);
  for (const std::string* arg : {&archive_arg, &source_arg}) {
    std::string over = PathOverLimit(*arg);
    if (over.empty()) continue;
    if (why != nullptr) {
      *why = over;
    } else {
      base::Say("%s", over.c_str());
    }
    return false;
  }
  args->assign(1, ArchiverCommandName(kind));
  // The option string is one or two words, as a shell would split it.
  for (const char* at = options; *at != '\0';) {
    const char* space = std::strchr(at, ' ');
    size_t length = space == nullptr ? std::strlen(at) : static_cast<size_t>(space - at);
    if (length > 0) args->emplace_back(at, length);
    at += length + (space == nullptr ? 0 : 1);
  }
  args->push_back(archive_arg);
  args->push_back(source_arg);
  return true;
}

bool QuoteForCmd(const std::string& arg, size_t trailing_backslashes,
                 std::string* quoted, bool delayed_expansion) {
  if (delayed_expansion && arg.find('!') != std::string::npos) return false;
  // '"' cannot be in a Windows name. '%' is expanded by cmd.exe even inside
  // quotes and has no escape on a /c line; a control character (a line
  // feed ends the command) has no place in a name either.
  for (unsigned char c : arg) {
    if (c == '"' || c == '%' || c < 0x20) return false;
  }
  if (!arg.empty() && arg.find_first_of(" &|<>^(),;=!") == std::string::npos) {
    *quoted = arg;
    return true;
  }
  // Inside quotes cmd.exe takes & | < > ^ ( ) literally. The C runtime reads
  // backslashes before the closing quote as escapes, so those are doubled.
  std::string out = "\"" + arg;
  out.append(trailing_backslashes, '\\');
  out += '"';
  *quoted = out;
  return true;
}

}  // namespace trevask
