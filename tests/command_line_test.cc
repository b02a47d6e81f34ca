// The archiver's words and, on Windows, the line that runs them: the two
// steps every archiver run takes.
#include "folder_tool/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support.h"

namespace {

using namespace testing_support;

#ifdef _WIN32
// The interpreter's line of a run, built as RunArchiver builds it.
bool ArchiverLine(const std::string& archive, const std::string& source, const char* options,
                  trevask::ArchiverKind kind, std::string* line) {
  std::vector<std::string> args;
  return trevask::BuildArchiverArguments(archive, source, options, kind, &args) &&
         trevask::CommandFromArguments(args, line);
}
#endif

TEST(CommandLines, EachPathIsOneArgumentInItsExactForm) {
  std::vector<std::string> args;
  ASSERT_TRUE(trevask::BuildArchiverArguments("X.zip", P("C:/D/*.*"), "-a",
                                              trevask::kPkzip25, &args));
  EXPECT_EQ(args, (std::vector<std::string>{"PKZIP.EXE", "-a", "X.zip", P("C:/D/*.*")}));
  ASSERT_TRUE(trevask::BuildArchiverArguments(
      "My Out.zip", P("T/a b;c/*.*"), trevask::BundleOptions(trevask::kPkzip8),
      trevask::kPkzip8, &args));
  EXPECT_EQ(args, (std::vector<std::string>{"PKZIPC.EXE", "-add", "-recurse", "My Out.zip",
                                            P("T/a b;c/*.*")}));
#ifdef _WIN32
  std::string line;
  ASSERT_TRUE(ArchiverLine("X.zip", P("C:/D/*.*"), "-a", trevask::kPkzip25, &line));
  EXPECT_EQ(line, "PKZIP.EXE -a X.zip C:\\D\\*.*");
  ASSERT_TRUE(ArchiverLine("Out.zip", P("T/Data/*.*"), trevask::BundleOptions(trevask::kPkzip8),
                           trevask::kPkzip8, &line));
  EXPECT_EQ(line.rfind("PKZIPC.EXE -add -recurse Out.zip ", 0), 0u) << line;
  ASSERT_TRUE(trevask::BuildRemoveCommand(P("T/Data"), &line));
  EXPECT_EQ(line, "rmdir /s /q T\\Data");
#endif
}

#ifdef _WIN32
TEST(CommandLines, QuotingForTheInterpreter) {
  std::string quoted;
  ASSERT_TRUE(trevask::QuoteArgument("C:\\Data\\*.*", &quoted));
  EXPECT_EQ(quoted, "C:\\Data\\*.*");
  ASSERT_TRUE(trevask::QuoteArgument("a&b (c)", &quoted));
  EXPECT_EQ(quoted, "\"a&b (c)\"");
  // The runtime would read \" as a quote inside the argument.
  ASSERT_TRUE(trevask::QuoteArgument("C:\\My Data\\", &quoted));
  EXPECT_EQ(quoted, "\"C:\\My Data\\\\\"");
  EXPECT_FALSE(trevask::QuoteArgument("50%", &quoted));
  EXPECT_FALSE(trevask::QuoteArgument("%PATH%", &quoted));
  testing::internal::CaptureStderr();
  std::string line;
  EXPECT_FALSE(ArchiverLine("T\\a%b%\\x.zip", "s\\*.*", "-a", trevask::kPkzip25, &line));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("a%b%"), std::string::npos);
}
#endif

TEST(CommandLines, APathThatLooksLikeAnOptionStaysAPath) {
  std::vector<std::string> args;
  ASSERT_TRUE(trevask::BuildArchiverArguments(P("-T/D.zip"), P("-s/*.*"), "-a",
                                              trevask::kPkzip25, &args));
  EXPECT_EQ(args, (std::vector<std::string>{"PKZIP.EXE", "-a", P("./-T/D.zip"),
                                            P("./-s/*.*")}));
#ifdef _WIN32
  std::string line;
  ASSERT_TRUE(ArchiverLine(P("-T/D.zip"), P("-s/*.*"), "-a", trevask::kPkzip25, &line));
  EXPECT_EQ(line, "PKZIP.EXE -a .\\-T\\D.zip .\\-s\\*.*");
#endif
}

TEST(CommandLines, OptionStringsPerKind) {
  EXPECT_STREQ(trevask::FolderArchiveOptions(trevask::kPkzip25), "-a");
  EXPECT_STREQ(trevask::BundleOptions(trevask::kPkzip25), "-a -rp");
  EXPECT_STREQ(trevask::FolderArchiveOptions(trevask::kPkzip8), "-add");
  EXPECT_STREQ(trevask::BundleOptions(trevask::kPkzip8), "-add -recurse");
}

TEST(CommandLines, OverlongPathIsRefusedNotTruncated) {
  std::string longest(trevask::kMaxPathLength, 'a');
  std::vector<std::string> args;
  EXPECT_TRUE(trevask::BuildArchiverArguments("a.zip", longest, "-a", trevask::kPkzip25,
                                              &args));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(trevask::BuildArchiverArguments("a.zip", longest + "b", "-a",
                                               trevask::kPkzip25, &args));
#ifdef _WIN32
  std::string line;
  EXPECT_TRUE(trevask::BuildRemoveCommand(longest, &line));
  EXPECT_FALSE(trevask::BuildRemoveCommand(longest + "b", &line));
#endif
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("over the limit"), std::string::npos) << err;
  EXPECT_NE(err.find(longest + "b"), std::string::npos);
}

// cmd.exe's rules hold wherever the suite runs, as the fuzzer checks them;
// with delayed expansion '!' is refused too.
TEST(CommandLines, CmdQuotingOfEveryKindOfText) {
  struct Case {
    const char* arg;
    size_t trailing_backslashes;
    const char* quoted;  // nullptr: refused
    bool refused_delayed = false;
  } cases[] = {
      {"plain\\path", 0, "plain\\path"},   {"a&b", 0, "\"a&b\""},
      {"a|b", 0, "\"a|b\""},               {"a^b", 0, "\"a^b\""},
      {"a<b>c", 0, "\"a<b>c\""},           {"(p)", 0, "\"(p)\""},
      {"a,b;c=d", 0, "\"a,b;c=d\""},       {"x!y", 0, "\"x!y\"", true},
      {"My Data", 0, "\"My Data\""},       {"", 0, "\"\""},
      {"My Data\\", 1, "\"My Data\\\\\""}, {"a b\\\\", 2, "\"a b\\\\\\\\\""},
      {"50%", 0, nullptr},                 {"a\"b", 0, nullptr},
      {"line\nfeed", 0, nullptr},
  };
  for (const Case& c : cases) {
    for (const bool delayed : {false, true}) {
      SCOPED_TRACE(delayed ? "delayed" : "");
      const bool refused = c.quoted == nullptr || (delayed && c.refused_delayed);
      std::string quoted;
      const bool ok = trevask::QuoteForCmd(c.arg, c.trailing_backslashes, &quoted, delayed);
      EXPECT_EQ(ok, !refused) << c.arg;
      if (ok && !refused) {
        EXPECT_EQ(quoted, c.quoted) << c.arg;
      }
    }
  }
}

}  // namespace
