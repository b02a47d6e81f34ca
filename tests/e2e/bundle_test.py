"""Trevask end to end with the real stand-in archivers; the bundle is read
back with Python's zipfile, independent of this project's code."""
import io
import os
import shutil
import tempfile
import time
import unittest
import zipfile

import harness
from harness import FAILURE, native, read_bundle as actual_bundle, run

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                       "example", "Projects")


def expected_bundle(source):
    """{member: {file: bytes}} for each folder's archive, plus folder entries."""
    expected = {}
    base = os.path.basename(os.path.normpath(source))
    for folder, dirs, files in os.walk(source):
        rel = os.path.relpath(folder, source).replace(os.sep, "/")
        prefix = "" if rel == "." else rel + "/"
        name = base if rel == "." else os.path.basename(folder)
        contents = {}
        for f in files:
            with open(os.path.join(folder, f), "rb") as fh:
                contents[f] = fh.read()
        expected[prefix + name + ".zip"] = contents
        for d in dirs:
            expected[prefix + d + "/"] = None
    return expected


class BundleTest(harness.ScratchTest):
    def copy_example(self):
        shutil.copytree(EXAMPLE, self.path("src/Projects"))

    def test_example_tree_for_both_kinds(self):
        self.copy_example()
        expected = expected_bundle(self.path("src/Projects"))
        self.assertEqual(expected["Archive/Archive.zip"], {})  # no files of its own
        for option in ("-d", "-w"):
            with self.subTest(option):
                out = "out" + option + ".zip"
                result = self.trevask("src/Projects", out, "T", option)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual(actual_bundle(self.path(out)), expected)
                # One progress line per archive: each folder's and the bundle.
                archives = [m for m in expected if m.endswith(".zip")]
                self.assertEqual(len(archives), 9)
                self.assertEqual(result.stdout.count(b"\n"), len(archives) + 1)
                self.assertTrue(os.path.isdir(self.path("T/Projects/Archive/2024/Q1")))

    def test_removal_leaves_only_the_bundle(self):
        self.copy_example()
        os.makedirs(self.path("T/keep"))
        result = self.trevask("src/Projects", "out.zip", "T", "-r")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(os.listdir(self.path("T")), ["keep"])
        self.assertEqual(actual_bundle(self.path("out.zip")),
                         expected_bundle(self.path("src/Projects")))

    def test_hostile_names_and_contents_round_trip(self):
        names = ["My Data", "a;b", "$(echo x)", "a'b", "(p)", "a&b", "x!y",
                 "-lead", "résumé", "a=b,c^d",
                 # Windows' best fit would turn these into \\, .., Omega.
                 "\uff3cesc", "\uff0e\uff0e", "\u03a9mega", "Omega", "日本", "Ünï"]
        if not harness.WINDOWS:
            names += ['a"b', "a|b", "new\nline", "*.*", "50%"]
        files = {}
        for i, name in enumerate(names):
            files["src/Data/%s/file %d.txt" % (name, i)] = name.encode() * (i + 1)
            files["src/Data/%s/%s/inner.bin" % (name, name)] = os.urandom(100 + i)
        # Files Windows paths alone would not reach: the archivers take them
        # as they are named.
        for i, name in enumerate(["a.", "a", "aux.txt", "CON", "sp "]):
            files["src/Data/Omega/" + name] = b"%d" % i
        harness.make_files(self.dir, files)
        before = harness.snapshot(self.dir)
        result = self.trevask("src/Data", "out.zip", "T", "-r")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(actual_bundle(self.path("out.zip")),
                         expected_bundle(self.path("src/Data")))
        self.assertFalse(os.path.exists(self.path("T/Data")))
        self.assertEqual(harness.changed_paths(before, harness.snapshot(self.dir)),
                         ["T/", "out.zip"])

    @unittest.skipUnless(harness.WINDOWS, "Windows path forms")
    def test_windows_path_forms_and_names_it_cannot_reach(self):
        harness.make_files(self.dir, {"src/Data/a.txt": b"a", "src/Data/Sub/b.txt": b"b"})
        absolute = harness.target_path(self.dir)
        long_form = "\\\\?\\" + absolute + "\\"
        forms = [("src\\Data", "out0.zip", "T0"), ("src/Data/", "out1.zip", "T1/x"),
                 (long_form + "src\\Data", long_form + "out2.zip",
                  absolute.replace("\\", "/") + "/T2"),
                 (absolute.replace("\\", "/") + "/src/Data", "out3.zip", "T3")]
        # Wine serves \\server\share from its prefix's dosdevices/unc.
        prefix = os.environ.get("WINEPREFIX")
        if prefix:
            share = os.path.basename(self.dir)
            link = os.path.join(prefix, "dosdevices", "unc", "trevask-test", share)
            os.makedirs(os.path.dirname(link), exist_ok=True)
            os.symlink(self.dir, link)
            self.addCleanup(os.remove, link)
            forms.append(("\\\\trevask-test\\%s\\src\\Data" % share, "out4.zip", "T4"))
        for i, (source, out, temp) in enumerate(forms):
            with self.subTest(source):
                result = run("trevask", [source, out, temp, "-r"], self.dir,
                             env_path=harness.search_path(harness.BIN_DIR))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(actual_bundle(self.path("out%d.zip" % i)),
                                 expected_bundle(self.path("src/Data")))
        refused = [(["C:Data", "o.zip", "T"], b"drive-relative"),
                   (["\\\\.\\PhysicalDrive0\\x", "o.zip", "T"], b"no device"),
                   (["src\\Data", "o.zip", "T."], b"trailing dot"),
                   (["src\\Data", "aux.zip", "T"], b"for devices")]
        for args, message in refused:
            with self.subTest(args):
                result = run("trevask", args, self.dir)
                self.assertEqual(result.returncode, FAILURE)
                self.assertIn(message, result.stderr)
        # Folders inside the tree: the folder holding one fails and says why.
        for name, message in [("dot.", b"trailing dot"), ("sp ", b"trailing dot or space"),
                              ("CON", b"for devices"), ("aux.txt", b"for devices")]:
            with self.subTest(name):
                harness.make_files(self.dir, {"odd/Data/%s/f.txt" % name: b"f"})
                result = self.trevask("odd/Data", "odd.zip", "TO")
                self.assertEqual(result.returncode, FAILURE)
                self.assertIn(b"cannot archive the folder", result.stderr)
                self.assertIn(message, result.stderr)
                shutil.rmtree(self.path("odd"))

    def test_linked_folders_are_walked_loops_are_not(self):
        harness.make_files(self.dir, {"src/Data/A/f.txt": b"f", "other/o.txt": b"o",
                                      "other/deep/d.txt": b"d"})
        # Made on the host: under Wine the link is what Windows programs see.
        os.symlink(os.path.join("..", ".."), self.path("src/Data/A/loop"))
        os.symlink(os.path.join("..", "..", "other"), self.path("src/Data/lnk"))
        os.symlink("nowhere", self.path("src/Data/A/dangling"))
        result = self.trevask("src/Data", "out.zip", "T")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(actual_bundle(self.path("out.zip")),
                         {"Data.zip": {}, "A/": None, "A/A.zip": {"f.txt": b"f"},
                          "lnk/": None, "lnk/lnk.zip": {"o.txt": b"o"},
                          "lnk/deep/": None, "lnk/deep/deep.zip": {"d.txt": b"d"}})
        self.assertIn(b"(a loop)", result.stderr)
        if not harness.WINDOWS:  # Wine does not show a link that leads nowhere
            self.assertIn(b"dangling", result.stderr)

    def test_existing_bundle_is_updated_and_failure_keeps_mirror(self):
        harness.make_files(self.dir, {"src/Data/a.txt": b"a", "src/Data/Sub/b.txt": b"b"})
        self.assertEqual(self.trevask("src/Data", "out.zip", "T").returncode, 0)
        # The kept mirror folder is reused and updated, and so is the bundle.
        harness.make_files(self.dir, {"src/Data/c.txt": b"c"})
        result = self.trevask("src/Data", "out.zip", "T")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(actual_bundle(self.path("out.zip"))["Data.zip"],
                         {"a.txt": b"a", "c.txt": b"c"})
        # With -r an existing mirror folder is refused: it may hold anything.
        result = self.trevask("src/Data", "out.zip", "T", "-r")
        self.assertEqual(result.returncode, FAILURE)
        self.assertIn(b"already exists and -r would remove it", result.stderr)
        self.assertTrue(os.path.exists(self.path("T/Data/Sub/Sub.zip")))
        # A DstFileName that is not a zip is refused before anything is made.
        shutil.rmtree(self.path("T"))
        harness.make_files(self.dir, {"blocked.zip": b"not a zip archive"})
        result = self.trevask("src/Data", "blocked.zip", "T", "-r")
        self.assertEqual(result.returncode, FAILURE)
        self.assertEqual(result.stdout, b"")
        self.assertIn(b"is not a zip archive", result.stderr)
        self.assertFalse(os.path.exists(self.path("T/Data")))

    def file_states(self, *names):
        """{path: (inode, mtime, ctime)} of the files named and those beneath them."""
        paths = []
        for name in names:
            top = self.path(name)
            paths += [os.path.join(f, n) for f, _, ns in os.walk(top) for n in ns] or [top]
        return {p: (st.st_ino, st.st_mtime_ns, st.st_ctime_ns)
                for p in paths for st in [os.stat(p)]}

    def test_an_unchanged_rerun_leaves_the_bundle_and_names_folders_gone(self):
        # Data and x have subfolders only: their archives are empty ones.
        harness.make_files(self.dir, {"src/Data/x/y/f": b"f" * 300, "src/Data/z/g": b"g",
                                      "src/Data/w/v/h": b"h"})
        for option in ("-d", "-w"):
            with self.subTest(option):
                out, temp = "out%s.zip" % option, "T" + option
                self.assertEqual(self.trevask("src/Data", out, temp, option).returncode, 0)
                before = self.file_states(out, temp)
                result = self.trevask("src/Data", out, temp, option)
                self.assertEqual(result.returncode, 0, result.stderr)
                # Neither the bundle nor any folder archive was written again.
                self.assertEqual(self.file_states(out, temp), before)
                self.assertNotIn(b"gone", result.stderr)
        shutil.rmtree(self.path("src/Data/w"))
        shutil.rmtree(self.path("src/Data/x/y"))
        result = self.trevask("src/Data", "out-d.zip", "T-d")
        self.assertEqual(result.returncode, 0, result.stderr)
        gone = [line for line in result.stderr.splitlines() if b"gone" in line]
        self.assertEqual(gone, [
            b"trevask: %s is gone from the source; its mirror folder %s stays, and so do its "
            b"archives in the bundle" % (native(s).encode(), native(m).encode())
            for s, m in (("src/Data/w", "T-d/Data/w"), ("src/Data/x/y", "T-d/Data/x/y"))])
        self.assertEqual(actual_bundle(self.path("out-d.zip"))["x/y/y.zip"], {"f": b"f" * 300})

    # Even, as the header's two-second time holds it exactly.
    EPOCH = 1600000000

    def make_copy(self, root, files, mtime):
        """The tree of files under root, made in the order given, every file
        and folder of time mtime."""
        harness.make_files(root, dict(files))
        for folder, dirs, names in os.walk(root):
            for name in dirs + names:
                os.utime(os.path.join(folder, name), (mtime, mtime))

    def test_source_date_epoch_gives_one_bundle_whatever_the_times_and_order(self):
        files = [("Data/%s/f%d" % (d, i), b"%s%d" % (d.encode(), i) * 50)
                 for d in ("x", "y", "z") for i in range(4)] + [("Data/top", b"top")]
        older = self.EPOCH - 10 * 86400
        # A tmpfs lists a folder newest first, so that copies made in another
        # order are listed in another order; ext4 lists both alike.
        copies = self.dir
        if not harness.WINDOWS and any(line.split()[1:3] == ["/dev/shm", "tmpfs"]
                                       for line in open("/proc/mounts")):
            copies = tempfile.mkdtemp(dir="/dev/shm")
            self.addCleanup(shutil.rmtree, copies, True)
        roots = {c: os.path.join(copies, c) for c in "ab"}
        self.make_copy(roots["a"], files + [("Data/old", b"old")], time.time())
        self.make_copy(roots["b"], list(reversed(files)) + [("Data/old", b"old")],
                       time.time() + 5000)
        for copy in "ab":
            os.utime(os.path.join(roots[copy], "Data", "old"), (older, older))
        if copies != self.dir:
            listed = [os.listdir(os.path.join(roots[c], "Data", "x")) for c in "ab"]
            self.assertNotEqual(listed[0], listed[1])
        env = {"SOURCE_DATE_EPOCH": str(self.EPOCH)}
        for option in ("-d", "-w"):
            with self.subTest(option):
                bundles = []
                for copy in "ab":
                    out = "%s%s.zip" % (copy, option)
                    source = copy + "/Data" if copies == self.dir else roots[copy] + "/Data"
                    result = self.trevask(source, out, "T" + copy + option, option,
                                          extra_env=env)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    bundles.append(harness.read_bytes(self.path(out)))
                    # The mirror folders and folder archives are made now.
                    time.sleep(1.1)
                self.assertEqual(bundles[0], bundles[1])
                with zipfile.ZipFile(io.BytesIO(bundles[0])) as bundle:
                    for info in bundle.infolist():
                        self.assertEqual(info.date_time, time.localtime(self.EPOCH)[:6],
                                         info.filename)
                    top = zipfile.ZipFile(io.BytesIO(bundle.read("Data.zip")))
                times = {i.filename: i.date_time for i in top.infolist()}
                # A later time is recorded as the epoch, an earlier one as it is.
                self.assertEqual(times, {"top": time.localtime(self.EPOCH)[:6],
                                         "old": time.localtime(older)[:6]})

    def test_a_source_date_epoch_that_is_not_a_count_of_seconds_is_refused(self):
        harness.make_files(self.path("src"), {"Data/f": b"f"})
        os.makedirs(self.path("T"))
        for value in ("12x", "", " 1", "-1", "+5", "1.5", "99999999999999999999"):
            with self.subTest(value):
                env = {"SOURCE_DATE_EPOCH": value}
                result = self.trevask("src/Data", "out.zip", "T", extra_env=env)
                self.assertEqual(result.returncode, FAILURE)
                self.assertIn(b"trevask: SOURCE_DATE_EPOCH ", result.stderr)
                self.assertIn(value.encode(), result.stderr)
                self.assertEqual(os.listdir(self.path("T")), [])
                self.assertFalse(os.path.exists(self.path("out.zip")))
                result = run("PKZIP.EXE", ["-a", "out.zip", native("src/Data/*.*")], self.dir,
                             extra_env=env)
                self.assertEqual(result.returncode, 2)
                self.assertIn(b"PKZIP.EXE: SOURCE_DATE_EPOCH ", result.stderr)
                self.assertFalse(os.path.exists(self.path("out.zip")))

if __name__ == "__main__":
    unittest.main()
