// Interruptions on Windows: a job object takes everything the run started.
#include <windows.h>

#include "folder_tool/interruption.h"

namespace trevask {

void InstallInterruptHandling(void (*)()) {
  // Everything started from here on is in a job that ends when this process
  // does, however it ends: taskkill of Trevask ends cmd.exe and the archiver.
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) return;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  ZeroMemory(&limits, sizeof limits);
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                               sizeof limits) ||
      !AssignProcessToJobObject(job, GetCurrentProcess())) {
    CloseHandle(job);
  }
}

// Windows ends the process on Ctrl-C itself, and the job takes the rest; a
// closed pipe shows only as failed writes, which end no run here.
void ExitIfInterrupted() {}

}  // namespace trevask
