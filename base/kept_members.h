// The bundle members a failed run keeps as the bundle holds them: trevask
// hands the list to the bundle archiver in one environment variable, the
// stand-in archivers read it.
#ifndef TREVASK_BASE_KEPT_MEMBERS_H_
#define TREVASK_BASE_KEPT_MEMBERS_H_

#include <string>
#include <vector>

namespace base {

extern const char kKeptMembersVariable[];

struct KeptMember {
  enum Reason { kRunFailed, kNotAZip, kDamaged };
  std::string name;  // as the bundle names it, '/'-separated: "A/A.zip"
  Reason reason = kRunFailed;
};

// "its archive run failed", "it does not read as a zip", "a member of it is
// damaged".
const char* ReasonText(KeptMember::Reason reason);

// Printable ASCII whatever the names hold: entries "f:" or "z:" and the
// name with every byte outside [A-Za-z0-9._/-] as %XX, joined by ';'.
std::string EncodeKeptMembers(const std::vector<KeptMember>& members);
// False, with the reason, for text EncodeKeptMembers cannot have written.
bool DecodeKeptMembers(const std::string& text, std::vector<KeptMember>* members,
                       std::string* error);

}  // namespace base

#endif  // TREVASK_BASE_KEPT_MEMBERS_H_
