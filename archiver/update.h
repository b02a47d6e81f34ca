// The update transaction of one run: the archive opened, every item given
// its entry, and the whole written beside it and put in its place, or left
// as it was.
#ifndef TREVASK_ARCHIVER_UPDATE_H_
#define TREVASK_ARCHIVER_UPDATE_H_

#include <zip.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archiver/add_files.h"
#include "archiver/listing.h"
#include "archiver/member_source.h"
#include "archiver/names.h"

namespace archiver {

class Update {
 public:
  // target: the file a link at request.archive leads to.
  Update(const Request& request, std::string target, Listing listing);
  Update(const Update&) = delete;
  Update& operator=(const Update&) = delete;

  // Attempts until every item is in: names libzip reads alike go in by
  // updates of their own, and files that stopped being regular files are
  // left out and the attempt, which wrote nothing, made again.
  bool Run(Summary* summary, std::string* error);

 private:
  // What one attempt makes and finds.
  struct Attempt {
    zip_t* za = nullptr;
    Summary summary;
    ReadOutcome outcome;
    Members store;
    std::vector<Member*> members;
    std::vector<Item> later;
    bool changed = false;
  };

  bool WriteArchive(std::string* error);
  bool AddEntries(std::string* error);
  bool AttachMember(const Placed& place, std::string* error);
  bool MarkGoneMembers(const Existing& existing, std::string* error);
  bool CheckGoneMembers(const std::set<std::string>& gone, std::string* error);
  bool CloseArchive(std::string* error);
  bool Listed(const std::string& name) const;
  zip_t* OpenArchive(std::string* error);
  bool WriteEmptyArchive(std::string* error);

  const Request& request_;
  const std::string target_;
  Listing listing_;
  // The items an attempt adds: the listing's, or those a first one left
  // for later.
  std::vector<Item>* round_ = nullptr;
  std::vector<Item> later_;
  std::unique_ptr<Attempt> attempt_;
  static constexpr std::uint64_t kNoneCommitted = ~std::uint64_t{0};
  std::uint64_t committed_ = kNoneCommitted;  // the archive's length once put in place
};

}  // namespace archiver

#endif  // TREVASK_ARCHIVER_UPDATE_H_
