// The default command: makes the tree's folders under the destination and
// gets every file of the selected folders back into them.
#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

#include "extract/commands.h"
#include "base/path.h"

namespace extract {

namespace {

struct Counts {
  std::atomic<std::uint64_t> files{0}, bytes{0};
  std::uint64_t folders = 0;
};

class FileSink : public Sink {
 public:
  explicit FileSink(NewFile* file) : file_(file) {}
  bool Write(const unsigned char* data, std::size_t n, std::string* error) override {
    return file_->Write(data, n, error);
  }

 private:
  NewFile* file_;
};

// A worker's job: the file takes its name (or replaces the old one) only
// once it is complete and checked.
void RestoreFile(Task& t, bool overwrite, Counts* counts) {
  std::string why;
  Put status;
  std::unique_ptr<NewFile> file = NewFile::Create(t.dir, t.member.name, overwrite, &status, &why);
  if (status == Put::kExists) return Fail(t.path + ": " + why + "; not replaced (-o replaces it)");
  FileSink sink(file.get());
  const std::uint32_t mode = t.member.UnixMode();
  const Unpacked unpacked = file ? Unpack(*t.source, t.member, &sink, &why) : Unpacked::kFailed;
  if (unpacked != Unpacked::kDone ||
      !file->Commit(t.member.Time(), mode ? static_cast<std::int32_t>(mode & 07777) : -1, &why)) {
    if (base::Interrupted()) return;
    if (unpacked == Unpacked::kDamaged) return FailDamaged(t.path, why);
    return Fail(t.path + ": not extracted: " + why);
  }
  ++counts->files;
  counts->bytes += t.member.size;
}

// The folders made on disk, entered parents first as the bundle lists
// them. Only the way from the top to the current folder stays open; a
// folder that cannot be made refuses everything below it.
class TreeOnDisk {
 public:
  explicit TreeOnDisk(DirPtr dest) : dest_(std::move(dest)) {}

  // The folder made or entered, or null when it or a folder above it is
  // refused (said once, for the top of what is refused).
  DirPtr Enter(const Folder& folder, Rules* rules, std::size_t index) {
    const std::string parent_path = FolderPath(folder.names, folder.names.size() - 1);
    if (refused_.count(parent_path)) {
      refused_.insert(folder.path);
      return nullptr;
    }
    std::string top;
    bool first;
    std::string why = rules->Folder(index, &top, &first);
    if (!why.empty()) {
      if (first) Fail(top + "/: not extracted, nor anything below it: " + why);
      refused_.insert(folder.path);
      return nullptr;
    }
    while (!open_.empty() && open_.back().first != parent_path) open_.pop_back();
    const DirPtr& parent = open_.empty() ? dest_ : open_.back().second;
    DirPtr dir = EnterFolder(parent, folder.names.back(), true, &why);
    if (!dir) {
      Fail(folder.path + "/: not extracted, nor anything below it: " + why);
      refused_.insert(folder.path);
      return nullptr;
    }
    open_.emplace_back(folder.path, dir);
    return dir;
  }

 private:
  DirPtr dest_;
  std::vector<std::pair<std::string, DirPtr>> open_;
  std::set<std::string> refused_;
};

// Hands the folder's files to the workers, each judged first: what could
// land outside its folder, or clash with another name there, is refused.
void QueueFiles(const Bundle& bundle, std::size_t index, const FolderArchive& archive,
                const DirPtr& dir, Rules* rules, Workers* workers) {
  const Folder& folder = bundle.folders[index];
  const std::vector<std::string> verdicts = rules->Members(index, archive.members);
  for (std::size_t j = 0; j < archive.members.size(); ++j) {
    const base::Member& m = archive.members[j];
    std::string path = folder.path + "/" + m.name;
    if (!verdicts[j].empty()) {
      Fail(path + ": not extracted: " + verdicts[j]);
      continue;
    }
    workers->Push(Task{archive.source, m, path, dir, ""});
  }
}

}  // namespace

int Restore(const Bundle& bundle, const Options& o) {
  using base::Print;
  std::string error;
  DirPtr dest = OpenDestination(o.dest, &error);
  if (!dest) {
    base::Say("%s", error.c_str());
    return kUsageError;
  }
  Counts counts;
  Workers workers(ThreadCount(), [&](Task& t) { RestoreFile(t, o.overwrite, &counts); });
  TreeOnDisk tree(dest);
  Rules rules = RulesOf(bundle, o);
  for (std::size_t i = 0; i < bundle.folders.size() && !base::Interrupted(); ++i) {
    const Folder& folder = bundle.folders[i];
    const bool touched = o.select.Touched(folder);
    if (!touched && !o.select.Above(folder)) continue;
    DirPtr dir = tree.Enter(folder, &rules, i);
    if (!dir || !touched || !folder.has_archive) continue;
    ++counts.folders;
    FolderArchive archive;
    if (!OpenOrFail(bundle, folder, &archive)) continue;
    o.select.Keep(folder, &archive.members);
    QueueFiles(bundle, i, archive, dir, &rules, &workers);
  }
  workers.Finish();
  if (base::Interrupted()) base::ExitInterrupted();
  if (!o.quiet) {
    Print(stdout, "%s in %s, %s%s\n", base::Counted(counts.files.load(), "file").c_str(),
          base::Counted(counts.folders, "folder").c_str(),
          base::Counted(counts.bytes.load(), "byte").c_str(),
          failures ? "; see the errors above" : "");
  }
  return failures ? kTrouble : 0;
}

}  // namespace extract
