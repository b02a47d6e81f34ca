// The bundle's layout judged from member lists alone: what makes a zip no
// bundle, and what is only a finding about a folder. The rest is in
// bundle_check_test.cc, as trevask-extract reads it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/bundle_layout.h"
#include "base/path.h"

namespace {

using namespace std::string_literals;

struct Case {
  std::vector<std::string> members;  // "B/" a folder entry, "@B/B.zip" a link
  std::string root_when_no_top;
  std::string fault;    // among the faults; "" for a bundle
  std::string folders;  // a bundle's: "Data -Data/B", '-' without its archive
};

TEST(BundleLayout, Verdicts) {
  const bool windows = base::kSeparator == '\\';
  const Case cases[] = {
      // ".zip" and F/F.zip match without case, on every platform.
      {{"Data.ZIP", "B/", "B/b.zip", "B/X/X.Zip"}, "", "", "Data Data/B Data/B/X"},
      // Two archives of one folder: which one holds its files cannot be told.
      {{"Data.zip", "A/A.zip", "A/a.zip"}, "", "a second archive of one folder, beside A/A.zip: "
                                               "A/a.zip", ""},
      {{"Data.zip", "A/A.zip", "A/A.zip"}, "", "twice in the bundle: A/A.zip", ""},
      // Folders whose names differ in case only are two folders.
      {{"Data.zip", "A/A.zip", "a/a.zip"}, "", "", "Data Data/A Data/a"},
      {{"Data.zip", "@A/A.zip"}, "", "a link or special file, not a folder archive: A/A.zip", ""},
      {{"Data.zip", "A\0/A\0.zip"s}, "", "a member with a name with a NUL byte", ""},
      // A folder of a POSIX tree may be named so, but not one of Windows'.
      {{"Data.zip", "A\\B/A\\B.zip"}, "", windows ? "a member with a name with '\\'" : "",
       windows ? "" : "Data Data/A\\B"},
      {{}, "Data", "no archive at the top", ""},
      // A failed run's bundle: folders without their archive are findings,
      // the bundle is one.
      {{"Data.zip", "B/X/X.zip"}, "", "", "Data -Data/B Data/B/X"},
      {{"B/", "B/B.zip"}, "Data", "", "-Data Data/B"},
  };
  for (const Case& c : cases) {
    std::vector<base::Member> members;
    for (std::string name : c.members) {
      base::Member m;
      if (name[0] == '@') {
        name.erase(0, 1);
        m.made_by = 3 << 8;
        m.external = 0120777u << 16;
      }
      m.name = name;
      members.push_back(m);
    }
    SCOPED_TRACE(c.members.empty() ? "(none)" : c.members.back());
    const base::BundleLayout layout = base::JudgeBundleLayout(members, c.root_when_no_top);
    std::string faults, folders;
    for (const base::LayoutFault& f : layout.faults) faults += f.why + "\n";
    EXPECT_TRUE(c.fault.empty() ? faults.empty() : faults.find(c.fault) != std::string::npos)
        << faults;
    EXPECT_EQ(layout.IsBundle(), c.fault.empty());
    for (const base::LayoutFolder& f : layout.folders) {
      std::string path = layout.root;
      for (const std::string& name : f.names) path += "/" + name;
      folders += (folders.empty() ? "" : " ") + std::string(f.has_archive ? "" : "-") + path;
    }
    EXPECT_EQ(folders, c.folders);
    EXPECT_EQ(layout.root_given, c.fault.empty() && layout.tops.empty());
  }
}

}  // namespace
