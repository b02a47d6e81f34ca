// cmd.exe's command lines: the words of the archiver and of the removal,
// quoted as cmd.exe and then the program's C runtime read them.
#include <windows.h>

#include "folder_tool/command_line.h"
#include "folder_tool/name_rules.h"
#include "folder_tool/say.h"

namespace trevask {

namespace {

// Whether cmd.exe /c runs with delayed expansion: the user's setting in the
// registry, else the machine's.
bool DelayedExpansionOn() {
  static const bool on = [] {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      DWORD value = 0;
      DWORD size = sizeof value;
      if (RegGetValueA(root, "Software\\Microsoft\\Command Processor",
                       "DelayedExpansion", RRF_RT_REG_DWORD, nullptr, &value,
                       &size) == ERROR_SUCCESS) {
        return value != 0;
      }
    }
    return false;
  }();
  return on;
}

}  // namespace

bool QuoteArgument(const std::string& arg, std::string* quoted) {
  size_t trailing = 0;
  while (trailing < arg.size() && base::FindLastSeparator(arg.substr(0, arg.size() - trailing)) ==
                                      arg.size() - trailing - 1) {
    ++trailing;
  }
  return QuoteForCmd(arg, trailing, quoted, DelayedExpansionOn());
}

namespace {

// The reason goes to why when it is given, else to stderr.
bool Fail(const std::string& reason, std::string* why) {
  if (why != nullptr) {
    *why = reason;
  } else {
    base::Say("%s", reason.c_str());
  }
  return false;
}

bool AppendQuoted(const std::string& arg, std::string* line, std::string* why = nullptr) {
  std::string quoted;
  if (!QuoteArgument(arg, &quoted)) {
    return Fail(
        "path cannot be passed safely to the command interpreter (cmd.exe expands % "
        "always, and ! with delayed expansion on): " + arg,
        why);
  }
  *line += quoted;
  return true;
}

bool CommandFits(const std::string& line, std::string* why = nullptr) {
  if (line.size() <= kMaxCommandLength) return true;
  return Fail("command line is " + std::to_string(line.size()) +
                  " bytes long, over the limit of " + std::to_string(kMaxCommandLength) + ": " +
                  line,
              why);
}

}  // namespace

// The command name and option words stand bare; the two paths are quoted.
bool CommandFromArguments(const std::vector<std::string>& args, std::string* command,
                          std::string* why) {
  std::string line;
  for (size_t i = 0; i + 2 < args.size(); ++i) line += args[i] + ' ';
  if (!AppendQuoted(args[args.size() - 2], &line, why)) return false;
  line += ' ';
  if (!AppendQuoted(args.back(), &line, why)) return false;
  if (!CommandFits(line, why)) return false;
  *command = line;
  return true;
}

bool BuildRemoveCommand(const std::string& path, std::string* command) {
  if (!PathFits(path)) return false;
  std::string line = "rmdir /s /q ";
  if (!AppendQuoted(path, &line)) return false;
  if (!CommandFits(line)) return false;
  *command = line;
  return true;
}

}  // namespace trevask
