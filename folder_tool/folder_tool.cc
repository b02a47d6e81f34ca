// The portable half of FolderTool: paths, command lines and directory
// creation order. The platform half lives in folder_tool-<platform>.cc.
#include "folder_tool/folder_tool.h"

#include <cctype>
#include <cstdio>
#include <cstring>

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

// A path that begins with '-' would be read as an option.
std::string NotAnOption(const std::string& path) {
  if (path.empty() || path[0] != '-') return path;
  return std::string(".") + kSeparator + path;
}

}  // namespace

bool BuildArchiverArguments(const std::string& archive, const std::string& source,
                            const char* options, ArchiverKind kind,
                            std::vector<std::string>* args) {
  const std::string archive_arg = NotAnOption(archive);
  const std::string source_arg = NotAnOption(source);
  if (!PathFits(archive_arg) || !PathFits(source_arg)) return false;
  args->assign(1, ArchiverCommandName(kind));
  // The option string is one or two words, as a shell would split it.
  for (const char* at = options; *at != '\0';) {
    const char* space = std::strchr(at, ' ');
    size_t length = space == nullptr ? std::strlen(at) : static_cast<size_t>(space - at);
    if (length > 0) args->emplace_back(at, length);
    at += length + (space == nullptr ? 0 : 1);
  }
  args->push_back(archive_arg);
  args->push_back(source_arg);
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
  std::string failed, why;
  bool first = true;
  size_t pos = start;
  while (pos < path.size()) {
    size_t end = FindSeparator(path, pos);
    if (end == std::string::npos) end = path.size();
    if (end > pos) {
      if (!first) prefix += kSeparator;
      prefix.append(path, pos, end - pos);
      first = false;
      std::string error;
      // The first prefix that could not be made is the reason for the rest.
      if (!platform::CreateOneDirectory(prefix, &error) && failed.empty() &&
          !IsExistingFolder(prefix)) {
        failed = prefix;
        why = KindOf(prefix) == PathKind::kMissing ? error : "it exists and is not a folder";
      }
    }
    pos = end + 1;
  }
  if (IsExistingFolder(path)) return true;
  std::fprintf(stderr, "trevask: cannot make the folder %s: %s\n",
               failed.empty() ? path.c_str() : failed.c_str(),
               why.empty() ? "it exists and is not a folder" : why.c_str());
  return false;
}

namespace {
bool run_stopped = false;
std::string next_folder;
}  // namespace

void HintNextFolder(const std::string& dir) { next_folder = dir; }

bool RunStopped() { return run_stopped; }

bool CreateNewFolder(const std::string& path, std::string* error) {
  return platform::CreateOneDirectory(path, error);
}

int FolderTool::RunArchiver(const std::string& archive,
                            const std::string& source, const char* options,
                            ArchiverKind kind) {
  std::vector<std::string> args;
  if (run_stopped || !BuildArchiverArguments(archive, source, options, kind, &args)) {
    return -1;
  }
  std::fflush(stdout);
  bool started = true;
  std::string read_ahead;
  read_ahead.swap(next_folder);
  int status = platform::RunArchiverProgram(args, read_ahead, &started);
  if (status == kCommandNotFoundStatus) {
    std::fprintf(stderr,
                 "trevask: the archiver %s was not found; put it on PATH\n",
                 ArchiverCommandName(kind));
  }
  // Every later run would fail the same way.
  if (status == kCommandNotFoundStatus || !started) run_stopped = true;
  return status;
}

int FolderTool::RemoveFolder(const std::string& path) {
  if (!PathFits(path)) return -1;
  std::fflush(stdout);
  return platform::RemoveTree(path);
}

int RemoveFolderIfSame(const std::string& path, const platform::FileId& id) {
  if (!PathFits(path)) return -1;
  std::fflush(stdout);
  return platform::RemoveTree(path, &id);
}

bool QuoteForCmd(const std::string& arg, size_t trailing_backslashes,
                 std::string* quoted, bool delayed_expansion) {
  if (delayed_expansion && arg.find('!') != std::string::npos) return false;
  // '"' cannot be in a Windows name. '%' is expanded by cmd.exe even inside
  // quotes and has no escape on a /c line; a control character (a line
  // feed ends the command) has no place in a name either.
  for (unsigned char c : arg) {
    if (c == '"' || c == '%' || c < 0x20) return false;
  }
  if (!arg.empty() && arg.find_first_of(" &|<>^(),;=!") == std::string::npos) {
    *quoted = arg;
    return true;
  }
  // Inside quotes cmd.exe takes & | < > ^ ( ) literally. The C runtime reads
  // backslashes before the closing quote as escapes, so those are doubled.
  std::string out = "\"" + arg;
  out.append(trailing_backslashes, '\\');
  out += '"';
  *quoted = out;
  return true;
}

std::string WindowsNameRule(const std::string& name) {
  if (name.empty()) return "";
  for (unsigned char c : name) {
    if (c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr) {
      return "Windows names cannot hold < > : \" / \\ | ? * or control "
             "characters";
    }
  }
  if (name == "." || name == "..") return "";
  if (name.back() == '.' || name.back() == ' ') {
    return "Windows drops a trailing dot or space from a name in a path";
  }
  // The device names, whatever follows a dot and whatever the case.
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  bool device = false;
  for (const char* d : kDevices) device = device || base == d;
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
      base[3] >= '1' && base[3] <= '9') {
    device = true;
  }
  if (device) {
    return "Windows takes CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 "
           "for devices, with any extension";
  }
  return "";
}

std::string PathRuleBroken(const std::string& path, std::string* component) {
  size_t pos = 0;
  // A drive or a share is the root, not a name of this path.
  if (kSeparator == '\\' && path.size() >= 2 && path[1] == ':') pos = 2;
  if (kSeparator == '\\' && path.compare(0, 2, "\\\\") == 0) {
    size_t server = FindSeparator(path, 2);
    size_t share = server == std::string::npos ? server : FindSeparator(path, server + 1);
    pos = share == std::string::npos ? path.size() : share;
  }
  while (pos < path.size()) {
    size_t end = FindSeparator(path, pos);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(pos, end - pos);
    std::string rule = NameRuleBroken(name);
    if (!rule.empty()) {
      *component = name;
      return rule;
    }
    pos = end + 1;
  }
  return "";
}

bool NativeArgumentPath(const std::string& arg, std::string* path,
                        std::string* error) {
  if (kSeparator != '\\') {
    *path = arg;
    return true;
  }
  // No DBCS trail byte is '/', so bytewise replacing is safe.
  std::string p = arg;
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  if (p.compare(0, 8, "\\\\?\\UNC\\") == 0) {
    p = "\\\\" + p.substr(8);
  } else if (p.compare(0, 4, "\\\\?\\") == 0 || p.compare(0, 4, "\\\\.\\") == 0) {
    std::string rest = p.substr(4);
    if (rest.size() < 3 || rest[1] != ':' || rest[2] != '\\') {
      *error = "only drive and UNC paths are taken in the \\\\?\\ form, no device or volume names";
      return false;
    }
    p = rest;
  }
  *path = p;
  return true;
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
