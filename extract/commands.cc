#include "extract/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/threads.h"

namespace extract {

namespace {

// Keeps the lines of two threads' failures apart.
std::mutex out_mutex;

}  // namespace

std::atomic<int> failures{0};

void Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(out_mutex);
  base::Say("%s", what.c_str());
  ++failures;
}

// FOLDER arguments as paths of the listing: '/' between names, no trailing
// separator.
bool Selected(const Folder& folder, const std::vector<std::string>& wanted) {
  if (wanted.empty()) return true;
  for (const std::string& w : wanted) {
    if (folder.path == w || folder.path.compare(0, w.size() + 1, w + "/") == 0) return true;
  }
  return false;
}

Workers::Workers(int threads, std::function<void(Task&)> work) : work_(std::move(work)) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Loop(); });
}

void Workers::Push(Task task) {
  if (threads_.empty()) return work_(task);
  if (!batch_.empty() && (batch_.back().source != task.source || batch_.size() >= kBatch)) {
    Hand();
  }
  batch_bytes_ += task.member.size;
  batch_.push_back(std::move(task));
  if (batch_bytes_ >= kBatchBytes) Hand();
}

void Workers::Finish() {
  if (!batch_.empty()) Hand();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  ready_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

void Workers::Hand() {
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [this] { return queue_.size() < kQueue; });
  queue_.push_back(std::move(batch_));
  batch_.clear();
  batch_bytes_ = 0;
  ready_.notify_one();
}

void Workers::Loop() {
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

bool OpenOrFail(const Bundle& bundle, const Folder& folder, FolderArchive* archive) {
  std::string error;
  if (OpenFolderArchive(bundle, folder, archive, &error)) return true;
  Fail(folder.path + ": its archive " + bundle.members[folder.archive].name +
       " cannot be read: " + error);
  return false;
}

int ThreadCount() {
  const int forced = base::ForcedThreads();
  return forced >= 0 ? forced : std::max(1, base::CoreThreads());
}

}  // namespace extract
