// -t: unpacks every folder archive and every file in it, keeping nothing,
// to see that their sizes and CRCs hold.
#include <cstdio>

#include "extract/commands.h"

namespace extract {

int Verify(const Bundle& bundle, const Options& o) {
  using base::Print;
  std::atomic<std::uint64_t> files{0};
  std::uint64_t folders = 0, refused = 0;
  Rules rules = RulesOf(bundle, o);
  // What extraction would refuse is no damage, but no all-clear either.
  auto refuse = [&](const std::string& path, const std::string& why) {
    base::Say("refused: %s: %s", path.c_str(), why.c_str());
    ++refused;
  };
  {
    Workers workers(ThreadCount(), [&](Task& t) {
      std::string error;
      const Unpacked unpacked = base::CheckData(*t.source, t.member, &error);
      if (unpacked == Unpacked::kDone) {
        ++files;
      } else if (base::Interrupted()) {
      } else if (unpacked == Unpacked::kDamaged) {
        FailDamaged(t.path, error);
      } else {
        Fail(t.path + ": " + error);
      }
    });
    ForEachFolder(bundle, o, [&](std::size_t i, const FolderArchive& archive) {
      const Folder& folder = bundle.folders[i];
      ++folders;
      std::string top;
      bool first;
      const std::string why = rules.Folder(i, &top, &first);
      if (!why.empty() && first) refuse(top + "/", why);
      const std::vector<std::string> verdicts = rules.Members(i, archive.members);
      for (std::size_t j = 0; j < verdicts.size() && why.empty(); ++j) {
        if (!verdicts[j].empty()) refuse(folder.path + "/" + archive.members[j].name, verdicts[j]);
      }
      // The folder archive as a whole was checked when it was opened.
      for (const base::Member& m : archive.members) {
        workers.Push(Task{archive.source, m, folder.path + "/" + m.name, nullptr, ""});
      }
    });
  }
  if (base::Interrupted()) base::ExitInterrupted();
  // Damage apart from what could not be tested: a temporary file that
  // cannot be made is no fault of the bundle.
  if (damaged) base::Say("%d damaged in %s", damaged.load(), o.bundle.c_str());
  if (failures > damaged) {
    base::Say("%d not tested in %s", failures - damaged, o.bundle.c_str());
  }
  if (failures) return kTrouble;
  if (refused) {
    base::Say("%llu refused in %s", static_cast<unsigned long long>(refused), o.bundle.c_str());
    return kTrouble;
  }
  if (!o.quiet) {
    Print(stdout, "No errors in %s of %s of %s\n", base::Counted(files.load(), "file").c_str(),
          base::Counted(folders, "folder").c_str(), o.bundle.c_str());
  }
  return 0;
}

}  // namespace extract
