#include "archiver/update.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

#include "archiver/archive_file.h"
#include "archiver/archiver_fs.h"
#include "archiver/entry_meta.h"
#include "archiver/pipeline.h"
#include "archiver/reuse.h"
#include "base/diagnostic.h"
#include "base/path.h"
#include "base/system.h"
#include "base/zip_directory.h"
#include "base/zip_reader.h"

namespace archiver {

namespace {

bool IsFolderName(const std::string& name) { return !name.empty() && name.back() == '/'; }

}  // namespace

Update::Update(const Request& request, std::string target, Listing listing)
    : request_(request), target_(std::move(target)), listing_(std::move(listing)) {}

// The listing stays whole and in name order across attempts: it answers
// which names the folder holds.
bool Update::Listed(const std::string& name) const {
  const std::vector<Item>& items = listing_.items;
  auto at = std::lower_bound(items.begin(), items.end(), name,
                             [](const Item& item, const std::string& n) { return item.name < n; });
  return at != items.end() && at->name == name;
}

zip_t* Update::OpenArchive(std::string* error) {
  zip_error_t ze;
  zip_error_init(&ze);
  zip_source_t* archive = ArchiveFileSource(target_, &ze, &committed_);
  zip_t* za = archive ? zip_open_from_source(archive, ZIP_CREATE, &ze) : nullptr;
  if (za == nullptr) {
    *error = "cannot open " + request_.archive + ": " + zip_error_strerror(&ze);
    if (archive) zip_source_free(archive);
  }
  zip_error_fini(&ze);
  return za;
}

// An end-of-central-directory record and nothing else: a valid empty zip,
// which libzip declines to write.
bool Update::WriteEmptyArchive(std::string* error) {
  static const unsigned char kEnd[22] = {'P', 'K', 5, 6};
  NewFile out;
  if (!CreateBeside(target_, &out, error)) return false;
  if (std::fwrite(kEnd, 1, sizeof kEnd, out.file) != sizeof kEnd || base::Interrupted()) {
    *error = "cannot write " + target_ + ": " + base::LastErrorText();
    Discard(&out);
    return false;
  }
  if (!Commit(&out, target_, error)) return false;
  committed_ = sizeof kEnd;
  return true;
}

// A file's data comes from a Member: a new entry has its own already, an
// existing one is given one in place of its old data.
bool Update::AttachMember(const Placed& place, std::string* error) {
  zip_t* za = attempt_->za;
  const Item& item = *place.item;
  Member* member = place.member;
  if (member == nullptr) {
    member = attempt_->store.New();
    zip_source_t* source = MemberSource(za, member);
    if (source == nullptr) {
      *error = Failure(za, "cannot read " + item.path);
      return false;
    }
    if (zip_file_replace(za, place.index, source, 0) != 0) {
      zip_source_free(source);
      *error = Failure(za, "cannot add " + item.name);
      return false;
    }
  }
  // The method comes from the member's data, not from an entry it
  // replaces.
  if (zip_set_file_compression(za, place.index, ZIP_CM_DEFAULT, 0) != 0) {
    *error = Failure(za, "cannot set compression of " + item.name);
    return false;
  }
  member->size = item.size;
  attempt_->store.reading.outcome = &attempt_->outcome;
  member->index = place.index;
  member->path = &item.path;
  attempt_->members.push_back(member);
  return true;
}

// A member kept though its file is gone is copied as it is, and no file
// can be compared with it: its data is inflated and checked here, so that
// a damaged one fails the run instead of standing in for the bundle's good
// copy. Only these members are read; unchanged ones are compared with their
// files, new ones written afresh.
bool Update::CheckGoneMembers(const std::set<std::string>& gone, std::string* error) {
  if (gone.empty()) return true;
  std::string why;
  const std::shared_ptr<base::Source> archive = base::OpenFile(target_, &why);
  std::vector<base::Member> members;
  if (!archive || !base::ReadDirectory(*archive, &members, &why)) {
    *error = "cannot read " + request_.archive + ": " + why;
    return false;
  }
  for (const base::Member& m : members) {
    if (!gone.count(m.name)) continue;
    const base::Unpacked checked = base::CheckData(*archive, m, &why);
    if (base::Interrupted()) base::ExitInterrupted();
    // What no reader here can unpack (encrypted, another method) is kept
    // unjudged, as before.
    if (checked == base::Unpacked::kDamaged) {
      *error = "cannot update " + request_.archive + ": its member " + m.name + " is damaged (" +
               why + "); the archive is left as it was";
      return false;
    }
  }
  return true;
}

// Only a folder archive's members are judged against subfolders: those
// whose files are gone are marked so, and checked.
bool Update::MarkGoneMembers(const Existing& existing, std::string* error) {
  std::set<std::string> gone;
  for (const auto& entry : existing.by_name) {
    if (Listed(entry.first) || IsFolderName(entry.first)) continue;
    gone.insert(entry.first);
    if (!MarkGone(attempt_->za, entry.second, Presence::kGone, &attempt_->changed)) {
      *error = Failure(attempt_->za, "cannot update " + request_.archive);
      return false;
    }
  }
  return CheckGoneMembers(gone, error);
}

// Gives every item its entry, new or in place of the existing one of its
// name, with its time and mode; the files' data sources go to the
// attempt's members. An existing member that holds the file's bytes keeps
// its data, and what already records the item's time and mode is left
// alone.
bool Update::AddEntries(std::string* error) {
  zip_t* za = attempt_->za;
  Summary* summary = &attempt_->summary;
  Existing existing = HideExisting(za);
  Placement placement;
  if (!PlaceItems(za, existing, *round_, &attempt_->store, &placement, error)) return false;
  attempt_->later = std::move(placement.later);
  if (!RestoreExisting(za, existing)) {
    *error = Failure(za, "cannot update " + request_.archive);
    return false;
  }
  CompareScratch scratch;
  std::uint64_t files_existing = 0;
  for (const auto& entry : existing.by_name) {
    if (!IsFolderName(entry.first)) ++files_existing;
  }
  for (const Placed& place : placement.placed) {
    const Item& item = *place.item;
    const bool existed = existing.by_name.count(item.name) > 0;
    if (!existed) attempt_->changed = true;
    bool data_kept = existed;
    if (!item.folder) {
      ++summary->files;
      summary->bytes_in += item.size;
      if (existed) --files_existing;
      data_kept = existed && HoldsFile(za, place.index, item, &scratch);
      if (data_kept) {
        ++summary->unchanged;
      } else {
        if (!AttachMember(place, error)) return false;
        attempt_->changed = true;
      }
    }
    if (!item.folder && existed && !request_.recurse &&
        !MarkGone(za, place.index, Presence::kThere, &attempt_->changed)) {
      *error = Failure(za, "cannot update " + request_.archive);
      return false;
    }
    // New data reads its stat from the pipeline: its attributes are set.
    if (data_kept && AttributesHeld(za, place.index, item)) continue;
    if (!SetAttributes(za, place.index, item, error)) return false;
    attempt_->changed = true;
  }
  for (const base::KeptMember& keep : request_.keep) {
    const bool held = std::any_of(existing.by_name.begin(), existing.by_name.end(),
                                  [&](const std::pair<const std::string, zip_uint64_t>& entry) {
                                    return base::SameNameText(entry.first, keep.name);
                                  });
    (held ? summary->held : summary->not_added).push_back(keep);
    if (held) --files_existing;
  }
  summary->kept = files_existing;
  if (request_.recurse) return true;
  return MarkGoneMembers(existing, error);
}

// Writes the archive with the members' data read and deflated ahead by a
// pipeline; the archive is closed or discarded either way.
bool Update::CloseArchive(std::string* error) {
  zip_t* za = attempt_->za;
  attempt_->za = nullptr;
  std::vector<Member*>& members = attempt_->members;
  // libzip writes entries in index order; replaced ones keep theirs.
  std::sort(members.begin(), members.end(),
            [](const Member* a, const Member* b) { return a->index < b->index; });
  std::vector<FileTask> tasks;
  tasks.reserve(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    members[i]->slot = static_cast<std::uint32_t>(i);
    tasks.push_back(FileTask{*members[i]->path, members[i]->size});
  }
  Pipeline pipeline(std::move(tasks), ThreadsFor(attempt_->summary.bytes_in));
  attempt_->store.reading.pipeline = &pipeline;
  if (zip_close(za) == 0) return true;
  if (base::Interrupted()) base::ExitInterrupted();
  // A member's own failure says why; libzip's "Read error" adds nothing.
  const ReadOutcome& outcome = attempt_->outcome;
  *error = !outcome.error.empty() ? outcome.error
           : zip_error_code_zip(zip_get_error(za)) == ZIP_ER_CHANGED
               ? "cannot write " + request_.archive +
                     ": it was changed by someone else while it was updated; it is left as they "
                     "left it"
               : Failure(za, "cannot write " + request_.archive);
  zip_discard(za);
  return false;
}

// One attempt at writing the archive with the listing's items; those
// libzip would not add beside another new one go to the attempt's later.
bool Update::WriteArchive(std::string* error) {
  attempt_->za = OpenArchive(error);
  zip_t* za = attempt_->za;
  if (za == nullptr) return false;
  if (!AddEntries(error)) {
    zip_discard(za);
    return false;
  }
  const bool empty = zip_get_num_entries(za, 0) == 0;
  // An empty archive already there is a whole one, or libzip would not
  // have opened it; an empty file is one to write.
  if (!attempt_->changed && (!empty || base::FileSize(target_) > 0)) {
    // Not rewritten at all: the same file, times and all.
    zip_discard(za);
    attempt_->summary.rewritten = false;
    return true;
  }
  if (empty) {
    zip_discard(za);
    return WriteEmptyArchive(error);
  }
  return CloseArchive(error);
}

bool Update::Run(Summary* summary, std::string* error) {
  // What the first attempt found there: later ones see its own new entries.
  bool first = true, rewritten = false;
  round_ = &listing_.items;
  while (true) {
    std::vector<Item>& items = *round_;
    attempt_.reset(new Attempt);
    if (WriteArchive(error)) {
      const Summary& attempt = attempt_->summary;
      summary->files += attempt.files;
      summary->bytes_in += attempt.bytes_in;
      summary->unchanged += attempt.unchanged;
      if (first) {
        summary->kept = attempt.kept;
        summary->held = attempt.held;
        summary->not_added = attempt.not_added;
      }
      first = false;
      rewritten = rewritten || attempt.rewritten;
      summary->rewritten = rewritten;
      std::vector<Item>& later = attempt_->later;
      if (later.empty()) break;
      if (later.size() == items.size()) {
        *error = "cannot add " + later[0].name + ": File already exists";
        return false;
      }
      later_.swap(later);
      round_ = &later_;
      continue;
    }
    const ReadOutcome& outcome = attempt_->outcome;
    if (!outcome.error.empty() || outcome.not_regular.empty()) return false;
    // Rare: a file became something else after the listing.
    for (const std::string& path : outcome.not_regular) {
      base::Say("warning: skipped %s: not a regular file", path.c_str());
      if (request_.recurse) ++listing_.left_out;
      auto at_path = [&](const Item& item) { return item.path == path; };
      items.erase(std::remove_if(items.begin(), items.end(), at_path), items.end());
      // No longer a name of the folder either.
      std::vector<Item>& all = listing_.items;
      if (&items != &all) all.erase(std::remove_if(all.begin(), all.end(), at_path), all.end());
    }
  }
  summary->left_out = listing_.left_out;
  // The length of the archive put in place, or of the one left as it was.
  summary->bytes_out = committed_ != kNoneCommitted ? static_cast<std::int64_t>(committed_)
                                                   : base::FileSize(target_);
  return true;
}

}  // namespace archiver
