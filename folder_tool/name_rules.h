// Path text: where its separators, root and components are, and which
// names the platform can carry. Text only; nothing here looks at the disk.
#ifndef TREVASK_FOLDER_TOOL_NAME_RULES_H_
#define TREVASK_FOLDER_TOOL_NAME_RULES_H_

#include <cstddef>
#include <string>

#include "base/path.h"

namespace trevask {

// "src/Data/" names the folder "src/Data", not one with an empty name; a root
// ("/", "C:\") keeps its separator.
std::string DropTrailingSeparators(std::string path);

// The components of path from byte `from` on; runs of separators give no
// empty ones.  PathComponents parts(path); while (parts.Next()) ...
class PathComponents {
 public:
  explicit PathComponents(const std::string& path, size_t from = 0)
      : path_(path), next_(from) {}
  // Moves to the next component; false when there is none.
  bool Next();
  std::string Name() const { return path_.substr(begin_, end_ - begin_); }
  // path up to the end of the current component.
  std::string Prefix() const { return path_.substr(0, end_); }

 private:
  std::string path_;
  size_t next_, begin_ = 0, end_ = 0;
};

// The first component of path, its root excepted, that breaks the
// platform's rule, with the rule itself; empty when none does.
std::string PathRuleBroken(const std::string& path, std::string* component);

// A path argument in the platform's own form: on Windows '/' becomes '\',
// and \\?\C:\x and \\?\UNC\server\x become C:\x and \\server\x.
// False, with the reason, for a form that cannot be used.
bool NativeArgumentPath(const std::string& arg, std::string* path, std::string* error);
// False, with a message, when an argument of the command line has
// characters that the program's code page cannot carry exactly (the
// runtime would have replaced them); true on POSIX.
bool ArgumentsCarried(std::string* message);

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_NAME_RULES_H_
