// The portable half of FolderTool: paths, command lines and directory
// creation order. The platform half lives in folder_tool-<platform>.cc.
#include "folder_tool/folder_tool.h"

#include <cstdio>

#include "folder_tool/platform.h"

namespace trevask {

const char* ArchiverCommandName(ArchiverKind kind) {
  return kind == kPkzip8 ? "PKZIPC.EXE" : "PKZIP.EXE";
}

const char* FolderArchiveOptions(ArchiverKind kind) {
  return kind == kPkzip8 ? "-add" : "-a";
}

const char* BundleOptions(ArchiverKind kind) {
  return kind == kPkzip8 ? "-add -recurse" : "-a -rp";
}

namespace {

bool PathFits(const std::string& path) {
  if (path.size() <= kMaxPathLength) return true;
  std::fprintf(stderr,
               "trevask: path is %zu bytes long, over the limit of %zu: %s\n",
               path.size(), kMaxPathLength, path.c_str());
  return false;
}

bool AppendQuoted(const std::string& arg, std::string* line) {
  std::string quoted;
  if (!QuoteArgument(arg, &quoted)) {
    std::fprintf(stderr,
                 "trevask: path cannot be passed safely to the command "
                 "interpreter: %s\n",
                 arg.c_str());
    return false;
  }
  *line += quoted;
  return true;
}

bool CommandFits(const std::string& line) {
  if (line.size() <= kMaxCommandLength) return true;
  std::fprintf(stderr,
               "trevask: command line is %zu bytes long, over the limit of "
               "%zu: %s\n",
               line.size(), kMaxCommandLength, line.c_str());
  return false;
}

}  // namespace

bool BuildArchiverCommand(const std::string& archive, const std::string& source,
                          const char* options, ArchiverKind kind,
                          std::string* command) {
  if (!PathFits(archive) || !PathFits(source)) return false;
  std::string line = ArchiverCommandName(kind);
  line += ' ';
  line += options;
  line += ' ';
  if (!AppendQuoted(archive, &line)) return false;
  line += ' ';
  if (!AppendQuoted(source, &line)) return false;
  if (!CommandFits(line)) return false;
  *command = line;
  return true;
}

bool BuildRemoveCommand(const std::string& path, std::string* command) {
  if (!PathFits(path)) return false;
  std::string line = platform::RemoveCommandPrefix();
  if (!AppendQuoted(path, &line)) return false;
  if (!CommandFits(line)) return false;
  *command = line;
  return true;
}

int FolderTool::CountSubfolders(const std::string& dir) {
  return ScanSubfolders(dir, nullptr, 0);
}

int FolderTool::ListSubfolders(const std::string& dir,
                               std::vector<std::string>* names) {
  return ScanSubfolders(dir, names, 1);
}

const char* FolderTool::SkipFirstComponent(const char* path) {
  size_t at = FindSeparator(path);
  return at == std::string::npos ? nullptr : path + at + 1;
}

void FolderTool::MakeDirectoryPath(const std::string& path) {
  // A path the platform cannot hold is reported by the archiver run that
  // needs it; no part of it is made.
  if (path.size() > kMaxPathLength) return;
  // The walk asks again for folders it has made; one look then suffices
  // where every prefix would be attempted anew.
  if (IsExistingFolder(path)) return;
  // Leading separators stay with the first component (a root or a share);
  // runs of separators inside collapse and a trailing one adds nothing.
  size_t start = 0;
  while (start < path.size() && path[start] == kSeparator) ++start;
  std::string prefix = path.substr(0, start);
  bool first = true;
  size_t pos = start;
  while (pos < path.size()) {
    size_t end = FindSeparator(path, pos);
    if (end == std::string::npos) end = path.size();
    if (end > pos) {
      if (!first) prefix += kSeparator;
      prefix.append(path, pos, end - pos);
      first = false;
      platform::CreateOneDirectory(prefix);
    }
    pos = end + 1;
  }
}

int FolderTool::RunArchiver(const std::string& archive,
                            const std::string& source, const char* options,
                            ArchiverKind kind) {
  std::string line;
  if (!BuildArchiverCommand(archive, source, options, kind, &line)) return -1;
  std::fflush(stdout);
  int status = platform::RunCommand(line);
  if (status == kCommandNotFoundStatus) {
    std::fprintf(stderr,
                 "trevask: the archiver %s was not found; put it on PATH\n",
                 ArchiverCommandName(kind));
  }
  return status;
}

int FolderTool::RemoveFolder(const std::string& path) {
  std::string line;
  if (!BuildRemoveCommand(path, &line)) return -1;
  std::fflush(stdout);
  return platform::RunCommand(line);
}

size_t FindLastSeparator(const std::string& path) {
  size_t last = std::string::npos;
  for (size_t at = FindSeparator(path); at != std::string::npos;
       at = FindSeparator(path, at + 1)) {
    last = at;
  }
  return last;
}

std::string DropTrailingSeparators(std::string path) {
  auto is_drive_root = [&] {
    return kSeparator == '\\' && path.size() == 3 && path[1] == ':';
  };
  while (path.size() > 1 && !is_drive_root() &&
         FindLastSeparator(path) == path.size() - 1) {
    path.pop_back();
  }
  return path;
}

bool PathIsWithin(const std::string& inner, const std::string& outer) {
  if (inner.size() < outer.size()) return false;
  if (!platform::PathTextEqual(inner.substr(0, outer.size()), outer)) {
    return false;
  }
  return inner.size() == outer.size() || outer.back() == kSeparator ||
         inner[outer.size()] == kSeparator;
}

}  // namespace trevask
