// Names that are both a file of a folder's archive and a subfolder in the
// bundle a run makes: which copy trevask-extract gives back, and the
// command that restores the other.
#ifndef TREVASK_WALK_KIND_CHANGES_H_
#define TREVASK_WALK_KIND_CHANGES_H_

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/zip_directory.h"

namespace trevask {

class KindChanges {
 public:
  // bundle: DstFileName, as the commands name it. earlier: read it as it
  // is before the run, where the earlier copy may be alone (-r runs).
  KindChanges(const std::string& bundle, bool earlier);

  // Whether the run has an earlier bundle to look into.
  bool HasEarlier() const { return earlier_ != nullptr; }

  // One mirror folder after the walk: its path, its path as the bundle
  // names it ("Data/B") and its subfolders. One line on stderr per name;
  // returns the subfolders so named.
  std::set<std::string> Folder(const std::string& mirror, const std::string& shown,
              const std::vector<std::string>& subfolders);

 private:
  // The earlier bundle's folder archive of shown: its members, or none when
  // it is not there or not stored.
  std::vector<base::Member> EarlierMembers(const std::string& below) const;

  std::string bundle_;
  std::shared_ptr<base::Source> earlier_;
  std::vector<base::Member> earlier_members_;
  std::map<std::string, std::set<std::string>> earlier_subfolders_;  // "B" -> {"X"}; "" top
};

// Judges every folder of the mirror tree below mirror (shown as the bundle
// names it); for runs whose walk does not already list it.
void JudgeKindChanges(KindChanges* kinds, const std::string& mirror, const std::string& shown);

}  // namespace trevask

#endif  // TREVASK_WALK_KIND_CHANGES_H_
