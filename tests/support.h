// Helpers shared by the tests: scratch folders, files, running programs and
// reading the recording archiver's log.
#ifndef TREVASK_TESTS_SUPPORT_H_
#define TREVASK_TESTS_SUPPORT_H_

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Changes the working folder for the lifetime of the object.
class WorkingDir {
 public:
  explicit WorkingDir(const fs::path& dir);
  ~WorkingDir();

 private:
  fs::path previous_;
};

void WriteFile(const fs::path& path, const std::string& bytes);
std::string ReadFile(const fs::path& path);

void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);
std::string GetEnv(const std::string& name);
// Puts dir first on PATH.
void PrependPath(const fs::path& dir);

// Quotes one argument for the test's own command lines.
std::string ShellQuote(const std::string& arg);

struct ProcessResult {
  int exit_code;  // as the program returned it: -1 stays -1
  std::string out;
  std::string err;
};
// Runs program with args, capturing standard output and error.
ProcessResult RunProgram(const std::string& program,
                         const std::vector<std::string>& args);

struct RecordedRun {
  std::string program;
  std::vector<std::string> args;
  bool dir_ok;
};
std::vector<RecordedRun> ReadRecordLog(const fs::path& log);

// Every file and folder below root, as relative generic paths, sorted.
std::vector<std::string> ListTree(const fs::path& root);

// A path written with '/' in the platform's own separator.
std::string P(const std::string& generic);

}  // namespace testing_support

#endif  // TREVASK_TESTS_SUPPORT_H_
