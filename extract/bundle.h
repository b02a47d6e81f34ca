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
};

struct Bundle {
  std::shared_ptr<Source> file;
  std::vector<Member> members;
  std::vector<Folder> folders;  // parents before their subfolders
};

// Reads the bundle's directory and checks its layout. False with error when
// it cannot be read, or with problems (one line each) when it is a zip of
// another layout.
bool ReadBundle(const std::string& path, Bundle* bundle,
                std::vector<std::string>* problems, std::string* error);

// Why name cannot be a file or folder name of the tree at all ("..", "",
// a separator), or "".
std::string UnsafeName(const std::string& name);

// One folder's archive, read where it lies in the bundle when stored.
struct FolderArchive {
  std::shared_ptr<const Source> source;
  std::vector<Member> members;
};
bool OpenFolderArchive(const Bundle& bundle, const Folder& folder,
                       FolderArchive* archive, std::string* error);

// Why a member of a folder archive is not extracted (an unsafe name, a
// link, a folder...), or "". subfolders: the folder's subfolder names.
std::string MemberProblem(const Member& member,
                          const std::vector<std::string>& subfolders);

}  // namespace extract

#endif  // TREVASK_EXTRACT_BUNDLE_H_
