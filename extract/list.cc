// -l: the files of the tree, one line each, each folder before its files.
#include <cstdio>
#include <ctime>

#include "extract/commands.h"

namespace extract {

namespace {

std::string TimeText(std::int64_t t) {
  std::tm tm{};
  char text[32] = "?";
  if (base::LocalTime(t, &tm)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

struct Totals {
  std::uint64_t files = 0, folders = 0, bytes = 0;
};

}  // namespace

int List(const Bundle& bundle, const Options& o) {
  using base::Print;
  Totals totals;
  ForEachFolder(bundle, o, [&](std::size_t i, const FolderArchive& archive) {
    const Folder& folder = bundle.folders[i];
    // A folder shows its line when taken whole, not for a file argument.
    if (o.select.Whole(folder)) {
      ++totals.folders;
      Print(stdout, "%12s  %19s  %s/\n", "", "", folder.path.c_str());
    }
    for (const base::Member& m : archive.members) {
      ++totals.files;
      totals.bytes += m.size;
      Print(stdout, "%12llu  %s  %s/%s\n", static_cast<unsigned long long>(m.size),
            TimeText(m.Time()).c_str(), folder.path.c_str(), m.name.c_str());
    }
  });
  if (!o.quiet) {
    Print(stdout, "%s, %s, %s\n", base::Counted(totals.files, "file").c_str(),
          base::Counted(totals.folders, "folder").c_str(),
          base::Counted(totals.bytes, "byte").c_str());
  }
  return failures ? kTrouble : 0;
}

}  // namespace extract
