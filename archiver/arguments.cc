#include "archiver/arguments.h"

#include "base/path.h"
#include "base/syntax.h"

namespace archiver {

namespace {
const char kAllFiles[] = "*.*";
}  // namespace

bool ParseArguments(int kind, const std::vector<std::string>& args,
                    Request* request, std::string* error) {
  const char* add = base::SyntaxOf(kind).add;
  const char* recurse = base::SyntaxOf(kind).recurse;
  request->kind = kind;
  size_t at = 0;
  if (args.empty() || args[0] != add) {
    *error = std::string("the first argument must be ") + add;
    return false;
  }
  ++at;
  request->recurse = args.size() > at && args[at] == recurse;
  if (request->recurse) ++at;
  if (args.size() != at + 2) {
    *error = args.size() < at + 2 ? "an archive and a pattern are needed"
                                  : "too many arguments";
    return false;
  }
  request->archive = args[at];
  const std::string& pattern = args[at + 1];
  if (request->archive.empty() || request->archive[0] == '-') {
    *error = "unknown option " + request->archive;
    return false;
  }
  size_t stem = pattern.size() - (sizeof(kAllFiles) - 1);
  if (pattern.size() < sizeof(kAllFiles) ||
      pattern.compare(stem, std::string::npos, kAllFiles) != 0 ||
      !base::IsSeparator(pattern[stem - 1])) {
    *error = std::string("the pattern must be FOLDER") + base::kSeparator +
             kAllFiles + ": " + pattern;
    return false;
  }
  request->folder = pattern.substr(0, stem - 1);
  // "/*.*" names the root.
  if (request->folder.empty()) request->folder = pattern.substr(0, 1);
  return true;
}

}  // namespace archiver
