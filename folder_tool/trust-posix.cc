// Trust on POSIX: owners, mode bits, sticky folders and access lists.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "folder_tool/resolve-posix.h"
#include "folder_tool/trust.h"

namespace trevask {

namespace {

// Whether anyone but the user (and root) is in the group: its members, and
// the users whose own group it is.
bool GroupHasOthers(gid_t gid) {
  static std::map<gid_t, bool> known;
  auto it = known.find(gid);
  if (it != known.end()) return it->second;
  const uid_t me = geteuid();
  const struct passwd* self = getpwuid(me);
  const std::string my_name = self != nullptr ? self->pw_name : "";
  bool others = false;
  if (const struct group* g = getgrgid(gid)) {
    for (char** member = g->gr_mem; *member != nullptr && !others; ++member) {
      others = my_name != *member && std::strcmp(*member, "root") != 0;
    }
  }
  setpwent();
  while (const struct passwd* pw = getpwent()) {
    if (pw->pw_gid == gid && pw->pw_uid != me && pw->pw_uid != 0) {
      others = true;
      break;
    }
  }
  endpwent();
  known[gid] = others;
  return others;
}

std::string UserName(uid_t uid) {
  const struct passwd* user = getpwuid(uid);
  return user != nullptr ? user->pw_name : std::to_string(uid);
}

// Who else an access list lets write to the folder: a user entry for
// another user, or a group entry (the owning group's too) for a group with
// other members, as far as the mask lets them. Empty when nobody.
std::string AclWriters(const std::string& folder) {
  unsigned char raw[1024];
  ssize_t n = getxattr(folder.c_str(), "system.posix_acl_access", raw, sizeof raw);
  if (n < 4) return "";
  // Little-endian: a version word, then entries of tag, permissions, id.
  auto u16 = [&](size_t at) { return static_cast<unsigned>(raw[at] | raw[at + 1] << 8); };
  auto u32 = [&](size_t at) {
    return static_cast<unsigned>(raw[at] | raw[at + 1] << 8 | raw[at + 2] << 16 |
                                 static_cast<unsigned>(raw[at + 3]) << 24);
  };
  const unsigned kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08, kMask = 0x10, kWrite = 2;
  bool mask_writes = true;
  for (size_t at = 4; at + 8 <= static_cast<size_t>(n); at += 8) {
    if (u16(at) == kMask) mask_writes = (u16(at + 2) & kWrite) != 0;
  }
  if (!mask_writes) return "";
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return "";
  for (size_t at = 4; at + 8 <= static_cast<size_t>(n); at += 8) {
    const unsigned tag = u16(at);
    if (!(u16(at + 2) & kWrite)) continue;
    const unsigned id = tag == kGroupObj ? static_cast<unsigned>(st.st_gid) : u32(at + 4);
    if (tag == kUser && id != geteuid() && id != 0) return "user " + UserName(id);
    if ((tag == kGroup || tag == kGroupObj) && GroupHasOthers(id)) {
      const struct group* g = getgrgid(id);
      return "group " + (g != nullptr ? std::string(g->gr_name) : std::to_string(id));
    }
  }
  return "";
}

// Why another user could rename or replace what is in the folder, or empty.
std::string UntrustedBecause(const std::string& folder, const struct stat& st) {
  const uid_t me = geteuid();
  char text[160];
  if (st.st_uid != me && st.st_uid != 0) {
    return "it belongs to another user (" + UserName(st.st_uid) + ")";
  }
  // A sticky folder lets nobody rename what is not theirs, as /tmp.
  if (st.st_mode & S_ISVTX) return "";
  if (st.st_mode & S_IWOTH) {
    std::snprintf(text, sizeof text, "every user can write to it (mode %o)",
                  static_cast<unsigned>(st.st_mode & 07777));
    return text;
  }
  if ((st.st_mode & S_IWGRP) && GroupHasOthers(st.st_gid)) {
    const struct group* g = getgrgid(st.st_gid);
    std::snprintf(text, sizeof text,
                  "the group %s, which has other members, can write to it (mode %o)",
                  g != nullptr ? g->gr_name : std::to_string(st.st_gid).c_str(),
                  static_cast<unsigned>(st.st_mode & 07777));
    return text;
  }
  std::string writer = AclWriters(folder);
  if (!writer.empty()) return "its access list lets " + writer + " write to it";
  return "";
}

}  // namespace

bool WayIsTrusted(const std::string& path, std::string* folder, std::string* reason) {
  // Every folder the way passes through, those that hold a link included,
  // down to the first part that does not exist yet.
  int links = 0;
  bool started = false, stopped_on_fault = false;
  auto visit = [&](const std::string& here, const struct stat* st) {
    started = true;
    if (st == nullptr) return false;  // nothing below exists yet
    if (S_ISLNK(st->st_mode)) {
      // Its owner can point it elsewhere at any time, in /tmp too.
      if (st->st_uid != geteuid() && st->st_uid != 0) {
        *reason = "it is a link that belongs to another user (" + UserName(st->st_uid) + ")";
      } else if (++links > 40) {
        *reason = "too many links";
      }
    } else if (S_ISDIR(st->st_mode)) {
      *reason = UntrustedBecause(here, *st);
    } else {
      return false;  // the file at the end of the way
    }
    if (reason->empty()) return true;
    *folder = here;
    stopped_on_fault = true;
    return false;
  };
  reason->clear();
  ResolvePath(path, visit);
  if (!started) {
    *folder = ".";
    *reason = "the current folder cannot be known";
    return false;
  }
  return !stopped_on_fault;
}

}  // namespace trevask
