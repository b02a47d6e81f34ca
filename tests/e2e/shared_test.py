"""Folders other users can change, and runs at once (POSIX, as root handing
the scratch folder to an unprivileged user): a way another user could swap
is refused up front; runs over one TempFolder take turns; the mirror tree
is private; nothing else changes."""
import fcntl
import os
import struct
import subprocess
import time
import unittest

import harness
from harness import FAILURE, snapshot

OTHER = 4242  # a second user, by number only
TREE = {"sA/Data/a.txt": b"a", "sA/Data/X/x.txt": b"x",
        "sB/Data/b.txt": b"b", "sB/Data/Y/y.txt": b"y"}


@unittest.skipIf(harness.WINDOWS or os.name != "posix" or os.geteuid() != 0,
                 "POSIX ownership, set up as root")
class SharedTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        harness.make_files(self.dir, TREE)
        for name in ("shared", "sticky", "mine", "other", "acl"):
            os.mkdir(self.path(name))
        self.drop = harness.unprivileged(self, self.dir)
        os.chown(self.path("shared"), OTHER, OTHER)
        os.chmod(self.path("shared"), 0o777)
        os.chown(self.path("other"), OTHER, OTHER)
        os.chmod(self.path("other"), 0o755)
        os.chmod(self.path("mine"), 0o777)
        os.chown(self.path("sticky"), 0, 0)
        os.chmod(self.path("sticky"), 0o1777)
        # Another user's links in a sticky folder, as in /tmp: theirs to
        # point elsewhere at any time.
        for name, target in (("sticky/L", "mine2"), ("sticky/out.zip", "mine2/keep.zip")):
            os.symlink(self.path(target), self.path(name))
            os.lchown(self.path(name), OTHER, OTHER)
        os.mkdir(self.path("mine2"))
        os.chown(self.path("mine2"), 65534, 65534)
        # An access list that lets the other user write; the folder's group
        # has nobody else in it.
        os.chown(self.path("acl"), 65534, 4343)
        entries = [(1, 7, 0xFFFFFFFF), (2, 7, OTHER), (4, 5, 0xFFFFFFFF), (0x10, 7, 0xFFFFFFFF),
                   (0x20, 0, 0xFFFFFFFF)]
        try:
            os.setxattr(self.path("acl"), "system.posix_acl_access", struct.pack("<I", 2) +
                        b"".join(struct.pack("<HHI", *e) for e in entries))
            self.acl = True
        except OSError:
            self.acl = False  # a file system without access lists

    def trevask(self, *args, **kw):
        """Started, not waited for: the tests hold runs while others start."""
        return harness.start("trevask", args, self.dir, env_path=harness.BIN_DIR,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=self.drop, **kw)

    def run_while_held(self, folder, runs, check_held, status=0):
        """Starts the runs while the test holds folder's lock, as another run
        would; none may end, and check_held holds, until it is let go.
        Returns each run's stderr; each said it waited and ended with status."""
        held = os.open(folder, os.O_RDONLY)
        fcntl.flock(held, fcntl.LOCK_EX)
        procs = [self.trevask(*args) for args in runs]
        time.sleep(1)
        self.assertTrue(all(p.poll() is None for p in procs))
        check_held()
        os.close(held)
        errs = []
        for proc in procs:
            out, err = proc.communicate(timeout=60)
            self.assertIn(b"waiting for another run", err)
            self.assertEqual(proc.returncode, status, err)
            errs.append(err)
        return errs

    def waiting(self, folder, what):
        """The whole line of a run that waits for the lock of folder."""
        full = os.path.realpath(self.path(folder) if folder else self.dir)
        return b"trevask: waiting for another run that uses %s (%s)\n" % (
            full.encode(), what.encode())

    def test_ways_other_users_can_change_are_refused(self):
        before = snapshot(self.dir)
        # (arguments, the folder named, why)
        cases = [
            (["sA/Data", "out.zip", "shared/trevask", "-r"], "shared", b"belongs to another user"),
            (["sA/Data", "out.zip", "mine/T"], "mine", b"every user can write to it (mode 777)"),
            (["sA/Data", "other/out.zip", "T"], "other", b"belongs to another user"),
            (["sA/Data", "mine/out.zip", "T"], "mine", b"write the bundle to a folder"),
            (["sA/Data", "out.zip", "sticky/L/T", "-r"], "sticky/L", b"link that belongs to another"),
            (["sA/Data", "sticky/out.zip", "T"], "sticky/out.zip", b"link that belongs to another"),
        ] + ([(["sA/Data", "out.zip", "acl/T"], "acl", b"access list lets user")] if self.acl else [])
        for args, folder, why in cases:
            with self.subTest(args=args):
                proc = self.trevask(*args)
                out, err = proc.communicate(timeout=30)
                self.assertEqual(proc.returncode, FAILURE, err)
                self.assertIn(why, err)
                self.assertIn(self.path(folder).encode(), err)
                self.assertEqual(err.count(b"\n"), 1, err)
                self.assertEqual(out, b"")
                self.assertEqual(snapshot(self.dir), before)
        # A sticky folder of root's, as /tmp, is fine; the mirror tree made
        # in it is the user's alone.
        proc = self.trevask("sA/Data", "out.zip", "sticky/T")
        self.assertEqual(proc.wait(timeout=60), 0, proc.stderr.read())
        proc.stdout.close()
        proc.stderr.close()
        for folder in ("sticky/T", "sticky/T/Data", "sticky/T/Data/X"):
            self.assertEqual(os.stat(self.path(folder)).st_mode & 0o777, 0o700, folder)

    def test_runs_over_one_temp_folder_take_turns(self):
        os.mkdir(self.path("T"))
        os.chown(self.path("T"), 65534, 65534)
        # Both mirror folders are T/Data; with -r one would take the other's.
        errs = self.run_while_held(self.path("T"), [("sA/Data", "outA.zip", "T", "-r"),
                                                    ("sB/Data", "outB.zip", "T", "-r")],
                                   lambda: self.assertFalse(os.path.exists(self.path("T/Data"))))
        # The other may wait for the first, at their bundles' folder.
        self.assertTrue(any(self.waiting("T", "TempFolder") in err for err in errs), errs)
        self.assertEqual(sorted(harness.zip_infos(self.path("outA.zip"))),
                         ["Data.zip", "X/", "X/X.zip"])
        self.assertEqual(sorted(harness.zip_infos(self.path("outB.zip"))),
                         ["Data.zip", "Y/", "Y/Y.zip"])
        self.assertEqual(os.listdir(self.path("T")), [])

    def test_mirror_folder_made_while_a_run_waits_is_not_taken(self):
        os.mkdir(self.path("T"))
        os.chown(self.path("T"), 65534, 65534)

        def make_theirs():
            harness.make_files(self.path("T"), {"Data/theirs.txt": b"theirs"})
            for name in ("T/Data", "T/Data/theirs.txt"):
                os.chown(self.path(name), 65534, 65534)
        # Past the checks, a -r run must still refuse a mirror folder that
        # is not its own: it would remove it.
        err, = self.run_while_held(self.path("T"), [("sA/Data", "outA.zip", "T", "-r")],
                                   make_theirs, status=FAILURE)
        self.assertIn(b"the mirror folder already exists and -r would remove it", err)
        self.assertEqual(os.listdir(self.path("T/Data")), ["theirs.txt"])
        self.assertFalse(os.path.exists(self.path("outA.zip")))

    def test_run_inside_another_runs_temp_folder_waits(self):
        os.makedirs(self.path("T/Data"))
        for name in ("T", "T/Data"):
            os.chown(self.path(name), 65534, 65534)
        # As a -r run over T would hold it while it removes T/Data.
        err, = self.run_while_held(
            self.path("T"), [("sB/Data", "outB.zip", "T/Data")],
            lambda: self.assertEqual(os.listdir(self.path("T/Data")), []))
        self.assertIn(self.waiting("T", "a folder above TempFolder"), err)

    def test_runs_writing_one_bundle_take_turns(self):
        # The lock of an update is on the folder that holds the bundle,
        # named in full, not as ".".
        errs = self.run_while_held(self.dir, [("sA/Data", "out.zip", "T1", "-r"),
                                              ("sB/Data", "out.zip", "T2", "-r")],
                                   lambda: self.assertFalse(os.path.exists(self.path("out.zip"))))
        for err in errs:
            self.assertIn(self.waiting("", "the folder of DstFileName and a folder above TempFolder"), err)
        # Both runs' folders; the top archive is the later run's.
        self.assertEqual(sorted(harness.zip_infos(self.path("out.zip"))),
                         ["Data.zip", "X/", "X/X.zip", "Y/", "Y/Y.zip"])

    def test_runs_whose_temp_folder_is_the_others_bundle_folder_both_end(self):
        for name in ("P", "Q"):
            os.mkdir(self.path(name))
            os.chown(self.path(name), 65534, 65534)
        # Each run's TempFolder is the other's bundle folder. Q is let go
        # first, so that one run holds its TempFolder while the other waits
        # for its own: taking them in different orders, they would each
        # hold one and wait for the other about every other time.
        for attempt in range(5):
            held = [os.open(self.path(name), os.O_RDONLY) for name in ("P", "Q")]
            for fd in held:
                fcntl.flock(fd, fcntl.LOCK_EX)
            runs = [self.trevask("sA/Data", "Q/a.zip", "P", "-r"),
                    self.trevask("sB/Data", "P/b.zip", "Q", "-r")]
            time.sleep(0.5)
            os.close(held[1])
            time.sleep(0.3)
            os.close(held[0])
            for proc in runs:
                try:
                    out, err = proc.communicate(timeout=30)
                except subprocess.TimeoutExpired:
                    for p in runs:
                        p.kill()
                    self.fail("the runs wait for each other (attempt %d)" % attempt)
                self.assertEqual(proc.returncode, 0, err)
            self.assertIn("X/X.zip", harness.zip_infos(self.path("Q/a.zip")))
            self.assertIn("Y/Y.zip", harness.zip_infos(self.path("P/b.zip")))


@unittest.skipUnless(harness.WINDOWS and os.path.isdir("/tmp") and os.stat("/tmp").st_mode & 0o002,
                     "Wine's view of a folder every user can write")
class WindowsAccessTest(harness.ScratchTest):
    def test_folder_everyone_can_change_is_refused(self):
        # Wine has no sticky bit: /tmp shows as writable by Everyone, as a
        # folder made under C:\ is writable by all authenticated users.
        import tempfile
        scratch = tempfile.mkdtemp(prefix="trevask-acl-", dir="/tmp")
        self.addCleanup(__import__("shutil").rmtree, scratch, True)
        harness.make_files(scratch, {"src/Data/a.txt": b"a"})
        before = snapshot(scratch)
        result = harness.run("trevask", ["src\\Data", "out.zip", harness.target_path(scratch + "/T")],
                             scratch, env_path=harness.search_path(harness.BIN_DIR))
        self.assertEqual(result.returncode, FAILURE, result.stderr)
        self.assertIn(b"TempFolder is not safe", result.stderr)
        self.assertIn(b"Everyone", result.stderr)
        self.assertEqual(snapshot(scratch), before)


if __name__ == "__main__":
    unittest.main()
