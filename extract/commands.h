// What trevask-extract's commands share: their options, how they report a
// failure, which folders they take, and the workers that unpack files.
#ifndef TREVASK_EXTRACT_COMMANDS_H_
#define TREVASK_EXTRACT_COMMANDS_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/diagnostic.h"
#include "base/path.h"
#include "base/system.h"
#include "extract/bundle.h"
#include "extract/extract_fs.h"

namespace extract {

struct Options {
  enum Mode { kExtract, kList, kTest, kCompare } mode = kExtract;
  bool overwrite = false, quiet = false;
  std::string dest = ".", compare, bundle;
  std::vector<std::string> folders;
};

// Exit statuses.
constexpr int kTrouble = 1, kUsageError = 2;

// Every failure is said on stderr as it happens and counted, from any
// thread; the count decides the exit status.
extern std::atomic<int> failures;
void Fail(const std::string& what);

// Whether folder is one of the FOLDER arguments or below one; all are
// with none.
bool Selected(const Folder& folder, const std::vector<std::string>& wanted);

// Opens folder's archive; one that cannot be read fails its folder.
bool OpenOrFail(const Bundle& bundle, const Folder& folder, FolderArchive* archive);

// Calls each(index of the folder, its archive) for the selected folders
// that have their archive, in order; an archive that cannot be read fails
// its folder.
template <typename Each>
void ForEachFolder(const Bundle& bundle, const Options& o, Each each) {
  for (std::size_t i = 0; i < bundle.folders.size() && !base::Interrupted(); ++i) {
    const Folder& folder = bundle.folders[i];
    if (!Selected(folder, o.folders) || !folder.has_archive) continue;
    FolderArchive archive;
    if (OpenOrFail(bundle, folder, &archive)) each(i, archive);
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
