#include "archiver/archive_file.h"

#include <cerrno>
#include <cstdio>

#include "archiver/archiver_fs.h"

namespace archiver {

namespace {

struct ArchiveFile {
  std::string path;
  std::FILE* in = nullptr;
  NewFile out;
  zip_error_t error;
};

void CloseOutput(ArchiveFile* file) { Discard(&file->out); }

zip_int64_t Fail(ArchiveFile* file, int code, int system_error) {
  zip_error_set(&file->error, code, system_error);
  return -1;
}

zip_int64_t Callback(void* state, void* data, zip_uint64_t length,
                     zip_source_cmd_t command) {
  ArchiveFile* file = static_cast<ArchiveFile*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN: {
      int error_number = 0;
      file->in = base::OpenForReading(file->path, &error_number);
      return file->in ? 0 : Fail(file, ZIP_ER_OPEN, error_number);
    }
    case ZIP_SOURCE_READ: {
      size_t n = std::fread(data, 1, length, file->in);
      if (n < length && std::ferror(file->in)) return Fail(file, ZIP_ER_READ, errno);
      return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE:
      if (file->in != nullptr) std::fclose(file->in);
      file->in = nullptr;
      return 0;
    case ZIP_SOURCE_SEEK:
    case ZIP_SOURCE_SEEK_WRITE: {
      auto* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length,
                                       &file->error);
      if (args == nullptr) return -1;
      std::FILE* f = command == ZIP_SOURCE_SEEK ? file->in : file->out.file;
      return base::SeekFile(f, args->offset, args->whence) ? 0 : Fail(file, ZIP_ER_SEEK, errno);
    }
    case ZIP_SOURCE_TELL:
      return base::TellFile(file->in);
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
      std::setvbuf(file->out.file, nullptr, _IOFBF, 1 << 20);
      return 0;
    }
    case ZIP_SOURCE_WRITE: {
      if (base::Interrupted()) return Fail(file, ZIP_ER_CANCELLED, 0);
      size_t n = std::fwrite(data, 1, length, file->out.file);
      if (n < length) return Fail(file, ZIP_ER_WRITE, errno);
      return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_COMMIT_WRITE: {
      // Windows cannot replace a file that is still open.
      if (file->in != nullptr) std::fclose(file->in);
      file->in = nullptr;
      if (base::Interrupted()) {
        CloseOutput(file);
        return Fail(file, ZIP_ER_CANCELLED, 0);
      }
      std::string message;
      return Commit(&file->out, file->path, &message) ? 0 : Fail(file, ZIP_ER_WRITE, errno);
    }
    case ZIP_SOURCE_ROLLBACK_WRITE:
      CloseOutput(file);
      return 0;
    case ZIP_SOURCE_REMOVE:
      return Fail(file, ZIP_ER_INTERNAL, 0);
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&file->error, data, length);
    case ZIP_SOURCE_FREE:
      if (file->in != nullptr) std::fclose(file->in);
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
