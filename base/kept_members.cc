#include "base/kept_members.h"

#include <cstdio>
#include <cstring>

namespace base {

const char kKeptMembersVariable[] = "TREVASK_KEEP_MEMBERS";

namespace {

const char kReasonCodes[] = "fzd";

bool PassesAsIs(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '-' || c == '/';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One entry, "R:NAME" with NAME escaped.
bool DecodeEntry(const std::string& entry, KeptMember* member) {
  if (entry.size() < 3 || entry[1] != ':') return false;
  const char* code = std::strchr(kReasonCodes, entry[0]);
  if (entry[0] == '\0' || code == nullptr) return false;
  member->reason = static_cast<KeptMember::Reason>(code - kReasonCodes);
  member->name.clear();
  for (size_t i = 2; i < entry.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(entry[i]);
    if (PassesAsIs(c)) {
      member->name += entry[i];
      continue;
    }
    if (c != '%' || i + 2 >= entry.size()) return false;
    const int high = HexValue(entry[i + 1]), low = HexValue(entry[i + 2]);
    // Only what the encoder escapes: one spelling per name.
    const int value = high * 16 + low;
    if (high < 0 || low < 0 || value == 0 || PassesAsIs(static_cast<unsigned char>(value))) {
      return false;
    }
    member->name += static_cast<char>(value);
    i += 2;
  }
  return true;
}

}  // namespace

const char* ReasonText(KeptMember::Reason reason) {
  switch (reason) {
    case KeptMember::kNotAZip:
      return "it does not read as a zip";
    case KeptMember::kDamaged:
      return "a member of it is damaged";
    case KeptMember::kRunFailed:
      break;
  }
  return "its archive run failed";
}

std::string EncodeKeptMembers(const std::vector<KeptMember>& members) {
  std::string text;
  for (const KeptMember& m : members) {
    if (!text.empty()) text += ';';
    text += kReasonCodes[m.reason];
    text += ':';
    for (unsigned char c : m.name) {
      if (PassesAsIs(c)) {
        text += static_cast<char>(c);
      } else {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        text += escaped;
      }
    }
  }
  return text;
}

bool DecodeKeptMembers(const std::string& text, std::vector<KeptMember>* members,
                       std::string* error) {
  members->clear();
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find(';', at);
    if (end == std::string::npos) end = text.size();
    KeptMember member;
    if (!DecodeEntry(text.substr(at, end - at), &member)) {
      *error = std::string(kKeptMembersVariable) + " is not a list of kept members: " + text;
      return false;
    }
    members->push_back(member);
    at = end + 1;
  }
  return true;
}

}  // namespace base
