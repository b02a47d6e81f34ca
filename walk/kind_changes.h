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

#include "base/kept_members.h"
#include "base/zip_directory.h"

namespace trevask {

class KindChanges {
 public:
  // bundle: DstFileName, as the commands name it, read as it is before the
  // run. fresh: the run makes its archives afresh (-r), so an earlier copy
  // may be only in the bundle. kept: the bundle's members the bundle step
  // leaves as they are.
  KindChanges(const std::string& bundle, bool fresh, const std::vector<base::KeptMember>& kept);

  // Whether the run has an earlier bundle to look into.
  bool HasEarlier() const { return earlier_ != nullptr; }

  // One mirror folder after the walk: its path, its source folder, its path
  // as the bundle names it ("Data/B") and its subfolders. One line on
  // stderr per name; returns the subfolders so named.
  std::set<std::string> Folder(const std::string& mirror, const std::string& source,
                               const std::string& shown,
                               const std::vector<std::string>& subfolders);

 private:
  // The earlier bundle's folder archive of shown: its members, or none when
  // it is not there or not stored.
  std::vector<base::Member> EarlierMembers(const std::string& below) const;

  std::string bundle_;
  bool fresh_;
  std::map<std::string, base::KeptMember::Reason> kept_;
  std::shared_ptr<base::Source> earlier_;
  std::vector<base::Member> earlier_members_;
  std::map<std::string, std::set<std::string>> earlier_subfolders_;  // "B" -> {"X"}; "" top
};

// Judges every folder of the mirror tree below mirror (shown as the bundle
// names it); for runs whose walk does not already list it.
void JudgeKindChanges(KindChanges* kinds, const std::string& mirror, const std::string& source,
                      const std::string& shown);

}  // namespace trevask

#endif  // TREVASK_WALK_KIND_CHANGES_H_
