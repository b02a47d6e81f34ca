// The archivers' command lines: the folder a pattern names.
#include <gtest/gtest.h>

#include "archiver/arguments.h"

namespace {

// "/*.*" names the root, not ""; no test archives / to see it.
TEST(ParseArguments, APatternAtTheRootNamesTheRoot) {
  archiver::Request request;
  std::string error;
  ASSERT_TRUE(archiver::ParseArguments(1, {"-a", "x.zip", "/*.*"}, &request, &error)) << error;
  EXPECT_EQ(request.folder, "/");
}

}  // namespace
