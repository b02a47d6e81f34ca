// The archive file itself as a libzip source.
#ifndef TREVASK_ARCHIVER_ARCHIVE_FILE_H_
#define TREVASK_ARCHIVER_ARCHIVE_FILE_H_

#include <zip.h>

#include <cstdint>
#include <string>

namespace archiver {

// Reads the existing archive at path, if any, and writes the new one beside
// it (see NewFile): put in place on commit, discarded on rollback and when
// the run is interrupted. libzip's own file source names
// its temporary file after the archive, which fails for names near the
// file system's limit. libzip is never let remove the archive. committed,
// if given, is set to the length of the archive put in place.
zip_source_t* ArchiveFileSource(const std::string& path, zip_error_t* error,
                                std::uint64_t* committed = nullptr);

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_ARCHIVE_FILE_H_
