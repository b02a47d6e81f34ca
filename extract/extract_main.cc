// trevask-extract: gets the files of a Trevask bundle back, lists them,
// tests them, or compares them with a folder on disk.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "base/diagnostic.h"
#include "base/path.h"
#include "base/system.h"
#include "base/threads.h"
#include "extract/bundle.h"
#include "extract/extract_fs.h"
#include "base/file_id.h"
#include "base/folder_link.h"

namespace extract {

namespace {

using base::Print;

const char kUsage[] =
    "usage: trevask-extract [options] BUNDLE [FOLDER...]\n"
    "Gets back the folder tree that trevask packed into BUNDLE, under its own\n"
    "name (the bundle of src/Data gives Data/). FOLDERs, written as -l shows\n"
    "them (Data/B/X), restrict it to those folders and what is below them.\n"
    "\n"
    "  -d DIR           extract under DIR instead of the current folder\n"
    "  -o               overwrite existing files (never done without it)\n"
    "  -l               list the files of the tree: size, time, path\n"
    "  -t               test every file of every folder archive\n"
    "  --compare FOLDER compare the bundle with FOLDER on disk, one line per\n"
    "                   difference; exit status 0 only when they are the same\n"
    "  -q               quiet: only errors\n"
    "  --help, --version\n"
    "\n"
    "Every file takes its name only when complete and checked. A failed run's\n"
    "bundle gives back the folders whose archives it holds and names the rest.\n"
    "\n"
    "Exit status: 0 done; 1 some files failed, were refused or differ, or\n"
    "folders lack their archive; 2 wrong arguments, or BUNDLE cannot be read or\n"
    "is not a bundle.\n";

struct Options {
  enum Mode { kExtract, kList, kTest, kCompare } mode = kExtract;
  bool overwrite = false, quiet = false;
  std::string dest = ".", compare, bundle;
  std::vector<std::string> folders;
};

// Exit statuses.
constexpr int kTrouble = 1, kUsageError = 2;

std::mutex out_mutex;
std::atomic<int> failures{0};

void Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(out_mutex);
  Print(stderr, "trevask-extract: %s\n", what.c_str());
  ++failures;
}

int ParseArguments(const std::vector<std::string>& args, Options* o) {
  bool options_end = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    if (options_end || a.empty() || a[0] != '-' || a == "-") {
      if (o->bundle.empty()) {
        o->bundle = a;
      } else {
        o->folders.push_back(a);
      }
    } else if (a == "--") {
      options_end = true;
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "--version") {
      std::puts("trevask-extract 1.0.0");
      std::exit(0);
    } else if (a == "-d") {
      if (!value(&o->dest)) return kUsageError;
    } else if (a == "--compare") {
      if (!value(&o->compare)) return kUsageError;
      o->mode = Options::kCompare;
    } else if (a == "-l" || a == "-t") {
      o->mode = a == "-l" ? Options::kList : Options::kTest;
    } else if (a == "-o" || a == "-q") {
      (a == "-o" ? o->overwrite : o->quiet) = true;
    } else {
      Print(stderr, "trevask-extract: unknown option %s\n", a.c_str());
      return kUsageError;
    }
  }
  if (o->bundle.empty()) return kUsageError;
  if (o->mode == Options::kCompare && !o->folders.empty()) {
    Print(stderr, "trevask-extract: --compare takes the whole bundle, no FOLDER\n");
    return kUsageError;
  }
  return 0;
}

// One file of a folder archive, for the workers.
struct Task {
  std::shared_ptr<const Source> source;
  Member member;
  std::string path;   // Data/B/X/name
  DirPtr dir;         // extracting: its folder
  std::string disk;   // comparing: the file on disk
};

// Runs tasks on every core, handed over in batches: a folder's files go to
// one worker (two making files in one folder contend for it) unless they
// hold much data. The queue is bounded: the folders and archives held open
// at any time stay few, whatever the size of the tree.
class Workers {
 public:
  Workers(int threads, std::function<void(Task&)> work) : work_(std::move(work)) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Loop(); });
  }
  ~Workers() { Finish(); }
  void Push(Task task) {
    if (threads_.empty()) return work_(task);
    if (!batch_.empty() && (batch_.back().source != task.source || batch_.size() >= kBatch)) {
      Hand();
    }
    batch_bytes_ += task.member.size;
    batch_.push_back(std::move(task));
    if (batch_bytes_ >= kBatchBytes) Hand();
  }
  void Finish() {
    if (!batch_.empty()) Hand();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  static constexpr std::size_t kBatch = 4096, kQueue = 4;
  static constexpr std::uint64_t kBatchBytes = 4 << 20;
  void Hand() {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return queue_.size() < kQueue; });
    queue_.push_back(std::move(batch_));
    batch_.clear();
    batch_bytes_ = 0;
    ready_.notify_one();
  }
  void Loop() {
    while (true) {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return done_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::vector<Task> batch = std::move(queue_.front());
      queue_.pop_front();
      room_.notify_one();
      lock.unlock();
      // After Ctrl-C the rest is only dropped.
      for (Task& task : batch) {
        if (!base::Interrupted()) work_(task);
      }
    }
  }
  std::function<void(Task&)> work_;
  std::vector<std::thread> threads_;
  std::vector<Task> batch_;
  std::uint64_t batch_bytes_ = 0;
  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<std::vector<Task>> queue_;
  bool done_ = false;
};

int ThreadCount() {
  const int forced = base::ForcedThreads();
  return forced >= 0 ? forced : std::max(1, base::CoreThreads());
}

class NullSink : public Sink {
 public:
  bool Write(const unsigned char*, std::size_t, std::string*) override { return true; }
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

// Compares what is unpacked with a file on disk.
class CompareSink : public Sink {
 public:
  explicit CompareSink(std::FILE* f) : f_(f), buffer_(256 * 1024) {}
  bool Write(const unsigned char* data, std::size_t n, std::string* error) override {
    while (n > 0) {
      std::size_t want = std::min(n, buffer_.size());
      if (std::fread(buffer_.data(), 1, want, f_) != want ||
          std::memcmp(buffer_.data(), data, want) != 0) {
        differs = true;
        *error = "differs";
        return false;
      }
      data += want;
      n -= want;
    }
    return true;
  }
  bool differs = false;

 private:
  std::FILE* f_;
  std::vector<unsigned char> buffer_;
};

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// FOLDER arguments as paths of the listing: '/' between names, no trailing
// separator.
bool Selected(const Folder& folder, const std::vector<std::string>& wanted) {
  if (wanted.empty()) return true;
  for (const std::string& w : wanted) {
    if (folder.path == w || folder.path.compare(0, w.size() + 1, w + "/") == 0) return true;
  }
  return false;
}

bool Above(const Folder& folder, const std::vector<std::string>& wanted) {
  for (const std::string& w : wanted) {
    if (w.compare(0, folder.path.size() + 1, folder.path + "/") == 0) return true;
  }
  return false;
}

std::vector<std::string> Subfolders(const Bundle& bundle, std::size_t index) {
  std::vector<std::string> names;
  const Folder& f = bundle.folders[index];
  for (std::size_t j = index + 1; j < bundle.folders.size(); ++j) {
    const Folder& g = bundle.folders[j];
    if (g.names.size() <= f.names.size() ||
        !std::equal(f.names.begin(), f.names.end(), g.names.begin())) {
      break;
    }
    if (g.names.size() == f.names.size() + 1) names.push_back(g.names.back());
  }
  return names;
}

std::string TimeText(std::int64_t t) {
  std::tm tm{};
  char text[32] = "?";
  if (LocalTime(t, &tm)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

struct Totals {
  std::uint64_t files = 0, folders = 0, bytes = 0;
};

// Calls each(folder, its archive) for the selected folders, in order;
// a folder archive that cannot be read fails its folder.
template <typename Each>
void ForEachFolder(const Bundle& bundle, const Options& o, Each each) {
  for (std::size_t i = 0; i < bundle.folders.size() && !base::Interrupted(); ++i) {
    const Folder& folder = bundle.folders[i];
    if (!Selected(folder, o.folders) || !folder.has_archive) continue;
    FolderArchive archive;
    std::string error;
    if (!OpenFolderArchive(bundle, folder, &archive, &error)) {
      Fail(folder.path + ": its archive " + bundle.members[folder.archive].name +
           " cannot be read: " + error);
      continue;
    }
    each(i, archive);
  }
}

int List(const Bundle& bundle, const Options& o) {
  Totals totals;
  ForEachFolder(bundle, o, [&](std::size_t i, const FolderArchive& archive) {
    const Folder& folder = bundle.folders[i];
    ++totals.folders;
    Print(stdout, "%12s  %19s  %s/\n", "", "", folder.path.c_str());
    for (const Member& m : archive.members) {
      ++totals.files;
      totals.bytes += m.size;
      Print(stdout, "%12llu  %s  %s/%s\n", static_cast<unsigned long long>(m.size),
            TimeText(m.Time()).c_str(), folder.path.c_str(), m.name.c_str());
    }
  });
  if (!o.quiet) {
    Print(stdout, "%llu files, %llu folders, %llu bytes\n",
          static_cast<unsigned long long>(totals.files),
          static_cast<unsigned long long>(totals.folders),
          static_cast<unsigned long long>(totals.bytes));
  }
  return failures ? kTrouble : 0;
}

int Test(const Bundle& bundle, const Options& o) {
  std::atomic<std::uint64_t> files{0};
  std::uint64_t folders = 0;
  {
    Workers workers(ThreadCount(), [&](Task& t) {
      NullSink sink;
      std::string error;
      if (!Unpack(*t.source, t.member, &sink, &error)) {
        if (!base::Interrupted()) Fail(t.path + ": " + error);
      } else {
        ++files;
      }
    });
    ForEachFolder(bundle, o, [&](std::size_t i, const FolderArchive& archive) {
      const Folder& folder = bundle.folders[i];
      ++folders;
      // The folder archive as a whole, then each of its files.
      const Member& outer = bundle.members[folder.archive];
      workers.Push(Task{bundle.file, outer, folder.path + " (its archive " + outer.name + ")",
                        nullptr, ""});
      --files;
      for (const Member& m : archive.members) {
        workers.Push(Task{archive.source, m, folder.path + "/" + m.name, nullptr, ""});
      }
    });
  }
  if (base::Interrupted()) base::ExitInterrupted();
  if (failures) {
    Print(stderr, "trevask-extract: %d damaged in %s\n", failures.load(), o.bundle.c_str());
    return kTrouble;
  }
  if (!o.quiet) {
    Print(stdout, "No errors in %llu files of %llu folders of %s\n",
          static_cast<unsigned long long>(files.load()),
          static_cast<unsigned long long>(folders), o.bundle.c_str());
  }
  return 0;
}

int Extract(const Bundle& bundle, const Options& o) {
  std::string error;
  DirPtr dest = OpenDestination(o.dest, &error);
  if (!dest) {
    Print(stderr, "trevask-extract: %s\n", error.c_str());
    return kUsageError;
  }
  std::atomic<std::uint64_t> files{0}, bytes{0};
  std::uint64_t folders = 0;
  Workers workers(ThreadCount(), [&](Task& t) {
    std::string why;
    Put status;
    std::unique_ptr<NewFile> file =
        NewFile::Create(t.dir, t.member.name, o.overwrite, &status, &why);
    if (status == Put::kExists) return Fail(t.path + ": exists; not replaced (-o replaces it)");
    FileSink sink(file.get());
    const std::uint32_t mode = t.member.UnixMode();
    if (!file || !Unpack(*t.source, t.member, &sink, &why) ||
        !file->Commit(t.member.Time(), mode ? static_cast<std::int32_t>(mode & 07777) : -1,
                      &why)) {
      if (!base::Interrupted()) Fail(t.path + ": not extracted: " + why);
      return;
    }
    ++files;
    bytes += t.member.size;
  });
  // The open folders from the top down to the current one.
  std::vector<std::pair<std::string, DirPtr>> open;
  std::set<std::string> refused;
  for (std::size_t i = 0; i < bundle.folders.size() && !base::Interrupted(); ++i) {
    const Folder& folder = bundle.folders[i];
    const bool selected = Selected(folder, o.folders);
    if (!selected && !Above(folder, o.folders)) continue;
    if (refused.count(FolderOf(folder.path))) {
      refused.insert(folder.path);
      continue;
    }
    while (!open.empty() && open.back().first != FolderOf(folder.path)) open.pop_back();
    const DirPtr& parent = open.empty() ? dest : open.back().second;
    std::string why = base::NameRuleBroken(folder.names.back());
    DirPtr dir = why.empty() ? EnterFolder(parent, folder.names.back(), true, &why) : nullptr;
    if (!dir) {
      Fail(folder.path + "/: not extracted, nor anything below it: " + why);
      refused.insert(folder.path);
      continue;
    }
    open.emplace_back(folder.path, dir);
    if (!selected || !folder.has_archive) continue;
    ++folders;
    FolderArchive archive;
    if (!OpenFolderArchive(bundle, folder, &archive, &why)) {
      Fail(folder.path + ": its archive " + bundle.members[folder.archive].name +
           " cannot be read: " + why);
      continue;
    }
    const std::vector<std::string> subfolders = Subfolders(bundle, i);
    std::set<std::string> names;
    for (const Member& m : archive.members) {
      std::string path = folder.path + "/" + m.name;
      std::string problem = MemberProblem(m, subfolders);
      if (problem.empty() && !names.insert(m.name).second) problem = "twice in its folder archive";
      if (problem.empty()) problem = base::NameRuleBroken(m.name);
      if (!problem.empty()) {
        Fail(path + ": not extracted: " + problem);
        continue;
      }
      workers.Push(Task{archive.source, m, path, dir, ""});
    }
  }
  workers.Finish();
  if (base::Interrupted()) base::ExitInterrupted();
  if (!o.quiet) {
    Print(stdout, "%llu files in %llu folders, %llu bytes%s\n",
          static_cast<unsigned long long>(files.load()),
          static_cast<unsigned long long>(folders),
          static_cast<unsigned long long>(bytes.load()),
          failures ? "; see the errors above" : "");
  }
  return failures ? kTrouble : 0;
}

struct DiskFile {
  bool folder = false;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
  std::uint32_t mode = 0;
};

// The tree on disk, keyed as the listing shows paths, as trevask walks it:
// links to folders followed by its rule (a loop left out), links that lead
// nowhere and special files left out as the archivers leave them out.
void WalkDisk(const std::string& dir, const std::string& shown,
              std::vector<base::FileId>* walked,
              std::map<std::string, DiskFile>* tree) {
  std::vector<base::Entry> entries;
  std::string error;
  if (!base::ListFolder(dir, &entries, &error)) {
    Fail(error);
    return;
  }
  for (const base::Entry& e : entries) {
    std::string path = shown + "/" + e.name;
    const std::string child = dir + base::kSeparator + e.name;
    if (e.type == base::Entry::kFile) {
      (*tree)[path] = DiskFile{false, e.size, e.mtime, e.mode};
    } else if (e.type == base::Entry::kFolder ||
               (e.skipped == base::Entry::Skipped::kFolderLink &&
                base::JudgeFolderLink(*walked, dir, child) == base::FolderLink::kFollow)) {
      (*tree)[path + "/"] = DiskFile{true, 0, e.mtime, e.mode};
      base::FileId id;
      walked->push_back(base::GetFileId(child, &id) ? id
                                                                  : base::FileId());
      WalkDisk(child, path, walked, tree);
      walked->pop_back();
    } else if (e.type == base::Entry::kUnreadable) {
      Fail(path + ": " + e.why_skipped);
    }
  }
}

int Compare(const Bundle& bundle, const Options& o) {
  const std::string root = bundle.folders[0].path;
  std::map<std::string, DiskFile> disk;
  if (!base::IsFolder(o.compare)) {
    Print(stderr, "trevask-extract: not a folder: %s\n", o.compare.c_str());
    return kUsageError;
  }
  disk[root + "/"] = DiskFile{true, 0, 0, 0};
  std::vector<base::FileId> walked(1);
  base::GetFileId(o.compare, &walked[0]);
  WalkDisk(o.compare, root, &walked, &disk);
  std::mutex lines_mutex;
  std::vector<std::string> lines;
  auto differ = [&](const std::string& what, const std::string& path) {
    std::lock_guard<std::mutex> lock(lines_mutex);
    lines.push_back(path + "\t" + what);
  };
  std::set<std::string> in_bundle;
  {
    Workers workers(ThreadCount(), [&](Task& t) {
      int error_number = 0;
      std::FILE* f = base::OpenForReading(t.disk, &error_number);
      if (f == nullptr) {
        Fail(t.path + ": cannot open " + t.disk + ": " + std::strerror(error_number));
        return;
      }
      CompareSink sink(f);
      std::string error;
      if (!Unpack(*t.source, t.member, &sink, &error)) {
        if (sink.differs) {
          differ("changed content", t.path);
        } else if (!base::Interrupted()) {
          Fail(t.path + ": " + error);
        }
      }
      std::fclose(f);
    });
    ForEachFolder(bundle, o, [&](std::size_t i, const FolderArchive& archive) {
      const Folder& folder = bundle.folders[i];
      in_bundle.insert(folder.path + "/");
      if (!disk.count(folder.path + "/")) {
        // Its files are not named one by one.
        return differ("removed folder", folder.path + "/");
      }
      std::string dir = o.compare;
      for (std::size_t n = 1; n < folder.names.size(); ++n) {
        dir += base::kSeparator + folder.names[n];
      }
      for (const Member& m : archive.members) {
        std::string path = folder.path + "/" + m.name;
        in_bundle.insert(path);
        auto there = disk.find(path);
        if (there == disk.end() || there->second.folder) {
          differ("removed", path);
          continue;
        }
        if (there->second.size != m.size) {
          differ("changed size", path);
        } else {
          workers.Push(Task{archive.source, m, path, nullptr,
                            dir + base::kSeparator + m.name});
        }
        // Without the exact time, the header's has two seconds' grain.
        std::int64_t t = there->second.mtime;
        bool same = m.has_unix_time ? m.unix_time == t
                                    : (DosTimeOf(t) == (static_cast<std::uint32_t>(m.dos_date) << 16 | m.dos_time) ||
                                       DosTimeOf(t - 1) == (static_cast<std::uint32_t>(m.dos_date) << 16 | m.dos_time) ||
                                       DosTimeOf(t + 1) == (static_cast<std::uint32_t>(m.dos_date) << 16 | m.dos_time));
        if (!same) differ("changed time", path);
        // The bits extraction restores, where files have them.
        const std::uint32_t recorded = m.UnixMode() & 07777;
        if (AllowedMode() != 0 && recorded != 0 && (there->second.mode & 07777) != recorded) {
          differ("changed mode", path);
        }
      }
    });
  }
  if (base::Interrupted()) base::ExitInterrupted();
  for (const auto& entry : disk) {
    if (in_bundle.count(entry.first)) continue;
    // Only the top of an added folder.
    std::string parent = FolderOf(entry.first.back() == '/' ? entry.first.substr(0, entry.first.size() - 1) : entry.first) + "/";
    if (!in_bundle.count(parent)) continue;
    differ(entry.second.folder ? "added folder" : "added", entry.first);
  }
  // What lies in a folder whose archive is missing cannot be told apart.
  for (const Folder& folder : bundle.folders) {
    if (folder.has_archive) continue;
    const std::string top = folder.path + "/";
    lines.erase(std::remove_if(lines.begin(), lines.end(), [&](const std::string& line) {
                  const std::string path = line.substr(0, line.find('\t'));
                  return path.compare(0, top.size(), top) == 0 &&
                         path.find('/', top.size()) >= path.size() - 1;
                }),
                lines.end());
  }
  std::sort(lines.begin(), lines.end());
  for (const std::string& line : lines) {
    std::size_t tab = line.find('\t');
    Print(stdout, "%s: %s\n", line.substr(tab + 1).c_str(), line.substr(0, tab).c_str());
  }
  if (failures) return kUsageError;
  return lines.empty() ? 0 : kTrouble;
}

}  // namespace

int Main(int argc, char** argv) {
  base::InstallInterruptHandlers();
  AllowedMode();  // reads the umask before any thread runs
  Options o;
  if (ParseArguments(base::Arguments(argc, argv), &o) != 0) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  for (std::string& f : o.folders) {
    if (base::kSeparator == '\\') std::replace(f.begin(), f.end(), '\\', '/');
    while (f.size() > 1 && f.back() == '/') f.pop_back();
  }
  Bundle bundle;
  std::vector<std::string> problems;
  std::string error;
  if (!ReadBundle(o.bundle, &bundle, &problems, &error)) {
    Print(stderr, "trevask-extract: %s\n", error.c_str());
    return kUsageError;
  }
  if (!problems.empty()) {
    Print(stderr, "trevask-extract: %s is not a bundle of folder archives as trevask makes it:\n",
          o.bundle.c_str());
    for (std::size_t i = 0; i < problems.size() && i < 20; ++i) {
      Print(stderr, "  %s\n", problems[i].c_str());
    }
    if (problems.size() > 20) Print(stderr, "  and %zu more\n", problems.size() - 20);
    return kUsageError;
  }
  // A failed run's bundle: what it holds is given back, and what it lacks
  // named.
  bool lacking = false;
  if (bundle.root_from_file_name) {
    Print(stderr, "trevask-extract: %s holds no archive of its top folder (from a failed "
          "run?); the tree is named %s/ after the bundle\n",
          o.bundle.c_str(), bundle.folders[0].path.c_str());
    lacking = true;
  }
  for (const Folder& folder : bundle.folders) {
    if (folder.has_archive || !Selected(folder, o.folders)) continue;
    if (bundle.root_from_file_name && folder.names.size() == 1) continue;
    Print(stderr, "trevask-extract: %s: its archive %s is not in the bundle (from a failed "
          "run?); its files are not there\n",
          folder.path.c_str(), ArchiveName(folder).c_str());
    lacking = true;
  }
  for (const std::string& f : o.folders) {
    bool found = false;
    for (const Folder& folder : bundle.folders) found = found || folder.path == f;
    if (!found) {
      Print(stderr, "trevask-extract: no folder %s in %s (-l lists them)\n", f.c_str(),
            o.bundle.c_str());
      return kUsageError;
    }
  }
  int status = 0;
  switch (o.mode) {
    case Options::kList:
      status = List(bundle, o);
      break;
    case Options::kTest:
      status = Test(bundle, o);
      break;
    case Options::kCompare:
      status = Compare(bundle, o);
      break;
    case Options::kExtract:
      status = Extract(bundle, o);
      break;
  }
  if (lacking && status == 0) status = kTrouble;
  // A reader gone (| head) ends us as SIGPIPE would, never with 0.
  if (!base::FlushText(stdout) || base::Interrupted()) {
    if (base::Interrupted()) base::ExitInterrupted();
    return kTrouble;
  }
  return status;
}

}  // namespace extract

int main(int argc, char** argv) { return extract::Main(argc, argv); }
