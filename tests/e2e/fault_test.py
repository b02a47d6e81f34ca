"""Faults: failing, killed and missing archivers, folders that cannot be
made or written, a source that changes during the walk. After each: exit
status -1, the fixed message once per failed run, and nothing changed but
the mirror folder and the bundle."""
import io
import os
import random
import shutil
import tempfile
import unittest
import zipfile

import harness
from harness import FAILURE, native, run, search_path, snapshot, target_path

MESSAGE = b"PKZIP Compress Error!"

# Data has files and the subfolders A (files only) and B (files and X).
# Recorded runs: 1 B.zip, 2 X.zip, 3 Data.zip, 4 A.zip, 5 the bundle.
TREE = {
    "src/Data/d.txt": b"d" * 100,
    "src/Data/A/a.txt": b"a" * 100,
    "src/Data/B/b.txt": b"b" * 100,
    "src/Data/B/X/x.txt": b"x" * 100,
}


class FaultTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        if not harness.RECORDER_DIR:
            raise unittest.SkipTest("TREVASK_RECORDER_DIR is not set")
        harness.make_files(self.dir, TREE)
        logs = tempfile.mkdtemp(prefix="trevask-log-")
        self.addCleanup(shutil.rmtree, logs, True)
        self.log = os.path.join(logs, "record.log")

    def recorded(self, args, **env):
        extra = {"TREVASK_RECORD_LOG": target_path(self.log)}
        extra.update({"TREVASK_RECORD_" + k: v for k, v in env.items()})
        return run("trevask", [native(a) for a in args], self.dir,
                   env_path=search_path(harness.RECORDER_DIR), extra_env=extra)

    def real(self, args, **kw):
        return self.trevask(*args, **kw)

    def assert_only_changed(self, before, after, allowed=("T/Data/", "Out.zip")):
        for path in set(before) | set(after):
            if before.get(path, "absent") != after.get(path, "absent"):
                # TempFolder itself is made to hold the mirror folder.
                ok = path.startswith(allowed) or path == "T/"
                self.assertTrue(ok, "changed outside: " + path)

    def assert_failed(self, result, failures):
        self.assertEqual(result.returncode, FAILURE, result.stdout + result.stderr)
        self.assertEqual(result.stdout.count(MESSAGE), failures, result.stdout)

    def test_archiver_failing_at_first_middle_and_last_run(self):
        source = snapshot(self.path("src"))
        for failing_run in ("1", "3", "5"):
            with self.subTest(run=failing_run):
                before = snapshot(self.dir)
                result = self.recorded(["src/Data", "Out.zip", "T", "-r"],
                                       FAIL_RUN=failing_run, FAIL_STATUS="7")
                self.assert_failed(result, 1)
                # A failure keeps the mirror tree even with -r.
                self.assertTrue(os.path.isdir(self.path("T/Data/B/X")))
                self.assert_only_changed(before, snapshot(self.dir))
                os.remove(self.log)
                shutil.rmtree(self.path("T"))
        self.assertEqual(snapshot(self.path("src")), source)

    def test_archiver_killed_by_a_signal(self):
        before = snapshot(self.dir)
        result = self.recorded(["src/Data", "Out.zip", "T", "-r"], FAIL_RUN="2", FAIL_KILL="1")
        self.assert_failed(result, 1)
        self.assertTrue(os.path.exists(self.path("Out.zip")))
        self.assert_only_changed(before, snapshot(self.dir))

    def test_archiver_missing(self):
        before = snapshot(self.dir)
        empty = tempfile.mkdtemp(prefix="trevask-empty-")
        self.addCleanup(shutil.rmtree, empty, True)
        # Only the empty folder: whatever the host has installed elsewhere.
        path = harness.target_path(empty) if harness.EMULATOR else empty
        result = run("trevask", [native("src/Data"), "Out.zip", "T", "-r"], self.dir,
                     env_path=path)
        # One failed archiver run and nothing more started, on POSIX before
        # anything is made.
        self.assert_failed(result, 1)
        self.assertEqual(result.stderr.count(b"was not found; put it on PATH"), 1)
        self.assert_only_changed(before, snapshot(self.dir))
        self.assertEqual(os.path.exists(self.path("T")), harness.WINDOWS)

    def test_temp_folder_cannot_be_made(self):
        harness.make_files(self.dir, {"file.txt": b"in the way"})
        before = snapshot(self.dir)
        result = self.real(["src/Data", "Out.zip", "file.txt/T"])
        # Refused with the system's own reason before anything runs.
        self.assert_failed(result, 0)
        self.assertIn(b"cannot make the folder file.txt: it exists and is not a folder",
                      result.stderr)
        self.assertEqual(snapshot(self.dir), before)

    def test_destination_cannot_be_written(self):
        before = snapshot(self.dir)
        result = self.real(["src/Data", "nowhere/Out.zip", "T", "-r"])
        # Refused before the walk, which would be wasted.
        self.assert_failed(result, 0)
        self.assertIn(b"the folder of DstFileName does not exist", result.stderr)
        self.assertEqual(snapshot(self.dir), before)

    @unittest.skipIf(harness.WINDOWS, "POSIX file size limit")
    def test_existing_bundle_is_never_left_half_written(self):
        self.assertEqual(self.real(["src/Data", "Out.zip", "T", "-r"]).returncode, 0)
        harness.make_files(self.dir, {"src/Data/A/r1.bin": os.urandom(40000),
                                      "src/Data/B/X/r2.bin": os.urandom(40000)})
        before = snapshot(self.dir)

        def small_file_limit():
            # Each folder archive fits; the bundle, holding both, does not.
            import resource
            import signal
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))

        result = self.real(["src/Data", "Out.zip", "T", "-r"], preexec_fn=small_file_limit)
        self.assert_failed(result, 1)
        after = snapshot(self.dir)
        self.assertEqual(after["Out.zip"], before["Out.zip"])
        self.assert_only_changed(before, after, allowed=("T/Data/",))

    def test_source_changing_during_the_walk(self):
        before = snapshot(self.dir)
        # At the first run, within B's walk: A, listed but not yet archived,
        # goes away and a new folder appears in B, which was listed already.
        result = self.recorded(["src/Data", "Out.zip", "T", "-r"], CHANGE_RUN="1",
                               RMTREE=target_path(self.path("src/Data/A")),
                               MKDIR=target_path(self.path("src/Data/B/New/Deep")))
        self.assert_failed(result, 1)
        after = snapshot(self.dir)
        for path in list(before):
            if path.startswith("src/Data/A/"):
                del before[path]
        before.update({"src/Data/B/New/": None, "src/Data/B/New/Deep/": None})
        self.assert_only_changed(before, after)
        self.assertNotIn("T/Data/B/New/", after)

    def test_failed_folder_keeps_the_bundles_copy(self):
        garbage = b"garbage!"
        # Each row: what is done after a good run (or before the first), the
        # member whose copy stays (in a new bundle: is absent), the words of
        # the archiver, the options.
        def damage(rel):
            return lambda: harness.make_files(self.dir, {rel: garbage})

        # A name escaped in the list: '%' (which cmd.exe would expand) or '+',
        # bytes beyond ASCII, a line end where the platform has them.
        odd = "W+41 \u00e4" if harness.WINDOWS else "W%41 \u00e4\n"
        odd_member = odd + "/" + odd + ".zip"
        # r.bin does not deflate: it is stored.
        tree = dict(TREE, **{"src/Data/" + odd + "/o.txt": b"o",
                             "src/Data/B/X/r.bin": random.Random(7).randbytes(3000)})

        def gone_and_damaged():
            shutil.rmtree(self.path("src/Data/B/X"))
            damage("T/Data/B/X/X.zip")()

        damaged = {}  # the mirror's archives flipped, left as they are

        def flip(archive, name, method):
            # One byte of the member's data, in the mirror's archive alone.
            path = self.path(archive)
            data = bytearray(harness.read_bytes(path))
            self.assertEqual(harness.zip_infos(path)[name].compress_type, method)
            data[harness.data_range(bytes(data), name)[0]] ^= 0x55
            harness.make_files(self.dir, {archive: bytes(data)})
            damaged[archive] = bytes(data)

        def gone_file_damaged():
            os.remove(self.path("src/Data/A/a.txt"))
            flip("T/Data/A/A.zip", "a.txt", zipfile.ZIP_DEFLATED)

        def gone_folder_member_damaged():
            shutil.rmtree(self.path("src/Data/B/X"))
            flip("T/Data/B/X/X.zip", "r.bin", zipfile.ZIP_STORED)

        def gone_folder_renamed():
            # The directory's name of r.bin, its last mention, no longer the header's.
            shutil.rmtree(self.path("src/Data/B/X"))
            path = self.path("T/Data/B/X/X.zip")
            data = bytearray(harness.read_bytes(path))
            data[data.rindex(b"r.bin")] ^= 0x01
            harness.make_files(self.dir, {"T/Data/B/X/X.zip": bytes(data)})
            damaged["T/Data/B/X/X.zip"] = bytes(data)

        def unreadable():
            os.chmod(self.path("src/Data/A/a.txt"), 0)

        rows = [
            ("own archive", True, damage("T/Data/B/B.zip"), "B/B.zip",
             b"kept the bundle's copy of B/B.zip: its archive run failed"),
            ("leaf", True, damage("T/Data/A/A.zip"), "A/A.zip",
             b"kept the bundle's copy of A/A.zip: its archive run failed"),
            ("damaged kept", True, gone_and_damaged, "B/X/X.zip",
             b"kept the bundle's copy of B/X/X.zip: it does not read as a zip"),
            # A member kept though its file is gone is checked by its
            # archiver, a kept archive's every member by trevask.
            ("damaged gone file", True, gone_file_damaged, "A/A.zip",
             (b"its member a.txt is damaged (",
              b"kept the bundle's copy of A/A.zip: its archive run failed")),
            ("damaged member kept", True, gone_folder_member_damaged, "B/X/X.zip",
             (b"holds a damaged member r.bin (CRC mismatch)",
              b"kept the bundle's copy of B/X/X.zip: a member of it is damaged")),
            ("renamed in its directory", True, gone_folder_renamed, "B/X/X.zip",
             (b"its local header names another file",
              b"kept the bundle's copy of B/X/X.zip: it does not read as a zip")),
            ("escaped name", True, damage("T/Data/" + odd_member), odd_member,
             ("kept the bundle's copy of %s: its archive run failed" % odd_member).encode()),
            ("new bundle", False, damage("T/Data/A/A.zip"), "A/A.zip",
             b"not added: A/A.zip: its archive run failed, and the bundle holds no earlier copy"),
            # With -r, a file the archiver cannot read, as a user who may not;
            # last, as the tree is then that user's.
            ("-r", True, unreadable, "A/A.zip",
             b"kept the bundle's copy of A/A.zip: its archive run failed", ["-r"]),
        ]
        # No archiver run fails: the archive is kept whole.
        kept_whole = ("damaged kept", "damaged member kept", "renamed in its directory")
        for name, first_run, fault, member, words, *options in rows:
            for kind in ([], ["-w"]):
                with self.subTest(row=name, kind=kind):
                    damaged.clear()
                    shutil.rmtree(self.path("src"), True)
                    shutil.rmtree(self.path("T"), True)
                    harness.make_files(self.dir, tree)
                    if os.path.exists(self.path("Out.zip")):
                        os.remove(self.path("Out.zip"))
                    args = ["src/Data", "Out.zip", "T"] + kind + sum(options, [])
                    old = {}
                    drop = harness.unprivileged(self, self.dir) if options else None
                    if first_run:
                        self.assertEqual(self.real(args, preexec_fn=drop).returncode, 0)
                        old = harness.zip_infos(self.path("Out.zip"))
                        with zipfile.ZipFile(self.path("Out.zip")) as z:
                            kept = z.read(member)
                    fault()
                    harness.make_files(self.dir, {"src/Data/d.txt": b"newer"})
                    result = self.real(args, preexec_fn=drop)
                    self.assert_failed(result, 0 if name in kept_whole else 1)
                    self.assertTrue(os.path.isdir(self.path("T/Data")))
                    with zipfile.ZipFile(self.path("Out.zip")) as z:
                        names = z.namelist()
                        if first_run:
                            self.assertEqual(z.read(member), kept)
                        else:
                            self.assertNotIn(member, names)
                        # The others are updated.
                        data = zipfile.ZipFile(io.BytesIO(z.read("Data.zip")))
                        self.assertEqual(data.read("d.txt"), b"newer")
                    # Nothing else is lost or added; a new bundle has the others.
                    if first_run:
                        self.assertEqual(set(names), set(old))
                    else:
                        self.assertLessEqual({"Data.zip", "B/B.zip", "B/X/X.zip"}, set(names))
                    for line in words if isinstance(words, tuple) else (words,):
                        self.assertIn(line, result.stderr)
                    for archive, data in damaged.items():
                        self.assertEqual(harness.read_bytes(self.path(archive)), data)

    def test_keep_list_over_one_variable_refuses_the_bundle_step(self):
        self.assertEqual(self.real(["src/Data", "Out.zip", "T"]).returncode, 0)
        bundle = harness.read_bytes(self.path("Out.zip"))
        # Folders gone from the source, each kept archive damaged: escaped,
        # their list is over 32,767 characters (Windows) or 128 KiB (Linux).
        count, length = (80, 40) if harness.WINDOWS else (100, 120)
        for i in range(count):
            name = "%03d" % i + "\u00e4" * length
            harness.make_files(self.dir, {"T/Data/%s/%s.zip" % (name, name): b"garbage!"})
        result = self.real(["src/Data", "Out.zip", "T"])
        self.assert_failed(result, 0)
        self.assertIn(b"for one environment variable; the bundle step is not run", result.stderr)
        self.assertEqual(harness.read_bytes(self.path("Out.zip")), bundle)
        self.assertTrue(os.path.isdir(self.path("T/Data/000" + "\u00e4" * length)))


if __name__ == "__main__":
    unittest.main()
