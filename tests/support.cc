#include "tests/support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <stdlib.h>
#else
#include <sys/wait.h>
#endif

namespace testing_support {

ScratchDir::ScratchDir() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() /
                         ("trevask-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a scratch folder");
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

WorkingDir::WorkingDir(const fs::path& dir) : previous_(fs::current_path()) {
  fs::current_path(dir);
}

WorkingDir::~WorkingDir() { fs::current_path(previous_); }

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void SetEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value.c_str());
#else
  setenv(name.c_str(), value.c_str(), 1);
#endif
}

void UnsetEnv(const std::string& name) {
#ifdef _WIN32
  _putenv_s(name.c_str(), "");
#else
  unsetenv(name.c_str());
#endif
}

std::string GetEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
}

void PrependPath(const fs::path& dir) {
#ifdef _WIN32
  const char list_separator = ';';
#else
  const char list_separator = ':';
#endif
  SetEnv("PATH", dir.string() + list_separator + GetEnv("PATH"));
}

std::string ShellQuote(const std::string& arg) {
#ifdef _WIN32
  // The C runtime reads backslashes before a closing quote as escapes.
  size_t trailing = 0;
  while (trailing < arg.size() && arg[arg.size() - 1 - trailing] == '\\') {
    ++trailing;
  }
  return "\"" + arg + std::string(trailing, '\\') + "\"";
#else
  std::string out = "'";
  for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
#endif
}

ProcessResult RunProgram(const std::string& program,
                         const std::vector<std::string>& args) {
  ScratchDir capture;
  fs::path out = capture.path() / "out";
  fs::path err = capture.path() / "err";
  std::string line = ShellQuote(program);
  for (const std::string& arg : args) line += " " + ShellQuote(arg);
  line += " >" + ShellQuote(out.string()) + " 2>" + ShellQuote(err.string());
#ifdef _WIN32
  // cmd /c drops the outer quotes of a line that starts with one.
  line = "\"" + line + "\"";
#endif
  std::fflush(nullptr);
  int status = std::system(line.c_str());
  ProcessResult result;
#ifdef _WIN32
  result.exit_code = status;
#else
  result.exit_code = WIFEXITED(status)
                         ? static_cast<signed char>(WEXITSTATUS(status))
                         : 1000 + WTERMSIG(status);
#endif
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  return result;
}

std::vector<RecordedRun> ReadRecordLog(const fs::path& log) {
  std::vector<RecordedRun> runs;
  std::string text = ReadFile(log);
  size_t pos = 0;
  auto next_line = [&]() {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) throw std::runtime_error("truncated log");
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    return line;
  };
  while (pos < text.size()) {
    RecordedRun run;
    std::string line = next_line();
    if (line.rfind("run ", 0) != 0) throw std::runtime_error("bad log: " + line);
    run.program = line.substr(4);
    while (true) {
      line = next_line();
      if (line.rfind("arg ", 0) == 0) {
        size_t length = std::stoul(line.substr(4));
        run.args.push_back(text.substr(pos, length));
        pos += length + 1;
      } else if (line.rfind("dir ", 0) == 0) {
        run.dir_ok = line == "dir 1";
      } else if (line == "end") {
        break;
      } else {
        throw std::runtime_error("bad log: " + line);
      }
    }
    runs.push_back(run);
  }
  return runs;
}

std::vector<std::string> ListTree(const fs::path& root) {
  std::vector<std::string> out;
  std::error_code ec;
  if (!fs::exists(root, ec)) return out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it);
       ++it) {
    std::string rel = it->path().lexically_relative(root).generic_string();
    if (it->is_directory() && !it->is_symlink()) rel += "/";
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string P(const std::string& generic) {
  return fs::path(generic).make_preferred().string();
}

}  // namespace testing_support
