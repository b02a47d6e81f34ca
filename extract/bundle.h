// A bundle as Trevask writes it: one archive at the top for the source
// folder's own files ("Data.zip"), and for every folder F below it the
// archive "F/<name of F>.zip", with folder entries beside them.
#ifndef TREVASK_EXTRACT_BUNDLE_H_
#define TREVASK_EXTRACT_BUNDLE_H_

#include <memory>
#include <string>
#include <vector>

#include "extract/zip_reader.h"

namespace extract {

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

// Reads the bundle's directory and checks its layout. False with error when
// it cannot be read, or with problems (one line each) when it is a zip of
// another layout. Folders without their archive (a failed run's bundle) are
// no problem: they are listed with has_archive false.
bool ReadBundle(const std::string& path, Bundle* bundle,
                std::vector<std::string>* problems, std::string* error);

// Why name cannot be a file or folder name of the tree at all ("..", "",
// a separator), or "".
std::string UnsafeName(const std::string& name);

// One folder's archive, read where it lies in the bundle when stored, else
// unpacked into memory or, when large, into an unnamed temporary file.
// kDamaged when it does not unpack or read as a zip; kFailed when the
// temporary file cannot be made or written.
struct FolderArchive {
  std::shared_ptr<const base::Source> source;
  std::vector<base::Member> members;
};
Unpacked OpenFolderArchive(const Bundle& bundle, const Folder& folder,
                           FolderArchive* archive, std::string* error);

// Why a member of a folder archive is not extracted (an unsafe name, a
// link, a folder...), or "". subfolders: the folder's subfolder names.
std::string MemberProblem(const base::Member& member, const std::vector<std::string>& subfolders);

}  // namespace extract

#endif  // TREVASK_EXTRACT_BUNDLE_H_
