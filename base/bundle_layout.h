// The layout of a bundle as trevask writes it, judged from its member list
// alone: one archive at the top for the source folder's own files
// ("Data.zip"), for every folder F below it the archive "F/.../F.zip", and
// folder entries "F/" beside them. trevask judges a bundle by it before it
// updates one and after it wrote one, trevask-extract before it reads one,
// so that what one accepts the other does too.
#ifndef TREVASK_BASE_BUNDLE_LAYOUT_H_
#define TREVASK_BASE_BUNDLE_LAYOUT_H_

#include <cstddef>
#include <string>
#include <vector>

#include "base/zip_directory.h"

namespace base {

// A fault that makes the members no bundle at all: trevask-extract takes
// nothing of it (exit 2), trevask updates nothing of it.
struct LayoutFault {
  std::string member;  // the member at fault; "" for the bundle as a whole
  std::string why;     // one line, naming it: "twice in the bundle: A/A.zip"
};

struct LayoutFolder {
  std::vector<std::string> names;  // below the top folder: {} itself, {"B", "X"}
  // False is a finding of its own, not a fault: a failed run wrote the
  // bundle before this folder's archive was made. Its files are missing.
  bool has_archive = false;
  std::size_t archive = 0;  // its member
};

struct BundleLayout {
  std::vector<LayoutFault> faults;  // empty for a bundle
  std::vector<std::size_t> tops;    // the members at the top, "<top>.zip"
  // The tree's name: the top archive's less ".zip", else the one given.
  std::string root;
  bool root_given = false;  // no archive at the top: a finding, as above
  // For a bundle only: every folder that its archives and folder entries
  // name and every one above them, in name order, the top one first.
  std::vector<LayoutFolder> folders;

  bool IsBundle() const { return faults.empty(); }
};

// Why name cannot be a file or folder name of the tree at all ("..", "",
// a separator), or "".
std::string UnsafeName(const std::string& name);

// The tree's name that the bundle at path gives when no archive is at its
// top: its file's name less ".zip" ("Data" for .../Data.zip), or "".
std::string TreeNameOfFile(const std::string& path);

// The bundle's member for the folder below the top ('/'-separated, "B/X" ->
// "B/X/X.zip"), the top's own (below empty) being top + ".zip": the names
// trevask writes.
std::string FolderArchiveMember(const std::string& below, const std::string& top);

// Judges members. root_when_no_top names the tree when no archive is at the
// top (a failed run's bundle): trevask-extract names it after the bundle's
// file, trevask after its source folder; "" refuses such a bundle.
BundleLayout JudgeBundleLayout(const std::vector<Member>& members,
                               const std::string& root_when_no_top);

}  // namespace base

#endif  // TREVASK_BASE_BUNDLE_LAYOUT_H_
