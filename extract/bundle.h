// A bundle as Trevask writes it: one archive at the top for the source
// folder's own files ("Data.zip"), and for every folder F below it the
// archive "F/<name of F>.zip", with folder entries beside them.
#ifndef TREVASK_EXTRACT_BUNDLE_H_
#define TREVASK_EXTRACT_BUNDLE_H_

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/bundle_layout.h"
#include "base/zip_reader.h"

namespace extract {

using base::Sink;
using base::Unpack;
using base::Unpacked;

struct Folder {
  std::vector<std::string> names;  // {"Data", "B", "X"}
  std::string path;                // "Data/B/X", as the listing shows it
  std::size_t archive = 0;         // its member of the bundle
  // False for a folder whose archive is not in the bundle: a failed run
  // wrote the bundle before it was made. Its subfolders may be there.
  bool has_archive = true;
};

// The listing's path of the first n names: '/' between them.
std::string FolderPath(const std::vector<std::string>& names, std::size_t n);

struct Bundle {
  std::shared_ptr<base::Source> file;
  std::vector<base::Member> members;
  std::vector<Folder> folders;  // parents before their subfolders
  // Set when the top folder's archive is missing and its name was taken
  // from the bundle's file name.
  bool root_from_file_name = false;
};

// "Data/B/B.zip": the member a folder's archive has in the bundle.
std::string ArchiveName(const Folder& folder);

// Reads the bundle's directory and judges its layout (base/bundle_layout.h).
// False with error when it cannot be read, or with problems (one line each)
// when it is a zip of another layout. Folders without their archive (a failed run's bundle) are
// no problem: they are listed with has_archive false.
bool ReadBundle(const std::string& path, Bundle* bundle,
                std::vector<std::string>* problems, std::string* error);

using base::UnsafeName;

// One folder's archive, read where it lies in the bundle when stored, else
// unpacked into memory or, when large, into an unnamed temporary file;
// either way its size and CRC are checked first, in one read. kDamaged
// when it fails them or does not read as a zip; kFailed when the
// temporary file cannot be made or written.
struct FolderArchive {
  std::shared_ptr<const base::Source> source;
  std::vector<base::Member> members;
};
Unpacked OpenFolderArchive(const Bundle& bundle, const Folder& folder,
                           FolderArchive* archive, std::string* error);

// The rules by which extraction passes over a folder or a member, one set
// for every command; what the destination holds is not among them. A name
// N both a member of folder D's archive and a subfolder D/N has one copy
// given back: the member, unless it is marked as kept though its file was
// gone (base::kGoneMarkId), then the subfolder. The other copy is refused
// only when both are taken; alone, it is extracted like any other.
class Rules {
 public:
  // taken: whether the command takes files of a folder. bundle_name: the
  // bundle as given, for the command that restores an older copy.
  Rules(const Bundle& bundle, std::string bundle_name,
        std::function<bool(const Folder&)> taken);

  // One verdict per member of folder index's archive (the members taken),
  // "" for those extracted. Judge each folder's archive before its
  // subfolders are judged: it decides which of them are older copies.
  std::vector<std::string> Members(std::size_t index, const std::vector<base::Member>& members);

  // Why folder index is not extracted, nor anything below it, or "". *top:
  // the folder refused, itself or one above it; *first: true the first time
  // that folder is refused, so that it is named once.
  std::string Folder(std::size_t index, std::string* top, bool* first);

 private:
  const Bundle& bundle_;
  std::string bundle_name_;
  std::function<bool(const extract::Folder&)> taken_;
  std::map<std::string, std::string> older_;  // folder path -> why
  std::set<std::string> named_;
};

}  // namespace extract

#endif  // TREVASK_EXTRACT_BUNDLE_H_
