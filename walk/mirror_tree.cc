#include "walk/mirror_tree.h"

#include "base/archiver_temp.h"
#include "base/path.h"
#include "base/system.h"
#include "folder_tool/path_identity.h"

namespace trevask {

namespace {

void Foreign(const std::string& path, MirrorContents* contents) {
  if (contents->foreign++ == 0) contents->first_foreign = path;
}

void Judge(const std::string& folder, MirrorContents* contents) {
  std::vector<base::Entry> entries;
  std::string error;
  // What cannot be listed cannot be shown to hold only what runs made.
  if (!base::ListFolder(folder, &entries, &error)) {
    Foreign(folder + " (" + error + ")", contents);
    return;
  }
  const std::string own = base::BaseName(folder) + ".zip";
  for (const base::Entry& e : entries) {
    const std::string path = base::Join(folder, e.name);
    // No run makes a folder where the folder's archive goes: it is
    // refused up front now, and one left there would fail every run.
    if (e.type == base::Entry::kFolder) {
      if (base::SameNameText(e.name, own)) {
        Foreign(path, contents);
      } else {
        Judge(path, contents);
      }
      continue;
    }
    // The listing follows links to files; none of those is a run's.
    if (e.type != base::Entry::kFile || KindOf(path) == PathKind::kLink) {
      Foreign(path, contents);
    } else if (base::IsArchiverTempName(e.name)) {
      contents->leftovers.push_back(path);
    } else if (!base::SameNameText(e.name, own)) {
      Foreign(path, contents);
    }
  }
}

}  // namespace

void JudgeMirrorTree(const std::string& mirror, MirrorContents* contents) {
  *contents = MirrorContents();
  Judge(mirror, contents);
}

}  // namespace trevask
