#include "app/progress.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/diagnostic.h"
#include "base/system.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/say.h"
#include "walk/compress_folder.h"

namespace trevask {
namespace progress {

namespace {

struct State {
  bool on = false;
  TreeCount tree;
  // What the archivers have taken so far; the summary tells these.
  std::uint64_t folders_done = 0, files_done = 0, bytes_done = 0;
  std::size_t shown = 0;  // length of the line on screen
  bool under_say = false;  // erased for a line of Say, to come back after it
  std::chrono::steady_clock::time_point start;
};

State state;

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

std::uint64_t Total() {
  // A folder made during the run is archived beyond the count.
  return std::max<std::uint64_t>(state.tree.folders.size(), state.folders_done);
}

// The parts of the line, the most needed first: cut from the end, so that
// the folder count stays. One column is left free, as some terminals wrap
// on writing the last.
std::string Fitted(std::size_t room) {
  char text[3][64];
  std::snprintf(text[0], sizeof text[0], "%llu of %s",
                static_cast<unsigned long long>(state.folders_done),
                base::Counted(Total(), "folder").c_str());
  std::snprintf(text[1], sizeof text[1], ", %s of %s read", Bytes(state.bytes_done).c_str(),
                Bytes(state.tree.bytes).c_str());
  std::snprintf(text[2], sizeof text[2], ", %.0f s", Seconds());
  const std::string prefix = "trevask: ";
  std::string line = prefix + text[0];
  for (int i = 1; i < 3 && line.size() + std::strlen(text[i]) <= room; ++i) line += text[i];
  if (line.size() > room) line.erase(0, prefix.size());
  if (line.size() > room) line.resize(room);
  return line;
}

// A terminal that does not know its size (a serial line, say) has COLUMNS.
std::size_t Room() {
  long width = TerminalColumns();
  if (width <= 0) {
    const char* columns = std::getenv("COLUMNS");
    char* end = nullptr;
    width = columns != nullptr ? std::strtol(columns, &end, 10) : 0;
    if (width <= 0 || *end != '\0') width = 80;
  }
  return static_cast<std::size_t>(std::max(width - 1, 1L));
}

void Show() {
  const std::size_t room = Room();
  const std::string line = Fitted(room);
  std::fprintf(stderr, "\r%s", line.c_str());
  // Anything left of a longer line before, no further than the line can go.
  for (std::size_t i = line.size(); i < std::min(state.shown, room); ++i) std::fputc(' ', stderr);
  state.shown = line.size();
  std::fflush(stderr);
}

// Between archiver runs only: while one runs the line stays away.
void BeforeSay() {
  state.under_say = state.shown != 0;
  Erase();
}

void AfterSay() {
  if (state.under_say) Show();
  state.under_say = false;
}

}  // namespace

void NoteExistingBundle(const std::string& destination) {
  if (KindOf(destination) == PathKind::kMissing) return;
  base::Say(
      "%s exists: its members are kept and updated, and folders removed from the source "
      "since stay in it; remove it first for a fresh bundle",
      destination.c_str());
}

void Begin(const TreeCount& tree) {
  if (!StderrIsTerminal()) return;
  state.on = true;
  state.start = std::chrono::steady_clock::now();
  WatchTerminalWidth();
  state.tree = tree;
  base::AroundSay(BeforeSay, AfterSay);
  Show();
}

void Erase() {
  if (!state.on || state.shown == 0) return;
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(std::min(state.shown, Room())), "");
  std::fflush(stderr);
  state.shown = 0;
}

void FolderDone(const std::string& dir) {
  if (!state.on) return;
  ++state.folders_done;
  auto it = state.tree.folders.find(dir);
  if (it != state.tree.folders.end()) {
    state.files_done += it->second.files;
    state.bytes_done += it->second.bytes;
  }
  Show();
}

void WalkLine::ArchiverStarting(const std::string&) { Erase(); }

void WalkLine::FolderArchived(const std::string& dir) { FolderDone(dir); }

void WalkLine::OutputComing() { BeforeSay(); }

void WalkLine::OutputWritten() { AfterSay(); }

void End(const std::string& destination) {
  if (!state.on) return;
  Erase();
  base::AroundSay(nullptr, nullptr);
  std::int64_t size = base::FileSize(destination);
  base::Say("%s, %s, %s in, bundle %s, %.1f s", base::Counted(state.folders_done, "folder").c_str(),
            base::Counted(state.files_done, "file").c_str(), Bytes(state.bytes_done).c_str(),
            size < 0 ? "missing" : Bytes(static_cast<std::uint64_t>(size)).c_str(), Seconds());
}

}  // namespace progress
}  // namespace trevask
