#include "fuzz/properties.h"

#include <cstring>

#include "folder_tool/command_line.h"
#include "folder_tool/folder_tool.h"
#include "folder_tool/name_rules.h"
#include "walk/compress_folder.h"

namespace trevask_fuzz {

namespace {

// Keeps the first property that fails; the checks go on so that no
// condition needs a return of its own.
struct Checker {
  std::string violated;
  void operator()(bool ok, const char* what) {
    if (!ok && violated.empty()) violated = what;
  }
};

void CheckWindowsQuoting(const std::string& a, const std::string& b, Checker& check) {
  auto trailing = [](const std::string& s) {
    size_t k = 0;
    while (k < s.size() && s[s.size() - 1 - k] == '\\') ++k;
    return k;
  };
  auto refusable = [](const std::string& s) {
    for (unsigned char c : s) {
      if (c == '"' || c == '%' || c < 0x20) return true;
    }
    return false;
  };
  std::string qa, qb;
  bool ok_a = trevask::QuoteForCmd(a, trailing(a), &qa);
  bool ok_b = trevask::QuoteForCmd(b, trailing(b), &qb);
  check(ok_a != refusable(a) && ok_b != refusable(b),
        "cmd quoting refuses exactly what no Windows line can carry");
  if (!ok_a || !ok_b) return;
  const std::string line = "PKZIP.EXE -a " + qa + " " + qb;
  check(InertToCmd(line), "the quoted line is inert to cmd.exe");
  check(RuntimeWords(line) == std::vector<std::string>({"PKZIP.EXE", "-a", a, b}),
        "the C runtime reads back exactly the arguments");
}

}  // namespace

// The rules of CommandLineToArgvW: outside quotes space and tab end a word;
// n backslashes before a quote stand for n/2, and an odd one makes the
// quote literal; other backslashes are literal; "" inside quotes is a quote.
std::vector<std::string> RuntimeWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  const size_t n = line.size();
  while (true) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == n) return words;
    std::string word;
    bool quoted = false;
    while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '\\') {
        size_t k = 0;
        while (i < n && line[i] == '\\') ++k, ++i;
        if (i < n && line[i] == '"') {
          word.append(k / 2, '\\');
          if (k % 2 == 1) word += line[i++];
        } else {
          word.append(k, '\\');
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          word += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        word += line[i++];
      }
    }
    words.push_back(word);
  }
}

// cmd.exe acts on & | < > ^ ( ) outside double quotes and on % anywhere; a
// control character ends or splits the line.
bool InertToCmd(const std::string& line) {
  bool quoted = false;
  for (unsigned char c : line) {
    if (c == '"') quoted = !quoted;
    if (c == '%' || c < 0x20) return false;
    if (!quoted && std::strchr("&|<>^()", c) != nullptr) return false;
  }
  return !quoted;
}

std::string FirstViolation(const std::string& input) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (parts.size() < 3) {
    size_t end = input.find('\0', pos);
    parts.push_back(input.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  parts.resize(3);
  const std::string& path = parts[0];
  const std::string& other = parts[1];
  const std::string& root = parts[2];
  Checker check;

  CheckWindowsQuoting(path, other, check);

  trevask::FolderTool tool;
  const char* rest = tool.SkipFirstComponent(path.c_str());
  size_t first = path.find('/');
  check((rest == nullptr) == (first == std::string::npos), "SkipFirstComponent finds the separator");
  if (rest != nullptr && first != std::string::npos) {
    check(rest == path.c_str() + first + 1, "SkipFirstComponent points after it");
  }

  std::string relative = trevask::RelativePart(path);
  std::string name = trevask::FolderName(relative);
  check(name.find('/') == std::string::npos, "a folder name has no separator");
  check(relative.size() >= name.size() &&
            relative.compare(relative.size() - name.size(), name.size(), name) == 0,
        "the folder name ends the relative part");
  // One separator where they meet, however many either brings; a root of
  // separators alone is "/".
  std::string head = root.substr(0, root.find_last_not_of('/') + 1);
  if (head.empty() && !root.empty()) head = "/";
  if (head.empty() || head.back() != '/') head += '/';
  const size_t from = relative.find_first_not_of('/');
  const std::string tail = from == std::string::npos ? "" : relative.substr(from);
  check(trevask::MirrorFolder(path, root) == head + tail, "mirror folder join");

  std::vector<std::string> words;
  std::string pattern = other + "/*.*";
  for (trevask::ArchiverKind kind : {trevask::kPkzip25, trevask::kPkzip8}) {
    const char* options[] = {trevask::FolderArchiveOptions(kind), trevask::BundleOptions(kind)};
    for (const char* option : options) {
      words.clear();
      bool built = trevask::BuildArchiverArguments(path, pattern, option, kind, &words);
      // A path that begins with '-' is passed as "./-...", never as an option.
      const std::string path_arg = path.empty() || path[0] != '-' ? path : "./" + path;
      const std::string pattern_arg = pattern[0] != '-' ? pattern : "./" + pattern;
      bool fits = path_arg.size() <= trevask::kMaxPathLength &&
                  pattern_arg.size() <= trevask::kMaxPathLength;
      if (!fits) {
        check(!built, "an over-long path is refused");
        continue;
      }
      check(built, "a path within the limit is taken");
      std::vector<std::string> expected = {trevask::ArchiverCommandName(kind)};
      std::string opts = option;
      for (size_t at = 0;;) {
        size_t space = opts.find(' ', at);
        expected.push_back(opts.substr(at, space == std::string::npos ? space : space - at));
        if (space == std::string::npos) break;
        at = space + 1;
      }
      expected.push_back(path_arg);
      expected.push_back(pattern_arg);
      check(words == expected, "the archiver gets exactly its words");
    }
  }
  return check.violated;
}

}  // namespace trevask_fuzz
