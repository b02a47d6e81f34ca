// The fuzzer's properties over its committed corpus, so that every run of
// the suite checks them, not only a fuzzing session.
#include <gtest/gtest.h>

#include "fuzz/properties.h"
#include "tests/support.h"

namespace {

using namespace testing_support;
using namespace std::string_literals;

TEST(PathProperties, HoldForEveryInputOfTheCorpus) {
  const std::string dir = GetEnv("TREVASK_CORPUS_DIR");
  ASSERT_FALSE(dir.empty()) << "TREVASK_CORPUS_DIR is not set";
  std::string all;
  size_t inputs = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string input = ReadFile(entry.path());
    EXPECT_EQ(trevask_fuzz::FirstViolation(input), "") << entry.path();
    all += input + '\n';
    ++inputs;
  }
  // What the corpus is for: the text cmd.exe or the C runtime reads
  // specially, beside plain paths.
  EXPECT_GE(inputs, 15u);
  // A trailing backslash is one before the NUL that ends a part.
  for (const std::string& text : {"&"s, "|"s, "^"s, "!"s, "%"s, "\""s, " "s, "\\\0"s, "\\\""s}) {
    EXPECT_NE(all.find(text), std::string::npos) << "no input holds " << text;
  }
}

// The checks' own parsers, so that a fault in them cannot pass everything.
TEST(PathProperties, ReferenceParsersOfCmdAndTheRuntime) {
  const struct {
    const char* line;
    bool inert;
    std::vector<std::string> words;
  } kCases[] = {
      {"P -a x", true, {"P", "-a", "x"}},
      {"P a&b", false, {"P", "a&b"}},
      {"P \"a&b\" \"(c)\"", true, {"P", "a&b", "(c)"}},
      {"P a^b|c", false, {"P", "a^b|c"}},
      {"P \"50%\"", false, {"P", "50%"}},
      {"P \"a b\\\\\" c", true, {"P", "a b\\", "c"}},
      {"P \"a b\\\" c", true, {"P", "a b\" c"}},
      {"P a\\\\\\\"b c\\", false, {"P", "a\\\"b", "c\\"}},
      {"P \"a\"\"b\"", true, {"P", "a\"b"}},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(trevask_fuzz::InertToCmd(c.line), c.inert) << c.line;
    EXPECT_EQ(trevask_fuzz::RuntimeWords(c.line), c.words) << c.line;
  }
}

}  // namespace
