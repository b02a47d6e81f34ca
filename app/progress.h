// The progress line and the summary of a run, shown only when standard
// error is a terminal; and the note on a bundle that already exists.
#ifndef TREVASK_APP_PROGRESS_H_
#define TREVASK_APP_PROGRESS_H_

#include <string>

#include "walk/compress_folder.h"
#include "walk/walk_status.h"

namespace trevask {
namespace progress {

// Says on stderr that an existing bundle is updated, not replaced.
void NoteExistingBundle(const std::string& destination);

// Shows the first line (only for a terminal), for the tree the walk will
// archive as CountWalk counted it.
void Begin(const TreeCount& tree);
// Around each archiver run: the line is erased so that the archiver's own
// lines scroll above it, then shown again, with dir counted as done.
void Erase();
void FolderDone(const std::string& dir);
// The line as the walk's status: erased around each archiver run.
class WalkLine : public WalkStatus {
 public:
  void ArchiverStarting(const std::string& dir) override;
  void FolderArchived(const std::string& dir) override;
  void OutputComing() override;
  void OutputWritten() override;
};

// Erases the line and writes the summary.
void End(const std::string& destination);

// The platform half: true when stderr is a terminal (a console).
bool StderrIsTerminal();
// The columns of that terminal's window, 0 when it cannot say. Read again
// once the terminal says it changed.
int TerminalColumns();
// From now on, a change of the width is noted (SIGWINCH).
void WatchTerminalWidth();

}  // namespace progress
}  // namespace trevask

#endif  // TREVASK_APP_PROGRESS_H_
