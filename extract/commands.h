// What trevask-extract's commands share: their options, how they report a
// failure, which folders and files they take, and the workers that unpack
// files.
#ifndef TREVASK_EXTRACT_COMMANDS_H_
#define TREVASK_EXTRACT_COMMANDS_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/diagnostic.h"
#include "base/path.h"
#include "base/system.h"
#include "extract/bundle.h"
#include "extract/extract_fs.h"

namespace extract {

// The NAME arguments, as -l writes paths, sorted against the bundle: a
// folder (with what is below it) or a file of one folder. With none, all of
// the tree is taken.
class Selection {
 public:
  Selection() = default;
  // Opens the archive of each folder that holds a file argument to find it
  // there; one that cannot be read is left for the command to fail.
  Selection(const Bundle& bundle, const std::vector<std::string>& names);

  // Every file of folder is taken.
  bool Whole(const Folder& folder) const;
  // Some file of folder is taken.
  bool Touched(const Folder& folder) const {
    return Whole(folder) || files_.count(folder.path) != 0;
  }
  // folder leads to a folder or file taken: it is made, its files are not.
  bool Above(const Folder& folder) const;
  // Drops the members of folder's archive that are not taken.
  void Keep(const Folder& folder, std::vector<base::Member>* members) const;
  // Nothing is taken: every name given matches nothing.
  bool Empty() const { return !all_ && folders_.empty() && files_.empty(); }
  // The names that match nothing, each with "" or why it is not there.
  const std::vector<std::pair<std::string, std::string>>& missing() const { return missing_; }

 private:
  bool all_ = true;
  std::vector<std::string> folders_;
  std::map<std::string, std::set<std::string>> files_;  // folder path -> names
  std::vector<std::pair<std::string, std::string>> missing_;
};

struct Options {
  enum Mode { kExtract, kList, kTest, kCompare } mode = kExtract;
  bool overwrite = false, quiet = false;
  std::string dest = ".", compare, bundle;
  std::vector<std::string> names;  // as given
  Selection select;                // once the bundle is read
};

// The rules of extraction for what the command takes.
Rules RulesOf(const Bundle& bundle, const Options& o);

// Exit statuses.
constexpr int kTrouble = 1, kUsageError = 2;

// Every failure is said on stderr as it happens and counted, from any
// thread; the count decides the exit status.
extern std::atomic<int> failures;
void Fail(const std::string& what);

// A failure that is damage in the bundle, said alike by every command:
// "damaged in the bundle: PATH (REASON)". Counted in failures and apart.
extern std::atomic<int> damaged;
void FailDamaged(const std::string& path, const std::string& reason);

// Opens folder's archive; one that cannot be read fails its folder, in one
// line.
bool OpenOrFail(const Bundle& bundle, const Folder& folder, FolderArchive* archive);

// Calls each(index of the folder, its archive holding only the members
// taken) for the folders with files taken that have their archive, in
// order; an archive that cannot be read fails its folder.
template <typename Each>
void ForEachFolder(const Bundle& bundle, const Options& o, Each each) {
  for (std::size_t i = 0; i < bundle.folders.size() && !base::Interrupted(); ++i) {
    const Folder& folder = bundle.folders[i];
    if (!o.select.Touched(folder) || !folder.has_archive) continue;
    FolderArchive archive;
    if (!OpenOrFail(bundle, folder, &archive)) continue;
    o.select.Keep(folder, &archive.members);
    each(i, archive);
  }
}

// One file of a folder archive, for the workers.
struct Task {
  std::shared_ptr<const base::Source> source;
  base::Member member;
  std::string path;   // Data/B/X/name
  DirPtr dir;         // extracting: its folder
  std::string disk;   // comparing: the file on disk
};

// Runs tasks on every core, handed over in batches: a folder's files go to
// one worker (two making files in one folder contend for it) unless they
// hold much data. The queue is bounded: the folders and archives held open
// at any time stay few, whatever the size of the tree. With no thread,
// Push runs the task itself.
class Workers {
 public:
  Workers(int threads, std::function<void(Task&)> work);
  ~Workers() { Finish(); }
  void Push(Task task);
  // Waits for every task pushed.
  void Finish();

 private:
  static constexpr std::size_t kBatch = 4096, kQueue = 4;
  static constexpr std::uint64_t kBatchBytes = 4 << 20;
  void Hand();
  void Loop();
  std::function<void(Task&)> work_;
  std::vector<std::thread> threads_;
  std::vector<Task> batch_;
  std::uint64_t batch_bytes_ = 0;
  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<std::vector<Task>> queue_;
  bool done_ = false;
};

// TREVASK_THREADS, else one per core up to 16.
int ThreadCount();

// The commands; each returns the exit status.
int List(const Bundle& bundle, const Options& o);      // -l
int Verify(const Bundle& bundle, const Options& o);    // -t
int Restore(const Bundle& bundle, const Options& o);   // the default
int Compare(const Bundle& bundle, const Options& o);   // --compare

}  // namespace extract

#endif  // TREVASK_EXTRACT_COMMANDS_H_
