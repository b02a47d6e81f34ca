#include "extract/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "base/threads.h"

namespace extract {

namespace {

// Keeps the lines of two threads' failures apart.
std::mutex out_mutex;

}  // namespace

std::atomic<int> failures{0}, damaged{0};

void Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(out_mutex);
  base::Say("%s", what.c_str());
  ++failures;
}

namespace {

bool AtOrBelow(const std::string& path, const std::string& top) {
  return path == top || path.compare(0, top.size() + 1, top + "/") == 0;
}

}  // namespace

// Only the bundle's own folder paths are matched, and a file only against
// its folder's archive: a name never reaches the disk other than as the
// member it matched, which the command then checks as any other.
Selection::Selection(const Bundle& bundle, const std::vector<std::string>& names)
    : all_(names.empty()) {
  std::map<std::string, std::size_t> index;  // folder path -> folder
  for (std::size_t i = 0; i < bundle.folders.size(); ++i) index[bundle.folders[i].path] = i;
  // A folder's member names once read; none when its archive cannot be.
  std::map<std::size_t, std::optional<std::set<std::string>>> held;
  for (const std::string& given : names) {
    std::string name = given;
    if (base::kSeparator == '\\') std::replace(name.begin(), name.end(), '\\', '/');
    // A trailing '/' names a folder only, as -l writes folders.
    const bool folder_only = !name.empty() && name.back() == '/';
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    const bool is_folder = index.count(name) != 0;
    const std::size_t slash = name.rfind('/');
    auto parent = folder_only || slash == std::string::npos ? index.end()
                                                            : index.find(name.substr(0, slash));
    if (parent == index.end() ||
        (is_folder && !bundle.folders[parent->second].has_archive)) {
      if (is_folder) {
        folders_.push_back(name);
      } else {
        missing_.emplace_back(given, "");
      }
      continue;
    }
    const Folder& folder = bundle.folders[parent->second];
    if (!folder.has_archive) {
      missing_.emplace_back(given, "the archive of its folder is not there (from a failed run?)");
      continue;
    }
    auto in = held.find(parent->second);
    if (in == held.end()) {
      FolderArchive archive;
      std::string error;
      std::optional<std::set<std::string>> members;
      if (OpenFolderArchive(bundle, folder, &archive, &error) == Unpacked::kDone) {
        members.emplace();
        for (const base::Member& m : archive.members) members->insert(m.name);
      }
      in = held.emplace(parent->second, std::move(members)).first;
    }
    // A name that is both a file and a subfolder selects the file; a
    // trailing '/' the folder.
    const std::string file = name.substr(slash + 1);
    if (in->second && !in->second->count(file)) {
      if (is_folder) {
        folders_.push_back(name);
      } else {
        missing_.emplace_back(given, "");
      }
    } else if (is_folder && !in->second) {
      folders_.push_back(name);
    } else {
      files_[folder.path].insert(file);
    }
  }
}

bool Selection::Whole(const Folder& folder) const {
  if (all_) return true;
  for (const std::string& f : folders_) {
    if (AtOrBelow(folder.path, f)) return true;
  }
  return false;
}

bool Selection::Above(const Folder& folder) const {
  const std::string below = folder.path + "/";
  for (const std::string& f : folders_) {
    if (f.compare(0, below.size(), below) == 0) return true;
  }
  for (const auto& f : files_) {
    if (f.first.compare(0, below.size(), below) == 0) return true;
  }
  return false;
}

void Selection::Keep(const Folder& folder, std::vector<base::Member>* members) const {
  if (Whole(folder)) return;
  auto named = files_.find(folder.path);
  members->erase(std::remove_if(members->begin(), members->end(),
                                [&](const base::Member& m) {
                                  return named == files_.end() || !named->second.count(m.name);
                                }),
                 members->end());
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

void FailDamaged(const std::string& path, const std::string& reason) {
  ++damaged;
  Fail("damaged in the bundle: " + path + " (" + reason + ")");
}

bool OpenOrFail(const Bundle& bundle, const Folder& folder, FolderArchive* archive) {
  std::string error;
  const Unpacked opened = OpenFolderArchive(bundle, folder, archive, &error);
  if (opened == Unpacked::kDone) return true;
  if (base::Interrupted()) return false;
  const std::string what = "its archive " + bundle.members[folder.archive].name + ": " + error;
  if (opened == Unpacked::kDamaged) {
    FailDamaged(folder.path + "/", what);
  } else {
    Fail(folder.path + "/: " + what);
  }
  return false;
}

Rules RulesOf(const Bundle& bundle, const Options& o) {
  return Rules(bundle, o.bundle, [&o](const Folder& folder) { return o.select.Touched(folder); });
}

int ThreadCount() {
  const int forced = base::ForcedThreads();
  return forced >= 0 ? forced : std::max(1, base::CoreThreads());
}

}  // namespace extract
