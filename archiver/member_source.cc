#include "archiver/member_source.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "base/system.h"

namespace archiver {

namespace {

zip_int64_t MemberFail(Member* m, const std::string& why) {
  if (m->reading->outcome->error.empty()) m->reading->outcome->error = why;
  zip_error_set(&m->reading->error, ZIP_ER_READ, 0);
  return -1;
}

// libzip stats a source before writing its data and again after. The first
// answer says "deflated, this size", so that libzip copies the bytes as they
// come; the second gives the CRC and the method the bytes really have, which
// libzip writes into the headers. The method is the pipeline's, read from
// the file's first piece.
zip_int64_t MemberStat(Member* m, void* data, zip_uint64_t length) {
  if (length < sizeof(zip_stat_t)) return -1;
  if (base::Interrupted()) return MemberFail(m, "interrupted");
  if (!m->decided) {
    const Piece& first = m->reading->pipeline->Get(m->slot, 0);
    if (first.not_regular) {
      m->reading->outcome->not_regular.push_back(*m->path);
      zip_error_set(&m->reading->error, ZIP_ER_READ, 0);
      return -1;
    }
    if (!first.error.empty()) return MemberFail(m, first.error);
    m->stored = first.store;
    m->decided = true;
  }
  zip_stat_t* st = static_cast<zip_stat_t*>(data);
  zip_stat_init(st);
  st->size = m->size;
  st->comp_method = ZIP_CM_DEFLATE;
  st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_METHOD;
  if (m->done) {
    st->comp_method = m->stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
    st->crc = m->crc;
    st->comp_size = m->written;
    st->valid |= ZIP_STAT_CRC | ZIP_STAT_COMP_SIZE;
  }
  return sizeof(zip_stat_t);
}

// Copies the pieces' bytes, raw or deflated, releasing each once copied so
// that the pipeline's window moves on; the CRCs of the pieces are joined.
zip_int64_t MemberRead(Member* m, unsigned char* out, zip_uint64_t length) {
  MemberReading* r = m->reading;
  zip_uint64_t filled = 0;
  std::size_t pieces = r->pipeline->PieceCount(m->slot);
  while (filled < length && r->piece < pieces) {
    if (base::Interrupted()) return MemberFail(m, "interrupted");
    const Piece& p = r->pipeline->Get(m->slot, r->piece);
    if (!p.error.empty()) return MemberFail(m, p.error);
    // A piece deflated against other bytes than those written before it
    // would inflate to something its CRC does not cover.
    if (r->offset == 0 && r->piece > 0 &&
        (p.skip != r->tail.size() || std::memcmp(p.raw.data(), r->tail.data(), p.skip) != 0)) {
      return MemberFail(m, *m->path + " changed while it was read");
    }
    const unsigned char* bytes = m->stored ? p.bytes() : p.packed.data();
    std::size_t size = m->stored ? p.length() : p.packed.size();
    std::size_t n = static_cast<std::size_t>(
        std::min<zip_uint64_t>(size - r->offset, length - filled));
    std::memcpy(out + filled, bytes + r->offset, n);
    filled += n;
    r->offset += n;
    if (r->offset == size) {
      m->crc = r->piece == 0 ? p.crc
                             : static_cast<std::uint32_t>(crc32_combine(
                                   m->crc, p.crc, static_cast<z_off_t>(p.length())));
      if (r->piece + 1 < pieces && p.length() >= kPriming) {
        r->tail.assign(p.bytes() + p.length() - kPriming, p.bytes() + p.length());
      }
      r->pipeline->Release(m->slot, r->piece);
      ++r->piece;
      r->offset = 0;
    }
  }
  m->written += filled;
  if (r->piece == pieces) m->done = true;
  return static_cast<zip_int64_t>(filled);
}

zip_int64_t MemberCallback(void* state, void* data, zip_uint64_t length,
                           zip_source_cmd_t command) {
  Member* m = static_cast<Member*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      m->reading->piece = 0;
      m->reading->offset = 0;
      m->reading->tail.clear();
      m->crc = 0;
      m->written = 0;
      m->done = false;
      return 0;
    case ZIP_SOURCE_STAT:
      return MemberStat(m, data, length);
    case ZIP_SOURCE_READ:
      return MemberRead(m, static_cast<unsigned char*>(data), length);
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&m->reading->error, data, length);
    case ZIP_SOURCE_FREE:
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                            ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                            ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
      zip_error_set(&m->reading->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

}  // namespace

zip_source_t* MemberSource(zip_t* za, Member* member) {
  return zip_source_function(za, MemberCallback, member);
}

}  // namespace archiver
