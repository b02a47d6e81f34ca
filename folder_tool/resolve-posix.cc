// A path followed as the kernel follows it: lstat and readlink, part by part.
#include "folder_tool/resolve-posix.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "folder_tool/name_rules.h"

namespace trevask {

std::string ResolvePath(const std::string& path, const ResolveVisitor& visit) {
  std::vector<std::string> pending;
  auto push_front = [&pending](const std::string& text) {
    std::vector<std::string> parts;
    PathComponents components(text);
    while (components.Next()) parts.push_back(components.Name());
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
  };
  if (path.empty() || path[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) return "";
    push_front(std::string(cwd) + "/" + path);
    std::free(cwd);
  } else {
    push_front(path);
  }
  std::vector<std::string> done;
  auto joined = [&done] {
    std::string out;
    for (const std::string& part : done) out += "/" + part;
    return out.empty() ? std::string("/") : out;
  };
  struct stat st;
  if (visit && !visit("/", lstat("/", &st) == 0 ? &st : nullptr)) return "";
  int hops = 0;
  while (!pending.empty()) {
    std::string part = pending.back();
    pending.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      if (!done.empty()) done.pop_back();
      continue;
    }
    done.push_back(part);
    std::string here = joined();
    const bool exists = lstat(here.c_str(), &st) == 0;
    if (visit && !visit(here, exists ? &st : nullptr)) return "";
    if (hops < 40 && exists && S_ISLNK(st.st_mode)) {
      std::vector<char> target(PATH_MAX + 1);
      ssize_t n = readlink(here.c_str(), target.data(), PATH_MAX);
      if (n < 0) continue;
      ++hops;
      done.pop_back();
      std::string text(target.data(), static_cast<size_t>(n));
      if (!text.empty() && text[0] == '/') done.clear();
      push_front(text);
    }
  }
  return joined();
}

}  // namespace trevask
