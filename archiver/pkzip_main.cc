// The stand-in archivers' entry point: one program, whose syntax is the
// name it was started by.
#include <cstdio>  // __GLIBC__, from the C library's own headers
#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <string>
#include <vector>

#include "archiver/add_files.h"
#include "archiver/archiver_fs.h"
#include "base/diagnostic.h"
#include "base/path.h"
#include "base/recorded_time.h"
#include "base/syntax.h"

namespace {

// 1 for PKZIP.EXE, 2 for PKZIPC.EXE, 0 for any other name. Case and the
// ".EXE" are left to the user, as cmd.exe leaves them: "pkzipc" is
// PKZIPC.EXE too. A name that is neither is not guessed at: a link named
// "zip" must not write archives in a syntax its caller never asked for.
int KindOfName(const std::string& started_as) {
  std::string name = base::BaseName(started_as);
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".EXE") == 0) {
    name.resize(name.size() - 4);
  }
  if (name == "PKZIP") return 1;
  if (name == "PKZIPC") return 2;
  return 0;
}

void PrintUsage(const base::Syntax& syntax) {
  std::fprintf(stderr, "usage: %s %s [%s] ARCHIVE FOLDER%c*.*\n", syntax.command, syntax.add,
               syntax.recurse, base::kSeparator);
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
  // The heap grows in one step for a small folder, not in one a buffer:
  // untouched, the room costs no memory.
  mallopt(M_TOP_PAD, 16 << 20);
  // The one line of output: a buffer of our own spares stdio's look at
  // what standard output is, and the line is flushed at the end anyway.
  static char out_buffer[BUFSIZ];
  std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  // libzip turns each member's time into a time_t with mktime, and without
  // TZ glibc stats /etc/localtime on every call in case it changed: the
  // same zone, named, is read once.
  if (std::getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 0);
#endif
  std::vector<std::string> args = base::Arguments(argc, argv);
  const std::string started_as = args.empty() ? std::string() : base::BaseName(args[0]);
  const int kind = KindOfName(started_as);
  if (kind == 0) {
    base::SetProgramName(started_as.empty() ? "PKZIP.EXE" : started_as.c_str());
    base::Say("not a name this archiver knows: its syntax comes from the name it is started by, "
              "PKZIP.EXE or PKZIPC.EXE (a link or a copy under either name)");
    return 2;
  }
  const base::Syntax& syntax = base::SyntaxOf(kind);
  const char* const name = syntax.command;
  base::SetProgramName(name);
  archiver::EndWithTrevask();
  args.erase(args.begin());
  archiver::Request request;
  std::string error;
  if (!archiver::ParseArguments(kind, args, &request, &error)) {
    base::Say("%s", error.c_str());
    PrintUsage(syntax);
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
  for (const base::KeptMember& m : summary.held) {
    base::Say("kept the bundle's copy of %s: %s", m.name.c_str(), base::ReasonText(m.reason));
  }
  for (const base::KeptMember& m : summary.not_added) {
    base::Say("not added: %s: %s, and the bundle holds no earlier copy", m.name.c_str(),
              base::ReasonText(m.reason));
  }
  std::string reused;
  if (summary.unchanged > 0) reused += ", " + std::to_string(summary.unchanged) + " unchanged";
  if (!summary.held.empty()) {
    reused += ", " + base::Counted(summary.held.size(), "member") + " left as the archive held them";
  }
  if (summary.kept > 0) {
    reused += ", " + std::to_string(summary.kept) + " kept though gone from the folder";
  }
  if (!summary.rewritten) reused += ", archive not rewritten";
  base::Print(stdout, "%s: %s: %s, %s in, %s out%s\n", name, request.archive.c_str(),
              base::Counted(summary.files, "file").c_str(),
              base::Counted(summary.bytes_in, "byte").c_str(),
              base::Counted(static_cast<unsigned long long>(summary.bytes_out), "byte").c_str(),
              reused.c_str());
  // A reader gone (`| head -1`) ends the run as SIGPIPE would; the archive
  // is committed and whole by now.
  if (!base::FlushText(stdout)) {
    if (base::Interrupted()) base::ExitInterrupted();
    base::Say("%s is written, but its line is not: cannot write standard output: %s",
              request.archive.c_str(), base::LastErrorText().c_str());
    return 1;
  }
  return summary.left_out > 0 ? archiver::kLeftOutStatus : 0;
}
