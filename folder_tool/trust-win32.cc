// Trust on Windows: owners and access lists.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "folder_tool/name_rules.h"
#include "folder_tool/path_identity.h"
#include "folder_tool/trust.h"

namespace trevask {

namespace {

PSID SidOf(const char* text) {
  PSID sid = nullptr;
  ConvertStringSidToSidA(text, &sid);
  return sid;
}

// The user, SYSTEM, the administrators and TrustedInstaller may change any
// folder of the way; CREATOR OWNER stands for whoever made a subfolder.
bool TrustedSid(PSID sid) {
  static PSID user = [] {
    HANDLE token = nullptr;
    static char buffer[256];
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return PSID(nullptr);
    bool ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) != 0;
    CloseHandle(token);
    return ok ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid : PSID(nullptr);
  }();
  static PSID trusted[] = {
      SidOf("S-1-5-18"), SidOf("S-1-5-32-544"), SidOf("S-1-3-0"),
      SidOf("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464")};
  if (user != nullptr && EqualSid(sid, user)) return true;
  for (PSID t : trusted) {
    if (t != nullptr && EqualSid(sid, t)) return true;
  }
  return false;
}

std::string SidName(PSID sid) {
  char name[256], domain[256];
  DWORD n = sizeof name, d = sizeof domain;
  SID_NAME_USE use;
  if (LookupAccountSidA(nullptr, sid, name, &n, domain, &d, &use)) return name;
  char* text = nullptr;
  std::string out = "another user";
  if (ConvertSidToStringSidA(sid, &text)) {
    out = text;
    LocalFree(text);
  }
  return out;
}

std::string UntrustedBecause(const std::string& folder, bool volume_root) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                            nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
    return "";  // the file system keeps no owners (FAT, some shares)
  }
  std::string why;
  if (owner != nullptr && !TrustedSid(owner)) {
    why = "it belongs to another user (" + SidName(owner) + ")";
  } else if (dacl == nullptr) {
    why = "it has no access list, so every user can change it";
  } else {
    // Renaming or replacing needs delete rights here or on the entry; the
    // root of a volume lets users add folders, which stay their own.
    DWORD bad = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL |
                GENERIC_WRITE;
    if (!volume_root) bad |= FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
    for (DWORD i = 0; i < dacl->AceCount && why.empty(); ++i) {
      ACE_HEADER* header = nullptr;
      if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
        continue;
      }
      auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      PSID sid = &ace->SidStart;
      if ((ace->Mask & bad) && !TrustedSid(sid)) {
        why = SidName(sid) + " can change what it holds";
      }
    }
  }
  LocalFree(sd);
  return why;
}

}  // namespace

bool WayIsTrusted(const std::string& path, std::string* folder, std::string* reason) {
  std::string full = AbsolutePath(path);
  std::string final_path = base::FinalPath(full);
  // From the volume's root down, as far as folders exist.
  char root[MAX_PATH + 1];
  if (!GetVolumePathNameA(full.c_str(), root, sizeof root)) return true;
  const std::string volume = root;
  if (!IsExistingFolder(DropTrailingSeparators(volume))) return true;
  std::string at = volume;
  std::string why = UntrustedBecause(volume, true);
  PathComponents parts(full, volume.size());
  while (why.empty() && parts.Next()) {
    at = parts.Prefix();
    if (!IsExistingFolder(at)) return true;
    why = UntrustedBecause(at, false);
  }
  if (!why.empty()) {
    *folder = at;
    *reason = why;
    return false;
  }
  // A link on the way leads elsewhere: that way is checked as well.
  if (!base::SameNameText(final_path, full)) return WayIsTrusted(final_path, folder, reason);
  return true;
}

}  // namespace trevask
