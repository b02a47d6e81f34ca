#include "walk/compress_folder.h"

#include <cstdio>
#include <vector>

namespace trevask {

namespace {

const char kCompressError[] = "PKZIP Compress Error!";

void ReportArchiverFailure() {
  std::fputs(kCompressError, stdout);
  std::fflush(stdout);
}

std::string Join(const std::string& a, const std::string& b) {
  return a + kSeparator + b;
}

std::string Pattern(const std::string& dir) { return Join(dir, "*.*"); }

// The relative part travels with the walk so that a source without any
// separator keeps the same mirror folders at every depth.
int Walk(const std::string& dir, const std::string& relative,
         const std::string& tempRoot, ArchiverKind kind) {
  FolderTool tool;
  // Only names actually listed are used, so a folder that changes while it
  // is walked cannot push the walk past its list.
  std::vector<std::string> names;
  tool.ListSubfolders(dir, &names);
  std::vector<char> walked(names.size(), 0);
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

  std::string mirror = Join(tempRoot, relative);
  tool.MakeDirectoryPath(mirror);
  for (const std::string& name : names) {
    tool.MakeDirectoryPath(Join(mirror, name));
  }

  const char* options = FolderArchiveOptions(kind);
  std::string archive = Join(mirror, FolderName(relative) + ".zip");
  if (tool.RunArchiver(archive, Pattern(dir), options, kind) != 0) {
    ReportArchiverFailure();
    return -1;
  }
  for (size_t j = 0; j < names.size(); ++j) {
    if (walked[j]) continue;
    std::string leaf_archive = Join(Join(mirror, names[j]), names[j] + ".zip");
    if (tool.RunArchiver(leaf_archive, Pattern(Join(dir, names[j])), options,
                         kind) != 0) {
      ReportArchiverFailure();
      return -1;
    }
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
