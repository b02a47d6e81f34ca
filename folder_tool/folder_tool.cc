// The portable half of FolderTool: paths, command lines and directory
// creation order. The platform half lives in folder_tool-<platform>.cc.
#include "folder_tool/folder_tool.h"

#include <cstdio>

#include "archiver/syntax.h"
#include "folder_tool/platform.h"

namespace trevask {

const char* ArchiverCommandName(ArchiverKind kind) {
  return archiver::SyntaxOf(kind).command;
}

const char* FolderArchiveOptions(ArchiverKind kind) {
  return archiver::SyntaxOf(kind).add;
}

const char* BundleOptions(ArchiverKind kind) {
  return archiver::SyntaxOf(kind).bundle;
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

// A path that begins with '-' would be read as an option.
std::string NotAnOption(const std::string& path) {
  if (path.empty() || path[0] != '-') return path;
  return std::string(".") + kSeparator + path;
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
  const std::string archive_arg = NotAnOption(archive);
  const std::string source_arg = NotAnOption(source);
  if (!PathFits(archive_arg) || !PathFits(source_arg)) return false;
  std::string line = ArchiverCommandName(kind);
  line += ' ';
  line += options;
  line += ' ';
  if (!AppendQuoted(archive_arg, &line)) return false;
  line += ' ';
  if (!AppendQuoted(source_arg, &line)) return false;
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

bool FolderTool::MakeDirectoryPath(const std::string& path,
                                   const std::string& below) {
  // A path the platform cannot hold is reported by the archiver run that
  // needs it; no part of it is made.
  if (path.size() > kMaxPathLength) return true;
  std::string unsafe = FirstUnsafeComponent(path, below);
  if (!unsafe.empty()) {
    std::fprintf(stderr,
                 "trevask: %s is a link or not a folder; nothing is written "
                 "through it\n",
                 unsafe.c_str());
    return false;
  }
  // The walk asks again for folders it has made; one look then suffices
  // where every prefix would be attempted anew.
  if (IsExistingFolder(path)) return true;
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
  return true;
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

bool SameName(const std::string& a, const std::string& b) {
  return platform::PathTextEqual(a, b);
}

void ReportArchiverFailure() {
  std::fputs("PKZIP Compress Error!", stdout);
  std::fflush(stdout);
}

std::string FirstUnsafeComponent(const std::string& path,
                                 const std::string& below) {
  if (below.empty() || path.compare(0, below.size(), below) != 0) return "";
  size_t pos = below.size();
  while (pos < path.size()) {
    size_t end = FindSeparator(path, pos);
    if (end == std::string::npos) end = path.size();
    if (end > pos) {
      std::string prefix = path.substr(0, end);
      PathKind kind = KindOf(prefix);
      // Nothing below a missing folder exists yet.
      if (kind == PathKind::kMissing) return "";
      if (kind != PathKind::kFolder) return prefix;
    }
    pos = end + 1;
  }
  return "";
}

namespace {

// The folder holding an absolute path; a root is its own parent.
std::string ParentOf(const std::string& path) {
  size_t last = FindLastSeparator(path);
  if (last == std::string::npos) return path;
  std::string parent = path.substr(0, last);
  if (parent.empty() || FindLastSeparator(parent) == parent.size() - 1) {
    return path.substr(0, last + 1);
  }
  if (kSeparator == '\\' && parent.size() == 2 && parent[1] == ':') {
    return parent + kSeparator;
  }
  return parent;
}

// Where a path leads: its nearest existing ancestor and the names below it.
struct Location {
  platform::FileId id;
  std::string anchor;
  std::vector<std::string> tail;
};

bool Locate(const std::string& path, Location* where) {
  std::string current = AbsolutePath(path);
  while (!platform::GetFileId(current, &where->id)) {
    std::string parent = ParentOf(current);
    if (parent == current) return false;
    size_t last = FindLastSeparator(current);
    where->tail.insert(where->tail.begin(), current.substr(last + 1));
    current = parent;
  }
  where->anchor = platform::FinalPath(current);
  return true;
}

bool TextIsWithin(const std::string& inner, const std::string& outer) {
  if (inner.size() < outer.size()) return false;
  if (!platform::PathTextEqual(inner.substr(0, outer.size()), outer)) {
    return false;
  }
  return inner.size() == outer.size() || outer.back() == kSeparator ||
         inner[outer.size()] == kSeparator;
}

}  // namespace

bool PathIsWithin(const std::string& inner, const std::string& outer) {
  Location in, out;
  if (!Locate(inner, &in) || !Locate(outer, &out)) {
    return TextIsWithin(AbsolutePath(inner), AbsolutePath(outer));
  }
  if (!out.tail.empty()) {
    // Outer does not exist yet: inner can only be inside it by passing
    // through the same missing names from the same existing folder.
    if (!(in.id == out.id) || in.tail.size() < out.tail.size()) return false;
    for (size_t i = 0; i < out.tail.size(); ++i) {
      if (!platform::PathTextEqual(in.tail[i], out.tail[i])) return false;
    }
    return true;
  }
  for (std::string at = in.anchor;;) {
    platform::FileId id;
    if (platform::GetFileId(at, &id) && id == out.id) return true;
    std::string parent = ParentOf(at);
    if (parent == at) return false;
    at = parent;
  }
}

}  // namespace trevask
