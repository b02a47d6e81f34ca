#include "folder_tool/run_queue.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/diagnostic.h"
#include "base/system.h"
#include "base/threads.h"
#include "base/unnamed_file.h"
#include "folder_tool/command_line.h"
#include "folder_tool/interruption.h"
#include "folder_tool/spawn.h"

namespace trevask {

namespace {

constexpr std::size_t kHeldInMemory = 1 << 20;
// Runs that have ended while an earlier one runs on, beyond the running
// ones, before no more start: each may hold a scratch file open.
constexpr std::size_t kHeldRuns = 256;
// Output goes on in whole lines, so that no two streams meet inside one on
// a terminal; a line longer than this goes on in pieces.
constexpr std::size_t kLongestLine = 64 << 10;

// Output held until its run's turn: the first MiB in memory, the rest in a
// scratch file, and in memory again should that file fail.
class Held {
 public:
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    if (file_ != nullptr) std::fclose(file_);
  }

  void Add(const char* data, std::size_t size) {
    if (!spilled_ && head_.size() + size <= kHeldInMemory) {
      head_.append(data, size);
      return;
    }
    if (!spilled_) {
      spilled_ = true;
      file_ = base::OpenScratchFile();
      // Unbuffered: what a write says it took is in the file, and a full
      // disk shows at once, not at a later flush.
      if (file_ != nullptr) std::setvbuf(file_, nullptr, _IONBF, 0);
    }
    if (file_ != nullptr && tail_.empty()) {
      const std::size_t taken = std::fwrite(data, 1, size, file_);
      in_file_ += taken;
      data += taken;
      size -= taken;
    }
    // What the file took stays there, in order; the rest follows it.
    tail_.append(data, size);
  }

  template <typename Out>
  void WriteTo(Out out) {
    if (!head_.empty()) out(head_.data(), head_.size());
    if (file_ != nullptr && in_file_ != 0) {
      // Exactly what the file took, also after a write to it failed.
      std::rewind(file_);
      std::vector<char> buffer(1 << 16);
      std::size_t left = in_file_, n;
      while (left != 0 &&
             (n = std::fread(buffer.data(), 1, std::min(left, buffer.size()), file_)) > 0) {
        out(buffer.data(), n);
        left -= n;
      }
    }
    if (!tail_.empty()) out(tail_.data(), tail_.size());
    head_.clear();
    tail_.clear();
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    in_file_ = 0;
  }

 private:
  std::string head_, tail_;
  std::FILE* file_ = nullptr;
  std::size_t in_file_ = 0;
  bool spilled_ = false;
};

RunQueue* current = nullptr;

}  // namespace

struct RunQueue::Entry {
  std::function<void(int)> ended, done;
  bool* stopped = nullptr;
  std::unique_ptr<platform::StartedArchiver> child;
  std::vector<std::string> args;
  ArchiverKind kind = kPkzip25;
  ArchiverRun run;
  // Under the queue's mutex: its tasks (the run, its stderr's reader) not
  // yet over; it goes only once none is left.
  int tasks = 0;
  // Under the queue's mutex.
  bool started = false;      // child is set, or will never be
  bool errors_read = false;  // its stderr has ended
  // Under the queue's mutex.
  bool over = false;         // ended, and its output all read
  bool told = false;         // ended has been called
  bool live = false;         // its output goes on as it comes
  bool unstartable = false;  // its archiver could not be found or started
  int status = -1;
  Held held[2];
  // The program's own text said since this run started, before the next.
  std::vector<std::pair<std::FILE*, std::string>> after;
};

RunQueue::RunQueue(int jobs, std::function<void()> before_output,
                   std::function<void()> after_output)
    : jobs_(std::max(jobs, 1)),
      before_output_(std::move(before_output)),
      after_output_(std::move(after_output)) {
  if (jobs_ == 1) return;
  // Each archiver's own workers share the cores with the other runs.
  if (std::getenv("TREVASK_THREADS") == nullptr) {
    threads_ = std::to_string(std::max(0, base::UsableCores() / jobs_ - 1));
  }
  current = this;
  base::RouteLines(RouteToCurrent);
}

RunQueue::~RunQueue() {
  Finish();
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    closing_ = true;
    work_.notify_all();
  }
  for (std::thread& worker : workers_) worker.join();
  if (current == this) {
    base::RouteLines(nullptr);
    current = nullptr;
  }
}

void RunQueue::RouteToCurrent(std::FILE* stream, const std::string& text) {
  if (current != nullptr) current->Route(stream, text);
}

void RunQueue::Route(std::FILE* stream, const std::string& text) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (handing_on_ || entries_.empty()) {
    Write(stream == stdout ? 0 : 1, text.data(), text.size(), true);
  } else {
    entries_.back()->after.emplace_back(stream, text);
  }
}

void RunQueue::Write(int stream, const char* data, std::size_t size, bool own) {
  std::FILE* to = stream == 0 ? stdout : stderr;
  if (before_output_) before_output_();
  // This program's lines as it writes them everywhere, the archivers' as
  // they came.
  if (own) {
    base::WriteText(to, std::string(data, size));
  } else {
    base::PassOn(to, data, size);
  }
  base::FlushText(to);
  // A line cut short stays as it is on the screen.
  if (after_output_ && size != 0 && data[size - 1] == '\n') after_output_();
}

void RunQueue::WriteHeld(Entry* entry) {
  for (int stream = 0; stream < 2; ++stream) {
    entry->held[stream].WriteTo(
        [&](const char* data, std::size_t size) { Write(stream, data, size); });
  }
}

void RunQueue::Emit(Entry* entry, int stream, const char* data, std::size_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (entry->live) {
    Write(stream, data, size);
  } else {
    entry->held[stream].Add(data, size);
  }
}

void RunQueue::Pump(Entry* entry, int stream) {
  std::string pending;
  std::vector<char> buffer(1 << 16);
  long n;
  while ((n = entry->child->Read(stream, buffer.data(), buffer.size())) > 0) {
    pending.append(buffer.data(), static_cast<std::size_t>(n));
    const std::size_t end = pending.rfind('\n');
    std::size_t cut = end == std::string::npos ? 0 : end + 1;
    if (cut == 0 && pending.size() >= kLongestLine) cut = pending.size();
    if (cut == 0) continue;
    Emit(entry, stream, pending.data(), cut);
    pending.erase(0, cut);
  }
  if (!pending.empty()) Emit(entry, stream, pending.data(), pending.size());
}

// Ends a run that was never started, the reason said in its place.
void RunQueue::NotStarted(Entry* entry, int status, const std::string& why) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!why.empty()) {
    const std::string line = base::SaidLine(why);
    Emit(entry, 1, line.data(), line.size());
  }
  entry->unstartable = status == kCommandNotFoundStatus || !why.empty();
  entry->status = status;
  entry->started = true;
  entry->errors_read = true;
  entry->over = true;
  --running_;
  changed_.notify_all();
}

void RunQueue::ReadErrors(Entry* entry) {
  {
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    while (!entry->started) changed_.wait(lock);
    if (entry->child == nullptr) return;
  }
  Pump(entry, 1);
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  entry->errors_read = true;
  changed_.notify_all();
}

// A worker's task: the archiver is started from the worker, which lives
// until the queue is gone, so the archiver is not ended by a thread's end.
void RunQueue::Launch(Entry* entry) {
  int status = 0;
  std::string why;
  std::unique_ptr<platform::StartedArchiver> child =
      platform::StartArchiverProgram(entry->args, entry->run, &status, &why);
  if (child == nullptr) {
    NotStarted(entry, status,
               status == kCommandNotFoundStatus ? ArchiverNotFound(entry->kind) : why);
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    entry->child = std::move(child);
    entry->started = true;
    changed_.notify_all();
  }
  Pump(entry, 0);
  {
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    while (!entry->errors_read) changed_.wait(lock);
  }
  status = entry->child->Wait();
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  entry->child.reset();
  entry->status = status;
  entry->over = true;
  --running_;
  changed_.notify_all();
}

void RunQueue::Start(QueuedRun planned, std::function<void(int)> ended,
                     std::function<void(int)> done) {
  if (jobs_ == 1) {
    int status = -1;
    if (planned.ready) {
      FolderTool tool;
      status = tool.RunArchiver(planned.archive, planned.source, planned.options, planned.kind,
                                planned.run);
    }
    ended(status);
    done(status);
    return;
  }
  WaitForSlot();
  // A line that cannot be made is said before its run takes its place.
  std::vector<std::string> args;
  const bool line_ok = planned.ready && BuildArchiverArguments(planned.archive, planned.source,
                                                               planned.options, planned.kind,
                                                               &args);
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  auto made = std::make_unique<Entry>();
  Entry* entry = made.get();
  entry->ended = std::move(ended);
  entry->done = std::move(done);
  entry->stopped = planned.run.stopped;
  entry->live = entries_.empty();
  entries_.push_back(std::move(made));
  if (!line_ok) {
    entry->over = true;
    Advance();
    return;
  }
  if (planned.run.threads.empty()) planned.run.threads = threads_;
  if (std::fflush(stdout) != 0) base::NoteOutputError();
  ++running_;
  entry->args = std::move(args);
  entry->kind = planned.kind;
  entry->run = std::move(planned.run);
  // Out of threads, the run fails before its archiver starts, and so would
  // every later one.
  if (!Submit(entry, &RunQueue::ReadErrors) || !Submit(entry, &RunQueue::Launch)) {
    entry->started = true;
    NotStarted(entry, -1, "cannot start a thread for an archiver run: " + thread_error_);
    Advance();
  }
}

bool RunQueue::Submit(Entry* entry, Task task) {
  tasks_.emplace_back(entry, task);
  ++entry->tasks;
  if (tasks_.size() > idle_) {
    try {
      workers_.emplace_back(&RunQueue::Work, this);
      ++idle_;
    } catch (const std::system_error& e) {
      tasks_.pop_back();
      --entry->tasks;
      thread_error_ = e.what();
      return false;
    }
  }
  work_.notify_one();
  return true;
}

void RunQueue::Work() {
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  while (true) {
    while (tasks_.empty() && !closing_) work_.wait(lock);
    if (tasks_.empty()) return;
    const std::pair<Entry*, Task> task = tasks_.front();
    tasks_.pop_front();
    --idle_;
    lock.unlock();
    (this->*task.second)(task.first);
    lock.lock();
    ++idle_;
    --task.first->tasks;
    changed_.notify_all();
  }
}

void RunQueue::Advance() {
  for (auto& entry : entries_) {
    if (!entry->over || entry->told) continue;
    entry->told = true;
    if (entry->unstartable) stopped_ = true;
    entry->ended(entry->status);
  }
  while (!entries_.empty() && entries_.front()->over && entries_.front()->tasks == 0) {
    Entry* entry = entries_.front().get();
    WriteHeld(entry);
    handing_on_ = true;
    if (entry->unstartable && entry->stopped != nullptr) *entry->stopped = true;
    entry->done(entry->status);
    for (const auto& text : entry->after) {
      Write(text.first == stdout ? 0 : 1, text.second.data(), text.second.size(), true);
    }
    handing_on_ = false;
    entries_.pop_front();
    if (entries_.empty()) break;
    WriteHeld(entries_.front().get());
    entries_.front()->live = true;
  }
}

void RunQueue::AwaitChange(std::unique_lock<std::recursive_mutex>* lock) {
  changed_.wait_for(*lock, std::chrono::milliseconds(50));
  if (base::Interrupted() != 0) StopAll(lock);
  Advance();
}

void RunQueue::StopAll(std::unique_lock<std::recursive_mutex>* lock) {
  platform::StopArchivers(base::Interrupted());
  // As one at a time: a moment to clean up, then the end.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (running_ > 0 && std::chrono::steady_clock::now() < deadline) {
    changed_.wait_for(*lock, std::chrono::milliseconds(10));
  }
  while (running_ > 0) {
    platform::KillArchivers();
    changed_.wait_for(*lock, std::chrono::milliseconds(10));
  }
  for (auto& entry : entries_) {
    while (entry->tasks > 0) changed_.wait(*lock);
  }
  // What they wrote goes on in order, as far as the output takes it.
  handing_on_ = true;
  for (auto& entry : entries_) WriteHeld(entry.get());
  entries_.clear();
  handing_on_ = false;
  lock->unlock();
  ExitIfInterrupted();
  lock->lock();
}

void RunQueue::WaitForSlot() {
  if (jobs_ == 1) return;
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  if (base::Interrupted() != 0) StopAll(&lock);
  Advance();
  while (running_ >= jobs_ || entries_.size() >= static_cast<std::size_t>(jobs_) + kHeldRuns) {
    AwaitChange(&lock);
  }
}

void RunQueue::Finish() {
  if (jobs_ == 1) return;
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  Advance();
  while (!entries_.empty()) AwaitChange(&lock);
}

}  // namespace trevask
