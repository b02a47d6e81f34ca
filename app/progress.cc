#include "app/progress.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

#include "base/folder_link.h"
#include "base/path.h"
#include "base/system.h"
#include "folder_tool/folder_tool.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/say.h"

namespace trevask {
namespace progress {

namespace {

struct State {
  bool on = false;
  std::map<std::string, std::uint64_t> bytes_of;  // each folder's own files
  std::uint64_t folders = 0, files = 0, bytes = 0;
  std::uint64_t folders_done = 0, bytes_done = 0;
  std::size_t shown = 0;  // length of the line on screen
  std::chrono::steady_clock::time_point start;
};

State state;

// The same folders as the walk: links to folders followed by the walk's
// own rule, so that a loop is not counted at all.
void Count(const std::string& dir, std::vector<base::FileId>* path) {
  std::vector<base::Entry> entries;
  std::string error;
  ++state.folders;
  std::uint64_t& own = state.bytes_of[dir];
  if (!base::ListFolder(dir, &entries, &error)) return;
  for (const base::Entry& e : entries) {
    const std::string child = base::Join(dir, e.name);
    if (e.type == base::Entry::kFile) {
      ++state.files;
      own += e.size;
      state.bytes += e.size;
    } else if (e.type == base::Entry::kFolder ||
               (e.skipped == base::Entry::Skipped::kFolderLink &&
                base::JudgeFolderLink(*path, dir, child) == base::FolderLink::kFollow)) {
      base::FileId id;
      path->push_back(base::GetFileId(child, &id) ? id : base::FileId());
      Count(child, path);
      path->pop_back();
    }
  }
}

std::string Bytes(std::uint64_t n) {
  char text[32];
  if (n < 1000000) {
    std::snprintf(text, sizeof text, "%.1f kB", n / 1e3);
  } else if (n < 1000000000) {
    std::snprintf(text, sizeof text, "%.1f MB", n / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.2f GB", n / 1e9);
  }
  return text;
}

double Seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - state.start).count();
}

void Show() {
  char line[160];
  int n = std::snprintf(line, sizeof line, "trevask: %llu of %llu folders, %s of %s read, %.0f s",
                        static_cast<unsigned long long>(state.folders_done),
                        static_cast<unsigned long long>(state.folders),
                        Bytes(state.bytes_done).c_str(), Bytes(state.bytes).c_str(), Seconds());
  std::fprintf(stderr, "\r%s", line);
  // Anything left of a longer line before.
  for (std::size_t i = static_cast<std::size_t>(n); i < state.shown; ++i) std::fputc(' ', stderr);
  state.shown = static_cast<std::size_t>(n);
  std::fflush(stderr);
}

}  // namespace

void NoteExistingBundle(const std::string& destination) {
  if (KindOf(destination) == PathKind::kMissing) return;
  base::Say(
      "%s exists: its members are kept and updated, and folders removed from the source "
      "since stay in it; remove it first for a fresh bundle",
      destination.c_str());
}

void Begin(const std::string& source) {
  if (!StderrIsTerminal()) return;
  state.on = true;
  state.start = std::chrono::steady_clock::now();
  std::vector<base::FileId> path(1);
  base::GetFileId(source, &path[0]);
  Count(source, &path);
  Show();
}

void Erase() {
  if (!state.on || state.shown == 0) return;
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(state.shown), "");
  std::fflush(stderr);
  state.shown = 0;
}

void FolderDone(const std::string& dir) {
  if (!state.on) return;
  ++state.folders_done;
  auto it = state.bytes_of.find(dir);
  if (it != state.bytes_of.end()) state.bytes_done += it->second;
  Show();
}

void WalkLine::ArchiverStarting(const std::string&) { Erase(); }

void WalkLine::FolderArchived(const std::string& dir) { FolderDone(dir); }

void End(const std::string& destination) {
  if (!state.on) return;
  Erase();
  std::int64_t size = base::FileSize(destination);
  base::Say("%s, %s, %s in, bundle %s, %.1f s", base::Counted(state.folders, "folder").c_str(),
            base::Counted(state.files, "file").c_str(), Bytes(state.bytes).c_str(),
            size < 0 ? "missing" : Bytes(static_cast<std::uint64_t>(size)).c_str(), Seconds());
}

}  // namespace progress
}  // namespace trevask
