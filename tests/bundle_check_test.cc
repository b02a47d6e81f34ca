// trevask-extract's checks of a bundle's layout, over small zips written
// here: what it refuses and why, and which folders lack their archive.
#include <gtest/gtest.h>
#include <zip.h>

#include "extract/bundle.h"
#include "tests/support.h"

namespace {

struct Case {
  const char* file;                  // the bundle's file name
  std::vector<std::string> members;  // "B/" a folder entry, "@B/B.zip" a link
  std::string problem;               // among the problems; "" when accepted
  std::string folders;               // accepted: "Data -Data/B", '-' without archive
};

void WriteZip(const std::string& path, const std::vector<std::string>& members) {
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
  ASSERT_NE(zip, nullptr);
  for (std::string name : members) {
    const bool link = name[0] == '@';
    if (link) name.erase(0, 1);
    zip_int64_t i = name.back() == '/'
                        ? zip_dir_add(zip, name.c_str(), 0)
                        : zip_file_add(zip, name.c_str(), zip_source_buffer(zip, "x", 1, 0), 0);
    ASSERT_GE(i, 0) << name;
    if (link) zip_file_set_external_attributes(zip, i, 0, ZIP_OPSYS_UNIX, 0120777u << 16);
  }
  ASSERT_EQ(zip_close(zip), 0);
}

TEST(BundleCheck, Layouts) {
  const Case cases[] = {
      {"Out.zip", {"Data.zip", "B/", "B/B.zip", "B/X/", "B/X/X.zip"}, "", "Data Data/B Data/B/X"},
      // Failed runs: the tree is named after the bundle when its top is missing.
      {"Data.zip", {"B/", "B/X/"}, "", "-Data -Data/B -Data/B/X"},
      {"Data.bin", {"B/"}, "and no .zip in the bundle's name to name the tree after", ""},
      // Each of these two would otherwise be the archive of a folder outside the tree.
      {"Out.zip", {"Data.zip", "../...zip"}, "a member with the name '..': ../...zip", ""},
      {"Out.zip", {"Data.zip", "/etc/etc.zip"}, "an empty name (an absolute path, or '//')", ""},
      {"Out.zip", {"Data.zip", "Other.zip"}, "source folder?): Data.zip Other.zip", ""},
      {"Out.zip", {"Data.zip", "@B/B.zip"}, "a link or special file, not a folder archive", ""},
      {"Out.zip", {"Data.zip", "B/C.zip"}, "not a folder archive (F/F.zip): B/C.zip", ""},
      {"Out.zip", {"B/B.txt"}, "no archive at the top (Data.zip for a source folder Data)", ""},
  };
  for (const Case& c : cases) {
    testing_support::ScratchDir scratch;
    const std::string path = (scratch.path() / c.file).u8string();
    WriteZip(path, c.members);
    extract::Bundle bundle;
    std::vector<std::string> problems;
    std::string error, all, folders;
    SCOPED_TRACE(c.members.back());
    ASSERT_TRUE(extract::ReadBundle(path, &bundle, &problems, &error)) << error;
    for (const std::string& p : problems) all += p + "\n";
    EXPECT_TRUE(c.problem.empty() ? all.empty() : all.find(c.problem) != std::string::npos)
        << all;
    if (!c.problem.empty()) continue;
    for (const extract::Folder& f : bundle.folders) {
      folders += (folders.empty() ? "" : " ") + std::string(f.has_archive ? "" : "-") + f.path;
      EXPECT_TRUE(!f.has_archive || bundle.members[f.archive].name == extract::ArchiveName(f))
          << f.path;
    }
    EXPECT_EQ(folders, c.folders);
    EXPECT_EQ(bundle.root_from_file_name, !bundle.folders[0].has_archive);
  }
}

}  // namespace
