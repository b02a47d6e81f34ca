#include "archiver/add_files.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "archiver/archiver_fs.h"

namespace archiver {

namespace {

const char kAllFiles[] = "*.*";

bool IsSeparator(char c) {
  return c == kPathSeparator || (kPathSeparator == '\\' && c == '/');
}

struct Item {
  std::string path;  // on disk
  std::string name;  // in the archive, '/'-separated
  bool folder = false;
  std::uint64_t size = 0;
  std::time_t mtime = 0;
};

std::string Join(const std::string& dir, const std::string& name) {
  if (!dir.empty() && IsSeparator(dir.back())) return dir + name;
  return dir + kPathSeparator + name;
}

std::string BaseName(const std::string& path) {
  size_t at = path.size();
  while (at > 0 && !IsSeparator(path[at - 1])) --at;
  return path.substr(at);
}

bool SameName(const std::string& a, const std::string& b) {
  if (kPathSeparator == '/') return a == b;
  // Windows names compare without case.
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

bool Collect(const Request& request, const std::string& dir,
             const std::string& prefix, std::vector<Item>* items,
             std::string* error) {
  std::vector<Entry> entries;
  if (!ListFolder(dir, &entries, error)) return false;
  for (const Entry& entry : entries) {
    Item item;
    item.path = Join(dir, entry.name);
    item.name = prefix + entry.name;
    item.mtime = entry.mtime;
    if (entry.type == Entry::kFile) {
      // Only a file of the archive's own name can be the archive.
      if (SameName(entry.name, BaseName(request.archive)) &&
          SameFile(item.path, request.archive)) {
        continue;
      }
      item.size = entry.size;
      items->push_back(item);
    } else if (entry.type == Entry::kFolder) {
      if (!request.recurse) continue;
      item.folder = true;
      item.name += '/';
      items->push_back(item);
      if (!Collect(request, item.path, item.name, items, error)) return false;
    } else if (request.recurse || entry.why_skipped != "a link to a folder") {
      std::fprintf(stderr, "warning: skipped %s: %s\n", item.path.c_str(),
                   entry.why_skipped.c_str());
    }
  }
  return true;
}

bool EndsWithZip(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return tail == ".zip";
}

std::string ZipError(zip_t* za) { return zip_strerror(za); }

// An end-of-central-directory record and nothing else: a valid empty zip,
// which libzip declines to write.
std::string EmptyArchive() {
  std::string bytes("PK\x05\x06", 4);
  bytes.append(18, '\0');
  return bytes;
}

}  // namespace

bool ParseArguments(int kind, const std::vector<std::string>& args,
                    Request* request, std::string* error) {
  const char* add = kind == 2 ? "-add" : "-a";
  const char* recurse = kind == 2 ? "-recurse" : "-rp";
  size_t at = 0;
  if (args.empty() || args[0] != add) {
    *error = std::string("the first argument must be ") + add;
    return false;
  }
  ++at;
  request->recurse = args.size() > at && args[at] == recurse;
  if (request->recurse) ++at;
  if (args.size() != at + 2) {
    *error = args.size() < at + 2 ? "an archive and a pattern are needed"
                                  : "too many arguments";
    return false;
  }
  request->archive = args[at];
  const std::string& pattern = args[at + 1];
  if (request->archive.empty() || request->archive[0] == '-') {
    *error = "unknown option " + request->archive;
    return false;
  }
  size_t stem = pattern.size() - (sizeof(kAllFiles) - 1);
  if (pattern.size() < sizeof(kAllFiles) ||
      pattern.compare(stem, std::string::npos, kAllFiles) != 0 ||
      !IsSeparator(pattern[stem - 1])) {
    *error = std::string("the pattern must be FOLDER") + kPathSeparator +
             kAllFiles + ": " + pattern;
    return false;
  }
  request->folder = pattern.substr(0, stem - 1);
  // "/*.*" names the root.
  if (request->folder.empty()) request->folder = pattern.substr(0, 1);
  return true;
}

bool AddFiles(const Request& request, Summary* summary, std::string* error) {
  if (!IsFolder(request.folder)) {
    *error = "no such folder: " + request.folder;
    return false;
  }
  std::vector<Item> items;
  if (!Collect(request, request.folder, "", &items, error)) return false;
  std::sort(items.begin(), items.end(),
            [](const Item& a, const Item& b) { return a.name < b.name; });
  for (const Item& item : items) {
    if (!item.folder && !CheckReadable(item.path, error)) return false;
  }

  int code = 0;
  zip_t* za = zip_open(request.archive.c_str(), ZIP_CREATE, &code);
  if (za == nullptr) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, code);
    *error = "cannot open " + request.archive + ": " + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    return false;
  }
  auto fail = [&](const std::string& what) {
    *error = what + ": " + ZipError(za);
    zip_discard(za);
    return false;
  };

  for (const Item& item : items) {
    zip_int64_t index;
    if (item.folder) {
      index = zip_name_locate(za, item.name.c_str(), ZIP_FL_ENC_GUESS);
      if (index < 0) index = zip_dir_add(za, item.name.c_str(), ZIP_FL_ENC_GUESS);
      if (index < 0) return fail("cannot add " + item.name);
    } else {
      zip_source_t* source = zip_source_file(za, item.path.c_str(), 0, -1);
      if (source == nullptr) return fail("cannot read " + item.path);
      index = zip_file_add(za, item.name.c_str(), source,
                           ZIP_FL_OVERWRITE | ZIP_FL_ENC_GUESS);
      if (index < 0) {
        zip_source_free(source);
        return fail("cannot add " + item.name);
      }
      // Archives inside archives would only grow by deflating again.
      zip_int32_t method = EndsWithZip(item.name) ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
      if (zip_set_file_compression(za, index, method, 0) != 0) {
        return fail("cannot set compression of " + item.name);
      }
      ++summary->files;
      summary->bytes_in += item.size;
    }
    if (zip_file_set_mtime(za, index, item.mtime, 0) != 0) {
      return fail("cannot set the time of " + item.name);
    }
  }

  if (zip_get_num_entries(za, 0) == 0) {
    zip_discard(za);
    if (!WriteFileAtomically(request.archive, EmptyArchive(), error)) {
      return false;
    }
  } else if (zip_close(za) != 0) {
    return fail("cannot write " + request.archive);
  }
  summary->bytes_out = FileSize(request.archive);
  return true;
}

}  // namespace archiver
