// Archivers on Windows: through the command interpreter, started as
// system() starts it, with an environment block of the run's own.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/text-win32.h"
#include "folder_tool/code_page-win32.h"
#include "folder_tool/command_line.h"
#include "folder_tool/say.h"
#include "folder_tool/spawn.h"

namespace trevask {
namespace platform {

std::string ArchiverLineProblem(const std::vector<std::string>& args) {
  std::string line, why;
  return CommandFromArguments(args, &line, &why) ? std::string() : why;
}

namespace {

// Names of the environment are one whatever their case.
int CompareNames(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return CompareNames(a, b) == CSTR_EQUAL;
}

std::wstring NameOf(const std::wstring& entry) { return entry.substr(0, entry.find(L'=', 1)); }

// This process's environment with run's variables in place, as a block
// sorted by name, as Windows keeps its own.
std::vector<wchar_t> EnvironmentBlock(const ArchiverRun& run) {
  std::vector<std::wstring> own;
  if (wchar_t* strings = GetEnvironmentStringsW()) {
    for (const wchar_t* at = strings; *at != L'\0'; at += own.back().size() + 1) {
      own.emplace_back(at);
    }
    FreeEnvironmentStringsW(strings);
  }
  std::vector<std::pair<std::wstring, std::wstring>> variables;
  // The job object, not a variable, ends the archiver with this process.
  for (const auto& v : RunVariables(run, std::string())) {
    variables.emplace_back(base::Wide(v.first), base::Wide(v.second));
  }
  std::vector<std::wstring> merged = MergeEnvironment(own, variables, SameName);
  std::stable_sort(merged.begin(), merged.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareNames(NameOf(a), NameOf(b)) == CSTR_LESS_THAN;
  });
  std::vector<wchar_t> block;
  for (const std::wstring& entry : merged) {
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back(L'\0');
  }
  if (block.empty()) block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

// What the C runtime takes as "no such program" (ENOENT, EACCES), after
// which system() tries the next place.
bool NotThere(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_ACCESS_DENIED:
      return true;
    default:
      return false;
  }
}

// Started as the C runtime's spawn starts a program: program taken as it
// stands, handles inherited, in this process's job; null with the error.
// With out and err, those are its stdout and stderr.
HANDLE Start(const std::wstring& program, const std::wstring& command_line,
             std::vector<wchar_t>* block, HANDLE out, HANDLE err, DWORD* error) {
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(L'\0');
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  if (out != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
  }
  PROCESS_INFORMATION info;
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT, block->data(), nullptr, &startup, &info)) {
    *error = GetLastError();
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

std::wstring Variable(const wchar_t* name) {
  std::vector<wchar_t> value(32767);
  DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  return n < value.size() ? std::wstring(value.data(), n) : std::wstring();
}

// cmd.exe where system() looks for it when COMSPEC fails: as named, in the
// current folder, then in each folder of PATH.
std::vector<std::wstring> CmdPlaces() {
  std::vector<std::wstring> places{L"cmd.exe"};
  const std::wstring rest = Variable(L"PATH");
  for (size_t start = 0; start <= rest.size();) {
    size_t end = rest.find(L';', start);
    if (end == std::wstring::npos) end = rest.size();
    std::wstring folder = rest.substr(start, end - start);
    folder.erase(std::remove(folder.begin(), folder.end(), L'"'), folder.end());
    if (!folder.empty()) {
      if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
      places.push_back(folder + L"cmd.exe");
    }
    start = end + 1;
  }
  return places;
}

// The interpreter on args' line, as system() starts it; null with the
// line to say in *why (empty when the line cannot be made at all).
HANDLE StartLine(const std::vector<std::string>& args, const ArchiverRun& run, HANDLE out,
                 HANDLE err, std::string* why) {
  std::string line;
  std::wstring wide_line;
  if (!CommandFromArguments(args, &line) || !ToWide(line, &wide_line)) return nullptr;
  std::vector<wchar_t> block = EnvironmentBlock(run);
  // The C runtime joins "/c" and the line to the interpreter's name by one
  // space each, quoting nothing.
  const std::wstring tail = L" /c " + wide_line;
  std::wstring tried = Variable(L"COMSPEC");
  DWORD error = ERROR_FILE_NOT_FOUND;
  HANDLE process = nullptr;
  if (!tried.empty()) process = Start(tried, tried + tail, &block, out, err, &error);
  if (process == nullptr && NotThere(error)) {
    tried = L"cmd.exe";
    for (const std::wstring& place : CmdPlaces()) {
      process = Start(place, L"cmd.exe" + tail, &block, out, err, &error);
      if (process != nullptr || !NotThere(error)) break;
    }
  }
  if (process == nullptr) {
    *why = "cannot start the command interpreter " + Printable(tried) + ": " +
           base::ErrorText(error);
  }
  return process;
}

// Its exit code, as system() returns it.
int EndOf(HANDLE process) {
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  const bool ended = GetExitCodeProcess(process, &code) != 0;
  CloseHandle(process);
  return ended ? static_cast<int>(code) : -1;
}

class PipedArchiver : public StartedArchiver {
 public:
  PipedArchiver(HANDLE process, HANDLE out, HANDLE err) : process_(process), pipes_{out, err} {}
  ~PipedArchiver() override {
    for (HANDLE h : pipes_) CloseHandle(h);
    if (process_ != nullptr) CloseHandle(process_);
  }
  long Read(int stream, char* buffer, std::size_t size) override {
    DWORD n = 0;
    if (ReadFile(pipes_[stream], buffer, static_cast<DWORD>(size), &n, nullptr)) {
      return static_cast<long>(n);
    }
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  int Wait() override {
    const int status = EndOf(process_);
    process_ = nullptr;
    return status;
  }

 private:
  HANDLE process_;
  HANDLE pipes_[2];
};

// A pipe whose writing end alone is inheritable.
bool MakePipe(HANDLE* read, HANDLE* write) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  if (!CreatePipe(read, write, &inherit, 0)) return false;
  SetHandleInformation(*read, HANDLE_FLAG_INHERIT, 0);
  return true;
}

}  // namespace

int RunArchiverProgram(const std::vector<std::string>& args, const ArchiverRun& run,
                       bool* started) {
  std::string why;
  HANDLE process = StartLine(args, run, nullptr, nullptr, &why);
  if (process == nullptr) {
    if (why.empty()) return -1;
    base::Say("%s", why.c_str());
    *started = false;
    return -1;
  }
  return EndOf(process);
}

std::unique_ptr<StartedArchiver> StartArchiverProgram(const std::vector<std::string>& args,
                                                      const ArchiverRun& run, int* status,
                                                      std::string* why) {
  // Every process started meanwhile would inherit the writing ends, and a
  // pipe ends only when its last writer does: one start at a time.
  static std::mutex starting;
  std::lock_guard<std::mutex> hold(starting);
  *status = -1;
  HANDLE out_read, out_write, err_read, err_write;
  if (!MakePipe(&out_read, &out_write)) {
    *why = "cannot make a pipe: " + base::ErrorText(GetLastError());
    return nullptr;
  }
  if (!MakePipe(&err_read, &err_write)) {
    *why = "cannot make a pipe: " + base::ErrorText(GetLastError());
    CloseHandle(out_read);
    CloseHandle(out_write);
    return nullptr;
  }
  HANDLE process = StartLine(args, run, out_write, err_write, why);
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (process == nullptr) {
    CloseHandle(out_read);
    CloseHandle(err_read);
    return nullptr;
  }
  *status = 0;
  return std::make_unique<PipedArchiver>(process, out_read, err_read);
}

// Ctrl-C reaches every process of the console, and the job object ends what
// is left with this process.
void StopArchivers(int) {}
void KillArchivers() {}

// cmd.exe searches the current folder first, then PATH with its own rules.
bool ProgramFound(const std::string&) { return true; }

std::string ArchiverText(const std::string& name) {
  std::wstring wide;
  return ToWide(name, &wide) ? base::Utf8(wide) : name;
}

}  // namespace platform
}  // namespace trevask
