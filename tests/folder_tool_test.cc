#include "folder_tool/folder_tool.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <set>

#include "folder_tool/command_line.h"
#include "folder_tool/name_rules.h"
#include "folder_tool/path_identity.h"
#include "tests/support.h"
#include "walk/compress_folder.h"

namespace {

using namespace testing_support;
using trevask::FolderTool;

TEST(ScanSubfolders, CountsAndListsOnlyRealSubfolders) {
  ScratchDir scratch;
  fs::path root = scratch.path();
  fs::create_directories(root / "files-only");
  WriteFile(root / "files-only" / "a.txt", "a");
  WriteFile(root / "files-only" / "b", "b");
  fs::create_directories(root / "mixed" / "one");
  fs::create_directories(root / "mixed" / ".hidden");
  fs::create_directories(root / "mixed" / "with space");
  WriteFile(root / "mixed" / "file.dat", "x");

  FolderTool tool;
  EXPECT_EQ(tool.CountSubfolders((root / "files-only").string()), 0);
  std::vector<std::string> names;
  EXPECT_EQ(tool.ListSubfolders((root / "files-only").string(), &names), 0);
  EXPECT_TRUE(names.empty());

  std::string mixed = (root / "mixed").string();
  EXPECT_EQ(tool.CountSubfolders(mixed), 3);
  EXPECT_EQ(tool.ListSubfolders(mixed, &names), 3);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{"one", ".hidden", "with space"}));

  // The platform's order, unsorted, is kept.
  std::vector<std::string> platform_order;
  for (const auto& entry : fs::directory_iterator(mixed)) {
    if (entry.is_directory()) {
      platform_order.push_back(entry.path().filename().string());
    }
  }
  EXPECT_EQ(names, platform_order);

  // Counting only never stores.
  std::vector<std::string> untouched;
  EXPECT_EQ(tool.ScanSubfolders(mixed, &untouched, 0), 3);
  EXPECT_TRUE(untouched.empty());

  // What cannot be listed says so, unlike a folder without subfolders.
  EXPECT_EQ(tool.CountSubfolders((root / "missing").string()), -1);
  EXPECT_EQ(tool.CountSubfolders((root / "files-only" / "a.txt").string()), -1);
}

TEST(ScanSubfolders, LinkToFolderIsASubfolder) {
  ScratchDir scratch;
  fs::path root = scratch.path();
  fs::create_directories(root / "real");
  std::error_code ec;
  fs::create_directory_symlink(root / "real", root / "link", ec);
  // Wine reports success without making a link.
  if (ec || !fs::is_symlink(root / "link")) GTEST_SKIP() << "cannot make a folder link here";
  fs::create_directory_symlink(root, root / "real" / "loop", ec);
  fs::create_symlink(root / "nowhere", root / "real" / "dangling", ec);
  FolderTool tool;
  std::vector<std::string> names;
  std::vector<char> links;
  EXPECT_EQ(tool.ListSubfolders(root.string(), &names, &links), 2);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{"real", "link"}));
  // Each name flagged as KindOf would see it, so that the walk need not look.
  ASSERT_EQ(links.size(), names.size());
  for (size_t j = 0; j < names.size(); ++j) {
    EXPECT_EQ(links[j] != 0, trevask::KindOf((root / names[j]).string()) == trevask::PathKind::kLink)
        << names[j];
  }
  // The walk, not the listing, keeps a loop from being followed.
  EXPECT_EQ(tool.CountSubfolders((root / "real").string()), 1);
}

TEST(SkipFirstComponent, CutsAtTheFirstSeparator) {
  FolderTool tool;
  std::string drive = P("C:/Data/Proj");
  EXPECT_STREQ(tool.SkipFirstComponent(drive.c_str()), P("Data/Proj").c_str());
  // The result points into the caller's text.
  EXPECT_EQ(tool.SkipFirstComponent(drive.c_str()), drive.c_str() + 3);
  std::string two = P("Data/Proj");
  EXPECT_STREQ(tool.SkipFirstComponent(two.c_str()), "Proj");
  EXPECT_EQ(tool.SkipFirstComponent("Data"), nullptr);
  std::string trailing = P("Data/");
  ASSERT_NE(tool.SkipFirstComponent(trailing.c_str()), nullptr);
  EXPECT_STREQ(tool.SkipFirstComponent(trailing.c_str()), "");
  std::string absolute = P("/home/u/Data");
  EXPECT_STREQ(tool.SkipFirstComponent(absolute.c_str()),
               P("home/u/Data").c_str());
}

TEST(DerivedNames, RelativePartMirrorAndFolderName) {
  EXPECT_EQ(trevask::RelativePart(P("C:/Data/Proj")), P("Data/Proj"));
  EXPECT_EQ(trevask::RelativePart("Data"), "Data");
  EXPECT_EQ(trevask::MirrorFolder(P("Work/Data"), "T"), P("T/Data"));
  EXPECT_EQ(trevask::FolderName(P("Data/Proj/Sub")), "Sub");
  EXPECT_EQ(trevask::FolderName("Data"), "Data");
}

TEST(MakeDirectoryPath, CreatesEachPrefixOnceAndIgnoresExisting) {
  ScratchDir scratch;
  WorkingDir cwd(scratch.path());
  FolderTool tool;
  tool.MakeDirectoryPath(P("T/A//B/"));
  EXPECT_EQ(ListTree("."), (std::vector<std::string>{"T/", "T/A/", "T/A/B/"}));

  WriteFile(P("T/A/keep.txt"), "kept");
  tool.MakeDirectoryPath(P("T/A/B"));
  EXPECT_EQ(ListTree("."), (std::vector<std::string>{"T/", "T/A/", "T/A/B/",
                                                     "T/A/keep.txt"}));
  EXPECT_EQ(ReadFile(P("T/A/keep.txt")), "kept");

  // An absolute path keeps its root.
  tool.MakeDirectoryPath((scratch.path() / "abs" / "x").string());
  EXPECT_TRUE(fs::is_directory(scratch.path() / "abs" / "x"));

  // A file in the way fails the call, named as the reason, and is left
  // alone; below the root it is refused before anything is tried.
  WriteFile(P("T/blocker"), "file");
  const struct {
    const char* below;
    std::string said;
  } kBlocked[] = {
      {"", "trevask: cannot make the folder " + P("T/blocker") + ": it exists and is not a folder\n"},
      {"T", "trevask: " + P("T/blocker") + " is a link or not a folder; nothing is written through it\n"},
  };
  for (const auto& c : kBlocked) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(tool.MakeDirectoryPath(P("T/blocker/sub"), c.below)) << c.below;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said);
    EXPECT_EQ(ReadFile(P("T/blocker")), "file");
  }
}

TEST(DropTrailingSeparators, ARootKeepsOneSeparator) {
  const std::pair<std::string, std::string> kCases[] = {
      {"src/Data/", "src/Data"}, {"a//", "a"}, {"/", "/"}, {"//", "/"}, {"Data", "Data"},
#ifdef _WIN32
      {"C:\\", "C:\\"}, {"C:\\a\\", "C:\\a"}, {"C:", "C:"}, {"\\\\", "\\"},
      {"\\\\srv\\", "\\\\srv"}, {"\\\\srv\\share\\", "\\\\srv\\share"},
#endif
  };
  for (const auto& c : kCases) EXPECT_EQ(trevask::DropTrailingSeparators(P(c.first)), P(c.second));
}

#ifdef _WIN32
// A share is a root without a separator at its end: the first folder below
// \\server\share is \\server\share\x, never \\server\sharex (a folder of
// another share, outside TempFolder).
TEST(MakeDirectoryPath, TheFirstFolderBelowAShareIsInsideIt) {
  FolderTool tool;
  const std::string share = "\\\\trevask-no-such-server\\share";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tool.MakeDirectoryPath(share + "\\x\\y"));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.find(share + "x"), std::string::npos) << said;
}
#endif

TEST(PathIsWithin, DecidedByIdentityAndByTextBelowWhatExists) {
  ScratchDir scratch;
  WorkingDir cwd(scratch.path());
  fs::create_directories(P("T/Data/sub"));
  WriteFile(P("T/Data.zip"), "z");
  const std::string root = scratch.path().root_path().string();
  struct Case {
    std::string inner, outer;
    bool within;
  };
  std::vector<Case> cases = {
      {P("T/Data"), P("T/Data"), true},
      {P("T/Data/sub"), P("T/Data"), true},
      {P("T/Data/new/x.zip"), P("T/Data"), true},
      {P("T/Data.zip"), P("T/Data"), false},
      {P("T/Data"), P("T/Data/sub"), false},
      {P("T/new/x"), P("T/new"), true},
      {P("T/newer"), P("T/new"), false},
      {P("T/Data/./sub/.."), P("T/Data"), true},
      {P("T/Data/../Data.zip"), P("T/Data"), false},
      {P("T/Data"), root, true},
      {root, P("T/Data"), false},
  };
  std::error_code ec;
  fs::create_directory_symlink(scratch.path() / "T" / "Data", "link", ec);
  if (!ec) {
    cases.push_back({P("link/sub"), P("T/Data"), true});
    cases.push_back({P("T/Data/sub"), "link", true});
    cases.push_back({"link", P("T/Data/sub"), false});
    // A link that leads where nothing exists yet still leads there.
    fs::create_directory_symlink(scratch.path() / "T" / "later", "dangling", ec);
    cases.push_back({P("dangling/out.zip"), P("T/later"), true});
    cases.push_back({P("dangling/out.zip"), P("T/Data"), false});
  }
#ifdef _WIN32
  cases.push_back({P("t/data/SUB"), P("T/Data"), true});
  char short_name[MAX_PATH];
  fs::create_directories(P("TempFolderLong/Data"));
  DWORD n = GetShortPathNameA(P("TempFolderLong/Data").c_str(), short_name, MAX_PATH);
  if (n > 0 && n < MAX_PATH && std::string(short_name) != P("TempFolderLong/Data")) {
    cases.push_back({std::string(short_name) + "\\Out.zip", P("TempFolderLong/Data"), true});
  }
#endif
  for (const Case& c : cases) {
    EXPECT_EQ(trevask::PathIsWithin(c.inner, c.outer), c.within)
        << c.inner << " within " << c.outer;
  }
}

TEST(MakeDirectoryPath, NeverMakesAnythingThroughALinkBelowTheRoot) {
  ScratchDir scratch;
  WorkingDir cwd(scratch.path());
  fs::create_directories(P("T/S"));
  fs::create_directories("elsewhere");
  std::error_code ec;
  fs::create_directory_symlink(scratch.path() / "elsewhere", P("T/S/sub"), ec);
  if (ec) GTEST_SKIP() << "cannot make a folder link here: " << ec.message();
  WriteFile(P("T/S/file"), "file");
  FolderTool tool;
  // The link or file on the way or as the folder asked for, alone or after
  // a path of the same step that made its parent known.
  trevask::KnownFolders known;
  EXPECT_TRUE(tool.MakeDirectoryPath(P("T/S/new/x"), "T", &known));
  const struct {
    std::string path, named;
    trevask::KnownFolders* known;
  } kRefused[] = {
      {P("T/S/sub/deeper"), P("T/S/sub"), nullptr}, {P("T/S/sub"), P("T/S/sub"), nullptr},
      {P("T/S/sub"), P("T/S/sub"), &known},         {P("T/S/file"), P("T/S/file"), &known},
      {P("T/S/file/x"), P("T/S/file"), &known},
  };
  for (const auto& c : kRefused) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(tool.MakeDirectoryPath(c.path, "T", c.known)) << c.path;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "trevask: " + c.named + " is a link or not a folder; nothing is written "
                   "through it\n") << c.path;
  }
  EXPECT_TRUE(fs::is_empty("elsewhere"));
  EXPECT_EQ(ReadFile(P("T/S/file")), "file");
  // Above the root a link is the user's own choice.
  EXPECT_TRUE(tool.MakeDirectoryPath(P("T/S/sub/deeper"), P("T/S/sub")));
}

// Nothing runs when the line cannot be built.
TEST(RunArchiver, AnOverlongPathRunsNothing) {
  const std::string longest(trevask::kMaxPathLength, 'a');
  FolderTool tool;
  testing::internal::CaptureStderr();
  EXPECT_NE(tool.RunArchiver("a.zip", longest + "b", "-a", trevask::kPkzip25),
            0);
  testing::internal::GetCapturedStderr();
}

}  // namespace

#ifdef _WIN32
TEST(WindowsNames, ArgumentFormsAndRules) {
  const struct {
    const char* arg;
    const char* path;  // nullptr when refused
  } kCases[] = {
      {"src/Data", "src\\Data"},
      {"Z:/x/src/Data/", "Z:\\x\\src\\Data\\"},
      {"\\\\?\\Z:\\x\\Data", "Z:\\x\\Data"},
      {"\\\\?\\UNC\\server\\share\\Data", "\\\\server\\share\\Data"},
      {"//server/share/Data", "\\\\server\\share\\Data"},
      {"\\\\.\\PhysicalDrive0", nullptr},
      {"\\\\?\\Volume{0}\\Data", nullptr},
  };
  for (const auto& c : kCases) {
    std::string path, error;
    bool ok = trevask::NativeArgumentPath(c.arg, &path, &error);
    EXPECT_EQ(ok, c.path != nullptr) << c.arg;
    if (ok && c.path) {
      EXPECT_EQ(path, c.path) << c.arg;
    }
  }
  std::string component;
  EXPECT_EQ(trevask::PathRuleBroken("C:\\x\\Data", &component), "");
  EXPECT_EQ(trevask::PathRuleBroken("\\\\srv\\share$\\Data", &component), "");
  EXPECT_NE(trevask::PathRuleBroken("C:\\x.\\Data", &component), "");
  EXPECT_EQ(component, "x.");
}

TEST(ScanSubfolders, NeverListsANameChangedOnTheWay) {
  // This test program has no UTF-8 manifest: the code page is the system's
  // (1252 under Wine), which cannot carry most of these names.
  ScratchDir scratch;
  const std::wstring root = scratch.path().wstring();
  const wchar_t* const kNames[] = {L"Omega", L"\u03a9mega", L"\uff3cesc",
                                   L"\uff0e\uff0e", L"\u65e5\u672c", L"dot.", L"CON"};
  for (const wchar_t* name : kNames) {
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + root + L"\\" + name).c_str(), nullptr));
  }
  FolderTool tool;
  const std::string dir = scratch.path().string();
  EXPECT_EQ(tool.CountSubfolders(dir), 7);
  std::vector<std::string> names;
  testing::internal::CaptureStderr();
  EXPECT_EQ(tool.ListSubfolders(dir, &names), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("trailing dot"), std::string::npos) << err;
  EXPECT_NE(err.find("devices"), std::string::npos) << err;
  std::set<std::string> expected = {"Omega"};
  if (GetACP() == CP_UTF8) {
    expected = {"Omega", "\xce\xa9mega", "\xef\xbc\xbc" "esc", "\xef\xbc\x8e\xef\xbc\x8e",
                "\xe6\x97\xa5\xe6\x9c\xac"};
  } else {
    EXPECT_NE(err.find("cannot carry"), std::string::npos) << err;
  }
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
  names.clear();
  testing::internal::CaptureStderr();
  EXPECT_EQ(tool.ListSubfoldersQuietly(dir, &names), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
  // The scratch folder's own removal cannot reach these either.
  for (const wchar_t* name : kNames) {
    RemoveDirectoryW((L"\\\\?\\" + root + L"\\" + name).c_str());
  }
}
#endif

TEST(RemoveFolder, RemovesOnlyTheFolderItWasToldOf) {
  ScratchDir scratch;
  WorkingDir cwd(scratch.path());
  fs::create_directories(P("M/sub"));
  fs::create_directories(P("other/sub"));
  WriteFile(P("M/sub/f"), "f");
  WriteFile(P("other/sub/keep"), "keep");
  base::FileId mirror, other;
  ASSERT_TRUE(base::GetFileId("M", &mirror));
  ASSERT_TRUE(base::GetFileId("other", &other));
  // Another folder in its place, or a link to one, is left alone.
  EXPECT_EQ(trevask::FolderTool().RemoveFolder("M", other), -2);
  std::error_code ec;
  fs::create_directory_symlink(scratch.path() / "other", "L", ec);
  if (!ec && fs::is_symlink("L")) {
    EXPECT_EQ(trevask::FolderTool().RemoveFolder("L", other), -2);
    EXPECT_TRUE(fs::is_symlink("L"));
  }
  EXPECT_EQ(ReadFile(P("other/sub/keep")), "keep");
  EXPECT_TRUE(fs::exists(P("M/sub/f")));
  EXPECT_EQ(trevask::FolderTool().RemoveFolder("M", mirror), 0);
  EXPECT_FALSE(fs::exists("M"));
  EXPECT_EQ(ReadFile(P("other/sub/keep")), "keep");
}
