"""A mirror tree holds only what runs made, judged under the locks, and names
are checked up front; the states runs leave stay usable."""
import os
import shutil
import time
import unittest

import harness
from harness import FAILURE, native, read_bundle, snapshot

W = harness.WINDOWS
TREE = {"src/Data/d.txt": b"d", "src/Data/A/a.txt": b"a", "src/Data/B/b.txt": b"b",
        "src/Data/B/X/x.txt": b"x", "elsewhere/e.txt": b"e"}
files = lambda tree: lambda t: harness.make_files(t.dir, tree)
link = lambda name: lambda t: os.symlink("../../../elsewhere/e.txt", t.path(name))


# A subfolder whose archive name is one over the limit of TempFolder's file system.
long_name = lambda t: files({"src/Data/A/" + "n" * (
    (255 if W else os.pathconf(t.dir, "PC_NAME_MAX")) - 3) + "/n.txt": b"n"})(t)


def long_path(t):
    """Source paths that fit, whose mirror paths under a long TempFolder do not."""
    part = 60 if W else 200
    depth = (259 if W else 4095) * 6 // 10 // (part + 1)
    files({"src/Data/A/" + "/".join(["p" * part] * depth) + "/f.txt": b"f"})(t)
    return "/".join(["t" * part] * (depth + 1))


# (label, setup after a first good run into T, TempFolder, words on stderr, POSIX only)
REFUSED = [
    ("the user's own folder as the mirror", files({"Data/notes.txt": b"mine"}), ".",
     b"what no run of trevask made (" + native("./Data/notes.txt").encode() + b")", False),
    ("files dropped in a deeper mirror folder",
     files({"T/Data/B/X/notes.txt": b"n", "T/Data/B/X/more.txt": b"m"}), "T",
     b"made (" + native("T/Data/B/X/more.txt").encode() + b" and 1 more)", False),
    ("a link to a file", link("T/Data/A/e.txt"), "T", b"made (T/Data/A/e.txt)", True),
    ("a link as the folder's archive",
     lambda t: (os.remove(t.path("T/Data/A/A.zip")), link("T/Data/A/A.zip")(t)), "T",
     b"made (T/Data/A/A.zip)", True),
    ("a special file", lambda t: os.mkfifo(t.path("T/Data/B/fifo")), "T",
     b"made (T/Data/B/fifo)", True),
    ("a name over the file system's limit", long_name, "NEW/T",
     b"that TempFolder's file system allows", False),
    ("a path over the limit", long_path, None, b"bytes long, over the limit of", False),
]

# (label, change after a first good run, check of the rerun: t, result, bundle)
USABLE = [
    ("a rerun's mirror and its leaves", files({"src/Data/A/new.txt": b"new"}),
     lambda t, r, b: t.assertEqual(b["A/A.zip"], {"a.txt": b"a", "new.txt": b"new"})),
    ("the kept subtree of a gone folder", lambda t: shutil.rmtree(t.path("src/Data/B")),
     lambda t, r, b: (t.assertEqual(b["B/X/X.zip"], {"x.txt": b"x"}),
                      t.assertIn(b"is gone from the source", r.stderr))),
    ("the mirror of a folder that became a file",
     lambda t: (shutil.rmtree(t.path("src/Data/A")), files({"src/Data/A": b"now a file"})(t)),
     lambda t, r, b: t.assertEqual(b["Data.zip"]["A"], b"now a file")),
    ("the empty mirror of a failed folder", lambda t: os.remove(t.path("T/Data/A/A.zip")),
     lambda t, r, b: t.assertEqual(b["A/A.zip"], {"a.txt": b"a"})),
    ("archiver leftovers, and a user's file of such a name",
     files({"T/Data/B/X/.pkz-ab12CD": b"left", "T/Data/.pkz-12-345.tmp": b"left",
            "src/Data/.pkz-abcdefgh": b"mine"}),
     lambda t, r, b: (t.assertEqual(b["Data.zip"][".pkz-abcdefgh"], b"mine"),
                      t.assertEqual([m for m in b if ".pkz-" in m], []),
                      t.assertEqual(r.stderr.count(b"was left by an interrupted archiver"), 2),
                      t.assertTrue(os.path.exists(t.path("T/Data/B/X/.pkz-ab12CD"))))),
] + ([("a case-only rename",
       lambda t: os.rename(t.path("src/Data/A"), t.path("src/Data/a")),
       lambda t, r, b: t.assertIn("a.txt", b["A/A.zip"]))] if W else [])


class MirrorTreeTest(harness.ScratchTest):
    def case(self, number, *first_run):
        # The user the cases drop to reaches their folders by absolute paths.
        self.root = getattr(self, "root", self.dir)
        os.chmod(self.root, 0o755)
        self.dir = os.path.join(self.root, str(number))
        os.mkdir(self.dir)
        harness.make_files(self.dir, TREE)
        self.drop = None if W else harness.unprivileged(self, self.dir)
        if first_run:
            self.assertEqual(self.as_user("src/Data", "Out.zip", "T", *first_run).returncode, 0)

    def as_user(self, *args):
        if self.drop:  # what the test made since is the user's too
            harness.unprivileged(self, self.dir)
        return self.trevask(*args, preexec_fn=self.drop)

    def test_refusals_touch_nothing(self):
        for number, (label, setup, temp, words, _) in enumerate(r for r in REFUSED
                                                                 if not (W and r[4])):
            with self.subTest(label):
                self.case(number, "-d")
                made = setup(self)
                before = snapshot(self.dir)
                result = self.as_user("src/Data", "Out.zip", made if isinstance(made, str) else temp)
                self.assertEqual(result.returncode, FAILURE, result.stderr)
                self.assertIn(words, result.stderr)
                self.assertEqual(snapshot(self.dir), before)

    def test_states_runs_leave_stay_usable(self):
        for number, (label, change, check, kind) in enumerate(
                row + (kind,) for row in USABLE for kind in ("-d", "-w")):
            with self.subTest(label, kind=kind):
                self.case(number, kind)
                change(self)
                result = self.as_user("src/Data", "Out.zip", "T", kind)
                self.assertEqual(result.returncode, 0, result.stderr)
                check(self, result, read_bundle(self.path("Out.zip")))

    @unittest.skipUnless(harness.RECORDER_DIR, "TREVASK_RECORDER_DIR is not set")
    def test_second_remove_run_waits_then_judges(self):
        self.case(0)
        start = lambda bundle, bin_dir, **kw: harness.start(
            "trevask", [native(a) for a in ("src/Data", bundle, "T", "-r")], self.dir,
            env_path=harness.search_path(bin_dir), preexec_fn=self.drop, **kw)
        at = lambda name: harness.target_path(self.path(name))
        # The first holds the locks in its first archiver run, its mirror made.
        first = start("one.zip", harness.RECORDER_DIR, extra_env={
            "TREVASK_RECORD_HANG_RUN": "1", "TREVASK_RECORD_HANG_FILE": at("beat"),
            "TREVASK_RECORD_HANG_UNTIL": at("go"), "TREVASK_RECORD_LOG": at("log")})
        while not os.path.exists(self.path("beat")) and first.poll() is None:
            time.sleep(0.05)
        self.assertTrue(os.path.isdir(self.path("T/Data")))
        with open(self.path("err"), "wb") as err:
            second = start("two.zip", harness.BIN_DIR, stderr=err)
        time.sleep(2)
        self.assertIsNone(second.poll(), harness.read_bytes(self.path("err")))
        files({"go": b""})(self)
        self.assertEqual(first.wait(timeout=60), 0)
        self.assertEqual(second.wait(timeout=60), 0)
        err = harness.read_bytes(self.path("err"))
        self.assertIn(b"waiting for another run", err)
        self.assertNotIn(b"remove it first", err)
        self.assertEqual(read_bundle(self.path("two.zip"))["B/X/X.zip"], {"x.txt": b"x"})
        self.assertFalse(os.path.exists(self.path("T/Data")))


if __name__ == "__main__":
    unittest.main()
