#include "archiver/pipeline.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "archiver/archiver_fs.h"
#include "base/threads.h"

namespace archiver {

namespace {

// Below this a folder's files are done sooner on the main thread alone: on
// real trees (/usr/include, /usr/share/doc, curl's source; 2 cores) workers
// cost 2 to 16% below 1 MiB and paid from 1 to 1.5 MiB up
// (scripts/bench/threshold.py --paired).
constexpr std::uint64_t kThreadedWork = 1u << 20;
// More than the window holds at once.
constexpr std::size_t kSparePieces = 32;
// The least a job costs of the window: a piece's own bookkeeping.
constexpr std::uint64_t kJobCost = 4u << 10;
// A worker takes this many small jobs at once, one hand-off for them all.
constexpr std::size_t kBatchJobs = 64;
constexpr std::uint64_t kBatchBytes = 1u << 20;

// Info-ZIP's list of suffixes stored without trying: already compressed.
bool IsStoredByName(std::string_view name) {
  static const char* const kSuffixes[] = {".zip", ".z", ".zoo", ".arc", ".lzh", ".arj"};
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char* suffix : kSuffixes) {
    std::size_t n = std::strlen(suffix);
    if (lower.size() >= n && lower.compare(lower.size() - n, n, suffix) == 0) return true;
  }
  return false;
}

// The one choice between storing and deflating a member, made on its file's
// first piece: deflated only when that is smaller, judged on the whole file
// or, for a large file, on its first piece. packed is 0 when deflate gave up
// or was never tried (an empty file, or one stored by name).
bool StoreRatherThanDeflate(std::uint64_t length, std::size_t packed) {
  return packed == 0 || packed >= length;
}

}  // namespace

// Each thread keeps its own compressors and reuses them for every job.
struct Pipeline::Compressors {
  libdeflate_compressor* whole = libdeflate_alloc_compressor(kDeflateLevel);
  z_stream stream{};
  bool stream_ready = false;
  ~Compressors() {
    libdeflate_free_compressor(whole);
    if (stream_ready) deflateEnd(&stream);
  }

  // A whole file in one buffer; packed is left empty when deflate gives up.
  void DeflateWhole(Piece* piece) {
    std::vector<unsigned char>& packed = piece->packed;
    packed.resize(libdeflate_deflate_compress_bound(whole, piece->length()));
    packed.resize(libdeflate_deflate_compress(whole, piece->bytes(), piece->length(),
                                              packed.data(), packed.size()));
  }

  // One piece of a large file: raw deflate primed with the bytes before it,
  // ended by a sync flush (byte-aligned, not final) except at the end,
  // where flush is Z_FINISH.
  void DeflatePiece(const std::string& path, int flush, Piece* piece) {
    z_stream& s = stream;
    if (!stream_ready) {
      if (deflateInit2(&s, kDeflateLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        piece->error = "out of memory";
        return;
      }
      stream_ready = true;
    } else {
      deflateReset(&s);
    }
    if (piece->skip > 0) {
      deflateSetDictionary(&s, piece->raw.data(), static_cast<uInt>(piece->skip));
    }
    std::vector<unsigned char>& packed = piece->packed;
    packed.resize(deflateBound(&s, static_cast<uLong>(piece->length())) + 16);
    s.next_in = const_cast<unsigned char*>(piece->bytes());
    s.avail_in = static_cast<uInt>(piece->length());
    s.next_out = packed.data();
    s.avail_out = static_cast<uInt>(packed.size());
    int result = deflate(&s, flush);
    if (s.avail_in != 0 || (flush == Z_FINISH ? result != Z_STREAM_END : result != Z_OK)) {
      piece->error = "cannot deflate " + path;
      return;
    }
    packed.resize(packed.size() - s.avail_out);
  }
};

int ThreadsFor(std::uint64_t total_bytes) {
  const int forced = base::ForcedThreads();
  if (forced >= 0) return forced;
  if (total_bytes < kThreadedWork) return 0;
  const int cores = base::CoreThreads();
  return cores > 1 ? cores : 0;
}

Pipeline::Pipeline(std::vector<FileTask> files, int threads)
    : files_(std::move(files)) {
  first_job_.reserve(files_.size());
  jobs_.reserve(files_.size());
  for (std::size_t f = 0; f < files_.size(); ++f) {
    first_job_.push_back(jobs_.size());
    std::uint64_t size = files_[f].size;
    if (size <= kWholeFileLimit) {
      jobs_.push_back(Job{0, nullptr, static_cast<std::uint32_t>(f), static_cast<std::uint32_t>(size),
                          true, true, Job::kWaiting});
      continue;
    }
    for (std::uint64_t at = 0; at < size; at += kPieceSize) {
      const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(kPieceSize, size - at));
      jobs_.push_back(Job{at, nullptr, static_cast<std::uint32_t>(f), length, at == 0,
                          at + length == size, Job::kWaiting});
    }
  }
  // Enough for every worker to be busy while the writer drains the rest.
  window_ = kWholeFileLimit + static_cast<std::uint64_t>(threads + 2) * 2 * kPieceSize;
  own_.reset(new Compressors);
  // A file of one piece is opened, read and closed by its job alone.
  sources_.resize(files_.size());
  for (std::size_t f = 0; f < files_.size(); ++f) {
    if (PieceCount(f) == 1) continue;
    sources_[f].reset(new Source);
    sources_[f]->unread = PieceCount(f);
    sources_[f]->reads_left = PieceCount(f);
  }
  for (int i = 0; i < threads; ++i) {
    try {
      workers_.emplace_back(&Pipeline::Work, this);
    } catch (const std::system_error&) {
      break;  // out of threads (ulimit -u): fewer workers, or the caller's
    }
  }
}

Pipeline::~Pipeline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  for (auto& source : sources_) {
    if (source != nullptr) base::CloseSource(source->handle);
  }
}

std::size_t Pipeline::PieceCount(std::size_t file) const {
  std::size_t end = file + 1 < first_job_.size() ? first_job_[file + 1] : jobs_.size();
  return end - first_job_[file];
}

std::uint64_t Pipeline::Cost(const Job& job) {
  return std::max<std::uint64_t>(job.length, kJobCost);
}

bool Pipeline::Dispatchable() {
  while (next_ < jobs_.size() && jobs_[next_].state != Job::kWaiting) ++next_;
  return next_ < jobs_.size() &&
         (in_flight_ == 0 || in_flight_ + Cost(jobs_[next_]) <= window_);
}

void Pipeline::Claim(Job* job) {
  job->state = Job::kRunning;
  in_flight_ += Cost(*job);
  if (!(job->first && job->last) && !spare_.empty()) {
    job->piece = std::move(spare_.back());
    spare_.pop_back();
  }
}

void Pipeline::Finish(Job* job) {
  Source* source = sources_[job->file].get();
  if (source != nullptr && --source->unread == 0) {
    base::CloseSource(source->handle);
    source->handle = base::kNoFile;
  }
  job->state = Job::kDone;
}

void Pipeline::Run(Job* job, Compressors* compressors,
                   std::unique_lock<std::mutex>* lock) {
  Claim(job);
  lock->unlock();
  RunJob(job, compressors);
  lock->lock();
  Finish(job);
  changed_.notify_all();
}

void Pipeline::Work() {
  Compressors compressors;
  std::vector<Job*> batch;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    ++idle_workers_;
    changed_.wait(lock, [this] { return stopping_ || base::Interrupted() || Dispatchable(); });
    --idle_workers_;
    if (stopping_ || base::Interrupted()) return;
    batch.clear();
    std::uint64_t bytes = 0;
    do {
      Job* job = &jobs_[next_];
      Claim(job);
      batch.push_back(job);
      bytes += job->length;
    } while (batch.size() < kBatchJobs && bytes < kBatchBytes && Dispatchable());
    lock.unlock();
    for (Job* job : batch) RunJob(job, &compressors);
    lock.lock();
    for (Job* job : batch) Finish(job);
    changed_.notify_all();
  }
}

const Piece& Pipeline::Get(std::size_t file, std::size_t k) {
  Job* job = &jobs_[JobIndex(file, k)];
  std::unique_lock<std::mutex> lock(mutex_);
  // Not started (no workers, or asked for ahead of them): made here.
  if (job->state == Job::kWaiting) Run(job, own_.get(), &lock);
  changed_.wait(lock, [&] { return job->state == Job::kDone; });
  return *job->piece;
}

void Pipeline::Release(std::size_t file, std::size_t k) {
  std::lock_guard<std::mutex> lock(mutex_);
  Job& job = jobs_[JobIndex(file, k)];
  if (job.state != Job::kDone) return;
  job.state = Job::kReleased;
  // Whole files vary in size and are made once each: only pieces return.
  if (!(job.first && job.last) && job.piece != nullptr && spare_.size() < kSparePieces) {
    Piece& piece = *job.piece;
    piece.raw.clear();
    piece.packed.clear();
    piece.error.clear();
    piece.skip = 0;
    piece.store = piece.not_regular = false;
    piece.crc = 0;
    spare_.push_back(std::move(job.piece));
  }
  job.piece.reset();
  in_flight_ -= Cost(job);
  // Idle workers are woken once half the window is free, not at each
  // release: each would take one job and wait again.
  if (idle_workers_ > 0 && in_flight_ <= window_ / 2 && Dispatchable()) changed_.notify_all();
}

void Pipeline::RunJob(Job* job, Compressors* c) {
  if (job->piece == nullptr) job->piece.reset(new Piece);
  Piece& piece = *job->piece;
  const FileTask& file = files_[job->file];
  const std::string path(file.path);
  piece.skip = job->first ? 0 : kPriming;
  Source* shared = sources_[job->file].get();
  Source own;
  Source& source = shared != nullptr ? *shared : own;
  auto open = [&] {
    source.opened = OpenMemberFile(path, &source.handle, &source.state, &source.error);
  };
  if (shared != nullptr) {
    std::call_once(source.once, open);
  } else {
    open();
    source.reads_left = 1;
  }
  struct Closer {
    Source* own;
    ~Closer() {
      if (own != nullptr) base::CloseSource(own->handle);
    }
  } closer{shared == nullptr ? &own : nullptr};
  if (source.opened != base::Opened::kFile) {
    piece.error = source.error;
    piece.not_regular = source.opened == base::Opened::kNotRegular;
    return;
  }
  if (!base::ReadRange(source.handle, path,
                       {job->offset - piece.skip, job->length + piece.skip, job->last}, &piece.raw,
                       &piece.error)) {
    return;
  }
  // Written to while it was read: its pieces may hold bytes of different
  // moments. Checked as the last read ends, not after its deflating. Its
  // status changes too when it is renamed over or linked, which leaves
  // what was read whole.
  base::FileState now;
  if (source.reads_left.fetch_sub(1) == 1 &&
      (!base::StateOf(source.handle, &now) || now.size != source.state.size ||
       now.written != source.state.written)) {
    piece.error = path + " changed while it was read";
    return;
  }
  piece.crc = static_cast<std::uint32_t>(libdeflate_crc32(0, piece.bytes(), job->length));
  // Neither an empty file nor one already compressed is worth deflating.
  if (job->length > 0 && !IsStoredByName(path)) {
    if (job->first && job->last) {
      c->DeflateWhole(&piece);
    } else {
      c->DeflatePiece(path, job->last ? Z_FINISH : Z_SYNC_FLUSH, &piece);
      if (!piece.error.empty()) return;
    }
  }
  if (job->first) {
    piece.store = StoreRatherThanDeflate(job->length, piece.packed.size());
    if (piece.store) piece.packed.resize(0);
  }
}

}  // namespace archiver
