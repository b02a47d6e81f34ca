#include "archiver/archive_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "archiver/archiver_fs.h"

namespace archiver {

namespace {

// libzip reads an archive in small pieces and seeks before most of them:
// they are served from a window of it read at once.
constexpr std::size_t kWindow = 256u << 10;
// stdio's own buffer is a page, and a size asked for without a buffer of
// the caller's is ignored: a page per write.
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
  std::unique_ptr<char[]> out_buffer;  // outlives out.file
  zip_error_t error;
};

void CloseInput(ArchiveFile* file) {
  base::CloseSource(file->in);
  file->in = base::kNoFile;
}

void CloseOutput(ArchiveFile* file) { Discard(&file->out); }

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
      auto* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length,
                                       &file->error);
      if (args == nullptr) return -1;
      return base::SeekFile(file->out.file, args->offset, args->whence)
                 ? 0
                 : Fail(file, ZIP_ER_SEEK, errno);
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(file->at);
    case ZIP_SOURCE_TELL_WRITE:
      return base::TellFile(file->out.file);
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
      file->out_buffer.reset(new char[kOutBuffer]);
      std::setvbuf(file->out.file, file->out_buffer.get(), _IOFBF, kOutBuffer);
      return 0;
    }
    case ZIP_SOURCE_WRITE: {
      if (base::Interrupted()) return Fail(file, ZIP_ER_CANCELLED, 0);
      size_t n = std::fwrite(data, 1, length, file->out.file);
      if (n < length) return Fail(file, ZIP_ER_WRITE, errno);
      return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_COMMIT_WRITE: {
      // Whatever was written to the archive since it was read, or put in its
      // place, would be lost with the old file. A file renamed over it
      // changes its status; Windows lets nobody do that while it is open.
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
      return Commit(&file->out, file->path, &message) ? 0 : Fail(file, ZIP_ER_WRITE, errno);
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

zip_source_t* ArchiveFileSource(const std::string& path, zip_error_t* error) {
  ArchiveFile* file = new ArchiveFile;
  file->path = path;
  zip_error_init(&file->error);
  zip_source_t* source = zip_source_function_create(Callback, file, error);
  if (source == nullptr) {
    zip_error_fini(&file->error);
    delete file;
  }
  return source;
}

}  // namespace archiver
