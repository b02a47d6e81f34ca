// Path text (base/path.h): taking paths apart, separators in a code page,
// the names Windows paths cannot reach.
#include "base/path.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support.h"

namespace {

using namespace testing_support;

TEST(PathText, ParentFolderAndBaseNameOfEveryForm) {
  const struct {
    const char *path, *parent, *name;
  } kCases[] = {
      {"a/b", "a", "b"},
      {"a", ".", "a"},
      {"/", "/", ""},
      {"/a", "/", "a"},
      {"a/b/", "a/b", ""},
      {"a//b", "a/", "b"},
#ifdef _WIN32
      {"C:\\", "C:\\", ""},
      {"C:\\a", "C:\\", "a"},
      {"C:a", "C:", "a"},
      {"C:/a/b", "C:/a", "b"},
      {"\\\\srv\\share", "\\\\srv\\share", "share"},
      {"\\\\srv\\share\\x", "\\\\srv\\share", "x"},
#endif
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(base::ParentFolder(P(c.path)), P(c.parent)) << c.path;
    EXPECT_EQ(base::BaseName(P(c.path)), c.name) << c.path;
  }
}

#ifdef _WIN32
TEST(FindSeparator, StepsOverDoubleByteCharacters) {
  // In Shift-JIS the second byte of U+8868 is the backslash byte.
  const std::string path = "C:\\\x95\x5c\\x";
  EXPECT_EQ(base::FindSeparatorInCodePage(path, 0, 932), 2u);
  EXPECT_EQ(base::FindSeparatorInCodePage(path, 3, 932), 5u);
  // In a single-byte code page the same byte is a separator.
  EXPECT_EQ(base::FindSeparatorInCodePage(path, 3, 1252), 4u);
}
#endif

TEST(WindowsNames, WhatWindowsPathsCannotReach) {
  const struct {
    const char* name;
    const char* rule;  // a word of the rule, or "" when the name is fine
  } kCases[] = {
      {"Data", ""}, {"a.b", ""}, {".hidden", ""}, {"..", ""}, {"CONSOLE", ""},
      {"COM0", ""}, {"\xe6\x97\xa5\xe6\x9c\xac", ""},
      {"dot.", "trailing"}, {"sp ", "trailing"}, {"CON", "devices"},
      {"nul", "devices"}, {"aux.txt", "devices"}, {"Com7.a.b", "devices"},
      {"LPT1 .x", "devices"}, {"a:b", "cannot hold"}, {"a?", "cannot hold"},
      {"tab\there", "cannot hold"},
  };
  for (const auto& c : kCases) {
    std::string rule = base::WindowsNameRule(c.name);
    if (*c.rule == '\0') {
      EXPECT_EQ(rule, "") << c.name;
    } else {
      EXPECT_NE(rule.find(c.rule), std::string::npos) << c.name << ": " << rule;
    }
  }
}

// One name for the file system or two: bytes on POSIX; on Windows NTFS's
// ordinal rule, letter by letter in UTF-16 without a locale.
TEST(SameNameText, CaseAsTheFileSystemTakesIt) {
  const struct {
    const char *a, *b;
    bool posix, windows;
  } kCases[] = {
      {"Data", "Data", true, true},       {"Data", "data", false, true},
      {"a.zip", "A.ZIP", false, true},    {"\xc3\x89", "\xc3\xa9", false, true},  // É é
      {"\xce\xa9", "\xcf\x89", false, true},                              // Ω ω
      {"\xc3\x9f", "SS", false, false}, {"\xc3\x9f", "ss", false, false},  // ß
      {"\xc3\xa9", "e", false, false},  {"Data", "Dat", false, false},
  };
  for (const auto& c : kCases) {
#ifdef _WIN32
    const bool same = c.windows;
#else
    const bool same = c.posix;
#endif
    EXPECT_EQ(base::SameNameText(c.a, c.b), same) << c.a << " " << c.b;
  }
}

}  // namespace
