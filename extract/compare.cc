// --compare FOLDER: the bundle against a folder on disk, one line per
// difference, sorted by path.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "extract/commands.h"
#include "base/file_id.h"
#include "base/folder_link.h"

namespace extract {

namespace {

struct DiskFile {
  bool folder = false;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
  std::uint32_t mode = 0;
  std::string parent;  // the key of its folder
};

// Keyed as the listing shows paths; folders end in '/'.
using DiskTree = std::map<std::string, DiskFile>;

// The tree on disk as trevask walks it, by its rule for each entry
// (base::JudgeEntry).
void WalkDisk(const std::string& dir, const std::string& shown,
              std::vector<base::FileId>* walked, DiskTree* tree) {
  std::vector<base::Entry> entries;
  std::string error;
  if (!base::ListFolder(dir, &entries, &error)) {
    Fail(error);
    return;
  }
  for (const base::Entry& e : entries) {
    std::string path = shown + "/" + e.name;
    const std::string child = base::Join(dir, e.name);
    const base::Walked walk = base::JudgeEntry(*walked, dir, e);
    if (walk.kind == base::Walked::kFile) {
      (*tree)[path] = DiskFile{false, e.size, e.mtime, e.mode, shown + "/"};
    } else if (walk.kind == base::Walked::kFolder) {
      (*tree)[path + "/"] = DiskFile{true, 0, e.mtime, e.mode, shown + "/"};
      base::FileId id;
      walked->push_back(base::GetFileId(child, &id) ? id : base::FileId());
      WalkDisk(child, path, walked, tree);
      walked->pop_back();
    } else if (walk.kind == base::Walked::kUnreadable) {
      Fail(path + ": " + walk.why);
    }
  }
}

// The tree at folder, its top named root as the bundle names it.
DiskTree ReadDiskTree(const std::string& folder, const std::string& root) {
  DiskTree disk;
  disk[root + "/"] = DiskFile{true, 0, 0, 0, ""};
  std::vector<base::FileId> walked(1);
  base::GetFileId(folder, &walked[0]);
  WalkDisk(folder, root, &walked, &disk);
  return disk;
}

// The differences found, from any thread, as "path\twhat" so that they
// sort by path.
class Differences {
 public:
  void Add(const std::string& what, const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(path + "\t" + what);
  }

  // A damaged member's other lines are dropped: what its header says is not
  // to be trusted either.
  void Damaged(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    damaged_.insert(path);
  }

  // What lies in a folder whose archive is missing or cannot be read cannot
  // be told apart: its own files and subfolders are not named.
  void DropInFolders(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
      const std::string top = folder + "/";
      lines_.erase(std::remove_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
                     const std::string path = line.substr(0, line.find('\t'));
                     return path.compare(0, top.size(), top) == 0 &&
                            path.find('/', top.size()) >= path.size() - 1;
                   }),
                   lines_.end());
    }
  }

  // "what: path", sorted by path; false when there is none.
  bool Print() {
    lines_.erase(std::remove_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
                   return damaged_.count(line.substr(0, line.find('\t'))) != 0;
                 }),
                 lines_.end());
    std::sort(lines_.begin(), lines_.end());
    for (const std::string& line : lines_) {
      std::size_t tab = line.find('\t');
      base::Print(stdout, "%s: %s\n", line.substr(tab + 1).c_str(),
                      line.substr(0, tab).c_str());
    }
    return !lines_.empty();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::set<std::string> damaged_;
};

// Compares what is unpacked with a file on disk, and reads the member on to
// its end whatever it finds there, so that its size and CRC are checked:
// damage in the bundle is never taken for a change on disk.
class CompareSink : public Sink {
 public:
  explicit CompareSink(std::FILE* f) : f_(f), buffer_(256 * 1024) {}
  bool Write(const unsigned char* data, std::size_t n, std::string*) override {
    while (n > 0 && !differs && !unreadable) {
      std::size_t want = std::min(n, buffer_.size());
      const std::size_t got = std::fread(buffer_.data(), 1, want, f_);
      unreadable = got != want && std::ferror(f_);
      if (unreadable) why = base::LastErrorText();
      differs = !unreadable && (got != want || std::memcmp(buffer_.data(), data, want) != 0);
      data += want;
      n -= want;
    }
    return true;
  }
  // Also a file that grew since it was listed.
  bool Differs() { return differs || std::fgetc(f_) != EOF; }
  bool differs = false, unreadable = false;
  std::string why;  // when unreadable

 private:
  std::FILE* f_;
  std::vector<unsigned char> buffer_;
};

// A worker's job, for a file of the same size on disk.
void CompareContent(Task& t, Differences* differences) {
  int error_number = 0;
  std::FILE* f = base::OpenForReading(t.disk, &error_number);
  if (f == nullptr) {
    Fail(t.path + ": cannot open " + t.disk + ": " + std::strerror(error_number));
    return;
  }
  CompareSink sink(f);
  std::string error;
  const Unpacked unpacked = Unpack(*t.source, t.member, &sink, &error);
  const bool differs = unpacked == Unpacked::kDone && !sink.unreadable && sink.Differs();
  std::fclose(f);
  if (base::Interrupted()) return;
  if (unpacked == Unpacked::kDamaged) {
    differences->Damaged(t.path);
    FailDamaged(t.path, error);
  } else if (unpacked == Unpacked::kFailed) {
    Fail(t.path + ": " + error);
  } else if (sink.unreadable) {
    Fail(t.path + ": cannot read " + t.disk + ": " + sink.why);
  } else if (differs) {
    differences->Add("changed content", t.path);
  }
}

// Without the exact time, the header's has two seconds' grain.
bool SameTime(const base::Member& m, std::int64_t t) {
  if (m.has_unix_time) return m.unix_time == t;
  const std::uint32_t recorded = static_cast<std::uint32_t>(m.dos_date) << 16 | m.dos_time;
  return base::DosTimeOf(t) == recorded || base::DosTimeOf(t - 1) == recorded ||
         base::DosTimeOf(t + 1) == recorded;
}

// One folder's files against the disk: what is gone, and size, time and
// mode at once; the content of a file of the same size goes to the
// workers. Marks in in_bundle what the bundle holds.
void CompareFolder(const Folder& folder, const FolderArchive& archive, const Options& o,
                   const DiskTree& disk, std::set<std::string>* in_bundle,
                   Differences* differences, Workers* workers) {
  in_bundle->insert(folder.path + "/");
  if (!disk.count(folder.path + "/")) {
    // Its files are not named one by one.
    return differences->Add("removed folder", folder.path + "/");
  }
  std::string dir = o.compare;
  for (std::size_t n = 1; n < folder.names.size(); ++n) {
    dir = base::Join(dir, folder.names[n]);
  }
  for (const base::Member& m : archive.members) {
    std::string path = folder.path + "/" + m.name;
    in_bundle->insert(path);
    auto there = disk.find(path);
    if (there == disk.end() || there->second.folder) {
      differences->Add("removed", path);
      continue;
    }
    if (there->second.size != m.size) {
      differences->Add("changed size", path);
    } else {
      workers->Push(Task{archive.source, m, path, nullptr, base::Join(dir, m.name)});
    }
    if (!SameTime(m, there->second.mtime)) differences->Add("changed time", path);
    // The bits extraction restores, where files have them.
    const std::uint32_t recorded = m.UnixMode() & 07777;
    if (AllowedMode() != 0 && recorded != 0 && (there->second.mode & 07777) != recorded) {
      differences->Add("changed mode", path);
    }
  }
}

// What is on disk only: the top of each added folder, and files added to
// folders that the bundle holds.
void FindAdded(const DiskTree& disk, const std::set<std::string>& in_bundle,
               Differences* differences) {
  for (const auto& entry : disk) {
    if (in_bundle.count(entry.first)) continue;
    if (!in_bundle.count(entry.second.parent)) continue;
    differences->Add(entry.second.folder ? "added folder" : "added", entry.first);
  }
}

}  // namespace

int Compare(const Bundle& bundle, const Options& o) {
  if (!base::IsFolder(o.compare)) {
    base::Say("not a folder: %s", o.compare.c_str());
    return kUsageError;
  }
  const DiskTree disk = ReadDiskTree(o.compare, bundle.folders[0].path);
  Differences differences;
  std::set<std::string> in_bundle;
  std::vector<bool> compared(bundle.folders.size());
  {
    Workers workers(ThreadCount(), [&](Task& t) { CompareContent(t, &differences); });
    Rules rules = RulesOf(bundle, o);
    ForEachFolder(bundle, o, [&](std::size_t i, const FolderArchive& archive) {
      compared[i] = true;
      // What extraction would refuse is a difference whatever the disk holds.
      std::string top;
      bool first;
      const std::string why = rules.Folder(i, &top, &first);
      if (!why.empty() && first) differences.Add("refused", top + "/: " + why);
      const std::vector<std::string> verdicts = rules.Members(i, archive.members);
      for (std::size_t j = 0; j < verdicts.size() && why.empty(); ++j) {
        if (verdicts[j].empty()) continue;
        differences.Add("refused", bundle.folders[i].path + "/" + archive.members[j].name + ": " +
                                       verdicts[j]);
      }
      CompareFolder(bundle.folders[i], archive, o, disk, &in_bundle, &differences, &workers);
    });
  }
  if (base::Interrupted()) base::ExitInterrupted();
  // Those without their archive, and those whose archive failed (said).
  std::vector<std::string> unknown;
  for (std::size_t i = 0; i < bundle.folders.size(); ++i) {
    if (!compared[i]) unknown.push_back(bundle.folders[i].path);
  }
  FindAdded(disk, in_bundle, &differences);
  differences.DropInFolders(unknown);
  const bool differ = differences.Print();
  return differ || failures ? kTrouble : 0;
}

}  // namespace extract
