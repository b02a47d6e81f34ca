#include "archiver/member_source.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "base/system.h"

namespace archiver {

namespace {

zip_int64_t MemberFail(Member* m, const std::string& why) {
  if (m->outcome->error.empty()) m->outcome->error = why;
  zip_error_set(&m->error, ZIP_ER_READ, 0);
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
    const Piece& first = m->pipeline->Get(m->slot, 0);
    if (first.not_regular) {
      m->outcome->not_regular.push_back(*m->path);
      zip_error_set(&m->error, ZIP_ER_READ, 0);
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
  zip_uint64_t filled = 0;
  std::size_t pieces = m->pipeline->PieceCount(m->slot);
  while (filled < length && m->piece < pieces) {
    if (base::Interrupted()) return MemberFail(m, "interrupted");
    const Piece& p = m->pipeline->Get(m->slot, m->piece);
    if (!p.error.empty()) return MemberFail(m, p.error);
    // A piece deflated against other bytes than those written before it
    // would inflate to something its CRC does not cover.
    if (m->offset == 0 && m->piece > 0 &&
        (p.skip != m->tail.size() || std::memcmp(p.raw.data(), m->tail.data(), p.skip) != 0)) {
      return MemberFail(m, *m->path + " changed while it was read");
    }
    const unsigned char* bytes = m->stored ? p.bytes() : p.packed.data();
    std::size_t size = m->stored ? p.length() : p.packed.size();
    std::size_t n = static_cast<std::size_t>(
        std::min<zip_uint64_t>(size - m->offset, length - filled));
    std::memcpy(out + filled, bytes + m->offset, n);
    filled += n;
    m->offset += n;
    if (m->offset == size) {
      m->crc = m->piece == 0 ? p.crc
                             : static_cast<std::uint32_t>(crc32_combine(
                                   m->crc, p.crc, static_cast<z_off_t>(p.length())));
      if (m->piece + 1 < pieces && p.length() >= kPriming) {
        m->tail.assign(p.bytes() + p.length() - kPriming, p.bytes() + p.length());
      }
      m->pipeline->Release(m->slot, m->piece);
      ++m->piece;
      m->offset = 0;
    }
  }
  m->written += filled;
  if (m->piece == pieces) m->done = true;
  return static_cast<zip_int64_t>(filled);
}

zip_int64_t MemberCallback(void* state, void* data, zip_uint64_t length,
                           zip_source_cmd_t command) {
  Member* m = static_cast<Member*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      m->piece = 0;
      m->offset = 0;
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
      return zip_error_to_data(&m->error, data, length);
    case ZIP_SOURCE_FREE:
      zip_error_fini(&m->error);
      delete m;
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                            ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                            ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
      zip_error_set(&m->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

}  // namespace

zip_source_t* MemberSource(zip_t* za, Member* member) {
  zip_error_init(&member->error);
  zip_source_t* source = zip_source_function(za, MemberCallback, member);
  if (source == nullptr) {
    zip_error_fini(&member->error);
    delete member;
  }
  return source;
}

}  // namespace archiver
