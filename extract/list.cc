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
  Rules rules = RulesOf(bundle, o);
  bool refused = false;
  // Every line that extraction would pass over says why.
  auto note = [&](const std::string& why) {
    if (why.empty()) return std::string();
    refused = true;
    return "  (not extracted: " + why + ")";
  };
  ForEachFolder(bundle, o, [&](std::size_t i, const FolderArchive& archive) {
    const Folder& folder = bundle.folders[i];
    std::string top;
    bool first;
    const std::string why = rules.Folder(i, &top, &first);
    const std::vector<std::string> verdicts = rules.Members(i, archive.members);
    // A folder shows its line when taken whole, not for a file argument.
    if (o.select.Whole(folder)) {
      ++totals.folders;
      Print(stdout, "%12s  %19s  %s/%s\n", "", "", folder.path.c_str(), note(why).c_str());
    }
    for (std::size_t j = 0; j < archive.members.size(); ++j) {
      const base::Member& m = archive.members[j];
      ++totals.files;
      totals.bytes += m.size;
      Print(stdout, "%12llu  %s  %s/%s%s\n", static_cast<unsigned long long>(m.size),
            TimeText(m.Time()).c_str(), folder.path.c_str(), m.name.c_str(),
            note(why.empty() ? verdicts[j] : why).c_str());
    }
  });
  if (!o.quiet) {
    Print(stdout, "%s, %s, %s\n", base::Counted(totals.files, "file").c_str(),
          base::Counted(totals.folders, "folder").c_str(),
          base::Counted(totals.bytes, "byte").c_str());
  }
  return failures || refused ? kTrouble : 0;
}

}  // namespace extract
