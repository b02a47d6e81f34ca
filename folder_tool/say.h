// Trevask's archiver failure message; its other lines are base::Say's.
#ifndef TREVASK_FOLDER_TOOL_SAY_H_
#define TREVASK_FOLDER_TOOL_SAY_H_

#include "base/diagnostic.h"

namespace trevask {

// Writes the archiver failure message to stdout, without a line end, and
// flushes it so that it stays in order with the archivers' own output.
void ReportArchiverFailure();

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_SAY_H_
