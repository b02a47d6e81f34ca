"""The stand-in archivers PKZIP.EXE and PKZIPC.EXE, read back by zipfile."""
import itertools
import os
import random
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time
import unittest
import zipfile
import zlib

import harness
from harness import as_user, native, read_bytes, read_zip, run, zip_infos

SYNTAX = {
    "PKZIP.EXE": (["-a"], ["-a", "-rp"]),
    "PKZIPC.EXE": (["-add"], ["-add", "-recurse"]),
}

TREE = {
    "src/a.txt": b"alpha\n",
    "src/noext": b"no dot in this name",
    "src/.hidden": b"hidden",
    "src/sub/s.txt": b"deeper",
    "src/sub/inner/i.txt": b"deepest",
    "src/empty/": None,
}


def same_crc(data, prefix):
    """data of the same length and CRC-32 but starting with prefix: its last
    four bytes solved for, CRC-32 being affine over GF(2)."""
    body = prefix + data[len(prefix):-4]
    zero = zlib.crc32(body + bytes(4))
    rows = []  # (column, bit) pairs, reduced as they come
    for bit in range(32):
        x = (1 << bit).to_bytes(4, "little")
        rows.append([zlib.crc32(body + x) ^ zero, 1 << bit])
    want, pick = zlib.crc32(data) ^ zero, 0
    for k in range(32):
        pivot = next(r for r in rows if r[0] >> k & 1)
        rows.remove(pivot)
        for r in rows:
            if r[0] >> k & 1:
                r[0] ^= pivot[0]
                r[1] ^= pivot[1]
        if want >> k & 1:
            want ^= pivot[0]
            pick ^= pivot[1]
    forged = body + pick.to_bytes(4, "little")
    assert zlib.crc32(forged) == zlib.crc32(data) and forged != data
    return forged


class ArchiverTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        harness.make_files(self.dir, TREE)

    def archive(self, name, options, archive, folder, threads=None, **kw):
        extra = {} if threads is None else {"TREVASK_THREADS": str(threads)}
        return run(name, options + [native(archive), native(folder) + harness.SEP + "*.*"],
                   self.dir, extra_env=extra, **kw)

    def test_folder_syntax_adds_only_the_folders_own_files(self):
        for name, (single, _) in SYNTAX.items():
            with self.subTest(name):
                result = self.archive(name, single, name + ".zip", "src")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(read_zip(self.path(name + ".zip")), {
                    "a.txt": b"alpha\n", "noext": b"no dot in this name",
                    ".hidden": b"hidden"})
                # One short progress line per archive.
                self.assertEqual(result.stdout.count(b"\n"), 1)
                self.assertIn(b"3 files", result.stdout)

    def test_an_update_keeps_what_is_unchanged_and_rewrites_only_for_a_change(self):
        text = b"".join(b"line %d of a file that deflates\n" % i for i in range(400))
        noise = os.urandom(300000)  # compared a piece at a time
        t = 1600000000  # even, as the header's time holds it
        late = 2300000000  # beyond the extended timestamp's 32 bits

        def put_back(path, data, at=0):
            with open(path, "r+b") as f:
                f.seek(at)
                f.write(data)
            os.utime(path, (t, t))

        # (what changes, the change, member bytes after, rewritten, line says)
        cases = [
            ("nothing", lambda u: None, {}, False, b", 2 unchanged, archive not rewritten"),
            ("bytes, size and time put back", lambda u: put_back(u + "/a.txt", b"LINE"),
             {"a.txt": b"LINE" + text[4:]}, True, b", 1 unchanged"),
            ("bytes, size, time and CRC-32 put back",
             lambda u: put_back(u + "/a.txt", same_crc(text, b"FORGED")),
             {"a.txt": same_crc(text, b"FORGED")}, True, b", 1 unchanged"),
            ("bytes deep in a large file, size and time put back",
             lambda u: put_back(u + "/b.bin", b"DEEP", 200000),
             {"b.bin": noise[:200000] + b"DEEP" + noise[200004:]}, True, b", 1 unchanged"),
            ("time only", lambda u: os.utime(u + "/b.bin", (t + 4, t + 4)), {}, True,
             b", 2 unchanged"),
            ("time beyond 2038", lambda u: os.utime(u + "/b.bin", (late, late)), {}, True,
             b", 2 unchanged"),
            ("a file added", lambda u: harness.make_files(u, {"c.txt": b"new"}),
             {"c.txt": b"new"}, True,
             b"3 files, %d bytes in" % (len(text) + len(noise) + 3)),
            # Its member is marked as kept though gone: a change, once.
            ("a file removed", lambda u: os.remove(u + "/b.bin"), {}, True,
             b", 1 unchanged, 1 kept though gone from the folder"),
        ]
        if not harness.WINDOWS:
            cases.append(("mode only", lambda u: os.chmod(u + "/a.txt", 0o600), {}, True,
                          b", 2 unchanged"))
        for name, (single, _) in SYNTAX.items():
            for what, change, after, rewritten, said in cases:
                with self.subTest(name=name, changed=what):
                    folder = self.path("u")
                    shutil.rmtree(folder, True)
                    harness.make_files(folder, {"a.txt": text, "b.bin": noise})
                    for f in ("a.txt", "b.bin"):
                        os.utime(os.path.join(folder, f), (t, t))
                    archive = self.path("u.zip")
                    if os.path.exists(archive):
                        os.remove(archive)
                    self.assertEqual(self.archive(name, single, "u.zip", "u").returncode, 0)
                    before = os.stat(archive)
                    change(folder)
                    result = self.archive(name, single, "u.zip", "u")
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertIn(said, result.stdout)
                    self.assertEqual(b"not rewritten" in result.stdout, not rewritten)
                    # A file gone from the folder stays in the archive.
                    expected = dict({"a.txt": text, "b.bin": noise}, **after)
                    self.assertEqual(read_zip(archive), expected)
                    now = os.stat(archive)
                    same = (now.st_ino, now.st_mtime_ns, now.st_ctime_ns) == (
                        before.st_ino, before.st_mtime_ns, before.st_ctime_ns)
                    self.assertEqual(same, not rewritten)
                    infos = zip_infos(archive)
                    b_time = {"time only": t + 4, "time beyond 2038": late}.get(what, t)
                    self.assertEqual(infos["b.bin"].date_time, time.localtime(b_time)[:6])
                    # No exact time but the file's own stays behind.
                    self.assertEqual(b"UT\x05\x00" in infos["b.bin"].extra, b_time != late)
                    self.assertEqual(b"TV\x00\x00" in infos["b.bin"].extra,
                                     what == "a file removed")
                    again = self.archive(name, single, "u.zip", "u")
                    self.assertIn(b"archive not rewritten", again.stdout, what)
                    if what == "mode only":
                        self.assertEqual(infos["a.txt"].external_attr >> 16 & 0o7777, 0o600)

    def test_recursive_syntax_adds_everything_beneath(self):
        for name, (_, recursive) in SYNTAX.items():
            with self.subTest(name):
                result = self.archive(name, recursive, name + ".zip", "src")
                self.assertEqual(result.returncode, 0, result.stderr)
                members = read_zip(self.path(name + ".zip"))
                self.assertEqual(sorted(members), [
                    ".hidden", "a.txt", "empty/", "noext", "sub/",
                    "sub/inner/", "sub/inner/i.txt", "sub/s.txt"])
                self.assertEqual(members["sub/inner/i.txt"], b"deepest")

    def test_each_program_refuses_anything_but_its_own_syntax(self):
        bad = {
            "PKZIP.EXE": [["-add", "x.zip", "src/*.*"], ["-a", "-recurse", "x.zip", "src/*.*"],
                          ["-a", "x.zip"], ["-a"], [], ["-a", "x.zip", "src/*"],
                          ["-a", "x.zip", "src"], ["-a", "x.zip", "src/*.*", "extra"],
                          ["-a", "-rp", "-rp", "x.zip", "src/*.*"], ["-A", "x.zip", "src/*.*"]],
            "PKZIPC.EXE": [["-a", "x.zip", "src/*.*"], ["-add", "-rp", "x.zip", "src/*.*"],
                           ["-add", "x.zip"], ["-add", "x.zip", "src/*.txt"],
                           ["-add", "-recurse", "x.zip", "src/*.*", "more"]],
        }
        for name, cases in bad.items():
            for args in cases:
                with self.subTest(name=name, args=args):
                    result = run(name, [native(a) for a in args], self.dir)
                    self.assertEqual(result.returncode, 2)
                    self.assertIn(b"usage:", result.stderr)
                    self.assertFalse(os.path.exists(self.path("x.zip")))

    def test_the_name_it_is_started_by_chooses_the_syntax_and_counts_agree(self):
        harness.make_files(self.dir, {"one/x": b"x", "two/a": b"aa", "two/b": b"bb"})
        ext = ".exe" if harness.WINDOWS else ""
        # (started as, options, folder, status, the whole line it writes)
        cases = [
            ("PKZIP.EXE", ["-a"], "one", 0, rb"PKZIP\.EXE: %s: 1 file, 1 byte in, \d+ bytes out"),
            ("pkzipc" + ext, ["-add"], "two", 0, rb"PKZIPC\.EXE: %s: 2 files, 4 bytes in, \d+ bytes out"),
            ("PKZIPC.EXE", ["-add"], "src/empty", 0, rb"PKZIPC\.EXE: %s: 0 files, 0 bytes in, 22 bytes out"),
            ("Pkzip.Exe", ["-add"], "one", 2, rb"PKZIP\.EXE: the first argument must be -a"),
            ("zip" + ext, ["-a"], "one", 2, b"zip" + ext.encode() + rb": not a name this archiver "
             rb"knows: its syntax comes from the name it is started by, PKZIP\.EXE or PKZIPC\.EXE "
             rb"\(a link or a copy under either name\)"),
        ]
        for n, (started_as, options, folder, status, line) in enumerate(cases):
            with self.subTest(started_as=started_as, options=options):
                binary = os.path.join(harness.BIN_DIR, started_as)
                if not os.path.exists(binary):
                    binary = self.path(started_as)
                    shutil.copy(harness.program("PKZIP.EXE"), binary)
                archive = "%d.zip" % n
                result = self.archive(binary, options, archive, folder)
                self.assertEqual(result.returncode, status, result.stderr)
                said = (result.stdout if status == 0 else result.stderr).splitlines()[0]
                self.assertRegex(said, b"^" + line.replace(b"%s", archive.encode()) + b"$")
                self.assertEqual(os.path.exists(self.path(archive)), status == 0)
                if status == 0:
                    # The length the archiver wrote is the file's.
                    out = int(re.search(rb"(\d+) bytes out", said).group(1))
                    self.assertEqual(out, os.path.getsize(self.path(archive)))

    def test_existing_archive_is_updated_not_replaced(self):
        harness.make_files(self.dir, {"other/a.txt": b"new alpha", "other/b.txt": b"bee"})
        self.assertEqual(self.archive("PKZIP.EXE", ["-a"], "out.zip", "src").returncode, 0)
        self.assertEqual(self.archive("PKZIP.EXE", ["-a"], "out.zip", "other").returncode, 0)
        members = read_zip(self.path("out.zip"))
        self.assertEqual(members["a.txt"], b"new alpha")
        self.assertEqual(members["b.txt"], b"bee")
        self.assertEqual(members["noext"], b"no dot in this name")
        self.assertEqual(len(members), 4)

    @unittest.skipIf(harness.WINDOWS or os.geteuid() == 0,
                     "needs a file its user cannot read")
    def test_failed_run_leaves_existing_archive_untouched(self):
        self.assertEqual(self.archive("PKZIP.EXE", ["-a"], "out.zip", "src").returncode, 0)
        before = read_bytes(self.path("out.zip"))
        os.chmod(self.path("src/sub/s.txt"), 0)
        result = self.archive("PKZIP.EXE", ["-a"], "out.zip", "src/sub")
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(read_bytes(self.path("out.zip")), before)

    @unittest.skipIf(harness.WINDOWS, "POSIX file size limit")
    def test_failed_write_keeps_existing_archive_and_leaves_no_temp_file(self):
        self.assertEqual(self.archive("PKZIP.EXE", ["-a"], "out.zip", "src").returncode, 0)
        before = read_bytes(self.path("out.zip"))
        harness.make_files(self.dir, {"big/random.bin": os.urandom(256 * 1024)})

        def small_file_limit():
            # Writes past 64 KiB fail with EFBIG (the archiver ignores
            # SIGXFSZ), as on a full disk.
            import resource
            resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))

        result = run("PKZIP.EXE", ["-a", "out.zip", "big/*.*"], self.dir,
                     preexec_fn=small_file_limit)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"cannot write out.zip", result.stderr)
        self.assertEqual(read_bytes(self.path("out.zip")), before)
        self.assertEqual(sorted(os.listdir(self.dir)), ["big", "out.zip", "src"])

    def test_unreadable_folder_or_archive_fails_cleanly(self):
        self.assertEqual(self.archive("PKZIP.EXE", ["-a"], "out.zip", "src").returncode, 0)
        before = read_bytes(self.path("out.zip"))
        listing = sorted(os.listdir(self.dir))
        # A missing folder, and an archive path that is not a zip file.
        result = self.archive("PKZIP.EXE", ["-a"], "out.zip", "missing")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"no such folder", result.stderr)
        result = self.archive("PKZIP.EXE", ["-a"], "src/a.txt", "src/sub")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(read_bytes(self.path("src/a.txt")), b"alpha\n")
        # A folder that does not exist for the archive.
        result = self.archive("PKZIP.EXE", ["-a"], "nowhere/out.zip", "src")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(read_bytes(self.path("out.zip")), before)
        self.assertEqual(sorted(os.listdir(self.dir)), listing)

    def test_failed_write_leaves_no_partial_file(self):
        os.makedirs(self.path("full"))
        # A folder in the way of the archive name cannot be replaced by it.
        os.makedirs(self.path("full/out.zip"))
        result = self.archive("PKZIP.EXE", ["-a"], "full/out.zip", "src")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(os.listdir(self.path("full")), ["out.zip"])
        self.assertEqual(os.listdir(self.path("full/out.zip")), [])

    def test_empty_folder_gives_a_valid_empty_archive(self):
        for name, (single, _) in SYNTAX.items():
            with self.subTest(name):
                result = self.archive(name, single, name + ".zip", "src/empty")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(read_zip(self.path(name + ".zip")), {})
        # A folder of subfolders only has no files of its own.
        result = self.archive("PKZIP.EXE", ["-a"], "sub.zip", "src/sub")
        self.assertEqual(read_zip(self.path("sub.zip")), {"s.txt": b"deeper"})

    def test_names_with_spaces_and_non_ascii(self):
        names = ["with space.txt", "résumé.txt", "日本語.txt"]
        harness.make_files(self.dir, {"names/" + n: n.encode() for n in names})
        result = self.archive("PKZIPC.EXE", ["-add"], "names.zip", "names")
        self.assertEqual(result.returncode, 0, result.stderr)
        infos = zip_infos(self.path("names.zip"))
        self.assertEqual(sorted(infos), sorted(names))
        self.assertFalse(infos["with space.txt"].flag_bits & 0x800)
        self.assertTrue(infos["résumé.txt"].flag_bits & 0x800)
        self.assertEqual(read_zip(self.path("names.zip"))["日本語.txt"], "日本語.txt".encode())

    @unittest.skipIf(harness.WINDOWS, "names that are not UTF-8")
    def test_names_that_are_not_utf8_are_kept_apart_from_their_cp437_reading(self):
        harness.make_files(self.dir, {"one/\udc80.txt": b"A", "one/Ç.txt": b"B",
                                      "a/\udc80.txt": b"A", "b/Ç.txt": b"B",
                                      "t/\udc80/f.txt": b"F"})
        both = {b"\x80.txt": b"A", "Ç.txt".encode(): b"B"}  # "\x80" read as CP437 is "Ç"
        cases = [  # runs of (folder, recursive), {raw name: data}
            ([("one", False)], both), ([("a", False), ("b", False)], both),
            ([("b", False), ("a", False)], both),
            ([("t", True)] * 2, {b"\x80/": b"", b"\x80/f.txt": b"F"}),
        ]
        for (name, options), (runs, expected) in itertools.product(SYNTAX.items(), cases):
            with self.subTest(name=name, runs=runs):
                if os.path.exists(self.path("x.zip")):
                    os.remove(self.path("x.zip"))
                for folder, recursive in runs:
                    result = self.archive(name, options[recursive], "x.zip", folder, timeout=60)
                    self.assertEqual(result.returncode, 0, result.stderr)
                with zipfile.ZipFile(self.path("x.zip")) as z:  # CP437 unless flagged UTF-8
                    raw = [(i.orig_filename.encode("utf-8" if i.flag_bits & 0x800 else "cp437"),
                            z.read(i), i.flag_bits & 0x800 != 0) for i in z.infolist()]
                self.assertEqual(sorted(raw),
                                 sorted((n, d, n[0] == 0xc3) for n, d in expected.items()))

    def test_archives_are_stored_and_other_files_deflated(self):
        self.assertEqual(self.archive("PKZIP.EXE", ["-a"], "inner.zip", "src").returncode, 0)
        harness.make_files(self.dir, {"outer/text.txt": b"compress me " * 1000})
        os.replace(self.path("inner.zip"), self.path("outer/inner.ZIP"))
        self.assertEqual(self.archive("PKZIP.EXE", ["-a"], "outer.zip", "outer").returncode, 0)
        infos = zip_infos(self.path("outer.zip"))
        self.assertEqual(infos["inner.ZIP"].compress_type, 0)
        self.assertEqual(infos["text.txt"].compress_type, 8)
        self.assertLess(infos["text.txt"].compress_size, 200)
        self.assertEqual(read_zip(self.path("outer.zip"))["inner.ZIP"],
                         read_bytes(self.path("outer/inner.ZIP")))

    def test_modification_times_are_kept(self):
        when = 1262304000 + 3600 * 5 + 62  # 2010-01-01 05:01:02
        os.utime(self.path("src/a.txt"), (when, when))
        self.assertEqual(self.archive("PKZIP.EXE", ["-a"], "t.zip", "src").returncode, 0)
        import time
        expected = time.localtime(when)[:6]
        self.assertEqual(zip_infos(self.path("t.zip"))["a.txt"].date_time, expected)

    def test_unix_modes_are_recorded_with_the_unix_host(self):
        if harness.WINDOWS:
            self.skipTest("POSIX modes")
        modes = {"a.txt": 0o755, "noext": 0o640, ".hidden": 0o600}
        for name, mode in modes.items():
            os.chmod(self.path("src/" + name), mode)
        for name, (single, _) in SYNTAX.items():
            with self.subTest(name):
                self.assertEqual(self.archive(name, single, name + ".zip", "src").returncode, 0)
                for info in zip_infos(self.path(name + ".zip")).values():
                    self.assertEqual(info.create_system, 3)
                    self.assertEqual(info.external_attr >> 16,
                                     stat.S_IFREG | modes[info.filename])

    def test_archive_is_never_added_to_itself(self):
        result = self.archive("PKZIP.EXE", ["-a"], "src/self.zip", "src")
        self.assertEqual(result.returncode, 0, result.stderr)
        result = self.archive("PKZIP.EXE", ["-a", "-rp"], "src/self.zip", "src")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("self.zip", read_zip(self.path("src/self.zip")))

    @unittest.skipIf(harness.WINDOWS, "POSIX links and special files")
    def test_links_to_folders_and_special_files_are_skipped(self):
        os.symlink(self.dir, self.path("src/sub/loop"))
        os.symlink("a.txt", self.path("src/link.txt"))
        os.mkfifo(self.path("src/fifo"))
        os.symlink("missing", self.path("src/sub/dangling"))
        # Recursive: the rest is written, but the run says something was left
        # out (18, as Info-ZIP's zip); a folder archive warns and passes.
        for name, (single, recursive) in SYNTAX.items():
            for options, status in [(recursive, 18), (single, 0)]:
                with self.subTest(name=name, options=options):
                    result = self.archive(name, options, "l.zip", "src")
                    self.assertEqual(result.returncode, status, result.stderr)
                    self.assertIn(b"files", result.stdout)
                    members = read_zip(self.path("l.zip"))
                    os.remove(self.path("l.zip"))
                    self.assertEqual(members["link.txt"], b"alpha\n")
                    self.assertEqual(members["a.txt"], b"alpha\n")
                    self.assertFalse(any(n.startswith("sub/loop") or "dangling" in n or
                                         "fifo" in n for n in members))
                    self.assertIn(b"fifo", result.stderr)
                    self.assertEqual("sub/s.txt" in members, status == 18)

    @unittest.skipIf(harness.WINDOWS, "POSIX signals")
    def test_a_closed_pipe_on_stdout_ends_the_run_by_sigpipe(self):
        # `trevask ... | head -1`: the archive is whole or untouched, never partial.
        for ignored in (False, True):
            with self.subTest(sigpipe_ignored=ignored):
                read_end, write_end = os.pipe()
                os.close(read_end)
                setup = (lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN)) if ignored \
                    else (lambda: signal.signal(signal.SIGPIPE, signal.SIG_DFL))
                command = harness.command("PKZIP.EXE", ["-a", "p.zip", native("src/*.*")])
                try:
                    done = subprocess.run(command, cwd=self.dir, stdout=write_end,
                                          stderr=subprocess.DEVNULL, preexec_fn=setup,
                                          timeout=60)
                finally:
                    os.close(write_end)
                self.assertEqual(done.returncode, -signal.SIGPIPE)
                self.assertEqual(sorted(read_zip(self.path("p.zip"))),
                                 [".hidden", "a.txt", "noext"])
                self.assertFalse([n for n in os.listdir(self.dir) if n.startswith(".pkz-")])
                os.remove(self.path("p.zip"))


def text(size, seed):
    """Compressible, but not trivially: words drawn at random."""
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"abcdefghijklmnop") for _ in range(rng.randint(2, 9)))
             for _ in range(3000)]
    out = bytearray()
    while len(out) < size:
        out += b" ".join(rng.choice(words) for _ in range(12)) + b"\n"
    return bytes(out[:size])


def wait_for_new_archive(pid, folder, seconds=20):
    """Until process pid writes its new archive: any file of folder but
    out.zip, unnamed on Linux."""
    deadline = time.time() + seconds
    fds = "/proc/%d/fd/" % pid
    def target(fd):
        try:
            return os.readlink(fds + fd)
        except FileNotFoundError:  # closed since it was listed
            return ""
    while time.time() < deadline:
        names = [target(fd) for fd in os.listdir(fds)]
        if any(os.path.dirname(n) == folder and not n.endswith("/out.zip") for n in names):
            return True
        time.sleep(0.002)
    return False


class FastArchiverTest(harness.ScratchTest):
    """Several threads, large files split in pieces: the same archive."""

    def pkzip(self, archive, folder, threads=None, **kw):
        return ArchiverTest.archive(self, "PKZIP.EXE", ["-a"], archive, folder, threads, **kw)

    def test_same_bytes_whatever_the_threads_and_every_member_reads_back(self):
        files = {"m/big.txt": text(20 << 20, 1), "m/random.bin": os.urandom(3 << 20),
                 "m/random-big.bin": os.urandom((8 << 20) + 1),
                 "m/empty": b"", "m/small.txt": b"small " * 50}
        files.update({"m/f%03d.txt" % i: text(5000 + i * 97, i) for i in range(60)})
        harness.make_files(self.dir, files)
        archives = []
        for threads in (0, 1, 3):
            name = "t%d.zip" % threads
            result = self.pkzip(name, "m", threads)
            self.assertEqual(result.returncode, 0, result.stderr)
            archives.append(read_bytes(self.path(name)))
        self.assertEqual(archives[0], archives[1])
        self.assertEqual(archives[0], archives[2])
        self.assertEqual(read_zip(self.path("t0.zip")), {k[2:]: v for k, v in files.items()})
        infos = zip_infos(self.path("t0.zip"))
        # Incompressible, deflated whole or (just over 8 MiB) in pieces: stored.
        for name in ("random.bin", "random-big.bin"):
            self.assertEqual(infos[name].compress_type, 0, name)
            self.assertEqual(infos[name].compress_size, infos[name].file_size, name)
        self.assertEqual(infos["big.txt"].compress_type, 8)
        self.assertLess(infos["big.txt"].compress_size, len(files["m/big.txt"]) * 0.6)
        if shutil.which("unzip") and not harness.WINDOWS:
            check = subprocess.run(["unzip", "-tq", self.path("t0.zip")], capture_output=True)
            self.assertEqual(check.returncode, 0, check.stdout)

    @unittest.skipIf(harness.WINDOWS, "memory read through the host's rusage")
    def test_memory_stays_bounded_on_a_large_file(self):
        harness.make_files(self.dir, {"m/big.txt": text(4 << 20, 2) * 40})  # 160 MiB
        probe = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True,"
                 " stdout=subprocess.DEVNULL); print(resource.getrusage("
                 "resource.RUSAGE_CHILDREN).ru_maxrss)")
        done = subprocess.run([sys.executable, "-c", probe] +
                              harness.command("PKZIP.EXE", ["-a", self.path("big.zip"),
                                                            self.path("m") + "/*.*"]),
                              capture_output=True, check=True)
        self.assertLess(int(done.stdout), 64 * 1024, "peak KiB")
        self.assertEqual(read_zip(self.path("big.zip"))["big.txt"],
                         read_bytes(self.path("m/big.txt")))

    @unittest.skipIf(harness.WINDOWS, "POSIX permissions and /proc")
    def test_unreadable_or_changing_files_fail_and_keep_the_archive(self):
        harness.make_files(self.dir, {"m/a.txt": b"a", "m/b.txt": b"b", "m/sub/s.txt": b"s"})
        self.assertEqual(self.pkzip("out.zip", "m").returncode, 0)
        before = read_bytes(self.path("out.zip"))
        cases = [  # label, spoil, the whole of stderr (a pattern): the reason once
            ("unreadable file", lambda: os.chmod(self.path("m/b.txt"), 0),
             rb"cannot open m/b\.txt: Permission denied"),
            ("folder without search permission", lambda: os.chmod(self.path("m"), 0o644),
             rb"cannot read m/[a-z]+(\.txt)?: Permission denied"),
            # /proc reports a size of 0 for a file that has content.
            ("file that grows while read", lambda: os.symlink("/proc/self/status",
                                                              self.path("m/status")),
             rb"m/status grew while it was read"),
        ]
        for label, spoil, message in cases:
            with self.subTest(label):
                spoil()
                drop = harness.unprivileged(self, self.dir)
                result = self.pkzip("out.zip", "m", preexec_fn=drop, timeout=60)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertRegex(result.stderr, rb"\APKZIP\.EXE: " + message + rb"\n\Z")
                self.assertEqual(read_bytes(self.path("out.zip")), before)
                self.assertEqual(sorted(os.listdir(self.dir)), ["m", "out.zip"])
                os.chmod(self.path("m"), 0o755)
                os.chmod(self.path("m/b.txt"), 0o644)

    @unittest.skipIf(harness.WINDOWS, "POSIX signals")
    def test_interrupted_or_killed_run_leaves_no_file(self):
        harness.make_files(self.dir, {"m/big.txt": text(4 << 20, 3) * 16, "old/o.txt": b"o"})
        self.assertEqual(self.pkzip("out.zip", "old").returncode, 0)
        before = read_bytes(self.path("out.zip"))
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGKILL):
            with self.subTest(sig.name):
                child = harness.start("PKZIP.EXE", ["-a", "out.zip", "m/*.*"], self.dir,
                                      stdout=subprocess.DEVNULL)
                self.assertTrue(wait_for_new_archive(child.pid, self.dir), "never written")
                child.send_signal(sig)
                self.assertEqual(child.wait(timeout=60), -sig)
                self.assertEqual(sorted(os.listdir(self.dir)), ["m", "old", "out.zip"])
                self.assertEqual(read_bytes(self.path("out.zip")), before)

    def test_names_at_the_file_system_limit(self):
        folder, name = "d" * 255, "n" * 251
        harness.make_files(self.dir, {folder + "/" + name + ".txt": b"long"})
        archive = folder + "/" + name + ".zip"
        for _ in range(2):  # made, then updated
            result = self.pkzip(archive, folder)
            self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(read_zip(self.path(archive)), {name + ".txt": b"long"})

    def test_times_outside_the_zip_range_are_clamped_and_kept_exactly(self):
        def local(*when):
            return int(time.mktime(when + (0, 0, -1)))
        old = 15552000  # 1970-06-29
        cases = {  # name: (mtime, the header's time)
            "old.txt": (old, (1980, 1, 1, 0, 0, 0)),
            "1979.txt": (local(1979, 12, 31, 12, 0, 0), (1980, 1, 1, 0, 0, 0)),
            "1980.txt": (local(1980, 6, 15, 12, 0, 0), (1980, 6, 15, 12, 0, 0)),
            "new.txt": (4385836800, (2107, 12, 31, 23, 59, 58)),  # 2108-12-24
        }
        harness.make_files(self.dir, {"m/" + name: b"t" for name in cases})
        for name, (mtime, _) in cases.items():
            os.utime(self.path("m/" + name), (mtime, mtime))
        self.assertEqual(self.pkzip("t.zip", "m").returncode, 0)
        infos = zip_infos(self.path("t.zip"))
        self.assertEqual({name: info.date_time for name, info in infos.items()},
                         {name: header for name, (_, header) in cases.items()})
        extra = infos["old.txt"].extra
        at = extra.find(b"\x55\x54")
        self.assertGreaterEqual(at, 0, extra)
        self.assertEqual(struct.unpack("<HHBi", extra[at:at + 9]), (0x5455, 5, 1, old))


WAITING = b"waiting for another run that uses "


@unittest.skipIf(harness.WINDOWS, "POSIX files, signals and flock")
class SafeUpdateTest(harness.ScratchTest):
    """Odd files, links, limits and concurrent runs cost no data."""

    def setUp(self):
        super().setUp()
        harness.make_files(self.dir, {"src/a.txt": b"alpha", "more/b.txt": b"bee"})

    def pkzip(self, archive, folder, options=("-a",), timeout=60, **kw):
        return run("PKZIP.EXE", list(options) + [archive, folder + "/*.*"], self.dir,
                   timeout=timeout, **kw)

    def start(self, folder, threads=0, **kw):
        """PKZIP.EXE -a out.zip FOLDER/*.* in the background; stderr to a file."""
        err = open(self.path(folder + ".err"), "w+b")
        self.addCleanup(err.close)
        child = harness.start("PKZIP.EXE", ["-a", "out.zip", native(folder + "/*.*")], self.dir,
                              extra_env={"TREVASK_THREADS": str(threads)},
                              stdout=subprocess.DEVNULL, stderr=err, **kw)
        self.addCleanup(child.kill)
        return child, err

    def wait_for_text(self, err, text, seconds=20):
        deadline = time.time() + seconds
        while time.time() < deadline and text not in (err.seek(0) or err.read()):
            time.sleep(0.01)
        return time.time() < deadline

    def test_what_is_no_regular_file_is_skipped_with_a_warning(self):
        cases = [  # options, name, make, warning (None: silent)
            (["-a"], "dangling", lambda p: os.symlink("missing", p), b"a link that leads nowhere"),
            (["-a"], "loop", lambda p: os.symlink("loop", p), b"a link that cannot be resolved"),
            (["-a"], "fifo", os.mkfifo, b"not a regular file"),
            (["-a"], "folder-link", lambda p: os.symlink("..", p), None),
            (["-a", "-rp"], "folder-link", lambda p: os.symlink("..", p), b"a link to a folder"),
        ]
        for options, name, make, warning in cases:
            status = 18 if "-rp" in options else 0
            with self.subTest(options=options, name=name):
                for leftover in ["src/" + c[1] for c in cases] + ["out.zip"]:
                    if os.path.lexists(self.path(leftover)):
                        os.remove(self.path(leftover))
                make(self.path("src/" + name))
                result = self.pkzip("out.zip", "src", options)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(read_zip(self.path("out.zip")), {"a.txt": b"alpha"})
                expected = b"" if warning is None else (
                    b"PKZIP.EXE: warning: skipped src/" + name.encode() + b": " + warning + b"\n")
                self.assertEqual(result.stderr, expected)

    def test_a_file_that_becomes_a_fifo_after_the_listing_is_skipped(self):
        harness.make_files(self.dir, {"m/a.txt": text(1 << 20, 5) * 16, "m/z": b"soon a FIFO"})
        child, err = self.start("m", 0)
        # One thread reads the files in order: m/z is not yet opened.
        self.assertTrue(wait_for_new_archive(child.pid, self.dir))
        os.remove(self.path("m/z"))
        os.mkfifo(self.path("m/z"))
        self.assertEqual(child.wait(timeout=60), 0)
        err.seek(0)
        self.assertEqual(err.read(), b"PKZIP.EXE: warning: skipped m/z: not a regular file\n")
        self.assertEqual(sorted(read_zip(self.path("out.zip"))), ["a.txt"])

    def test_an_archive_path_that_is_no_regular_file_fails_at_once(self):
        os.mkfifo(self.path("fifo.zip"))
        os.symlink("fifo.zip", self.path("link.zip"))
        for archive in ("fifo.zip", "link.zip"):
            with self.subTest(archive):
                result = self.pkzip(archive, "src", timeout=20)
                self.assertEqual(result.returncode, 1)
                self.assertIn(b"fifo.zip: not a regular file", result.stderr)
        self.assertTrue(stat.S_ISFIFO(os.stat(self.path("fifo.zip")).st_mode))

    def test_threads_the_system_will_not_start_are_done_without(self):
        harness.make_files(self.dir, {"m/t%d.txt" % i: text(300000, i) for i in range(8)})
        os.chmod(self.dir, 0o777)
        for limit in (1, 2):
            with self.subTest(nproc=limit):
                result = self.pkzip("n%d.zip" % limit, "m", preexec_fn=as_user(54321, nproc=limit),
                                    extra_env={"TREVASK_THREADS": "8"})
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(len(read_zip(self.path("n%d.zip" % limit))), 8)

    def test_an_update_keeps_the_archives_mode_and_links(self):
        def move_to_store():  # link.zip -> store/hop.zip -> real.zip
            os.replace(self.path("out.zip"), self.path("store/real.zip"))
            os.symlink("real.zip", self.path("store/hop.zip"))
            os.symlink(self.path("store/hop.zip"), self.path("link.zip"))
        def shared_with_group():  # the user's own archive, in a group of theirs
            os.chown(self.dir, 54321, 54321)
            os.chown(self.path("out.zip"), 54321, 54322)
            os.chmod(self.path("out.zip"), 0o2640)
        cases = [  # label, prepare, the path updated, the file written, its mode, run as
            ("private", lambda: os.chmod(self.path("out.zip"), 0o600), "out.zip", "out.zip", 0o600,
             None),
            ("link", move_to_store, "link.zip", "store/real.zip", 0o644, None),
            ("setgid", shared_with_group, "out.zip", "out.zip", 0o2640,
             as_user(54321, groups=[54322])),
        ]
        for label, prepare, archive, target, mode, run_as in cases:
            with self.subTest(label):
                if run_as and os.geteuid() != 0:
                    self.skipTest("needs root to hand the archive to another user")
                for name in ("out.zip", "link.zip"):
                    if os.path.lexists(self.path(name)):
                        os.remove(self.path(name))
                shutil.rmtree(self.path("store"), True)
                os.makedirs(self.path("store"))
                self.assertEqual(self.pkzip("out.zip", "src", preexec_fn=as_user(0, 0o022))
                                 .returncode, 0)
                prepare()
                before = os.stat(self.path(target))
                result = self.pkzip(archive, "more", preexec_fn=run_as)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(read_zip(self.path(target)), {"a.txt": b"alpha", "b.txt": b"bee"})
                after = os.stat(self.path(target))
                self.assertEqual(stat.S_IMODE(after.st_mode), mode)
                self.assertEqual((after.st_uid, after.st_gid), (before.st_uid, before.st_gid))
                self.assertEqual(os.path.islink(self.path(archive)), archive != target)
        for umask, mode in ((0o077, 0o600), (0, 0o666)):
            with self.subTest(umask=oct(umask)):
                self.pkzip("new%o.zip" % umask, "src", preexec_fn=as_user(0, umask))
                self.assertEqual(stat.S_IMODE(os.stat(self.path("new%o.zip" % umask)).st_mode),
                                 mode)

    def test_runs_updating_one_archive_take_turns(self):
        import fcntl
        folder = os.open(self.dir, os.O_RDONLY | os.O_DIRECTORY)
        self.addCleanup(os.close, folder)
        fcntl.flock(folder, fcntl.LOCK_EX)  # as another run would
        first, first_err = self.start("src")
        second, second_err = self.start("more")
        for err in (first_err, second_err):
            self.assertTrue(self.wait_for_text(err, b"PKZIP.EXE: " + WAITING +
                                               os.path.realpath(self.dir).encode() +
                                               b" (the folder of out.zip)\n"))
        self.assertFalse(os.path.exists(self.path("out.zip")))
        fcntl.flock(folder, fcntl.LOCK_UN)
        self.assertEqual(first.wait(timeout=60), 0)
        self.assertEqual(second.wait(timeout=60), 0)
        self.assertEqual(read_zip(self.path("out.zip")), {"a.txt": b"alpha", "b.txt": b"bee"})


@unittest.skipUnless(harness.EMULATOR, "Windows processes under an emulator")
class WindowsSafeUpdateTest(harness.ScratchTest):
    def test_a_killed_run_leaves_nothing_and_the_next_one_goes_on(self):
        harness.make_files(self.dir, {"m/big.txt": text(4 << 20, 4) * 40, "old/o.txt": b"o"})
        self.assertEqual(run("PKZIP.EXE", ["-a", "out.zip", native("old/*.*")], self.dir,
                             timeout=60).returncode, 0)

        first, _ = SafeUpdateTest.start(self, "m", 1)
        deadline = time.time() + 30
        while time.time() < deadline and not any(
                n.startswith(".pkz-") for n in os.listdir(self.dir)):
            time.sleep(0.01)
        second, second_err = SafeUpdateTest.start(self, "old", 0)
        self.assertTrue(SafeUpdateTest.wait_for_text(self, second_err, WAITING))
        # The Windows process itself, not the emulator's launcher.
        def is_first(pid):
            try:
                return (os.readlink("/proc/%s/cwd" % pid) == self.dir and
                        b"m\\*.*" in read_bytes("/proc/%s/cmdline" % pid))
            except OSError:
                return False
        pids = [int(p) for p in os.listdir("/proc") if p.isdigit() and is_first(p)]
        self.assertTrue(pids)
        for pid in pids:
            os.kill(pid, signal.SIGKILL)
        self.assertEqual(second.wait(timeout=60), 0)
        first.wait(timeout=60)
        self.assertEqual(read_zip(self.path("out.zip")), {"o.txt": b"o"})
        self.assertEqual(sorted(n for n in os.listdir(self.dir) if not n.endswith(".err")),
                         ["m", "old", "out.zip"])


if __name__ == "__main__":
    unittest.main()
