#include "base/bundle_layout.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "base/path.h"

namespace base {

namespace {

std::vector<std::string> Split(const std::string& name) {
  std::vector<std::string> pieces;
  std::size_t at = 0;
  while (true) {
    const std::size_t end = name.find('/', at);
    pieces.push_back(name.substr(at, end == std::string::npos ? end : end - at));
    if (end == std::string::npos) return pieces;
    at = end + 1;
  }
}

// ASCII only, so that every platform and code page reads a bundle alike.
bool EqualWithoutCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

bool EndsInZip(const std::string& name) {
  return name.size() > 4 && EqualWithoutCase(name.substr(name.size() - 4), ".zip");
}

}  // namespace

std::string UnsafeName(const std::string& name) {
  if (name.empty()) return "an empty name (an absolute path, or '//')";
  if (name == "." || name == "..") return "the name '" + name + "'";
  if (name.find('\0') != std::string::npos) return "a name with a NUL byte";
  if (name.find('/') != std::string::npos) return "a name with '/'";
  // Elsewhere a name of the tree may hold it, and trevask archives it so.
  if (kSeparator == '\\' && name.find('\\') != std::string::npos) return "a name with '\\'";
  return "";
}

std::string TreeNameOfFile(const std::string& path) {
  const std::string file = BaseName(path);
  return EndsInZip(file) ? file.substr(0, file.size() - 4) : "";
}

BundleLayout JudgeBundleLayout(const std::vector<Member>& members,
                               const std::string& root_when_no_top) {
  BundleLayout layout;
  std::map<std::vector<std::string>, std::size_t> archives;  // folder -> member
  std::set<std::vector<std::string>> folder_entries;
  std::set<std::string> seen;
  const auto fault = [&layout](const std::string& member, const std::string& why) {
    layout.faults.push_back(LayoutFault{member, why + ": " + member});
  };
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    if (!seen.insert(m.name).second) {
      fault(m.name, "twice in the bundle");
      continue;
    }
    std::vector<std::string> names =
        Split(m.IsFolder() ? m.name.substr(0, m.name.size() - 1) : m.name);
    std::string unsafe;
    for (const std::string& name : names) {
      if (unsafe.empty()) unsafe = UnsafeName(name);
    }
    if (!unsafe.empty()) {
      fault(m.name, "a member with " + unsafe);
      continue;
    }
    const std::uint32_t type = m.UnixMode() & 0170000;
    if (m.IsFolder()) {
      folder_entries.insert(names);
    } else if (type != 0 && type != 0100000) {
      fault(m.name, "a link or special file, not a folder archive");
    } else if (names.size() == 1 && EndsInZip(names[0])) {
      layout.tops.push_back(i);
    } else if (names.size() >= 2 && EndsInZip(names.back()) &&
               EqualWithoutCase(names.back().substr(0, names.back().size() - 4),
                                names[names.size() - 2])) {
      names.pop_back();
      // Two archives of one folder: which holds its files cannot be told.
      const auto placed = archives.emplace(names, i);
      if (!placed.second) {
        fault(m.name, "a second archive of one folder, beside " + members[placed.first->second].name);
      }
    } else {
      fault(m.name, "not a folder archive (F/F.zip)");
    }
  }
  if (layout.tops.size() > 1) {
    std::string list;
    for (std::size_t top : layout.tops) list += " " + members[top].name;
    layout.faults.push_back(LayoutFault{
        members[layout.tops[1]].name,
        "several archives at the top (a bundle updated from another source folder?):" + list});
    return layout;
  }
  if (layout.tops.empty() && archives.empty() && folder_entries.empty()) {
    layout.faults.push_back(
        LayoutFault{"", "no archive at the top (Data.zip for a source folder Data)"});
    return layout;
  }
  if (!layout.tops.empty()) {
    const std::string& top = members[layout.tops[0]].name;
    layout.root = top.substr(0, top.size() - 4);
  } else if (root_when_no_top.empty()) {
    layout.faults.push_back(
        LayoutFault{"", "no archive at the top (Data.zip for a source folder Data), and no "
                        ".zip in the bundle's name to name the tree after"});
    return layout;
  } else {
    layout.root = root_when_no_top;
    layout.root_given = true;
  }
  if (!UnsafeName(layout.root).empty()) {
    layout.faults.push_back(LayoutFault{layout.tops.empty() ? "" : members[layout.tops[0]].name,
                                        "a top archive with " + UnsafeName(layout.root) + ": " +
                                            layout.root + ".zip"});
  }
  if (!layout.faults.empty()) return layout;
  // Every folder named, and every one above them: a failed run's bundle
  // may lack the archive or entry of any.
  std::set<std::vector<std::string>> all(folder_entries.begin(), folder_entries.end());
  for (const auto& entry : archives) {
    for (std::size_t n = 0; n <= entry.first.size(); ++n) {
      all.insert(std::vector<std::string>(entry.first.begin(), entry.first.begin() + n));
    }
  }
  all.insert(std::vector<std::string>());
  if (!layout.tops.empty()) archives[{}] = layout.tops[0];
  for (const auto& names : all) {
    LayoutFolder folder;
    folder.names = names;
    const auto found = archives.find(names);
    folder.has_archive = found != archives.end();
    if (folder.has_archive) folder.archive = found->second;
    layout.folders.push_back(folder);
  }
  return layout;
}

std::string FolderArchiveMember(const std::string& below, const std::string& top) {
  if (below.empty()) return top + ".zip";
  return below + "/" + below.substr(below.rfind('/') + 1) + ".zip";
}

}  // namespace base
