// The stand-in archiver's entry point, built once per command name.
#include <cinttypes>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstdio>
#include <string>
#include <vector>

#include "archiver/add_files.h"
#include "archiver/archiver_fs.h"
#include "base/diagnostic.h"
#include "base/path.h"
#include "base/recorded_time.h"
#include "base/syntax.h"

#ifndef ARCHIVER_KIND
#error "ARCHIVER_KIND must be 1 (PKZIP.EXE) or 2 (PKZIPC.EXE)"
#endif

namespace {

constexpr const base::Syntax& kSyntax = base::SyntaxOf(ARCHIVER_KIND);
const char* const kName = kSyntax.command;

void PrintUsage() {
  std::fprintf(stderr, "usage: %s %s [%s] ARCHIVE FOLDER%c*.*\n", kSyntax.command,
               kSyntax.add, kSyntax.recurse, base::kSeparator);
}

}  // namespace

#ifdef _WIN32
// The pattern reaches the program as written; the runtime must not expand it.
int _dowildcard = 0;
#endif

int main(int argc, char** argv) {
#ifdef __GLIBC__
  // Buffers of a few MiB come and go per member; keeping freed memory spares
  // a page-faulting round trip to the kernel each time.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
  base::SetProgramName(kName);
  std::vector<std::string> args = base::Arguments(argc, argv);
  args.erase(args.begin());
  archiver::Request request;
  std::string error;
  if (!archiver::ParseArguments(ARCHIVER_KIND, args, &request, &error)) {
    base::Say("%s", error.c_str());
    PrintUsage();
    return 2;
  }
  if (!base::LatestRecordedTime(&request.latest_time, &error)) {
    base::Say("%s", error.c_str());
    return 2;
  }
  base::InstallInterruptHandlers();
  archiver::Summary summary;
  if (!archiver::AddFiles(request, &summary, &error)) {
    if (base::Interrupted()) base::ExitInterrupted();
    base::Say("%s", error.c_str());
    return 1;
  }
  std::string reused;
  if (summary.unchanged > 0) reused += ", " + std::to_string(summary.unchanged) + " unchanged";
  if (summary.kept > 0) {
    reused += ", " + std::to_string(summary.kept) + " of files no longer there kept";
  }
  if (!summary.rewritten) reused += ", archive not rewritten";
  base::Print(stdout, "%s: %s: %" PRIu64 " files, %" PRIu64 " bytes in, %" PRId64 " bytes out%s\n",
              kName, request.archive.c_str(), summary.files, summary.bytes_in, summary.bytes_out,
              reused.c_str());
  // A reader gone (`| head -1`) ends the run as SIGPIPE would; the archive
  // is committed and whole by now.
  if (!base::FlushText(stdout)) {
    if (base::Interrupted()) base::ExitInterrupted();
    return 1;
  }
  return summary.left_out > 0 ? archiver::kLeftOutStatus : 0;
}
