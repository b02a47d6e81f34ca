#include "walk/compress_folder.h"

#include <cstdio>
#include <vector>

#include "app/progress.h"

namespace trevask {

namespace {

std::string Join(const std::string& a, const std::string& b) {
  return a + kSeparator + b;
}

std::string Pattern(const std::string& dir) { return Join(dir, "*.*"); }

// Names on stderr the leaf folders that a failure left without archives.
void ReportSkippedLeaves(const std::string& dir,
                         const std::vector<std::string>& names,
                         const std::vector<char>& walked, size_t from) {
  std::string list;
  for (size_t j = from; j < names.size(); ++j) {
    if (walked[j]) continue;
    list += (list.empty() ? "" : ", ") + Join(dir, names[j]);
  }
  if (list.empty()) return;
  std::fprintf(stderr, "trevask: not archived after that failure: %s\n",
               list.c_str());
}

// The relative part travels with the walk so that a source without any
// separator keeps the same mirror folders at every depth.
int Walk(const std::string& dir, const std::string& relative,
         const std::string& tempRoot, ArchiverKind kind) {
  FolderTool tool;
  // Only names actually listed are used, so a folder that changes while it
  // is walked cannot push the walk past its list.
  std::vector<std::string> names;
  const bool listed = tool.ListSubfolders(dir, &names) >= 0;
  std::vector<char> walked(names.size(), 0);
  if (!listed) {
    // A subfolder whose name cannot be carried would be missing from the
    // bundle; the folder fails before anything of it is made.
    ReportArchiverFailure();
    ReportSkippedLeaves(dir, names, walked, 0);
    return -1;
  }
  int result = 0;

  for (size_t j = 0; j < names.size(); ++j) {
    std::string child = Join(dir, names[j]);
    if (tool.CountSubfolders(child) > 0) {
      if (Walk(child, Join(relative, names[j]), tempRoot, kind) != 0) {
        result = -1;
      }
      walked[j] = 1;
    }
  }

  // Everything below tempRoot is made here or must be a real folder: a
  // planted link would have the archives written wherever it leads.
  std::string mirror = Join(tempRoot, relative);
  bool mirror_ok = tool.MakeDirectoryPath(mirror, tempRoot);
  std::vector<char> leaf_ok(names.size(), 1);
  for (size_t j = 0; j < names.size() && mirror_ok; ++j) {
    leaf_ok[j] = tool.MakeDirectoryPath(Join(mirror, names[j]), tempRoot);
  }

  const char* options = FolderArchiveOptions(kind);
  const std::string own_name = FolderName(relative) + ".zip";
  std::string archive = Join(mirror, own_name);
  bool clash = false;
  for (const std::string& name : names) {
    clash = clash || SameName(name, own_name);
  }
  if (clash) {
    std::fprintf(stderr,
                 "trevask: cannot make %s: %s has a subfolder of that name, "
                 "whose mirror folder it would be\n",
                 archive.c_str(), dir.c_str());
  }
  progress::Erase();
  if (!mirror_ok || clash ||
      tool.RunArchiver(archive, Pattern(dir), options, kind) != 0) {
    ReportArchiverFailure();
    ReportSkippedLeaves(dir, names, walked, 0);
    return -1;
  }
  progress::FolderDone(dir);
  for (size_t j = 0; j < names.size(); ++j) {
    if (walked[j]) continue;
    std::string leaf_archive = Join(Join(mirror, names[j]), names[j] + ".zip");
    progress::Erase();
    if (!leaf_ok[j] || tool.RunArchiver(leaf_archive,
                                        Pattern(Join(dir, names[j])), options,
                                        kind) != 0) {
      ReportArchiverFailure();
      ReportSkippedLeaves(dir, names, walked, j + 1);
      return -1;
    }
    progress::FolderDone(Join(dir, names[j]));
  }
  return result;
}

}  // namespace

std::string RelativePart(const std::string& dir) {
  FolderTool tool;
  const char* rest = tool.SkipFirstComponent(dir.c_str());
  return rest == nullptr ? dir : std::string(rest);
}

std::string MirrorFolder(const std::string& dir, const std::string& tempRoot) {
  return Join(tempRoot, RelativePart(dir));
}

std::string FolderName(const std::string& relative) {
  size_t last = FindLastSeparator(relative);
  return last == std::string::npos ? relative : relative.substr(last + 1);
}

int CompressFolder(const std::string& dir, const std::string& tempRoot,
                   ArchiverKind kind) {
  return Walk(dir, RelativePart(dir), tempRoot, kind);
}

}  // namespace trevask
