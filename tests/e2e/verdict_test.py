"""Every run ends in a refusal up front, a failed run with a message and
nothing lost, or complete results with exit 0: existing destinations of
every kind, two sources racing for one bundle, a closed pipe."""
import os
import shutil
import subprocess
import threading
import unittest
import warnings
import zipfile

import harness
from harness import FAILURE, native, snapshot

EMPTY_ZIP = b"PK\x05\x06" + bytes(18)


def a_zip(members):
    """members: {name: data}, or [(name, data)] to hold a name twice."""
    def make(path):
        with zipfile.ZipFile(path, "w") as z, warnings.catch_warnings():
            warnings.simplefilter("ignore")  # a duplicate name
            for name, data in members.items() if isinstance(members, dict) else members:
                z.writestr(name, data)
    return make


def raw(data):
    def make(path):
        with open(path, "wb") as f:
            f.write(data)
    return make


# What is at DstFileName before a run of src/Data: (name, make it, refused
# with, or None when the run goes ahead).
DESTINATIONS = [
    ("an empty file", raw(b""), None),
    ("a zip without members", raw(EMPTY_ZIP), None),
    ("this folder's bundle", a_zip({"Data.zip": EMPTY_ZIP}), None),
    ("a failed run's bundle without its top", a_zip({"A/A.zip": EMPTY_ZIP}), None),
    ("another folder's bundle", a_zip({"Other.zip": EMPTY_ZIP, "A/A.zip": EMPTY_ZIP}),
     b"the bundle of another folder (Other.zip at its top"),
    ("a failed run's bundle of folder entries only", a_zip({"A/": b"", "B/": b""}), None),
    ("a zip of other files", a_zip({"notes.txt": b"n", "x/y.txt": b"y"}),
     b"is a zip archive but not a bundle"),
    ("this folder's bundle with a stray file", a_zip({"Data.zip": EMPTY_ZIP, "README": b"r"}),
     b"not a bundle of folder archives (it holds README)"),
    ("this folder's bundle with a way out", a_zip({"Data.zip": EMPTY_ZIP,
                                                   "Data/../../x/x.zip": EMPTY_ZIP}),
     b"not a bundle of folder archives (it holds Data/../../x/x.zip)"),
    ("a file that is no zip", raw(b"not a zip archive at all" * 10),
     b"is not a zip archive"),
    # trevask-extract would refuse it whole: which copy holds A's files?
    ("this folder's bundle with a folder's archive twice",
     a_zip({"Data.zip": EMPTY_ZIP, "A/A.zip": EMPTY_ZIP, "A/a.zip": EMPTY_ZIP}),
     b"not a bundle of folder archives (it holds A/a.zip)"),
    # A reader takes it for A's archive, but the run would add A/A.zip.
    ("this folder's bundle with A's archive under another case",
     a_zip({"Data.zip": EMPTY_ZIP, "A/": b"", "A/a.zip": EMPTY_ZIP}),
     b"DstFileName holds A/a.zip, where this run writes A/A.zip for the same folder"),
    ("this folder's bundle with a member written twice",
     a_zip([("Data.zip", EMPTY_ZIP), ("A/A.zip", EMPTY_ZIP), ("A/A.zip", EMPTY_ZIP)]),
     b"not a bundle of folder archives (it holds A/A.zip)"),
]

# Stands in front of the real archiver; the run that writes $STRAY_BUNDLE
# then adds a member no run makes.
STRAYING = """#!/bin/sh
"$REAL_DIR/$(basename "$0")" "$@" || exit $?
for arg in "$@"; do
  case "$arg" in
    *"$STRAY_BUNDLE")
      python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], "a").writestr("README", "r")' \
        "$arg" ;;
  esac
done
"""

# Stands in front of the real archiver and, on the run that is to write
# $SWAP_ARCHIVE, first swaps the folder $SWAP_DIR for a link to $CANARY, as
# another process of the same user could.
SWAPPING = """#!/bin/sh
if [ -n "$SWAP_ARCHIVE" ] && [ "$2" = "$SWAP_ARCHIVE" ]; then
  mv "$SWAP_DIR" "$SWAP_DIR.gone" && ln -s "$CANARY" "$SWAP_DIR"
fi
exec "$REAL_DIR/$(basename "$0")" "$@"
"""

TREE = {"src/Data/d.txt": b"d", "src/Data/A/a.txt": b"a", "other/Other/o.txt": b"o",
        "other/Other/A/x.txt": b"x"}


class VerdictTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        harness.make_files(self.dir, TREE)

    def trevask(self, *args, **kw):
        return super().trevask(*args, timeout=120, **kw)

    def test_existing_destinations(self):
        for name, make, refused in DESTINATIONS:
            with self.subTest(destination=name):
                make(self.path("b.zip"))
                before = harness.read_bytes(self.path("b.zip"))
                result = self.trevask("src/Data", "b.zip", "T", "-r")
                if refused is None:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    members = harness.read_zip(self.path("b.zip"))
                    self.assertIn("Data.zip", members)
                    self.assertNotIn("Other.zip", members)
                else:
                    self.assertEqual(result.returncode, FAILURE)
                    self.assertIn(refused, result.stderr)
                    self.assertEqual(result.stdout, b"")
                    self.assertEqual(harness.read_bytes(self.path("b.zip")), before)
                    self.assertFalse(os.path.exists(self.path("T/Data")))
                os.remove(self.path("b.zip"))

    @unittest.skipIf(harness.WINDOWS, "a shell wrapper")
    def test_a_bundle_written_that_the_extractor_would_refuse_fails_the_run(self):
        os.mkdir(self.path("bin"))
        for name in ("PKZIP.EXE", "PKZIPC.EXE"):
            with open(self.path("bin/" + name), "w") as f:
                f.write(STRAYING)
            os.chmod(self.path("bin/" + name), 0o755)
        result = harness.run("trevask", ["src/Data", "b.zip", "T", "-r"], self.dir,
                             env_path=harness.search_path(self.path("bin")),
                             extra_env={"REAL_DIR": harness.BIN_DIR, "STRAY_BUNDLE": "b.zip"},
                             timeout=120)
        self.assertEqual(result.returncode, FAILURE, result.stderr)
        self.assertIn(b"the bundle just written is not one trevask-extract reads (", result.stderr)
        self.assertIn(b"README", result.stderr)
        self.assertTrue(os.path.isfile(self.path("T/Data/A/A.zip")))
        extract = harness.run("trevask-extract", ["-t", "b.zip"], self.dir, timeout=60)
        self.assertEqual(extract.returncode, 2, extract.stderr)

    def test_a_second_source_never_overwrites_the_first(self):
        self.assertEqual(self.trevask("src/Data", "b.zip", "T", "-r").returncode, 0)
        first = harness.read_bytes(self.path("b.zip"))
        result = self.trevask("other/Other", "b.zip", "T", "-r")
        self.assertEqual(result.returncode, FAILURE)
        self.assertIn(b"Data.zip at its top, where this source's is Other.zip", result.stderr)
        self.assertEqual(harness.read_bytes(self.path("b.zip")), first)
        # Started together, one of them makes the bundle, the other is refused.
        os.remove(self.path("b.zip"))
        results = {}

        def start(source):
            results[source] = self.trevask(source, "b.zip", "T" + source[0], "-r")
        threads = [threading.Thread(target=start, args=(s,)) for s in ("src/Data", "other/Other")]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        codes = sorted(r.returncode for r in results.values())
        self.assertEqual(codes, [0, FAILURE], [r.stderr for r in results.values()])
        tops = [n for n in harness.read_zip(self.path("b.zip")) if "/" not in n]
        self.assertEqual(len(tops), 1, tops)

    @unittest.skipIf(harness.WINDOWS, "a shell wrapper")
    def test_nothing_is_written_through_a_swapped_mirror_folder(self):
        harness.make_files(self.dir, {"src/Data/Notes/n.txt": b"n", "src/Data/Sub/s.txt": b"s",
                                      "src/Data/Sub/Deep/d.txt": b"d", "canary/Deep/": None})
        os.mkdir(self.path("bin"))
        for name in ("PKZIP.EXE", "PKZIPC.EXE"):
            with open(self.path("bin/" + name), "w") as f:
                f.write(SWAPPING)
            os.chmod(self.path("bin/" + name), 0o755)
        path = harness.search_path(self.path("bin"))
        # (case, archive whose run meets the swap, folder swapped)
        cases = [("the mirror folder", "T/Data/Notes/Notes.zip", "T/Data/Notes"),
                 ("a folder above it", "T/Data/Sub/Deep/Deep.zip", "T/Data/Sub")]
        for rerun in (False, True):
            for case, archive, swapped in cases:
                with self.subTest(case=case, rerun=rerun):
                    # rmtree removes links, never what they lead to.
                    shutil.rmtree(self.path("T"), True)
                    if os.path.exists(self.path("b.zip")):
                        os.remove(self.path("b.zip"))
                    env = {"REAL_DIR": harness.BIN_DIR, "CANARY": self.path("canary")}
                    if rerun:
                        first = harness.run("trevask", ["src/Data", "b.zip", "T"], self.dir,
                                            env_path=path, extra_env=env, timeout=60)
                        self.assertEqual(first.returncode, 0, first.stderr)
                    canary = snapshot(self.path("canary"))
                    env.update(SWAP_ARCHIVE=archive, SWAP_DIR=self.path(swapped))
                    result = harness.run("trevask", ["src/Data", "b.zip", "T", "-r"] if not rerun
                                         else ["src/Data", "b.zip", "T"], self.dir,
                                         env_path=path, extra_env=env, timeout=60)
                    self.assertEqual(result.returncode, FAILURE, result.stderr)
                    self.assertIn(b"PKZIP Compress Error!", result.stdout)
                    self.assertIn(b"is not the folder trevask made", result.stderr)
                    self.assertEqual(snapshot(self.path("canary")), canary)
                    # The mirror tree stays for the user to look at.
                    self.assertTrue(os.path.isdir(self.path("T/Data")))

    def test_an_archiver_writes_nothing_into_a_folder_that_is_not_the_one_handed(self):
        # Where no wrapper can swap a folder in time (Windows under Wine), the
        # identity an archiver is handed stands for the folder as trevask saw it.
        harness.make_files(self.dir, {"out/": None})
        # (case, arguments, variable, value)
        cases = [("archive folder", ["-a", "out/d.zip", "src/Data/*.*"],
                  "TREVASK_ARCHIVE_FOLDER", "1:2:3"),
                 ("archive folder, -rp", ["-a", "-rp", "out/b.zip", "src/*.*"],
                  "TREVASK_ARCHIVE_FOLDER", "1:2:3"),
                 ("packed folder, -rp", ["-a", "-rp", "out/b.zip", "src/*.*"],
                  "TREVASK_SOURCE_FOLDER", "1:2:3"),
                 ("no identity at all", ["-a", "out/d.zip", "src/Data/*.*"],
                  "TREVASK_ARCHIVE_FOLDER", "not-an-id")]
        for case, args, variable, value in cases:
            with self.subTest(case=case):
                result = harness.run("PKZIP.EXE", [native(a) for a in args], self.dir,
                                     extra_env={variable: value}, timeout=60)
                self.assertNotEqual(result.returncode, 0, result.stderr)
                said = b"is not VOLUME:HIGH:LOW" if value == "not-an-id" else \
                    b"is not the folder trevask made for this run"
                self.assertIn(said, result.stderr)
                self.assertEqual(os.listdir(self.path("out")), [])

    @unittest.skipIf(harness.WINDOWS, "POSIX permissions")
    def test_unwritable_destination_folder_is_refused_up_front(self):
        drop = harness.unprivileged(self, self.dir)
        os.mkdir(self.path("ro"))
        os.chmod(self.path("ro"), 0o555)
        if drop is None and os.access(self.path("ro"), os.W_OK):
            self.skipTest("the permission bits do not bind this user")
        result = self.trevask("src/Data", "ro/b.zip", "T", "-r", preexec_fn=drop)
        self.assertEqual(result.returncode, FAILURE)
        self.assertIn(b"cannot be written in the folder of DstFileName: Permission denied",
                      result.stderr)
        self.assertFalse(os.path.exists(self.path("T/Data")))

    @unittest.skipIf(harness.WINDOWS, "POSIX pipes")
    def test_closed_pipe_ends_the_run_and_the_same_command_works_again(self):
        many = {"src/Many/F%02d/f.txt" % i: b"f" * i for i in range(40)}
        harness.make_files(self.dir, many)
        env = harness.environment(harness.search_path(harness.BIN_DIR))
        for ignored in (False, True):
            with self.subTest(sigpipe_ignored=ignored):
                before = snapshot(self.path("src"))
                # As `trevask ... | head -1`: the reader goes after one line.
                command = harness.command("trevask", ["src/Many", "pp.zip", "T", "-r"])
                if ignored:
                    command = ["sh", "-c", "trap '' PIPE; exec \"$0\" \"$@\""] + command
                p = subprocess.Popen(command, cwd=self.dir, env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
                p.stdout.readline()
                p.stdout.close()
                p.stderr.read()
                self.assertNotEqual(p.wait(timeout=60), 0)
                self.assertFalse(os.path.exists(self.path("T/Many")))
                self.assertEqual(snapshot(self.path("src")), before)
                again = self.trevask("src/Many", "pp.zip", "T", "-r")
                self.assertEqual(again.returncode, 0, again.stderr)
                self.assertEqual(len(harness.read_zip(self.path("pp.zip"))), 1 + 40 + 40)
                os.remove(self.path("pp.zip"))


if __name__ == "__main__":
    unittest.main()
