// Reads and deflates the members of one archive ahead of the writer, on
// worker threads, within a fixed window of memory. The bytes produced
// depend only on the input, never on the number of threads or their timing.
#ifndef TREVASK_ARCHIVER_PIPELINE_H_
#define TREVASK_ARCHIVER_PIPELINE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "archiver/archiver_fs.h"

namespace archiver {

// Info-ZIP's default level.
constexpr int kDeflateLevel = 6;
// A file up to this size is deflated as one buffer; a larger one in pieces
// of kPieceSize, each primed with the 32 KiB before it, joined into one
// deflate stream as pigz does.
constexpr std::size_t kWholeFileLimit = 8u << 20;
constexpr std::size_t kPieceSize = 1u << 20;
constexpr std::size_t kPriming = 32u << 10;
static_assert(kPieceSize >= kPriming, "a piece primes the next one with its own tail");

// The path is the caller's, and outlives the pipeline.
struct FileTask {
  std::string_view path;
  std::uint64_t size = 0;
};

struct Piece {
  std::vector<unsigned char> raw;  // the file's bytes, after `skip` of priming
  std::size_t skip = 0;
  // Deflated; empty when the member is stored, except in the later pieces
  // of a large file, made before the first piece decided.
  std::vector<unsigned char> packed;
  // The member's method, stored or deflated: decided once per file, on its
  // first piece, and read by the writer from there alone.
  bool store = false;
  std::uint32_t crc = 0;  // of the file's bytes alone
  std::string error;
  bool not_regular = false;  // no longer a regular file when opened
  const unsigned char* bytes() const { return raw.data() + skip; }
  std::size_t length() const { return raw.size() - skip; }
};

// Threads for a run over total_bytes of files: none for little work,
// otherwise one per core (TREVASK_THREADS overrides).
int ThreadsFor(std::uint64_t total_bytes);

class Pipeline {
 public:
  // With threads 0 each piece is made on the caller's thread when asked for;
  // threads the system will not start are left out, down to none.
  Pipeline(std::vector<FileTask> files, int threads);
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  std::size_t PieceCount(std::size_t file) const;
  // Waits for piece k of a file; valid until Release.
  const Piece& Get(std::size_t file, std::size_t k);
  void Release(std::size_t file, std::size_t k);

 private:
  // One for every file: kept small.
  struct Job {
    std::uint64_t offset;
    std::unique_ptr<Piece> piece;
    std::uint32_t file;
    std::uint32_t length;  // at most kWholeFileLimit
    bool first, last;
    enum State : std::uint8_t { kWaiting, kRunning, kDone, kReleased } state = kWaiting;
  };
  static_assert(kWholeFileLimit <= UINT32_MAX, "a job's length fits its field");
  struct Compressors;
  // Each file is opened once, by whichever piece comes first, and stays
  // open until its last piece has been read.
  struct Source {
    std::once_flag once;
    base::Opened opened = base::Opened::kFailed;
    base::FileHandle handle = base::kNoFile;
    std::string error;
    base::FileState state;   // as it was opened
    std::size_t unread = 0;  // pieces still to make
    std::atomic<std::size_t> reads_left{0};
  };

  void Work();
  bool Dispatchable();
  // What a job holds of the window: a small file's piece costs more than
  // its bytes, so that workers run only so far ahead on tiny files.
  static std::uint64_t Cost(const Job& job);
  // With the lock held: a job taken, and a job made.
  void Claim(Job* job);
  void Finish(Job* job);
  // Runs a job with the lock held on entry and exit, released meanwhile.
  void Run(Job* job, Compressors* compressors, std::unique_lock<std::mutex>* lock);
  void RunJob(Job* job, Compressors* compressors);
  std::size_t JobIndex(std::size_t file, std::size_t k) const {
    return first_job_[file] + k;
  }

  std::vector<FileTask> files_;
  std::vector<std::unique_ptr<Source>> sources_;
  std::vector<std::size_t> first_job_;
  std::vector<Job> jobs_;
  std::size_t next_ = 0;          // no job before it is waiting
  std::uint64_t in_flight_ = 0;   // cost of started, unreleased jobs
  int idle_workers_ = 0;          // waiting for a job
  std::uint64_t window_;
  bool stopping_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> workers_;
  std::unique_ptr<Compressors> own_;  // the caller's, for inline work
  // Released pieces of a large file, their buffers kept for the next ones:
  // made on the workers and freed on the writer, fresh buffers would stay
  // behind in each thread's heap, and the peak would wander with timing.
  std::vector<std::unique_ptr<Piece>> spare_;
};

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_PIPELINE_H_
