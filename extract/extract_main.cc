// trevask-extract: gets the files of a Trevask bundle back, lists them,
// tests them, or compares them with a folder on disk. This file reads the
// arguments and the bundle and hands them to the command (list.cc,
// verify.cc, restore.cc, compare.cc).
#include <cstdio>
#include <cstdlib>

#include "base/diagnostic.h"
#include "base/path.h"
#include "base/system.h"
#include "extract/bundle.h"
#include "extract/commands.h"
#include "extract/extract_fs.h"
#include "base/file_id.h"
#include "base/folder_link.h"

namespace extract {

namespace {

using base::Print;

const char kUsage[] =
    "usage: trevask-extract [options] BUNDLE [NAME...]\n"
    "Gets back the folder tree that trevask packed into BUNDLE, under its own\n"
    "name (the bundle of src/Data gives Data/). NAMEs, written as -l shows\n"
    "them, restrict it to those folders and what is below them (Data/B/X) and\n"
    "to those files (Data/B/X/f.txt); a NAME that matches nothing is named.\n"
    "\n"
    "  -d DIR           extract under DIR instead of the current folder\n"
    "  -o               overwrite existing files (never done without it)\n"
    "  -l               list the files of the tree: size, time, path\n"
    "  -t               test every file of every folder archive\n"
    "  --compare FOLDER compare the bundle with FOLDER on disk, one line per\n"
    "                   difference; exit status 0 only when they are the same\n"
    "  -q               quiet: only errors\n"
    "  --help, --version\n"
    "\n"
    "Every file takes its name only when complete and checked. A failed run's\n"
    "bundle gives back the folders whose archives it holds and names the rest.\n"
    "-t, -l and --compare name what extraction would refuse, and exit 1.\n"
    "A name both a file and a subfolder (it changed kind) gives back the newer\n"
    "copy: the file, unless its archive marks it as kept though gone, then the\n"
    "folder. The other is named; NAME Data/N takes the file, Data/N/ the folder.\n"
    "Every mode says \"damaged in the bundle: PATH (REASON)\" for a file whose\n"
    "CRC, data or header fails, and for a folder archive whose CRC fails or\n"
    "that cannot be read.\n"
    "\n"
    "Exit status: 0 done; 1 some files were damaged, failed, were refused or\n"
    "differ, folders lack their archive, or a NAME matches nothing; 2 wrong\n"
    "arguments, or BUNDLE cannot be read, is not a bundle or not a regular file.\n";

int ParseArguments(const std::vector<std::string>& args, Options* o) {
  bool options_end = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    if (options_end || a.empty() || a[0] != '-' || a == "-") {
      if (o->bundle.empty()) {
        o->bundle = a;
      } else {
        o->names.push_back(a);
      }
    } else if (a == "--") {
      options_end = true;
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "--version") {
      std::puts("trevask-extract 1.0.0");
      std::exit(0);
    } else if (a == "-d") {
      if (!value(&o->dest)) return kUsageError;
    } else if (a == "--compare") {
      if (!value(&o->compare)) return kUsageError;
      o->mode = Options::kCompare;
    } else if (a == "-l" || a == "-t") {
      o->mode = a == "-l" ? Options::kList : Options::kTest;
    } else if (a == "-o" || a == "-q") {
      (a == "-o" ? o->overwrite : o->quiet) = true;
    } else {
      base::Say("unknown option %s", a.c_str());
      return kUsageError;
    }
  }
  if (o->bundle.empty()) return kUsageError;
  if (o->mode == Options::kCompare && !o->names.empty()) {
    base::Say("--compare takes the whole bundle, no NAME");
    return kUsageError;
  }
  return 0;
}

// A zip of another layout: nothing of it is taken, and the first problems
// are named.
int RefuseLayout(const std::string& bundle, const std::vector<std::string>& problems) {
  base::Say("%s is not a bundle of folder archives as trevask makes it:", bundle.c_str());
  for (std::size_t i = 0; i < problems.size() && i < 20; ++i) base::Say("  %s", problems[i].c_str());
  if (problems.size() > 20) base::Say("  and %zu more", problems.size() - 20);
  return kUsageError;
}

// A failed run's bundle: what it holds is given back, and what it lacks
// named. True when something is lacking.
bool NameWhatIsLacking(const Bundle& bundle, const Options& o) {
  bool lacking = false;
  if (bundle.root_from_file_name) {
    base::Say("%s holds no archive of its top folder (from a failed "
          "run?); the tree is named %s/ after the bundle",
          o.bundle.c_str(), bundle.folders[0].path.c_str());
    lacking = true;
  }
  for (const Folder& folder : bundle.folders) {
    if (folder.has_archive || !o.select.Whole(folder)) continue;
    if (bundle.root_from_file_name && folder.names.size() == 1) continue;
    base::Say("%s: its archive %s is not in the bundle (from a failed "
          "run?); its files are not there",
          folder.path.c_str(), ArchiveName(folder).c_str());
    lacking = true;
  }
  return lacking;
}

// The NAMEs that match nothing, said once the rest is done. True when
// there is one.
bool NameWhatIsMissing(const Options& o) {
  for (const auto& m : o.select.missing()) {
    const std::string why = m.second.empty() ? " (-l lists them)" : ": " + m.second;
    base::Say("no file or folder %s in %s%s", m.first.c_str(), o.bundle.c_str(), why.c_str());
  }
  return !o.select.missing().empty();
}

int RunCommand(const Bundle& bundle, const Options& o) {
  switch (o.mode) {
    case Options::kList:
      return List(bundle, o);
    case Options::kTest:
      return Verify(bundle, o);
    case Options::kCompare:
      return Compare(bundle, o);
    case Options::kExtract:
      break;
  }
  return Restore(bundle, o);
}

}  // namespace

int Main(int argc, char** argv) {
  base::SetProgramName("trevask-extract");
  base::InstallInterruptHandlers();
  AllowedMode();  // reads the umask before any thread runs
  Options o;
  if (ParseArguments(base::Arguments(argc, argv), &o) != 0) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  Bundle bundle;
  std::vector<std::string> problems;
  std::string error;
  if (!ReadBundle(o.bundle, &bundle, &problems, &error)) {
    base::Say("%s", error.c_str());
    return kUsageError;
  }
  if (!problems.empty()) return RefuseLayout(o.bundle, problems);
  o.select = Selection(bundle, o.names);
  const bool lacking = NameWhatIsLacking(bundle, o);
  int status = o.select.Empty() ? 0 : RunCommand(bundle, o);
  if (NameWhatIsMissing(o) && status == 0) status = kTrouble;
  if (lacking && status == 0) status = kTrouble;
  // A reader gone (| head) ends us as SIGPIPE would, never with 0.
  if (!base::FlushText(stdout) || base::Interrupted()) {
    if (base::Interrupted()) base::ExitInterrupted();
    base::Say("cannot write standard output: %s", base::LastErrorText().c_str());
    return kTrouble;
  }
  return status;
}

}  // namespace extract

int main(int argc, char** argv) { return extract::Main(argc, argv); }
