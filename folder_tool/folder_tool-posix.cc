// FolderTool on POSIX: readdir, mkdir, /bin/sh through system().
#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "folder_tool/folder_tool.h"
#include "folder_tool/platform.h"

namespace trevask {

const char kSeparator = '/';
const size_t kMaxPathLength = PATH_MAX - 1;
// sh -c receives the whole line as one argument, capped by the kernel at
// 32 pages (MAX_ARG_STRLEN) including its terminator.
const size_t kMaxCommandLength = 32 * 4096 - 1;
const int kCommandNotFoundStatus = 127;

int FolderTool::ScanSubfolders(const std::string& dir,
                               std::vector<std::string>* names, int store) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  int count = 0;
  while (struct dirent* entry = readdir(d)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      // Some file systems leave the type to lstat; a link is never a folder.
      struct stat st;
      std::string child = dir + kSeparator + name;
      is_dir = lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    if (!is_dir) continue;
    if (store == 1 && names != nullptr) names->push_back(name);
    ++count;
  }
  closedir(d);
  return count;
}

size_t FindSeparator(const std::string& path, size_t from) {
  return path.find(kSeparator, from);
}

bool QuoteArgument(const std::string& arg, std::string* quoted) {
  static const char kPlain[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
      "_./:@%+,=-";
  if (!arg.empty() && arg.find_first_not_of(kPlain) == std::string::npos) {
    *quoted = arg;
    return true;
  }
  // Inside single quotes sh takes every byte literally but the quote itself.
  std::string out = "'";
  for (char c : arg) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  *quoted = out;
  return true;
}

std::string NameRuleBroken(const std::string&) { return ""; }

bool ArgumentsCarried(std::string*) { return true; }

bool IsExistingFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

PathKind KindOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISLNK(st.st_mode)) return PathKind::kLink;
  return S_ISDIR(st.st_mode) ? PathKind::kFolder : PathKind::kOther;
}

std::string AbsolutePath(const std::string& path) {
  // Like realpath, but also through the parts that do not exist yet, and
  // through links that lead to such parts: a link that will lead into the
  // mirror folder once the walk has made it must be seen as doing so.
  std::vector<std::string> pending;
  auto push_front = [&pending](const std::string& text) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= text.size()) {
      size_t end = text.find('/', pos);
      if (end == std::string::npos) end = text.size();
      if (end > pos) parts.push_back(text.substr(pos, end - pos));
      pos = end + 1;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
  };
  std::vector<std::string> done;
  if (path.empty() || path[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) return path;
    push_front(std::string(cwd) + "/" + path);
    std::free(cwd);
  } else {
    push_front(path);
  }
  auto joined = [&done] {
    std::string out;
    for (const std::string& part : done) out += "/" + part;
    return out.empty() ? std::string("/") : out;
  };
  int hops = 0;
  while (!pending.empty()) {
    std::string part = pending.back();
    pending.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      if (!done.empty()) done.pop_back();
      continue;
    }
    done.push_back(part);
    std::string here = joined();
    struct stat st;
    if (hops < 40 && lstat(here.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      std::vector<char> target(PATH_MAX + 1);
      ssize_t n = readlink(here.c_str(), target.data(), PATH_MAX);
      if (n < 0) continue;
      ++hops;
      done.pop_back();
      std::string text(target.data(), static_cast<size_t>(n));
      if (!text.empty() && text[0] == '/') done.clear();
      push_front(text);
    }
  }
  return joined();
}

namespace platform {

bool CreateOneDirectory(const std::string& path) {
  return mkdir(path.c_str(), 0777) == 0;
}

int RunCommand(const std::string& line) {
  int status = std::system(line.c_str());
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    int sig = WTERMSIG(status);
    // system() ignored the user's interrupt while the command ran; honour it
    // now rather than going on folder after folder.
    if (sig == SIGINT || sig == SIGQUIT) {
      signal(sig, SIG_DFL);
      raise(sig);
    }
    return 128 + sig;
  }
  return -1;
}

const char* RemoveCommandPrefix() { return "rm -rf -- "; }

bool PathTextEqual(const std::string& a, const std::string& b) {
  return a == b;
}

bool GetFileId(const std::string& path, FileId* id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  id->volume = static_cast<unsigned long long>(st.st_dev);
  id->low = static_cast<unsigned long long>(st.st_ino);
  id->high = 0;
  return true;
}

// AbsolutePath has resolved every link already.
std::string FinalPath(const std::string& path) { return path; }

}  // namespace platform
}  // namespace trevask
