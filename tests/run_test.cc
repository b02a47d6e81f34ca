// Runs the built trevask with the recording archiver first on PATH.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "folder_tool/folder_tool.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/say.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

const char kError[] = "PKZIP Compress Error!";

std::vector<std::string> Args(std::initializer_list<const char*> items) {
  std::vector<std::string> out;
  for (const char* item : items) out.push_back(P(item));
  return out;
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = GetEnv("TREVASK_EXE");
    recorder_dir_ = GetEnv("TREVASK_RECORDER_DIR");
    ASSERT_FALSE(exe_.empty()) << "TREVASK_EXE is not set";
    ASSERT_FALSE(recorder_dir_.empty()) << "TREVASK_RECORDER_DIR is not set";
    saved_path_ = GetEnv("PATH");
    PrependPath(recorder_dir_);
    work_ = scratch_.path() / "work";
    fs::create_directories(work_);
    log_ = scratch_.path() / "record.log";
    SetEnv("TREVASK_RECORD_LOG", log_.string());
    for (const char* name : {"TREVASK_RECORD_FAIL_TEXT", "TREVASK_RECORD_FAIL_RUN",
                             "TREVASK_RECORD_SAY"}) {
      UnsetEnv(name);
    }
    cwd_ = std::make_unique<WorkingDir>(work_);
  }

  void TearDown() override {
    cwd_.reset();
    SetEnv("PATH", saved_path_);
  }

  ProcessResult Run(const std::vector<std::string>& args) {
    return RunProgram(exe_, args);
  }

  std::vector<RecordedRun> Runs() {
    if (!fs::exists(log_)) return {};
    return ReadRecordLog(log_);
  }

  // Data has files and the subfolders A (files only) and B (files and X,
  // files only).
  void MakeExampleTree(const std::string& root = "src/Data") {
    fs::create_directories(P(root + "/A"));
    fs::create_directories(P(root + "/B/X"));
    WriteFile(P(root + "/d.txt"), "d");
    WriteFile(P(root + "/A/a.txt"), "a");
    WriteFile(P(root + "/B/b.txt"), "b");
    WriteFile(P(root + "/B/X/x.txt"), "x");
  }

  ScratchDir scratch_;
  fs::path work_;
  fs::path log_;
  std::string exe_;
  std::string recorder_dir_;
  std::string saved_path_;
  std::unique_ptr<WorkingDir> cwd_;
};

using Commands = std::vector<std::vector<std::string>>;

Commands ArgsOf(const std::vector<RecordedRun>& runs) {
  Commands out;
  for (const auto& run : runs) {
    std::vector<std::string> line{run.program};
    line.insert(line.end(), run.args.begin(), run.args.end());
    out.push_back(line);
  }
  return out;
}

TEST_F(RunTest, UsageTextWhenArgumentsAreMissing) {
  const std::string usage =
      "Trevask Version 1.0.0\n"
      " ERROR:Argument need for 3 Parameters.\n"
      " usage: Trevask SourceFolder DstFileName TempFolder [options]\n"
      " Option:\t-r  Temporary file delete.\n"
      "            -d  Using PKZIP ver2.5.(default)\n"
      "            -w  Using PKZIP ver8.\n"
      "\n";
  MakeExampleTree();
  const std::vector<std::string> before = ListTree(work_);
  for (const auto& args : {Args({}), Args({"src/Data"}),
                           Args({"src/Data", "Out.zip"})}) {
    ProcessResult result = Run(args);
#ifdef _WIN32
    // The console runtime writes each line feed as CR LF.
    std::string lf;
    for (size_t i = 0; i < result.out.size(); ++i) {
      if (!(result.out[i] == '\r' && i + 1 < result.out.size() &&
            result.out[i + 1] == '\n')) {
        lf += result.out[i];
      }
    }
    EXPECT_EQ(result.out.size(), lf.size() + 9);
    result.out = lf;
#endif
    EXPECT_EQ(result.exit_code, -1);
    ASSERT_GT(result.out.size(), usage.size());
    EXPECT_EQ(result.out.substr(0, usage.size()), usage);
    // Line 7, the maker's notice, and the closing empty line.
    std::string rest = result.out.substr(usage.size());
    EXPECT_EQ(std::count(rest.begin(), rest.end(), '\n'), 2) << rest;
    EXPECT_EQ(rest.substr(rest.size() - 2), "\n\n");
    EXPECT_NE(rest[0], '\n');
  }
  EXPECT_TRUE(Runs().empty());
  EXPECT_EQ(ListTree(work_), before);
  EXPECT_FALSE(fs::exists("Out.zip"));
}

TEST_F(RunTest, WorkedExampleCommandsAndDirectories) {
  MakeExampleTree();
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T", "-r"}));
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(result.out, "");
  std::vector<RecordedRun> runs = Runs();
  EXPECT_EQ(ArgsOf(runs),
            (Commands{
                {"PKZIP.EXE", "-a", P("T/Data/B/B.zip"), P("src/Data/B/*.*")},
                {"PKZIP.EXE", "-a", P("T/Data/B/X/X.zip"), P("src/Data/B/X/*.*")},
                {"PKZIP.EXE", "-a", P("T/Data/Data.zip"), P("src/Data/*.*")},
                {"PKZIP.EXE", "-a", P("T/Data/A/A.zip"), P("src/Data/A/*.*")},
                {"PKZIP.EXE", "-a", "-rp", "Out.zip", P("T/Data/*.*")},
            }));
  for (const auto& run : runs) EXPECT_TRUE(run.dir_ok) << run.args[1];
  // "-r" took the mirror folder and nothing else.
  EXPECT_TRUE(fs::is_directory("T"));
  EXPECT_FALSE(fs::exists(P("T/Data")));
  EXPECT_TRUE(fs::exists("Out.zip"));
  EXPECT_EQ(ListTree("src").size(), 8u);
}

TEST_F(RunTest, WithoutRemovalTheMirrorTreeStays) {
  MakeExampleTree();
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T"}));
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(ListTree("T"),
            (std::vector<std::string>{"Data/", "Data/A/", "Data/A/A.zip",
                                      "Data/B/", "Data/B/B.zip", "Data/B/X/",
                                      "Data/B/X/X.zip", "Data/Data.zip"}));
}

TEST_F(RunTest, KindTwoUsesPkzipcWithItsOptionStrings) {
  MakeExampleTree();
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T", "-w"}));
  EXPECT_EQ(result.exit_code, 0) << result.err;
  Commands commands = ArgsOf(Runs());
  ASSERT_EQ(commands.size(), 5u);
  EXPECT_EQ(commands[2], (std::vector<std::string>{"PKZIPC.EXE", "-add",
                                                   P("T/Data/Data.zip"),
                                                   P("src/Data/*.*")}));
  EXPECT_EQ(commands[4],
            (std::vector<std::string>{"PKZIPC.EXE", "-add", "-recurse",
                                      "Out.zip", P("T/Data/*.*")}));
  for (const auto& command : commands) EXPECT_EQ(command[0], "PKZIPC.EXE");
}

TEST_F(RunTest, OptionMatrix) {
  struct Case {
    std::vector<std::string> options;
    const char* program;
    bool removes;
  };
  const Case cases[] = {
      {{}, "PKZIP.EXE", false},          {{"-d", "-w"}, "PKZIPC.EXE", false},
      {{"-w", "-d"}, "PKZIP.EXE", false}, {{"-rw"}, "PKZIP.EXE", true},
      {{"x-w"}, "PKZIPC.EXE", false},    {{"-R"}, "PKZIP.EXE", false},
      {{"/r"}, "PKZIP.EXE", false},       {{"-r", "-w"}, "PKZIPC.EXE", true},
      {{"-wd"}, "PKZIPC.EXE", false},      {{"-dw"}, "PKZIP.EXE", false},
      {{"x-d-w"}, "PKZIPC.EXE", false},   {{"junk"}, "PKZIP.EXE", false},
  };
  fs::create_directories(P("src/Data"));
  WriteFile(P("src/Data/f.txt"), "f");
  for (const Case& c : cases) {
    std::string label;
    for (const auto& o : c.options) label += o + " ";
    fs::remove(log_);
    fs::remove_all("T");
    std::vector<std::string> args = Args({"src/Data", "Out.zip", "T"});
    args.insert(args.end(), c.options.begin(), c.options.end());
    ProcessResult result = Run(args);
    EXPECT_EQ(result.exit_code, 0) << label << result.err;
    std::vector<RecordedRun> runs = Runs();
    ASSERT_EQ(runs.size(), 2u) << label;
    for (const auto& run : runs) EXPECT_EQ(run.program, c.program) << label;
    EXPECT_EQ(fs::exists(P("T/Data")), !c.removes) << label;
  }
}

TEST_F(RunTest, OptionsBeforeThePositionalArgumentsArePositional) {
  MakeExampleTree();
  ProcessResult result = Run(Args({"-w", "src/Data", "Out.zip"}));
  EXPECT_EQ(result.exit_code, -1);
  EXPECT_NE(result.err.find("not an existing folder"), std::string::npos);
  EXPECT_TRUE(Runs().empty());
}

TEST_F(RunTest, RemovalTakesOnlyTheSourcesMirrorFolder) {
  fs::create_directories(P("src/Data/Proj/Sub"));
  WriteFile(P("src/Data/Proj/p.txt"), "p");
  fs::create_directories(P("T/Data/Other"));
  WriteFile(P("T/Data/keep.txt"), "keep");
  ProcessResult result = Run(Args({"src/Data/Proj", "Out.zip", "T", "-r"}));
  EXPECT_EQ(result.exit_code, 0) << result.err;
  Commands commands = ArgsOf(Runs());
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0][2], P("T/Data/Proj/Proj.zip"));
  EXPECT_EQ(commands[1][2], P("T/Data/Proj/Sub/Sub.zip"));
  EXPECT_EQ(commands[2].back(), P("T/Data/Proj/*.*"));
  EXPECT_EQ(ListTree("T"), (std::vector<std::string>{"Data/", "Data/Other/",
                                                      "Data/keep.txt"}));
}

TEST_F(RunTest, FailedBundleKeepsTheMirrorTree) {
  MakeExampleTree();
  SetEnv("TREVASK_RECORD_FAIL_TEXT", "Out.zip");
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T", "-r"}));
  EXPECT_EQ(result.exit_code, -1);
  EXPECT_EQ(result.out, kError);
  EXPECT_EQ(Runs().size(), 5u);
  EXPECT_TRUE(fs::exists(P("T/Data/Data.zip")));
  EXPECT_TRUE(fs::exists(P("T/Data/B/X/X.zip")));
}

TEST_F(RunTest, FailedFolderArchiveSkipsItsLeavesOnly) {
  MakeExampleTree();
  SetEnv("TREVASK_RECORD_FAIL_TEXT", P("T/Data/Data.zip"));
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T", "-r"}));
  // The walk reports the failure; the bundle is still made, the exit status
  // tells the truth and the mirror tree stays for inspection.
  EXPECT_EQ(result.exit_code, -1);
  EXPECT_EQ(result.out, kError);
  Commands commands = ArgsOf(Runs());
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0][2], P("T/Data/B/B.zip"));
  EXPECT_EQ(commands[1][2], P("T/Data/B/X/X.zip"));
  EXPECT_EQ(commands[2][2], P("T/Data/Data.zip"));
  EXPECT_EQ(commands[3][2], "-rp");
  EXPECT_FALSE(fs::exists(P("T/Data/A/A.zip")));
  EXPECT_TRUE(fs::is_directory(P("T/Data/A")));
}

TEST_F(RunTest, FailureBelowStillWalksTheRestAndCountsAsFailure) {
  MakeExampleTree();
  SetEnv("TREVASK_RECORD_FAIL_TEXT", P("X/X.zip"));
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T", "-r"}));
  EXPECT_EQ(result.exit_code, -1);
  EXPECT_EQ(result.out, kError);
  EXPECT_EQ(Runs().size(), 5u);
  EXPECT_TRUE(fs::exists(P("T/Data/A/A.zip")));
  EXPECT_TRUE(fs::exists("Out.zip"));
  EXPECT_TRUE(fs::exists(P("T/Data")));
}

TEST_F(RunTest, EveryFailurePrintsTheMessageOnce) {
  MakeExampleTree();
  SetEnv("TREVASK_RECORD_FAIL_TEXT", ".zip");
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T"}));
  EXPECT_EQ(result.exit_code, -1);
  // B's own archive, Data's own archive and the bundle.
  EXPECT_EQ(result.out, std::string(kError) + kError + kError);
  EXPECT_EQ(Runs().size(), 3u);
}

TEST_F(RunTest, OutputToAFileKeepsItsOrder) {
  MakeExampleTree();
  // B's own archive fails (X is then skipped); Data, A and the bundle follow.
  SetEnv("TREVASK_RECORD_FAIL_RUN", "1");
  SetEnv("TREVASK_RECORD_SAY", "1");
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T"}));
  EXPECT_EQ(result.exit_code, -1);
  // Windows writes its line ends as CR LF.
  for (std::string* text : {&result.out, &result.err}) {
    text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
  }
  EXPECT_EQ(result.out, std::string("run 1\n") + kError + "run 2\nrun 3\nrun 4\n");
  // The leaf left without an archive, exactly.
  EXPECT_NE(result.err.find("trevask: not archived after that failure: " + P("src/Data/B/X") +
                            "\n"),
            std::string::npos)
      << result.err;
}

TEST_F(RunTest, MissingArchiverIsNamed) {
  fs::create_directories(P("src/Data"));
  ScratchDir empty;
  SetEnv("PATH", empty.path().string());
  fs::create_directories(P("src/Data/A"));
  fs::create_directories(P("src/Data/B"));
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T", "-r"}));
  EXPECT_EQ(result.exit_code, -1);
  // Said once, and nothing more is started.
  const std::string said = "PKZIP.EXE was not found; put it on PATH";
  EXPECT_NE(result.err.find(said), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find(said), result.err.rfind(said)) << result.err;
  // A missing archiver is a failed archiver run, once; on Windows cmd.exe
  // does the search and its first failed run ends the walk.
  EXPECT_EQ(result.out, kError);
#ifndef _WIN32
  EXPECT_FALSE(fs::exists("T"));
#endif
}

TEST_F(RunTest, HostileFolderNamesArchiveCorrectly) {
  std::vector<std::string> names = {
      "a;touch pwned", "$(touch pwned)", "`touch pwned`", "a'b",  "a&b",
      "My Data",       "x!y",            "-lead",         "(p)",   "a,b=c",
      "a^b",           "~tilde",         "$HOME",         "a b&c d^e"};
#ifndef _WIN32
  names.insert(names.end(), {"a\"b", "a|b", "new\nline", "*.*", "back\\slash",
                             "a>b<c", "tab\there", "50%", "%PATH%"});
#endif
  for (const auto& name : names) {
    fs::create_directories(fs::path("src") / "Data" / name / name);
    WriteFile(fs::path("src") / "Data" / name / "f.txt", name);
  }
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T"}));
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  std::vector<RecordedRun> runs = Runs();
  // Each name: its own walk (one run) and its leaf; then Data and the bundle.
  ASSERT_EQ(runs.size(), 2 * names.size() + 2);
  std::set<std::vector<std::string>> seen;
  for (const auto& run : runs) seen.insert(run.args);
  for (const auto& name : names) {
    std::string mirror = P("T/Data/") + name;
    std::string source = P("src/Data/") + name;
    EXPECT_EQ(seen.count({"-a", mirror + base::kSeparator + name + ".zip",
                          source + base::kSeparator + "*.*"}),
              1u)
        << name;
    std::string leaf = mirror + base::kSeparator + name;
    EXPECT_EQ(seen.count({"-a", leaf + base::kSeparator + name + ".zip",
                          source + base::kSeparator + name + base::kSeparator + "*.*"}),
              1u)
        << name;
    EXPECT_TRUE(fs::exists(fs::path("T") / "Data" / name / name /
                           (name + ".zip")))
        << name;
  }
  for (const auto& entry : fs::recursive_directory_iterator(scratch_.path())) {
    EXPECT_NE(entry.path().filename(), "pwned") << entry.path();
  }
}

#ifdef _WIN32
// cmd.exe expands %NAME% even inside quotes and a /c line has no escape for
// it: such a path is refused before anything is made or run.
TEST_F(RunTest, PercentInAPathIsRefusedUpFront) {
  MakeExampleTree();
  fs::create_directories(P("src/Data/%PATH%"));
  fs::create_directories(P("src/Data/50%"));
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T", "-r"}));
  EXPECT_EQ(result.exit_code, -1);
  EXPECT_NE(result.err.find("cannot be passed safely"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("nothing was made: 2 folders"), std::string::npos) << result.err;
  EXPECT_TRUE(Runs().empty());
  EXPECT_FALSE(fs::exists("Out.zip"));
  EXPECT_FALSE(fs::exists(P("T")));
}
#endif

TEST_F(RunTest, UnsafeOrOverlappingFoldersAreRefusedUpFront) {
  MakeExampleTree();
  MakeExampleTree("Data/Data");
  WriteFile("file.txt", "not a folder");
  std::string abs_source = (work_ / "src" / "Data").string();
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  std::vector<Case> cases = {
      {Args({"missing", "Out.zip", "T"}), "not an existing folder"},
      {Args({"file.txt", "Out.zip", "T"}), "not an existing folder"},
      {Args({"src/Data/../Data", "Out.zip", "T"}), "'..'"},
      {Args({"src/Data/.", "Out.zip", "T"}), "'..'"},
      {Args({"src/Data", "Out.zip", "src/Data/tmp"}), "overlap"},
      {Args({"Data/Data", "Out.zip", "."}), "overlap"},
      {Args({"src/Data", "T/Data/Out.zip", "T"}), "DstFileName"},
  };
#ifdef _WIN32
  cases.push_back({{abs_source.substr(0, 3), "Out.zip", "T"}, "root"});
#else
  cases.push_back({{"/", "Out.zip", "T"}, "root"});
  // The mirror of /…/src/Data under "/" is the source itself.
  cases.push_back({{abs_source, "Out.zip", "/"}, "overlap"});
#endif
  for (const Case& c : cases) {
    ProcessResult result = Run(c.args);
    EXPECT_EQ(result.exit_code, -1) << c.args[0];
    EXPECT_NE(result.err.find(c.message), std::string::npos)
        << c.args[0] << ": " << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_TRUE(Runs().empty());
  EXPECT_FALSE(fs::exists("T"));
  EXPECT_FALSE(fs::exists(P("src/Data/tmp")));
  EXPECT_EQ(ListTree("src").size(), 8u);
}

TEST_F(RunTest, SourceWithoutSeparatorOrWithTrailingOne) {
  MakeExampleTree();
  {
    WorkingDir in_src("src");
    ProcessResult result = Run(Args({"Data", "Out.zip", "T"}));
    EXPECT_EQ(result.exit_code, 0) << result.err;
  }
  Commands commands = ArgsOf(Runs());
  ASSERT_EQ(commands.size(), 5u);
  EXPECT_EQ(commands[1], (std::vector<std::string>{"PKZIP.EXE", "-a",
                                                   P("T/Data/B/X/X.zip"),
                                                   P("Data/B/X/*.*")}));
  EXPECT_EQ(commands[2][2], P("T/Data/Data.zip"));

  fs::remove(log_);
  std::string trailing = P("src/Data/");
  ProcessResult result = Run({trailing, "Out.zip", "T"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  commands = ArgsOf(Runs());
  ASSERT_EQ(commands.size(), 5u);
  EXPECT_EQ(commands[2], (std::vector<std::string>{"PKZIP.EXE", "-a",
                                                   P("T/Data/Data.zip"),
                                                   P("src/Data/*.*")}));
}

TEST_F(RunTest, LinkBackUpIsALoopAndNotWalked) {
  MakeExampleTree();
  std::error_code ec;
  fs::create_directory_symlink(work_ / "src" / "Data",
                               fs::path("src") / "Data" / "B" / "loop", ec);
  if (ec) GTEST_SKIP() << "cannot make a folder link here: " << ec.message();
  ProcessResult result = Run(Args({"src/Data", "Out.zip", "T"}));
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(Runs().size(), 5u);
  EXPECT_FALSE(fs::exists(P("T/Data/B/loop")));
  EXPECT_NE(result.err.find("(a loop)"), std::string::npos) << result.err;
}

TEST_F(RunTest, OverlongPathIsReportedAndNothingIsMade) {
  fs::create_directories(P("src/Data"));
  std::string temp = "T";
  while (temp.size() <= trevask::kMaxPathLength) temp += P("/abcdefghij");
  ProcessResult result = Run({P("src/Data"), "Out.zip", temp});
  EXPECT_EQ(result.exit_code, -1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("over the limit"), std::string::npos) << result.err;
  EXPECT_TRUE(Runs().empty());
  EXPECT_FALSE(fs::exists("T"));
}

}  // namespace
