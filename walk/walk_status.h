// What the walk tells whoever shows a run's progress. The walk knows only
// this, so that it can run without a terminal's progress line (a test, say).
#ifndef TREVASK_WALK_WALK_STATUS_H_
#define TREVASK_WALK_WALK_STATUS_H_

#include <string>

namespace trevask {

class WalkStatus {
 public:
  virtual ~WalkStatus() = default;
  // An archiver is about to run on dir's own files; its lines follow.
  virtual void ArchiverStarting(const std::string& dir) = 0;
  // dir's own files are in their archive. Not said for a failed run.
  virtual void FolderArchived(const std::string& dir) = 0;
  // Around lines of the archivers' output passed on while others run.
  virtual void OutputComing() {}
  virtual void OutputWritten() {}
};

}  // namespace trevask

#endif  // TREVASK_WALK_WALK_STATUS_H_
