#include "app/driver.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "folder_tool/folder_tool.h"
#include "walk/compress_folder.h"

namespace trevask {

namespace {

void PrintUsage() {
  std::fputs(
      "Trevask Version 1.0.0\n"
      " ERROR:Argument need for 3 Parameters.\n"
      " usage: Trevask SourceFolder DstFileName TempFolder [options]\n"
      " Option:\t-r  Temporary file delete.\n"
      "            -d  Using PKZIP ver2.5.(default)\n"
      "            -w  Using PKZIP ver8.\n"
      "\n"
      "Trevask is made and maintained by the Trevask developers.\n"
      "\n",
      stdout);
}

int Refuse(const char* what, const std::string& path) {
  std::fprintf(stderr, "trevask: %s: %s\n", what, path.c_str());
  return -1;
}

bool HasDotDotComponent(const std::string& relative) {
  size_t pos = 0;
  while (true) {
    size_t end = FindSeparator(relative, pos);
    std::string component = relative.substr(
        pos, end == std::string::npos ? std::string::npos : end - pos);
    if (component == "..") return true;
    if (end == std::string::npos) return false;
    pos = end + 1;
  }
}

}  // namespace

int RunTrevask(int argc, char** argv) {
  if (argc < 4) {
    PrintUsage();
    return -1;
  }
  std::string source = argv[1];
  const std::string destination = argv[2];
  const std::string temp_root = argv[3];

  int remove = 0;
  ArchiverKind kind = kPkzip25;
  for (int i = 4; i < argc; ++i) {
    if (std::strstr(argv[i], "-r") != nullptr) remove = 1;
    if (std::strstr(argv[i], "-d") != nullptr) kind = kPkzip25;
    if (std::strstr(argv[i], "-w") != nullptr) kind = kPkzip8;
  }

  // Everything the run creates, and "-r" removes, is the mirror folder: it
  // must lie inside TempFolder and apart from the source and the bundle.
  source = DropTrailingSeparators(source);
  if (!IsExistingFolder(source)) {
    return Refuse("SourceFolder is not an existing folder", source);
  }
  const std::string relative = RelativePart(source);
  if (relative.empty()) {
    return Refuse("SourceFolder is a root and has no folder name to mirror",
                  source);
  }
  if (HasDotDotComponent(relative) || FolderName(relative) == ".") {
    return Refuse(
        "SourceFolder must not contain '..' or end in '.' after its first "
        "component",
        source);
  }
  if (kSeparator == '\\' && relative.find(':') != std::string::npos) {
    return Refuse("SourceFolder must be a folder path, not a drive-relative one",
                  source);
  }
  const std::string mirror = MirrorFolder(source, temp_root);
  const std::string abs_source = AbsolutePath(source);
  const std::string abs_mirror = AbsolutePath(mirror);
  if (PathIsWithin(abs_mirror, abs_source) ||
      PathIsWithin(abs_source, abs_mirror)) {
    return Refuse(
        "the mirror folder would overlap SourceFolder; choose another "
        "TempFolder",
        mirror);
  }
  if (PathIsWithin(AbsolutePath(destination), abs_mirror)) {
    return Refuse("DstFileName lies inside the mirror folder", destination);
  }

  int walk_status = CompressFolder(source, temp_root, kind);

  FolderTool tool;
  std::string pattern = mirror + kSeparator + "*.*";
  if (tool.RunArchiver(destination, pattern, BundleOptions(kind), kind) != 0) {
    std::fputs("PKZIP Compress Error!", stdout);
    return -1;
  }
  // A mirror tree with failed folders is kept for the user to inspect.
  if (walk_status != 0) return -1;
  if (remove == 1) tool.RemoveFolder(mirror);
  return 0;
}

}  // namespace trevask
