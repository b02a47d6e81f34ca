"""trevask-extract on bundles made by trevask, and on hand-made hostile
ones: round trips checked by this test's own walk, --compare, -t, and
nothing ever written outside the destination."""
import io
import os
import random
import signal
import stat
import subprocess
import tempfile
import time
import unittest
import zipfile
from unittest.mock import ANY

import harness
from harness import native, run
from property_test import make_tree

OK, TROUBLE, REFUSED = 0, 1, 2
UMASK = os.umask(0o022)
os.umask(UMASK)


def walk(root):
    """{relative path: (bytes, mtime, mode) or None for a folder}."""
    tree = {}
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        rel = "" if rel == "." else rel
        for d in dirs:
            tree[os.path.join(rel, d)] = None
        for f in files:
            st = os.lstat(os.path.join(folder, f))
            tree[os.path.join(rel, f)] = (harness.read_bytes(os.path.join(folder, f)),
                                          int(st.st_mtime), stat.S_IMODE(st.st_mode))
    return tree


def zip_bytes(members):
    """A zip of {name: bytes or (bytes, unix mode)}, all stored."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name, data in members.items():
            info = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))
            if isinstance(data, tuple):
                data, mode = data
                info.create_system, info.external_attr = 3, mode << 16
            z.writestr(info, data)
    return out.getvalue()


class ExtractTest(harness.ScratchTest):
    def extract(self, *args, cwd=None):
        return run("trevask-extract", [native(a) if "/" in a else a for a in args],
                   cwd or self.dir)

    def bundle(self, kind="-d", name="Out.zip"):
        result = run("trevask", [native("src/Data"), name, "T", "-r", kind], self.dir,
                     env_path=harness.search_path(harness.BIN_DIR))
        self.assertEqual(result.returncode, 0, result.stderr)
        return name

    def test_a_standard_output_that_cannot_be_written_is_said(self):
        if harness.WINDOWS or not os.path.exists("/dev/full"):
            self.skipTest("needs /dev/full")
        harness.make_files(self.dir, {"src/Data/a.txt": b"a"})
        bundle = self.bundle()
        cases = [("PKZIP.EXE", ["-a", "x.zip", native("src/Data/*.*")],
                  b"PKZIP.EXE: x.zip is written, but its line is not: cannot write standard "
                  b"output: No space left on device\n"),
                 ("trevask-extract", ["-l", bundle],
                  b"trevask-extract: cannot write standard output: No space left on device\n")]
        for name, args, said in cases:
            with self.subTest(name), open("/dev/full", "wb") as full:
                done = subprocess.run(harness.command(name, args), cwd=self.dir,
                                      env=harness.environment(), stdout=full,
                                      stderr=subprocess.PIPE)
                self.assertEqual((done.returncode, done.stderr), (TROUBLE, said))

    def make_source(self, seed):
        rng = random.Random(seed)
        make_tree(rng, self.path("src/Data"), 3)
        deep = self.path("src/Data/" + "/".join("d%d" % i for i in range(12)))
        os.makedirs(deep)
        harness.make_files(self.path("src/Data"), {"empty/inner/": None, "x.sh": b"#!/bin/sh\n",
                                                   "old": b"1980", "new": b"2100", "odd": b"o"})
        for name, when in (("old", 300000000), ("new", 4102444800), ("odd", 1700000001)):
            os.utime(self.path("src/Data/" + name), (when, when))
        if not harness.WINDOWS:
            for name, mode in (("x.sh", 0o4755), ("old", 0o600), ("new", 0o444)):
                os.chmod(self.path("src/Data/" + name), mode)

    def expected(self, source):
        tree = walk(source)
        if harness.WINDOWS:
            return {k: v and v[:2] for k, v in tree.items()}
        # No setuid, setgid or sticky bit, and the umask applies.
        return {k: v and (v[0], v[1], v[2] & 0o777 & ~UMASK) for k, v in tree.items()}

    def actual(self, root):
        tree = walk(root)
        return {k: v and v[:2] for k, v in tree.items()} if harness.WINDOWS else tree

    def test_round_trip_with_both_archivers_and_a_deflated_bundle(self):
        for seed, kind, deflate in ((1, "-d", False), (2, "-w", False), (3, "-d", True)):
            with self.subTest(kind=kind, deflate=deflate):
                for name in os.listdir(self.dir):
                    harness.shutil.rmtree(self.path(name), True)
                self.make_source(seed)
                bundle = self.bundle(kind)
                if deflate:  # as another archiver may write it
                    with zipfile.ZipFile(self.path(bundle)) as z, \
                            zipfile.ZipFile(self.path("D.zip"), "w", zipfile.ZIP_DEFLATED) as d:
                        for info in z.infolist():
                            d.writestr(info, z.read(info), zipfile.ZIP_DEFLATED)
                    bundle = "D.zip"
                result = self.extract("-d", "out", bundle)
                self.assertEqual(result.returncode, OK, result.stderr)
                self.assertEqual(self.actual(self.path("out/Data")),
                                 self.expected(self.path("src/Data")))
                listed = self.extract("-l", bundle).stdout.decode("utf-8", "surrogateescape")
                listed = listed.replace("\r\n", "\n")
                self.assertIn("Data/d0/d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/d11/\n", listed)
                self.assertIn("Data/empty/inner/\n", listed)
                # One folder and what is below it.
                result = self.extract("-q", "-d", "some", bundle, "Data/d0/d1/")
                self.assertEqual((result.returncode, result.stdout), (OK, b""))
                self.assertEqual(sorted(walk(self.path("some/Data"))),
                                 [os.path.join(*("d%d" % i for i in range(n)))
                                  for n in range(1, 13)])
                # Existing files are kept without -o and named.
                os.utime(self.path("out/Data/odd"), (5, 5))
                result = self.extract("-d", "out", bundle)
                self.assertEqual(result.returncode, TROUBLE)
                self.assertIn(b"Data/odd: a file is there; not replaced", result.stderr)
                self.assertEqual(os.stat(self.path("out/Data/odd")).st_mtime, 5)
                self.assertEqual(self.extract("-q", "-o", "-d", "out", bundle).returncode, OK)
                self.assertEqual(os.stat(self.path("out/Data/odd")).st_mtime, 1700000001)

    def test_file_and_folder_names_as_arguments(self):
        harness.make_files(self.path("src/Data"), {"d.txt": b"d", "A/a.txt": b"a", "B/b.txt": b"b",
                                                   "B/X/x.txt": b"x", "B/X/y.txt": b"y"})
        bundle = self.bundle()
        # (names, files taken, names that match nothing)
        cases = [(["Data/B/X/x.txt"], ["B/X/x.txt"], []),
                 (["Data/B/X/x.txt", "Data/A", "nosuch"], ["A/a.txt", "B/X/x.txt"], ["nosuch"]),
                 (["Data/B/X/", "Data/B/b.txt", "Data/B/X/x.txt"],
                  ["B/X/x.txt", "B/X/y.txt", "B/b.txt"], []),
                 (["Data/d.txt/", "Data/B/zz", "Data/B/X/../b.txt", "Data/B/X/x.txt/.."], [],
                  ["Data/d.txt/", "Data/B/zz", "Data/B/X/../b.txt", "Data/B/X/x.txt/.."])]
        for n, (names, taken, missing) in enumerate(cases):
            for mode in ("-d", "-l", "-t"):
                with self.subTest(names=names, mode=mode):
                    out = "out%d" % n
                    result = self.extract(*([mode, out] if mode == "-d" else [mode]), bundle,
                                          *names)
                    self.assertEqual(result.returncode, TROUBLE if missing else OK, result.stderr)
                    said = result.stderr.decode().replace("\\", "/")
                    for name in missing:
                        self.assertIn("trevask-extract: no file or folder %s in" % name, said)
                    self.assertEqual(said.count("\n"), len(missing), said)
                    text = result.stdout.decode().replace("\r\n", "\n").replace("\\", "/")
                    if mode == "-l":
                        self.assertEqual(sorted(line.split()[-1] for line in text.splitlines()
                                                if line.split()[-1].startswith("Data/") and
                                                not line.endswith("/")),
                                         ["Data/" + t for t in taken])
                    elif mode == "-t":
                        counted = "%d file%s" % (len(taken), "" if len(taken) == 1 else "s")
                        self.assertEqual(text.startswith("No errors in " + counted),
                                         bool(taken), text)
                    else:  # only the files taken, and the folders leading to them
                        folders = {os.path.dirname(t) for t in taken} - {""}
                        folders |= {os.path.dirname(f) for f in folders} - {""}
                        self.assertEqual(walk(self.path(out + "/Data")),
                                         {**{os.path.normpath(t): (t[-5:-4].encode(), ANY, ANY)
                                             for t in taken},
                                          **{os.path.normpath(f): None for f in folders}})

    def test_compare_finds_each_kind_of_difference(self):
        harness.make_files(self.path("src/Data"), {"a": b"alpha", "b": b"beta", "c": b"gamma",
                                                   "d": b"delta", "Sub/e": b"e", "Gone/f": b"f"})
        bundle = self.bundle()
        self.assertEqual(self.extract("--compare", "src/Data", bundle).stdout, b"")
        os.remove(self.path("src/Data/a"))
        kept = {n: os.stat(self.path("src/Data/" + n)).st_mtime_ns for n in "bc"}
        harness.make_files(self.path("src/Data"), {"b": b"beta!", "new": b"", "Sub/New/": None})
        with open(self.path("src/Data/c"), "r+b") as f:
            f.write(b"G")
        for name, when in kept.items():  # only the size or the content differs
            os.utime(self.path("src/Data/" + name), ns=(when, when))
        os.utime(self.path("src/Data/d"), (100000000, 100000000))
        harness.shutil.rmtree(self.path("src/Data/Gone"))
        result = self.extract("--compare", "src/Data", bundle)
        self.assertEqual(result.returncode, TROUBLE, result.stderr)
        self.assertEqual(sorted(result.stdout.decode().splitlines()), sorted([
            "removed: Data/a", "changed size: Data/b", "changed content: Data/c",
            "changed time: Data/d", "added: Data/new", "added folder: Data/Sub/New/",
            "removed folder: Data/Gone/"]))

    def test_damage_is_said_alike_by_every_mode_and_leaves_no_file(self):
        victim = os.urandom(5000)  # stored as it is
        harness.make_files(self.path("src/Data"), {"B/X/victim": victim, "B/X/ok": b"k",
                                                   "B/X/text": b"deflated " * 30000})
        good = harness.read_bytes(self.path(self.bundle()))
        member = harness.data_range(good, "B/X/X.zip")[0]
        inner = good[member:member + zipfile.ZipFile(io.BytesIO(good)).getinfo("B/X/X.zip").file_size]

        inner_zip = zipfile.ZipFile(io.BytesIO(inner))

        def flip(name, at, n=1):  # bytes of name's data
            start, size = harness.data_range(inner, name)
            return start + (size + at if at < 0 else at), n

        def header(name, at):  # a byte of name's local header
            return inner_zip.getinfo(name).header_offset + at, 1

        def central(name, at):  # a byte of name's entry in the directory
            entry = inner_zip.start_dir
            for info in inner_zip.infolist():
                if info.filename == name:
                    return entry + at, 1
                entry += 46 + len(info.orig_filename.encode()) + len(info.extra) + len(
                    info.comment)
        archive_line = "damaged in the bundle: Data/B/X/ (its archive B/X/X.zip: "
        # (what, the bytes flipped in the folder archive, whether its own
        # CRC in the bundle still holds (damaged before it was bundled), the
        # line every mode says, the files extracted in Data/B/X); damage to
        # the folder archive itself is said by -l and with a file NAME too.
        cases = [
            ("a stored member", flip("victim", 100), True,
             "damaged in the bundle: Data/B/X/victim (CRC mismatch)", ["ok", "text"]),
            ("a deflated member", flip("text", 40, 8), True,
             "damaged in the bundle: Data/B/X/text (", ["ok", "victim"]),
            ("its folder's archive", (len(inner) - 22, 4), False, archive_line, []),
            # Read in place, these would pass for a change on disk or for nothing.
            ("a stored member in the bundle", flip("victim", 100), False,
             archive_line + "CRC mismatch)", []),
            ("a mode in its archive's directory", central("ok", 40), False,
             archive_line + "CRC mismatch)", []),
            ("a time in a local header", header("ok", 10), False,
             archive_line + "CRC mismatch)", []),
        ]
        modes = [("-t",), ("--compare", "src/Data"), ("-d", "out")]
        whole = [("-l",), ("-t", "Out.zip", "Data/B/X/ok"), ("-d", "out", "Out.zip", "Data/B/X/ok")]
        for what, (at, n), bundled, line, left in cases:
            if bundled:
                damaged = bytearray(inner)
                damaged[at:at + n] = bytes(b ^ 0x55 for b in damaged[at:at + n])
                with zipfile.ZipFile(io.BytesIO(good)) as z, \
                        zipfile.ZipFile(self.path("Out.zip"), "w") as out:
                    for info in z.infolist():
                        out.writestr(info, bytes(damaged) if info.filename == "B/X/X.zip"
                                     else z.read(info))
            else:
                data = bytearray(good)
                at += member
                data[at:at + n] = bytes(b ^ 0x55 for b in data[at:at + n])
                with open(self.path("Out.zip"), "wb") as f:
                    f.write(data)
            for mode in modes + (whole if line.startswith(archive_line) else []):
                with self.subTest(damaged=what, mode=mode):
                    harness.shutil.rmtree(self.path("out"), True)
                    result = self.extract(*mode, *([] if "Out.zip" in mode else ["Out.zip"]))
                    self.assertEqual(result.returncode, TROUBLE, result.stderr)
                    self.assertIn(b"trevask-extract: " + line.encode(), result.stderr)
                    self.assertEqual(result.stderr.count(b"damaged in the bundle"), 1)
                    if mode[0] == "-t":
                        self.assertIn(b"trevask-extract: 1 damaged in Out.zip", result.stderr)
                    if mode[0] == "--compare":  # the disk is not blamed
                        self.assertEqual(result.stdout, b"")
                    if mode[0] == "-d":
                        self.assertEqual(sorted(os.listdir(self.path("out/Data/B/X"))),
                                         left if len(mode) == 2 else [])

    def test_a_bundle_that_is_no_regular_file_is_refused_at_once(self):
        os.mkdir(self.path("folder.zip"))
        os.mkfifo(self.path("fifo.zip"))  # Wine shows it as a pipe
        kinds = ["folder.zip", "fifo.zip"] + ([] if harness.WINDOWS else ["/dev/null"])
        for name in kinds:
            for mode in ("-l", "-t"):
                with self.subTest(bundle=name, mode=mode):
                    result = run("trevask-extract", [mode, name], self.dir, timeout=20)
                    self.assertEqual(result.returncode, REFUSED, result.stderr)
                    self.assertIn(b"not a regular file", result.stderr)

    def in_temp_folder(self, folder, args):
        """trevask-extract with args, its temporary folder set to folder."""
        if not harness.WINDOWS:
            return run("trevask-extract", args, self.dir, extra_env={"TMPDIR": folder})
        # Wine sets TMP and TEMP from its registry, and TMPDIR is its own:
        # they are set inside.
        line = "set TMP=%s&& set TEMP=%s&& %s %s" % (
            folder, folder, harness.target_path(harness.program("trevask-extract")),
            " ".join(args))
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run([harness.EMULATOR, "cmd", "/c", line], cwd=self.dir,
                                  stdout=out, stderr=err)
            err.seek(0)
            return subprocess.CompletedProcess(line, done.returncode, None, err.read())

    def test_a_large_folder_archive_spills_unnamed_into_the_temporary_folder(self):
        big = os.urandom(5 << 20)  # beyond what is unpacked in memory
        with zipfile.ZipFile(self.path("D.zip"), "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("Data.zip", zip_bytes({"big": big}))
        os.mkdir(self.path("tmp"))
        # (mode, the temporary folder, status)
        cases = [(["-t"], "missing", TROUBLE), (["-l"], "missing", TROUBLE),
                 (["-d", "out"], "missing", TROUBLE), (["-d", "out"], "tmp", OK)]
        for mode, tmp, status in cases:
            with self.subTest(mode=mode[0], tmp=tmp):
                harness.shutil.rmtree(self.path("out"), True)
                folder = harness.target_path(self.path(tmp))
                result = self.in_temp_folder(folder, mode + ["D.zip"])
                self.assertEqual(result.returncode, status, result.stderr)
                if status == OK:
                    self.assertEqual(harness.read_bytes(self.path("out/Data/big")), big)
                    self.assertEqual(os.listdir(self.path("tmp")), [])
                else:
                    self.assertIn(b"Data/: its archive Data.zip: cannot make a temporary file in "
                                  + folder.encode(), result.stderr)
                    self.assertNotIn(b"damaged", result.stderr)  # the bundle is not to blame
                if mode == ["-t"]:
                    self.assertIn(b"1 not tested in D.zip", result.stderr)

    def test_hostile_bundles_write_nothing_outside_the_destination(self):
        link, empty = (b"../../outside", 0o120777), zip_bytes({})
        twice = io.BytesIO()
        with zipfile.ZipFile(twice, "w") as z:
            for name, data in (("ok", b"k"), ("t", b"1"), ("t", b"2")):
                z.writestr(name, data)
        # (bundle members, what extraction leaves in Data, status, a member
        # refused in every mode and why, and whether named alone too)
        cases = [
            ({"../x/x.zip": empty}, None, REFUSED, None),
            ({"/abs/abs.zip": empty}, None, REFUSED, None),
            ({"A.zip": empty, "B.zip": empty}, None, REFUSED, None),
            ({"..zip": empty}, None, REFUSED, None),
            ({"Data.zip": empty, "s/s.zip": link}, None, REFUSED, None),
            ({"Data.zip": zip_bytes({"../../x": b"x", "ok": b"k"})}, "ok", TROUBLE,
             ("Data/../../x", "a name with '/'")),
            ({"Data.zip": zip_bytes({"..": b"x", "ok": b"k"})}, "ok", TROUBLE,
             ("Data/..", "the name '..'")),
            ({"Data.zip": zip_bytes({"/abs": b"x", "ok": b"k"})}, "ok", TROUBLE,
             ("Data//abs", "a name with '/'")),
            ({"Data.zip": zip_bytes({"ln": link, "ok": b"k"})}, "ok", TROUBLE,
             ("Data/ln", "a link or special file", True)),
            # Which copy is the real one cannot be told: neither is written.
            ({"Data.zip": twice.getvalue()}, "ok", TROUBLE,
             ("Data/t", "twice in its folder archive", True)),
            ({"Data.zip": zip_bytes({"B": b"x", "sub/": b""}), "B/B.zip": zip_bytes({})},
             "B", TROUBLE, ("Data/sub/", "a folder inside a folder archive")),
            # An unmarked member is newer than the subfolder of its name.
            ({"Data.zip": zip_bytes({"B": b"x"}), "B/B.zip": zip_bytes({"y": b"y"})},
             "B", TROUBLE, ("Data/B/", "the older copy: Data/B is now a file")),
        ]
        if harness.WINDOWS:
            cases += [({"Data.zip": zip_bytes({"C:x": b"x", "aux.txt": b"a", "ok": b"k"})},
                       "ok", TROUBLE, ("Data/aux.txt", "")),
                      # Names Windows takes for one: the second is refused, even with -o.
                      ({"Data.zip": zip_bytes({"ok": b"k", "OK": b"K"})}, "ok", TROUBLE, None),
                      # Names are paired as Windows matches them.
                      ({"Data.zip": zip_bytes({"b": b"x"}), "B/B.zip": zip_bytes({"y": b"y"})},
                       "b", TROUBLE, ("Data/B/", "the older copy: Data/b is now a file"))]
        for n, (members, left, status, refused) in enumerate(cases):
            with self.subTest(n=n):
                case = self.path("case%d" % n)
                os.makedirs(case + "/dest")
                os.makedirs(case + "/cmp/Data")
                with zipfile.ZipFile(case + "/h.zip", "w") as z:
                    for name, data in members.items():
                        z.writestr(zipfile.ZipInfo(name) if not isinstance(data, tuple) else
                                   self.link_info(name, data[1]),
                                   data if not isinstance(data, tuple) else data[0])
                before = harness.snapshot(self.dir)
                result = self.extract("-o", "-d", "dest", "h.zip", cwd=case)
                self.assertEqual(result.returncode, status, result.stderr)
                after = harness.snapshot(self.dir)
                self.assertTrue(all(p.startswith("case%d/dest/" % n)
                                    for p in harness.changed_paths(before, after)))
                if left:
                    self.assertEqual(sorted(os.listdir(case + "/dest/Data")), [left.rstrip("/")])
                if left == "ok":
                    self.assertEqual(harness.read_bytes(case + "/dest/Data/ok"), b"k")
                if refused is None:
                    continue
                path, why = (t.encode() for t in refused[:2])
                self.assertIn(path + b": not extracted" + (b"" if path.endswith(b"/") else
                                                          b": " + why), result.stderr)
                # The same verdict from every other mode, and no all-clear;
                # then with the member named alone, nothing written.
                for names in [[], [path.decode()]][:len(refused) - 1]:
                    checks = [(["-t"], "stderr", b"refused: " + path + b": " + why),
                              (["-l"], "stdout", path + b"  (not extracted: " + why)]
                    checks.append((["-d", "named"], "stderr", path + b": not extracted: " + why)
                                  if names else
                                  (["--compare", "cmp/Data"], "stdout",
                                   b"refused: " + path + b": " + why))
                    for args, out, said in checks:
                        checked = self.extract(*args, "h.zip", *names, cwd=case)
                        self.assertEqual(checked.returncode, TROUBLE, (args, checked.stderr))
                        self.assertIn(said, getattr(checked, out), args)
                    if names:
                        self.assertEqual(os.listdir(case + "/named/Data"), [])

    @staticmethod
    def link_info(name, mode):
        info = zipfile.ZipInfo(name)
        info.create_system, info.external_attr = 3, mode << 16
        return info

    def test_links_in_the_destination_are_not_followed(self):
        if harness.WINDOWS:
            self.skipTest("POSIX links")
        harness.make_files(self.path("src/Data"), {"A/a": b"new", "top": b"t"})
        bundle = self.bundle()
        harness.make_files(self.dir, {"outside/a": b"mine", "victim": b"mine"})
        os.makedirs(self.path("dest/Data"))
        os.symlink(self.path("outside"), self.path("dest/Data/A"))
        os.symlink(self.path("victim"), self.path("dest/Data/top"))
        result = self.extract("-o", "-d", "dest", bundle)
        self.assertEqual(result.returncode, TROUBLE)
        self.assertIn(b"Data/A/: not extracted", result.stderr)
        self.assertEqual(harness.read_bytes(self.path("outside/a")), b"mine")
        self.assertEqual(harness.read_bytes(self.path("victim")), b"mine")
        # The link itself was replaced by the file.
        self.assertFalse(os.path.islink(self.path("dest/Data/top")))

    def test_each_refusal_in_the_destination_says_what_is_there(self):
        harness.make_files(self.path("src/Data"), {"A/a": b"a", "top": b"t"})
        bundle = self.bundle()
        posix = not harness.WINDOWS
        below = "Data/A/: not extracted, nor anything below it: "
        make = {"a file": lambda p: open(p, "wb").close(), "a FIFO": os.mkfifo,
                "a link": lambda p: os.symlink("nowhere", p)}
        # (what is made, where, extracted into, exit status, the line on stderr)
        cases = [
            ("a file", "d1/Data/A", "d1", TROUBLE, below + "a file is there, not a folder"),
            ("a file", "d2/Data/top", "d2", TROUBLE,
             "Data/top: a file is there; not replaced (-o replaces it)"),
            ("a file", "d3", "d3", REFUSED, "cannot extract into d3: a file is there, not a folder"),
        ] + [
            ("a link", "d4/Data/A", "d4", TROUBLE, below + "a link is there, which is not followed"),
            ("a FIFO", "d5/Data/A", "d5", TROUBLE, below + "a special file is there, not a folder"),
            ("a FIFO", "d6", "d6", REFUSED,
             "cannot extract into d6: a special file is there, not a folder"),
            ("a link", "d7", "d7", REFUSED, "cannot extract into d7: a link is there that leads nowhere"),
        ] * posix
        for kind, where, dest, status, line in cases:
            with self.subTest(kind=kind, where=where):
                os.makedirs(os.path.dirname(self.path(where)) or self.dir, exist_ok=True)
                make[kind](self.path(where))
                result = self.extract("-d", dest, bundle)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(b"trevask-extract: " + line.encode() + b"\n",
                              result.stderr.replace(b"\r\n", b"\n"))

    def test_umask_and_an_unwritable_folder_as_an_unprivileged_user(self):
        harness.make_files(self.path("src/Data"), {"x.sh": b"#!/bin/sh\n", "R/r": b"r"})
        os.chmod(self.path("src/Data/x.sh"), 0o755)
        bundle = self.bundle()
        os.makedirs(self.path("out/Data/R"))
        os.chmod(self.path("out/Data/R"), 0o555)
        drop = harness.unprivileged(self, self.dir)

        def start():
            os.umask(0o077)
            if drop:
                drop()
        result = run("trevask-extract", ["-d", "out", bundle], self.dir, preexec_fn=start)
        self.assertEqual(result.returncode, TROUBLE)
        self.assertIn(b"Data/R/r: not extracted", result.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("out/Data/x.sh")).st_mode), 0o700)
        self.assertEqual(os.listdir(self.path("out/Data/R")), [])

    def test_compare_walks_links_as_trevask_does(self):
        if harness.WINDOWS:
            self.skipTest("POSIX links and modes")
        harness.make_files(self.path("src/Data"), {"f.txt": b"f", "g.txt": b"ggg",
                                                   "real/r.txt": b"r", "real/deep/d.txt": b"d"})
        harness.make_files(self.dir, {"elsewhere/e.txt": b"e"})
        for target, name in [("real", "to_real"), ("../../elsewhere", "to_elsewhere"),
                             ("..", "real/up"), ("missing", "dangling"), ("f.txt", "to_f")]:
            os.symlink(target, self.path("src/Data/" + name))
        bundle = self.bundle()
        result = self.extract("--compare", "src/Data", bundle)
        self.assertEqual((result.returncode, result.stdout), (OK, b""), result.stderr)
        g = self.path("src/Data/g.txt")
        times = (os.stat(g).st_atime, os.stat(g).st_mtime)
        # (change, line it gives)
        changes = [(lambda: os.chmod(self.path("src/Data/f.txt"), 0o600),
                    b"changed mode: Data/f.txt\n"),
                   (lambda: (harness.make_files(self.path("src/Data"), {"g.txt": b"GGG"}),
                             os.utime(g, times)), b"changed content: Data/g.txt\n")]
        for change, line in changes:
            change()
            result = self.extract("--compare", "src/Data", bundle)
            self.assertEqual(result.returncode, TROUBLE, result.stderr)
            self.assertIn(line, result.stdout)

    def test_a_failed_runs_bundle_gives_back_what_it_holds(self):
        harness.make_files(self.path("src/Data"), {"d.txt": b"d", "B/b.txt": b"b",
                                                   "B/X/x.txt": b"x", "A/a.txt": b"a"})
        whole = harness.read_zip(self.path(self.bundle()))
        # (case, member left out, root of the tree, lacking folder)
        cases = [("a middle folder", "B/B.zip", "Data",
                  "Data/B: its archive B/B.zip is not in the bundle"),
                 ("the top folder", "Data.zip", "Out",
                  "holds no archive of its top folder (from a failed run?); the tree is named "
                  "Out/ after the bundle")]
        for case, left_out, root, said in cases:
            with self.subTest(case=case):
                with open(self.path("Out.zip"), "wb") as f:
                    f.write(zip_bytes({n: d for n, d in whole.items() if n != left_out}))
                said = said.encode()
                for args, shown in [(["-l", "Out.zip"], root + "/B/X/x.txt"),
                                    (["-t", "Out.zip"], "No errors"),
                                    (["-d", "e1", "Out.zip"], ""),
                                    (["-d", "e2", "Out.zip", root + "/B"], "")]:
                    result = self.extract(*args)
                    self.assertEqual(result.returncode, TROUBLE, args)
                    self.assertIn(said, result.stderr.replace(b"\\", b"/"))
                    self.assertIn(shown.encode(), result.stdout.replace(b"\\", b"/"))
                self.assertEqual(harness.read_bytes(self.path("e1/%s/B/X/x.txt" % root)), b"x")
                self.assertEqual(harness.read_bytes(self.path("e1/%s/A/a.txt" % root)), b"a")
                self.assertEqual(harness.read_bytes(self.path("e2/%s/B/X/x.txt" % root)), b"x")
                self.assertFalse(os.path.exists(self.path("e2/%s/A" % root)))
                lost = "e1/%s/%s" % (root, "B/b.txt" if root == "Data" else "d.txt")
                self.assertFalse(os.path.exists(self.path(lost)))
                for leftover in ("e1", "e2"):
                    subprocess.run(["rm", "-rf", self.path(leftover)], check=True)

    def test_a_name_that_changes_kind_gives_back_its_newest_copy(self):
        gone_mark = b"TV\x00\x00"  # the extra field of a member kept though gone
        file_back = b"Data/N was a folder and is a file now: the bundle gives back the file"
        folder_back = b"Data/N was a file and is a folder now: the bundle gives back the folder"
        failed = b", as Data's archive run failed"
        # (kinds of Data/N run after run, -r, how Data's archive run fails
        # last (its archive damaged, or a file it cannot read: the archive
        # stays readable), the copy given back, whether the other copy is
        # still in the bundle, what trevask's last run says); a deep folder's
        # own archive is made before Data's fails.
        rows = [
            (["folder", "file"], False, None, "file", True, file_back),
            (["folder", "file"], True, None, "file", True, file_back),
            (["file", "folder"], False, None, "folder", True, folder_back),
            (["file", "folder"], True, None, "folder", False,
             folder_back + b", and no longer holds"),
            (["folder", "file", "folder"], False, None, "folder", True, folder_back),
            (["folder", "file", "folder"], True, None, "folder", False,
             folder_back + b", and no longer holds the file"),
            (["file", "folder", "file"], False, None, "file", True, file_back),
            # Gone as both: the line says so, the mark still decides.
            (["folder", "file", "gone"], False, None, "folder", True,
             b"Data/N is gone from the source; the bundle holds it as a file and as a folder "
             b"and gives back the folder"),
        ] + [row for fail in ["damaged"] + ([] if harness.WINDOWS else ["unreadable"]) for row in [
            (["file", "deep folder"], False, fail, "file", True,
             b"Data/N was a file and is a folder now: the bundle still gives back the file" +
             failed + b"; trevask-extract -d DIR Out.zip Data/N/ restores the folder elsewhere"),
            (["folder", "file"], False, fail, "folder", False,
             b"Data/N was a folder and is a file now: the bundle still gives back the folder" +
             failed + b"\n")]]
        for kinds, remove, fail, newer, paired, said in rows:
            for archiver in ("-d", "-w"):
                with self.subTest(kinds=kinds, remove=remove, fail=fail, archiver=archiver):
                    subprocess.run(["rm", "-rf", self.path("src"), self.path("T"),
                                    self.path("Out.zip"), self.path("e"), self.path("o")],
                                   check=True)
                    for n, kind in enumerate(kinds):
                        subprocess.run(["rm", "-rf", self.path("src/Data/N")], check=True)
                        harness.make_files(self.path("src/Data"), {"d.txt": b"d"} if kind == "gone"
                                           else {"d.txt": b"d", "N": b"notes"} if kind == "file" else {
                            "d.txt": b"d", "N/a%d.txt" % n: b"folder %d" % n})
                        if kind == "deep folder":
                            harness.make_files(self.path("src/Data"), {"N/sub/s.txt": b"s"})
                        last = n == len(kinds) - 1
                        if fail == "damaged" and last:
                            harness.make_files(self.dir, {"T/Data/Data.zip": b"garbage!"})
                        if fail == "unreadable" and last:
                            harness.make_files(self.path("src/Data"), {"locked": b"x"})
                            os.chmod(self.path("src/Data/locked"), 0)
                        drop = None
                        if fail == "unreadable":
                            drop = harness.unprivileged(self, self.dir)
                        result = self.trevask("src/Data", "Out.zip", "T", archiver,
                                              *(["-r"] if remove else []), preexec_fn=drop)
                        self.assertEqual(result.returncode,
                                         harness.FAILURE if fail and last else 0, result.stderr)
                    if kinds[-1] != "gone":
                        self.assertNotIn(b"is gone from the source", result.stderr)
                    said_all = result.stderr.replace(b"\\", b"/").replace(b"\r\n", b"\n")
                    self.assertIn(said, said_all)
                    with zipfile.ZipFile(self.path("Out.zip")) as z:
                        top = zipfile.ZipFile(io.BytesIO(z.read("Data.zip")))
                        names = z.namelist()
                    self.assertEqual("N/N.zip" in names, newer == "folder" or paired)
                    if newer == "file" or paired:
                        self.assertEqual(gone_mark in top.getinfo("N").extra, newer == "folder")
                    else:
                        self.assertNotIn("N", top.namelist())
                    other = "Data/N/" if newer == "file" else "Data/N"
                    command = b"trevask-extract -d DIR Out.zip " + other.encode()
                    status = TROUBLE if paired else OK
                    restored = self.extract("-d", "e", "Out.zip")
                    self.assertEqual(restored.returncode, status, restored.stderr)
                    self.assertEqual(command in restored.stderr, paired)
                    tested = self.extract("-t", "Out.zip")
                    self.assertEqual(tested.returncode, status, tested.stderr)
                    self.assertEqual(b"refused: " + other.encode() in tested.stderr, paired)
                    listed = self.extract("-l", "Out.zip")
                    self.assertEqual(listed.returncode, status, listed.stderr)
                    older = [line for line in listed.stdout.splitlines()
                             if line.endswith(other.encode() + b"  (not extracted: the older "
                                              b"copy: Data/N is now a " + newer.encode() +
                                              b"; restore this " +
                                              (b"folder" if newer == "file" else b"file") +
                                              b" elsewhere with " + command + b")")]
                    self.assertEqual(len(older), 1 if paired else 0, listed.stdout)
                    folder_run = max(n for n, kind in enumerate(kinds) if "folder" in kind)
                    folder_file = "e/Data/N/a%d.txt" % folder_run
                    if newer == "file":
                        self.assertEqual(harness.read_bytes(self.path("e/Data/N")), b"notes")
                    else:
                        self.assertEqual(harness.read_bytes(self.path(folder_file)),
                                         b"folder %d" % folder_run)
                    if not paired:
                        continue
                    again = self.extract("-d", "o", "Out.zip", other)
                    self.assertEqual(again.returncode, OK, again.stderr)
                    if newer == "folder":
                        self.assertEqual(harness.read_bytes(self.path("o/Data/N")), b"notes")
                    else:
                        self.assertEqual(harness.read_bytes(self.path("o/" + folder_file[2:])),
                                         b"folder %d" % folder_run)

    def test_a_killed_extraction_leaves_no_short_file(self):
        # (tree, signal, moment): a large file, then many small ones, killed
        # while a file is open for writing, or closed pipe for the output.
        small = {"f%03d" % i: os.urandom(2000 + i) for i in range(400)}
        cases = [("large", {"big": os.urandom(1 << 20) * 300}, signal.SIGKILL),
                 ("large", None, signal.SIGINT),
                 ("small", small, signal.SIGKILL),
                 ("small", None, signal.SIGPIPE)]
        if harness.WINDOWS:
            # Under Wine only a kill stands for what ends a Windows process.
            cases = [c for c in cases if c[2] == signal.SIGKILL]
        trees = {}
        for name, files, sig in cases:
            with self.subTest(tree=name, signal=sig.name):
                if files is not None:
                    trees[name] = files
                    for leftover in ("src", "T", "Out.zip"):
                        subprocess.run(["rm", "-rf", self.path(leftover)], check=True)
                    harness.make_files(self.path("src/Data"), files)
                    bundle = self.bundle()
                files = trees[name]
                subprocess.run(["rm", "-rf", self.path("out")], check=True)
                os.makedirs(self.path("out/Data"))
                out = self.path("out/Data")
                process = harness.start("trevask-extract", ["-d", "out", harness.native(bundle)],
                                        self.dir, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
                fds = "/proc/%d/fd" % process.pid
                deadline = time.time() + 20
                while time.time() < deadline and process.poll() is None:
                    try:
                        targets = [os.readlink(os.path.join(fds, fd)) for fd in os.listdir(fds)]
                    except OSError:
                        targets = []
                    if any(t.startswith(out) for t in targets) and (
                            name == "large" or len(os.listdir(out)) > 20):
                        break
                self.assertIsNone(process.poll(), "finished before it could be stopped")
                if sig == signal.SIGPIPE:
                    process.stdout.close()
                process.send_signal(sig)
                self.assertEqual(process.wait(timeout=30), -sig)
                if sig != signal.SIGPIPE:
                    process.stdout.close()
                # Every file under a real name is whole; no private name is left.
                for left in os.listdir(out):
                    self.assertIn(left, files)
                    self.assertEqual(harness.read_bytes(os.path.join(out, left)), files[left])
                # Without -o the rest comes, what is there is kept; -o then
                # replaces everything, as it was.
                there = bool(os.listdir(out))
                result = run("trevask-extract", ["-q", "-d", "out", bundle], self.dir)
                self.assertEqual(result.returncode, TROUBLE if there else 0, result.stderr)
                self.assertEqual(sorted(os.listdir(out)), sorted(files))
                result = run("trevask-extract", ["-q", "-o", "-d", "out", bundle], self.dir)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(sorted(os.listdir(out)), sorted(files))
                for f, data in files.items():
                    self.assertEqual(harness.read_bytes(os.path.join(out, f)), data)

if __name__ == "__main__":
    unittest.main()
