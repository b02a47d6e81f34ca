#include "extract/bundle.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>

#include "base/diagnostic.h"
#include "base/path.h"
#include "base/system.h"
#include "extract/extract_fs.h"

namespace extract {

namespace {

// A deflated folder archive larger than this is unpacked to a temporary
// file rather than held in memory.
constexpr std::uint64_t kInMemory = 4 * 1024 * 1024;

class VectorSink : public Sink {
 public:
  bool Write(const unsigned char* data, std::size_t n, std::string*) override {
    bytes.insert(bytes.end(), data, data + n);
    return true;
  }
  std::vector<unsigned char> bytes;
};

class TempStream : public base::StreamSource, public Sink {
 public:
  explicit TempStream(std::FILE* f) : base::StreamSource(f, 0) {}
  bool Write(const unsigned char* data, std::size_t n, std::string* error) override {
    if (std::fwrite(data, 1, n, f_) == n) {
      size_ += n;
      return true;
    }
    *error = "cannot write a temporary file: " + base::LastErrorText();
    return false;
  }
};

}  // namespace

std::string FolderPath(const std::vector<std::string>& names, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += (i ? "/" : "") + names[i];
  return out;
}

bool ReadBundle(const std::string& path, Bundle* bundle,
                std::vector<std::string>* problems, std::string* error) {
  bundle->file = OpenInput(path, error);
  if (!bundle->file) return false;
  if (!base::ReadDirectory(*bundle->file, &bundle->members, error)) {
    *error = path + ": " + *error;
    return false;
  }
  // A failed run before its top archive: the tree is named after the
  // bundle's file.
  const base::BundleLayout layout =
      base::JudgeBundleLayout(bundle->members, base::TreeNameOfFile(path));
  for (const base::LayoutFault& fault : layout.faults) problems->push_back(fault.why);
  bundle->root_from_file_name = layout.root_given;
  for (const base::LayoutFolder& found : layout.folders) {
    Folder folder;
    folder.names.push_back(layout.root);
    folder.names.insert(folder.names.end(), found.names.begin(), found.names.end());
    folder.path = FolderPath(folder.names, folder.names.size());
    folder.has_archive = found.has_archive;
    folder.archive = found.archive;
    bundle->folders.push_back(folder);
  }
  return true;
}

std::string ArchiveName(const Folder& folder) {
  const std::vector<std::string> below(folder.names.begin() + 1, folder.names.end());
  return base::FolderArchiveMember(FolderPath(below, below.size()), folder.names[0]);
}

Unpacked OpenFolderArchive(const Bundle& bundle, const Folder& folder,
                           FolderArchive* archive, std::string* error) {
  const base::Member& m = bundle.members[folder.archive];
  std::uint64_t at;
  if (m.method == 0 && !(m.flags & 1)) {
    // Read in place, but only once its CRC holds: a directory changed in
    // the bundle would be taken for the truth.
    const Unpacked checked = base::CheckData(*bundle.file, m, error);
    if (checked != Unpacked::kDone) return checked;
    if (!base::DataRange(*bundle.file, m, &at, error)) return Unpacked::kDamaged;
    archive->source = base::Slice(bundle.file, at, m.size);
  } else if (m.size <= kInMemory) {
    VectorSink sink;
    const Unpacked unpacked = Unpack(*bundle.file, m, &sink, error);
    if (unpacked != Unpacked::kDone) return unpacked;
    archive->source = base::InMemory(std::move(sink.bytes));
  } else {
    std::FILE* f = AnonymousTempFile(error);
    if (f == nullptr) return Unpacked::kFailed;
    auto temp = std::make_shared<TempStream>(f);
    const Unpacked unpacked = Unpack(*bundle.file, m, temp.get(), error);
    if (unpacked != Unpacked::kDone) return unpacked;
    archive->source = temp;
  }
  return base::ReadDirectory(*archive->source, &archive->members, error) ? Unpacked::kDone
                                                                         : Unpacked::kDamaged;
}

Rules::Rules(const Bundle& bundle, std::string bundle_name,
             std::function<bool(const extract::Folder&)> taken)
    : bundle_(bundle), bundle_name_(std::move(bundle_name)), taken_(std::move(taken)) {}

std::vector<std::string> Rules::Members(std::size_t index,
                                        const std::vector<base::Member>& members) {
  const extract::Folder& folder = bundle_.folders[index];
  // Its subfolders: the folders after it, down to the first not below it.
  std::vector<const extract::Folder*> subfolders;
  for (std::size_t j = index + 1; j < bundle_.folders.size(); ++j) {
    const extract::Folder& g = bundle_.folders[j];
    if (g.names.size() <= folder.names.size() ||
        !std::equal(folder.names.begin(), folder.names.end(), g.names.begin())) {
      break;
    }
    if (g.names.size() == folder.names.size() + 1) subfolders.push_back(&g);
  }
  // Which copy of a name twice is the real one cannot be told: none is.
  std::map<std::string, int> copies;
  for (const base::Member& m : members) ++copies[m.name];
  std::vector<std::string> verdicts;
  for (const base::Member& m : members) {
    const std::string path = folder.path + "/" + m.name;
    const std::uint32_t type = m.UnixMode() & 0170000;
    std::string why;
    if (m.IsFolder()) {
      why = "a folder inside a folder archive";
    } else if (!(why = UnsafeName(m.name)).empty()) {
    } else if (type != 0 && type != 0100000) {
      why = "a link or special file; only files are extracted";
    } else if (copies[m.name] > 1) {
      why = "twice in its folder archive";
    } else {
      why = base::NameRuleBroken(m.name);
    }
    for (const extract::Folder* sub : subfolders) {
      if (!why.empty() || !base::SameNameText(sub->names.back(), m.name) || !taken_(*sub)) {
        continue;
      }
      const std::string command = "trevask-extract -d DIR " + bundle_name_ + " ";
      if (m.gone) {
        why = "the older copy: " + sub->path + " is now a folder; restore this file elsewhere "
              "with " + command + path;
      } else {
        older_[sub->path] = "the older copy: " + path + " is now a file; restore this folder "
                            "elsewhere with " + command + sub->path + "/";
      }
    }
    verdicts.push_back(why);
  }
  return verdicts;
}

std::string Rules::Folder(std::size_t index, std::string* top, bool* first) {
  const extract::Folder& folder = bundle_.folders[index];
  for (std::size_t n = 1; n <= folder.names.size(); ++n) {
    *top = FolderPath(folder.names, n);
    std::string why = base::NameRuleBroken(folder.names[n - 1]);
    auto older = older_.find(*top);
    if (why.empty() && older != older_.end()) why = older->second;
    if (why.empty()) continue;
    *first = named_.insert(*top).second;
    return why;
  }
  top->clear();
  *first = false;
  return "";
}

}  // namespace extract
