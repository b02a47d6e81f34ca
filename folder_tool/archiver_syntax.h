// The two archivers a run can use, and the options trevask gives them.
#ifndef TREVASK_FOLDER_TOOL_ARCHIVER_SYNTAX_H_
#define TREVASK_FOLDER_TOOL_ARCHIVER_SYNTAX_H_

namespace trevask {

// Which external archiver a run uses; chosen once by the driver.
using ArchiverKind = int;
constexpr ArchiverKind kPkzip25 = 1;  // "PKZIP.EXE"
constexpr ArchiverKind kPkzip8 = 2;   // "PKZIPC.EXE"

const char* ArchiverCommandName(ArchiverKind kind);
// Option string for one folder's own files.
const char* FolderArchiveOptions(ArchiverKind kind);
// Option string for the whole mirror tree, subfolders included.
const char* BundleOptions(ArchiverKind kind);

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_ARCHIVER_SYNTAX_H_
