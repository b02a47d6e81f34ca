// trevask-extract: gets the files of a Trevask bundle back, lists them,
// tests them, or compares them with a folder on disk. This file reads the
// arguments and the bundle and hands them to the command (list.cc,
// verify.cc, restore.cc, compare.cc).
#include <algorithm>
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
    "usage: trevask-extract [options] BUNDLE [FOLDER...]\n"
    "Gets back the folder tree that trevask packed into BUNDLE, under its own\n"
    "name (the bundle of src/Data gives Data/). FOLDERs, written as -l shows\n"
    "them (Data/B/X), restrict it to those folders and what is below them.\n"
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
    "\n"
    "Exit status: 0 done; 1 some files failed, were refused or differ, or\n"
    "folders lack their archive; 2 wrong arguments, or BUNDLE cannot be read or\n"
    "is not a bundle.\n";

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
        o->folders.push_back(a);
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
  if (o->mode == Options::kCompare && !o->folders.empty()) {
    base::Say("--compare takes the whole bundle, no FOLDER");
    return kUsageError;
  }
  return 0;
}

// FOLDER arguments as the listing writes paths: '/' between names ('\'
// taken for it on Windows), no trailing one.
void NormalizeFolders(std::vector<std::string>* folders) {
  for (std::string& f : *folders) {
    if (base::kSeparator == '\\') std::replace(f.begin(), f.end(), '\\', '/');
    while (f.size() > 1 && f.back() == '/') f.pop_back();
  }
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
    if (folder.has_archive || !Selected(folder, o.folders)) continue;
    if (bundle.root_from_file_name && folder.names.size() == 1) continue;
    base::Say("%s: its archive %s is not in the bundle (from a failed "
          "run?); its files are not there",
          folder.path.c_str(), ArchiveName(folder).c_str());
    lacking = true;
  }
  return lacking;
}

// Every FOLDER argument is a folder of the bundle; else says which is not.
bool FoldersFound(const Bundle& bundle, const Options& o) {
  for (const std::string& f : o.folders) {
    bool found = false;
    for (const Folder& folder : bundle.folders) found = found || folder.path == f;
    if (!found) {
      base::Say("no folder %s in %s (-l lists them)", f.c_str(),
            o.bundle.c_str());
      return false;
    }
  }
  return true;
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
  NormalizeFolders(&o.folders);
  Bundle bundle;
  std::vector<std::string> problems;
  std::string error;
  if (!ReadBundle(o.bundle, &bundle, &problems, &error)) {
    base::Say("%s", error.c_str());
    return kUsageError;
  }
  if (!problems.empty()) return RefuseLayout(o.bundle, problems);
  const bool lacking = NameWhatIsLacking(bundle, o);
  if (!FoldersFound(bundle, o)) return kUsageError;
  int status = RunCommand(bundle, o);
  if (lacking && status == 0) status = kTrouble;
  // A reader gone (| head) ends us as SIGPIPE would, never with 0.
  if (!base::FlushText(stdout) || base::Interrupted()) {
    if (base::Interrupted()) base::ExitInterrupted();
    return kTrouble;
  }
  return status;
}

}  // namespace extract

int main(int argc, char** argv) { return extract::Main(argc, argv); }
