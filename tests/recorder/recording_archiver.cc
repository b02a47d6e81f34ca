// A stand-in archiver for tests: records every run and fails on demand.
//
// Built as "PKZIP.EXE" and "PKZIPC.EXE". Appends to $TREVASK_RECORD_LOG:
//   run <program>
//   arg <length>\n<bytes>\n        (one per argument)
//   dir <1|0>                      (could the archive file be created?)
//   end
// On success it creates the archive file (the second-to-last argument); a
// recursive run (the bundle's) adds to it, as a zip, every file and folder
// below the pattern's folder that it does not hold yet, so that trevask
// finds a bundle's layout in it.
// It fails, like a real archiver, when the pattern's folder is missing, and
// on demand:
//   TREVASK_RECORD_FAIL_TEXT    fail when an argument contains this text
//   TREVASK_RECORD_FAIL_RUN     fail on this run (1 is the first)
//   TREVASK_RECORD_FAIL_STATUS  the status to fail with (default 1)
//   TREVASK_RECORD_FAIL_KILL    if set, fail by being killed instead
//   TREVASK_RECORD_CHANGE_RUN   on this run, before anything else, change
//                               the source: make TREVASK_RECORD_MKDIR and
//                               remove the tree TREVASK_RECORD_RMTREE
//   TREVASK_RECORD_SAY          if set, write "run N" to standard output, so
//                               that a test sees the order of all output
//   TREVASK_RECORD_HANG_RUN     on this run, after recording, hang for 30 s,
//                               adding a byte to TREVASK_RECORD_HANG_FILE
//                               every 50 ms, so that a test can tell whether
//                               it still runs
//   TREVASK_RECORD_HANG_UNTIL   the hang ends once this file exists
//   TREVASK_RECORD_HANG_TEXT    hang so when an argument contains this text
// For runs that go at once, keyed by the archive's file name (X.zip):
//   TREVASK_RECORD_SPANS        appends "start X.zip <TREVASK_THREADS|->"
//                               and, at the end, "end X.zip", each line in
//                               one write
//   TREVASK_RECORD_MARKS        makes <this folder>/X.zip.started, holding
//                               its process id, first of all
//   TREVASK_RECORD_WAIT         lines "text|file|content": a run with text
//                               in an argument waits (at most 20 s) until
//                               file exists and holds content
//   TREVASK_RECORD_WAIT_MS      the most a wait takes instead (ms)
//   TREVASK_RECORD_ECHO         writes "X.zip out N" to stdout and "X.zip
//                               err N" to stderr, N 1 to 3, 10 ms apart, and
//                               a line each 50 ms of a hang
//   TREVASK_RECORD_ECHO_BIG     with this text in an argument, 3 MiB more
//                               lines to stdout
//   TREVASK_RECORD_IGNORED      (POSIX) appends "X.zip" and the numbers of
//                               the signals it was started with ignored, of
//                               HUP INT PIPE QUIT TERM XFSZ
//   TREVASK_RECORD_LINGER       POSIX: with this text in an argument, first
//                               of all starts a process that holds its
//                               stdout and stderr open (at most 60 s) until
//                               TREVASK_RECORD_HANG_UNTIL exists, its
//                               process id in <MARKS>/X.zip.linger
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <zip.h>

#ifndef RECORDER_NAME
#error "RECORDER_NAME must name the archiver this build stands in for"
#endif

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

int RunsSoFar(const std::string& log_path) {
  FILE* log = std::fopen(log_path.c_str(), "rb");
  if (!log) return 0;
  int runs = 0;
  char line[64];
  // Only lines that start with "run " count; no argument Trevask passes
  // begins so.
  bool at_line_start = true;
  while (std::fgets(line, sizeof line, log)) {
    if (at_line_start && std::strncmp(line, "run ", 4) == 0) ++runs;
    at_line_start = std::strchr(line, '\n') != nullptr;
  }
  std::fclose(log);
  return runs;
}

[[noreturn]] void DieBySignal() {
  std::fflush(nullptr);
#ifdef _WIN32
  TerminateProcess(GetCurrentProcess(), 0xC000013A);
#else
  raise(SIGKILL);
#endif
  std::abort();
}

bool PatternFolderExists(const std::string& pattern) {
  if (pattern.size() < 4) return false;
  std::error_code ec;
  return std::filesystem::is_directory(pattern.substr(0, pattern.size() - 4), ec);
}

bool AddTree(const std::string& archive, const std::string& pattern) {
  const std::filesystem::path folder = pattern.substr(0, pattern.size() - 4);
  std::error_code ec;
  // The file just made is empty, which libzip does not read as a zip.
  const bool empty = std::filesystem::file_size(archive, ec) == 0;
  zip_t* za = zip_open(archive.c_str(), ZIP_CREATE | (empty ? ZIP_TRUNCATE : 0), nullptr);
  if (za == nullptr) return false;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec)) {
    std::string name = entry.path().lexically_relative(folder).generic_string();
    const bool dir = entry.is_directory(ec);
    if (dir) name += "/";
    if (zip_name_locate(za, name.c_str(), 0) >= 0) continue;
    zip_source_t* data = dir ? nullptr : zip_source_file(za, entry.path().string().c_str(), 0, -1);
    if (dir ? zip_dir_add(za, name.c_str(), 0) < 0
            : data == nullptr || zip_file_add(za, name.c_str(), data, 0) < 0) {
      zip_discard(za);
      return false;
    }
  }
  return !ec && zip_close(za) == 0;
}

std::string FileName(const std::string& path) {
  const size_t at = path.find_last_of("/\\");
  return at == std::string::npos ? path : path.substr(at + 1);
}

// One write, at the end of the file whoever else appends.
void Append(const std::string& path, const std::string& text) {
#ifdef _WIN32
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD n = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
  CloseHandle(h);
#else
  if (FILE* f = std::fopen(path.c_str(), "ab")) {
    setvbuf(f, nullptr, _IOFBF, text.size() + 1);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
#endif
}

void Sleep50() {
#ifdef _WIN32
  // The 32-bit runtime's sleep_for returns at once under Wine.
  Sleep(50);
#else
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
#endif
}

bool Holds(const std::string& path, const std::string& content) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  std::fclose(f);
  return text.find(content) != std::string::npos;
}

bool AnyArgument(int argc, char** argv, const std::string& text) {
  for (int i = 1; i < argc; ++i) {
    if (!text.empty() && std::strstr(argv[i], text.c_str())) return true;
  }
  return false;
}

// The WAIT rules that name this run.
void WaitAsTold(int argc, char** argv) {
  const std::string rules = Env("TREVASK_RECORD_WAIT");
  for (size_t at = 0; at < rules.size();) {
    size_t end = rules.find('\n', at);
    if (end == std::string::npos) end = rules.size();
    const std::string rule = rules.substr(at, end - at);
    at = end + 1;
    const size_t bar = rule.find('|'), second = rule.find('|', bar + 1);
    if (second == std::string::npos || !AnyArgument(argc, argv, rule.substr(0, bar))) continue;
    const std::string file = rule.substr(bar + 1, second - bar - 1);
    const std::string most = Env("TREVASK_RECORD_WAIT_MS");
    const int rounds = most.empty() ? 400 : std::atoi(most.c_str()) / 50;
    for (int i = 0; i < rounds && !Holds(file, rule.substr(second + 1)); ++i) Sleep50();
  }
}

void Echo(const std::string& name, int argc, char** argv) {
  for (int i = 1; i <= 3; ++i) {
    std::printf("%s out %d\n", name.c_str(), i);
    std::fflush(stdout);
    std::fprintf(stderr, "%s err %d\n", name.c_str(), i);
    std::fflush(stderr);
#ifdef _WIN32
    Sleep(10);
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
#endif
  }
  if (!AnyArgument(argc, argv, Env("TREVASK_RECORD_ECHO_BIG"))) return;
  for (int i = 0; i < 3 * 1024 * 16; ++i) {
    std::printf("%s big %06d %s\n", name.c_str(), i, std::string(40, 'x').c_str());
  }
  std::fflush(stdout);
}

#ifndef _WIN32
// A process of its own, outliving this one, that holds its output open.
void Linger(const std::string& name) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid != 0) {
    if (pid > 0) Append(Env("TREVASK_RECORD_MARKS") + "/" + name + ".linger", std::to_string(pid));
    return;
  }
  const std::string until = Env("TREVASK_RECORD_HANG_UNTIL");
  for (int i = 0; i < 1200; ++i) {
    std::error_code ec;
    if (!until.empty() && std::filesystem::exists(until, ec)) break;
    Sleep50();
  }
  _exit(0);
}
#endif

}  // namespace

#ifdef _WIN32
int _dowildcard = 0;
#endif

int main(int argc, char** argv) {
  const std::string log_path = Env("TREVASK_RECORD_LOG");
  const std::string fail_text = Env("TREVASK_RECORD_FAIL_TEXT");
  const std::string fail_status = Env("TREVASK_RECORD_FAIL_STATUS");
  const int run = RunsSoFar(log_path) + 1;
  const std::string name = argc >= 3 ? FileName(argv[argc - 2]) : "";
  if (!Env("TREVASK_RECORD_MARKS").empty()) {
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    Append(Env("TREVASK_RECORD_MARKS") + "/" + name + ".started", std::to_string(pid));
  }
#ifndef _WIN32
  if (AnyArgument(argc, argv, Env("TREVASK_RECORD_LINGER"))) Linger(name);
  if (!Env("TREVASK_RECORD_IGNORED").empty()) {
    std::string line = name;
    for (int sig : {SIGHUP, SIGINT, SIGPIPE, SIGQUIT, SIGTERM, SIGXFSZ}) {
      struct sigaction now;
      if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) {
        line += " " + std::to_string(sig);
      }
    }
    Append(Env("TREVASK_RECORD_IGNORED"), line + "\n");
  }
#endif
  const std::string spans = Env("TREVASK_RECORD_SPANS");
  const char* threads = std::getenv("TREVASK_THREADS");
  if (!spans.empty()) Append(spans, "start " + name + " " + (threads ? threads : "-") + "\n");
  WaitAsTold(argc, argv);
  const bool echo = !Env("TREVASK_RECORD_ECHO").empty();
  if (echo) Echo(name, argc, argv);

  if (!Env("TREVASK_RECORD_CHANGE_RUN").empty() &&
      std::atoi(Env("TREVASK_RECORD_CHANGE_RUN").c_str()) == run) {
    std::error_code ec;
    if (!Env("TREVASK_RECORD_MKDIR").empty()) {
      std::filesystem::create_directories(Env("TREVASK_RECORD_MKDIR"), ec);
    }
    if (!Env("TREVASK_RECORD_RMTREE").empty()) {
      std::filesystem::remove_all(Env("TREVASK_RECORD_RMTREE"), ec);
    }
  }

  bool fail = !Env("TREVASK_RECORD_FAIL_RUN").empty() &&
              std::atoi(Env("TREVASK_RECORD_FAIL_RUN").c_str()) == run;
  for (int i = 1; i < argc; ++i) {
    if (!fail_text.empty() && std::strstr(argv[i], fail_text.c_str())) fail = true;
  }
  if (argc < 3 || !PatternFolderExists(argv[argc - 1])) fail = true;

  bool dir_ok = false;
  if (!fail) {
    if (FILE* archive = std::fopen(argv[argc - 2], "ab")) {
      dir_ok = true;
      std::fclose(archive);
    }
    bool recursive = false;
    for (int i = 1; i < argc - 2; ++i) {
      recursive = recursive || !std::strcmp(argv[i], "-rp") || !std::strcmp(argv[i], "-recurse");
    }
    if (dir_ok && recursive) dir_ok = AddTree(argv[argc - 2], argv[argc - 1]);
  }
  if (!log_path.empty()) {
    FILE* log = std::fopen(log_path.c_str(), "ab");
    if (!log) return 3;
    std::fprintf(log, "run %s\n", RECORDER_NAME);
    for (int i = 1; i < argc; ++i) {
      std::fprintf(log, "arg %zu\n", std::strlen(argv[i]));
      std::fwrite(argv[i], 1, std::strlen(argv[i]), log);
      std::fputc('\n', log);
    }
    std::fprintf(log, "dir %d\nend\n", dir_ok ? 1 : 0);
    std::fclose(log);
  }
  if (!Env("TREVASK_RECORD_SAY").empty()) {
    std::printf("run %d\n", run);
    std::fflush(stdout);
  }
  if ((!Env("TREVASK_RECORD_HANG_RUN").empty() &&
       std::atoi(Env("TREVASK_RECORD_HANG_RUN").c_str()) == run) ||
      AnyArgument(argc, argv, Env("TREVASK_RECORD_HANG_TEXT"))) {
    for (int i = 0; i < 600; ++i) {
      std::error_code ec;
      const std::string until = Env("TREVASK_RECORD_HANG_UNTIL");
      if (!until.empty() && std::filesystem::exists(until, ec)) break;
      if (FILE* beat = std::fopen(Env("TREVASK_RECORD_HANG_FILE").c_str(), "ab")) {
        std::fputc('.', beat);
        std::fclose(beat);
      }
      if (echo) {
        std::printf("%s hangs\n", name.c_str());
        std::fflush(stdout);
      }
      Sleep50();
    }
  }
  if (!spans.empty()) Append(spans, "end " + name + "\n");
  if (fail && !Env("TREVASK_RECORD_FAIL_KILL").empty()) DieBySignal();
  if (fail) return fail_status.empty() ? 1 : std::atoi(fail_status.c_str());
  return dir_ok ? 0 : 4;
}
