// Containment by identity, on top of the platform's file identities.
#include "folder_tool/path_identity.h"

#include <vector>

#include "folder_tool/name_rules.h"

namespace trevask {

std::string FirstUnsafeComponent(const std::string& path, const std::string& below) {
  if (below.empty() || path.compare(0, below.size(), below) != 0) return "";
  PathComponents parts(path, below.size());
  while (parts.Next()) {
    PathKind kind = KindOf(parts.Prefix());
    // Nothing below a missing folder exists yet.
    if (kind == PathKind::kMissing) return "";
    if (kind != PathKind::kFolder) return parts.Prefix();
  }
  return "";
}

namespace {

// Where a path leads: its nearest existing ancestor and the names below it.
struct Location {
  base::FileId id;
  std::string anchor;
  std::vector<std::string> tail;
};

bool Locate(const std::string& path, Location* where) {
  std::string current = AbsolutePath(path);
  while (!base::GetFileId(current, &where->id)) {
    std::string parent = base::ParentFolder(current);
    if (parent == current) return false;
    where->tail.insert(where->tail.begin(), base::BaseName(current));
    current = parent;
  }
  where->anchor = base::FinalPath(current);
  return true;
}

bool TextIsWithin(const std::string& inner, const std::string& outer) {
  if (inner.size() < outer.size()) return false;
  if (!base::SameNameText(inner.substr(0, outer.size()), outer)) {
    return false;
  }
  return inner.size() == outer.size() || outer.back() == base::kSeparator ||
         inner[outer.size()] == base::kSeparator;
}

}  // namespace

bool PathIsWithin(const std::string& inner, const std::string& outer) {
  Location in, out;
  if (!Locate(inner, &in) || !Locate(outer, &out)) {
    return TextIsWithin(AbsolutePath(inner), AbsolutePath(outer));
  }
  if (!out.tail.empty()) {
    // Outer does not exist yet: inner can only be inside it by passing
    // through the same missing names from the same existing folder.
    if (!(in.id == out.id) || in.tail.size() < out.tail.size()) return false;
    for (size_t i = 0; i < out.tail.size(); ++i) {
      if (!base::SameNameText(in.tail[i], out.tail[i])) return false;
    }
    return true;
  }
  for (std::string at = in.anchor;;) {
    base::FileId id;
    if (base::GetFileId(at, &id) && id == out.id) return true;
    std::string parent = base::ParentFolder(at);
    if (parent == at) return false;
    at = parent;
  }
}

}  // namespace trevask
