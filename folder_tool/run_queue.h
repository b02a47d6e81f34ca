// Archiver runs that go at once (-jN): up to a limit of them run, each
// started as FolderTool::RunArchiver starts one, and what they write is
// passed on in the order they were started, each run's stdout and stderr
// unbroken, with this program's own lines where they stand among them: the
// output reads as it would had they run one at a time.
#ifndef TREVASK_FOLDER_TOOL_RUN_QUEUE_H_
#define TREVASK_FOLDER_TOOL_RUN_QUEUE_H_

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "folder_tool/folder_tool.h"

namespace trevask {

// One archiver run as RunArchiver takes it.
struct QueuedRun {
  std::string archive, source;
  const char* options = "";
  ArchiverKind kind = kPkzip25;
  ArchiverRun run;
  // False: the run fails (-1) in its place without being started.
  bool ready = true;
};

class RunQueue {
 public:
  // At most jobs runs at once; 1: each run is RunArchiver's, waited for in
  // Start, its output the archiver's own. With more, unless the user set
  // TREVASK_THREADS, each archiver gets max(0, cores / jobs - 1) of it, and
  // base::Say's lines go through the queue while it lives. before_output
  // and after_output go around each write of whole lines (a terminal's
  // progress line makes way).
  RunQueue(int jobs, std::function<void()> before_output = nullptr,
           std::function<void()> after_output = nullptr);
  ~RunQueue();
  RunQueue(const RunQueue&) = delete;
  RunQueue& operator=(const RunQueue&) = delete;

  // Returns once another run may start, handing on meanwhile the runs that
  // have ended.
  void WaitForSlot();
  // Starts the run. ended(status) is called once it has ended, and
  // done(status) once everything before it and its own output have been
  // written, before any later run's output; both on the caller's thread,
  // from Start, WaitForSlot or Finish. An archiver that cannot be found or
  // started sets *run.stopped when its run is done.
  void Start(QueuedRun planned, std::function<void(int)> ended, std::function<void(int)> done);
  // Waits for every run and hands each on.
  void Finish();
  // True once an archiver could not be found or started: nothing more is
  // to start.
  bool Stopped() const { return stopped_; }

 private:
  struct Entry;
  using Task = void (RunQueue::*)(Entry*);
  bool Submit(Entry* entry, Task task);
  void Work();
  void Launch(Entry* entry);
  void WriteHeld(Entry* entry);
  void ReadErrors(Entry* entry);
  void NotStarted(Entry* entry, int status, const std::string& why);
  void Pump(Entry* entry, int stream);
  void Emit(Entry* entry, int stream, const char* data, std::size_t size);
  void Write(int stream, const char* data, std::size_t size, bool own = false);
  void Advance();
  void AwaitChange(std::unique_lock<std::recursive_mutex>* lock);
  void StopAll(std::unique_lock<std::recursive_mutex>* lock);
  void Route(std::FILE* stream, const std::string& text);
  static void RouteToCurrent(std::FILE* stream, const std::string& text);

  const int jobs_;
  std::string threads_;
  std::function<void()> before_output_, after_output_;
  std::recursive_mutex mutex_;
  std::condition_variable_any changed_;
  std::deque<std::unique_ptr<Entry>> entries_;  // started, not yet handed on
  // Threads that take the runs' tasks one after another: a run costs no
  // thread of its own.
  std::deque<std::pair<Entry*, Task>> tasks_;
  std::condition_variable_any work_;  // a task is there, or the queue is closing
  std::vector<std::thread> workers_;
  std::size_t idle_ = 0;  // workers not in a task
  bool closing_ = false;
  std::string thread_error_;  // why the last worker could not be made
  int running_ = 0;
  bool handing_on_ = false;
  bool stopped_ = false;
};

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_RUN_QUEUE_H_
