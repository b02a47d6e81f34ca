#include "archiver/add_files.h"

#include <cstdlib>

#include "archiver/archiver_fs.h"
#include "archiver/listing.h"
#include "archiver/update.h"
#include "base/file_id.h"
#include "base/path.h"
#include "base/system.h"
#include "base/update_lock.h"

namespace archiver {

namespace {

// What a handed folder's check does besides: the archive's folder is held
// to its identity until the commit.
enum class Hold { kNothing, kPinned };

// A folder that trevask made and named by its identity must still be that
// folder: one swapped for a link or moved since is refused before anything
// is read or written through it. Without the variable nothing is checked.
bool CheckHandedFolder(const char* variable, const std::string& dir, Hold hold,
                       std::string* error) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') return true;
  base::FileId expected, found;
  if (!base::ParseFileId(value, &expected)) {
    *error = std::string(variable) + " is not VOLUME:HIGH:LOW: " + value;
    return false;
  }
  std::string why;
  if (!GetFolderId(dir, &found, &why) || found != expected) {
    *error = dir + " is not the folder trevask made for this run (it was replaced or "
             "moved); nothing was written";
    return false;
  }
  if (hold == Hold::kPinned) PinArchiveFolder(expected);
  return true;
}

}  // namespace

bool AddFiles(const Request& request, Summary* summary, std::string* error) {
  if (!base::IsFolder(request.folder)) {
    *error = "no such folder: " + request.folder;
    return false;
  }
  // A link at the archive stays a link: the file it leads to is updated.
  std::string target;
  if (!base::FinalTarget(request.archive, &target, error)) return false;
  if (!CheckHandedFolder("TREVASK_ARCHIVE_FOLDER", base::ParentFolder(target), Hold::kPinned,
                         error) ||
      !CheckHandedFolder("TREVASK_SOURCE_FOLDER", request.folder, Hold::kNothing, error)) {
    return false;
  }
  Listing listing;
  if (!ListItems(request, target, &listing, error)) return false;
  Request keeping = request;
  if (!ReadKeptMembers(&keeping, &listing.items, error)) return false;

  base::UpdateLock lock;
  if (!lock.Acquire(request.archive, error)) {
    if (base::Interrupted()) base::ExitInterrupted();
    return false;
  }
  if (!base::RegularOrAbsent(target, error)) return false;
  *summary = Summary();
  Update update(keeping, target, std::move(listing));
  if (!update.Run(summary, error)) return false;
  if (base::Interrupted()) base::ExitInterrupted();
  return true;
}

}  // namespace archiver
