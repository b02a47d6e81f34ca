#include "archiver/archive_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "archiver/archiver_fs.h"

namespace archiver {

namespace {

// libzip reads an archive in small pieces and seeks before most of them:
// they are served from a window of it read at once.
constexpr std::size_t kWindow = 256u << 10;
// What is written is held here until this much is waiting: libzip goes
// back over each member's local header once its data is written, and a
// header still held is patched in memory, without a seek of the file.
constexpr std::size_t kOutBuffer = 1u << 20;

struct ArchiveFile {
  std::string path;
  base::FileHandle in = base::kNoFile;
  base::FileState opened;  // as it was opened
  bool reading = false;    // libzip has it open; it closes it before COMMIT_WRITE
  std::uint64_t at = 0;    // where libzip reads next
  std::unique_ptr<unsigned char[]> window;
  std::uint64_t window_at = 0;
  std::size_t window_size = 0;
  NewFile out;
  std::vector<unsigned char> held;  // the bytes from held_at on, not yet in the file
  std::uint64_t held_at = 0;
  std::uint64_t cursor = 0;   // where libzip writes next
  std::uint64_t end = 0;      // the length written, held bytes included
  std::uint64_t file_at = 0;  // where the file stands
  std::uint64_t* committed = nullptr;
  zip_error_t error;
};

void CloseInput(ArchiveFile* file) {
  base::CloseSource(file->in);
  file->in = base::kNoFile;
}

void CloseOutput(ArchiveFile* file) {
  Discard(&file->out);
  file->held.clear();
}

// Hands the held bytes to the file, seeking it only when they do not
// follow what it was given last.
bool Flush(ArchiveFile* file) {
  if (file->held.empty()) return true;
  if (file->file_at != file->held_at &&
      !base::SeekFile(file->out.file, static_cast<std::int64_t>(file->held_at), SEEK_SET)) {
    return false;
  }
  const std::size_t n = std::fwrite(file->held.data(), 1, file->held.size(), file->out.file);
  file->file_at = file->held_at + n;
  if (n < file->held.size()) return false;
  file->held_at = file->file_at;
  file->held.clear();
  return true;
}

// At the cursor: over held bytes where it falls on them, otherwise after
// handing them to the file.
bool Write(ArchiveFile* file, const unsigned char* data, std::size_t length) {
  const std::uint64_t held_end = file->held_at + file->held.size();
  const bool inside = file->cursor >= file->held_at && file->cursor <= held_end;
  if (!inside || (file->cursor + length > held_end &&
                  file->cursor + length - file->held_at > kOutBuffer && !file->held.empty())) {
    if (!Flush(file)) return false;
    file->held_at = file->cursor;
  }
  const std::size_t at = static_cast<std::size_t>(file->cursor - file->held_at);
  const std::size_t over = std::min(length, file->held.size() - at);
  std::memcpy(file->held.data() + at, data, over);
  file->held.insert(file->held.end(), data + over, data + length);
  file->cursor += length;
  file->end = std::max(file->end, file->cursor);
  return file->held.size() < kOutBuffer || Flush(file);
}

zip_int64_t Fail(ArchiveFile* file, int code, int system_error) {
  zip_error_set(&file->error, code, system_error);
  return -1;
}

// A failed read of the archive: one that became shorter than it was
// opened is not a system error.
zip_int64_t FailRead(ArchiveFile* file, std::uint64_t end) {
  const int why = errno;
  base::FileState now;
  if (base::StateOf(file->in, &now) && now.size < end) return Fail(file, ZIP_ER_EOF, 0);
  return Fail(file, ZIP_ER_READ, why);
}

// Up to length bytes from where libzip stands, fewer only at the end. A
// file that became shorter than it was opened fails.
zip_int64_t Read(ArchiveFile* file, unsigned char* data, zip_uint64_t length) {
  const std::size_t n = static_cast<std::size_t>(
      std::min<std::uint64_t>(length, file->opened.size - std::min(file->at, file->opened.size)));
  std::string message;
  for (std::size_t done = 0; done < n;) {
    const std::uint64_t at = file->at + done;
    if (at >= file->window_at && at - file->window_at < file->window_size) {
      const std::size_t k = std::min<std::size_t>(
          n - done, static_cast<std::size_t>(file->window_at + file->window_size - at));
      std::memcpy(data + done, file->window.get() + (at - file->window_at), k);
      done += k;
    } else if (n - done >= kWindow) {
      if (!base::ReadInto(file->in, file->path, {at, n - done}, data + done, &message)) {
        return FailRead(file, file->at + n);
      }
      done = n;
    } else {
      if (file->window == nullptr) file->window.reset(new unsigned char[kWindow]);
      const std::size_t fill =
          static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, file->opened.size - at));
      file->window_size = 0;
      if (!base::ReadInto(file->in, file->path, {at, fill}, file->window.get(), &message)) {
        return FailRead(file, at + fill);
      }
      file->window_at = at;
      file->window_size = fill;
    }
  }
  file->at += n;
  return static_cast<zip_int64_t>(n);
}

zip_int64_t Callback(void* state, void* data, zip_uint64_t length,
                     zip_source_cmd_t command) {
  ArchiveFile* file = static_cast<ArchiveFile*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN: {
      std::string message;
      CloseInput(file);
      const base::Opened opened = base::OpenRegular(file->path, &file->in, &message);
      if (opened != base::Opened::kFile) {
        return Fail(file, ZIP_ER_OPEN, opened == base::Opened::kNotRegular ? EINVAL : errno);
      }
      // The size of the file opened, not of whatever has the name now.
      if (!base::StateOf(file->in, &file->opened)) {
        const int why = errno;
        CloseInput(file);
        return Fail(file, ZIP_ER_OPEN, why);
      }
      file->reading = true;
      file->at = 0;
      file->window_size = 0;
      return 0;
    }
    case ZIP_SOURCE_READ:
      return Read(file, static_cast<unsigned char*>(data), length);
    case ZIP_SOURCE_CLOSE:
      file->reading = false;
      // Kept for the check at COMMIT_WRITE.
      if (file->out.file == nullptr) CloseInput(file);
      return 0;
    case ZIP_SOURCE_SEEK: {
      const zip_int64_t at =
          zip_source_seek_compute_offset(file->at, file->opened.size, data, length, &file->error);
      if (at < 0) return -1;
      file->at = static_cast<std::uint64_t>(at);
      return 0;
    }
    case ZIP_SOURCE_SEEK_WRITE: {
      const zip_int64_t at =
          zip_source_seek_compute_offset(file->cursor, file->end, data, length, &file->error);
      if (at < 0) return -1;
      file->cursor = static_cast<std::uint64_t>(at);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(file->at);
    case ZIP_SOURCE_TELL_WRITE:
      return static_cast<zip_int64_t>(file->cursor);
    case ZIP_SOURCE_STAT: {
      if (length < sizeof(zip_stat_t)) return Fail(file, ZIP_ER_INTERNAL, 0);
      std::int64_t size = base::FileSize(file->path);
      // libzip reads ENOENT as "make a new archive".
      if (size < 0) return Fail(file, ZIP_ER_READ, ENOENT);
      zip_stat_t* st = static_cast<zip_stat_t*>(data);
      zip_stat_init(st);
      st->size = static_cast<zip_uint64_t>(size);
      st->valid = ZIP_STAT_SIZE;
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_BEGIN_WRITE: {
      std::string message;
      if (!CreateBeside(file->path, &file->out, &message)) {
        return Fail(file, ZIP_ER_TMPOPEN, errno);
      }
      // The bytes are held here: stdio's buffer would only copy them again.
      std::setvbuf(file->out.file, nullptr, _IONBF, 0);
      file->held.reserve(kOutBuffer);
      file->held_at = file->cursor = file->end = file->file_at = 0;
      return 0;
    }
    case ZIP_SOURCE_WRITE: {
      if (base::Interrupted()) return Fail(file, ZIP_ER_CANCELLED, 0);
      if (!Write(file, static_cast<const unsigned char*>(data), static_cast<std::size_t>(length))) {
        return Fail(file, ZIP_ER_WRITE, errno);
      }
      return static_cast<zip_int64_t>(length);
    }
    case ZIP_SOURCE_COMMIT_WRITE: {
      // Whatever was written to the archive since it was read, or put in its
      // place, would be lost with the old file. A file renamed over it
      // changes its status; Windows lets nobody do that while it is open.
      if (!Flush(file)) {
        const int why = errno;
        CloseInput(file);
        CloseOutput(file);
        return Fail(file, ZIP_ER_WRITE, why);
      }
      base::FileState now;
      if (file->in != base::kNoFile && (!base::StateOf(file->in, &now) || now != file->opened)) {
        CloseInput(file);
        CloseOutput(file);
        return Fail(file, ZIP_ER_CHANGED, 0);
      }
      // Windows cannot replace a file that is still open.
      CloseInput(file);
      if (base::Interrupted()) {
        CloseOutput(file);
        return Fail(file, ZIP_ER_CANCELLED, 0);
      }
      std::string message;
      if (!Commit(&file->out, file->path, &message)) return Fail(file, ZIP_ER_WRITE, errno);
      if (file->committed != nullptr) *file->committed = file->end;
      return 0;
    }
    case ZIP_SOURCE_ROLLBACK_WRITE:
      CloseOutput(file);
      if (!file->reading) CloseInput(file);
      return 0;
    case ZIP_SOURCE_REMOVE:
      return Fail(file, ZIP_ER_INTERNAL, 0);
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&file->error, data, length);
    case ZIP_SOURCE_FREE:
      CloseInput(file);
      CloseOutput(file);
      zip_error_fini(&file->error);
      delete file;
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(
          ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_SEEK,
          ZIP_SOURCE_TELL, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
          ZIP_SOURCE_BEGIN_WRITE, ZIP_SOURCE_WRITE, ZIP_SOURCE_COMMIT_WRITE,
          ZIP_SOURCE_ROLLBACK_WRITE, ZIP_SOURCE_SEEK_WRITE, ZIP_SOURCE_TELL_WRITE,
          ZIP_SOURCE_REMOVE, -1);
    default:
      return Fail(file, ZIP_ER_OPNOTSUPP, 0);
  }
}

}  // namespace

zip_source_t* ArchiveFileSource(const std::string& path, zip_error_t* error,
                                std::uint64_t* committed) {
  ArchiveFile* file = new ArchiveFile;
  file->path = path;
  file->committed = committed;
  zip_error_init(&file->error);
  zip_source_t* source = zip_source_function_create(Callback, file, error);
  if (source == nullptr) {
    zip_error_fini(&file->error);
    delete file;
  }
  return source;
}

}  // namespace archiver
