"""-jN: archiver runs at once, with the output, the failures and the bundle of
runs one at a time. The recording archiver logs each run's start and end;
its waits (TREVASK_RECORD_WAIT) make the overlaps these tests need happen
every time, not by luck."""
import os
import signal
import subprocess
import time
import unittest

import harness
from harness import FAILURE, native, target_path

# The walk's order: B, X, Y (B's walk), Data, A, C; the bundle (out.zip) last.
TREE = {"src/Data/d.txt": b"d", "src/Data/A/a.txt": b"a", "src/Data/B/b.txt": b"b",
        "src/Data/B/X/x.txt": b"x", "src/Data/B/Y/y.txt": b"y", "src/Data/C/c.txt": b"c"}
CORES = min(len(os.sched_getaffinity(0)), 64)


def wait_until(done, seconds=30):
    deadline = time.monotonic() + seconds
    while not done() and time.monotonic() < deadline:
        time.sleep(0.05)


def status_of(proc):
    """Its exit status, or "still running" once 30 s have gone (killed)."""
    try:
        return proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return "still running"


def ignore_hup_and_term():
    for sig in (signal.SIGHUP, signal.SIGTERM):
        signal.signal(sig, signal.SIG_IGN)


def pipe_full(pipe):
    """Whether the pipe has no room for another page (Linux)."""
    import array
    import fcntl
    import termios
    count = array.array("i", [0])
    fcntl.ioctl(pipe.fileno(), termios.FIONREAD, count)
    return count[0] > fcntl.fcntl(pipe.fileno(), fcntl.F_GETPIPE_SZ) - 4096


@unittest.skipUnless(harness.RECORDER_DIR, "TREVASK_RECORDER_DIR is not set")
class JobsTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        harness.make_files(self.dir, TREE)
        os.mkdir(self.path("marks"))

    def record(self, *options, wait=(), args=None, background=False, plain=None, pipe=False,
               preexec_fn=None, **env):
        """Trevask over src/Data with the recording archiver; wait holds
        (archive text, file, content) rules, files relative to the scratch
        folder."""
        # A fresh TempFolder and bundle each time.
        harness.shutil.rmtree(self.path("T"), True)
        for name in ["spans", "out", "err", "out.zip"] + [
                "marks/" + m for m in os.listdir(self.path("marks"))]:
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))
        extra = {"TREVASK_RECORD_SPANS": target_path(self.path("spans")),
                 "TREVASK_RECORD_MARKS": target_path(self.path("marks")),
                 "TREVASK_RECORD_WAIT": "\n".join(
                     "%s|%s|%s" % (text, target_path(self.path(f)), content)
                     for text, f, content in wait)}
        extra.update({"TREVASK_RECORD_" + k: v for k, v in env.items()})
        extra.update(plain or {})
        argv = harness.command("trevask", args or [native(a) for a in
                                                   ("src/Data", "out.zip", "T") + options])
        out, err = open(self.path("out"), "wb"), open(self.path("err"), "wb")
        proc = subprocess.Popen(argv, cwd=self.dir, stdout=subprocess.PIPE if pipe else out,
                                stderr=err, preexec_fn=preexec_fn,
                                env=harness.environment(harness.search_path(harness.RECORDER_DIR),
                                                        extra))
        if background:
            return proc
        proc.wait(timeout=120)
        out.close()
        err.close()
        return proc.returncode, harness.read_bytes(self.path("out")), harness.read_bytes(
            self.path("err"))

    def spans(self):
        """[(start|end, archive, TREVASK_THREADS)] and the most at once."""
        events, running, most = [], 0, 0
        with open(self.path("spans")) as f:
            for line in f:
                words = line.split()
                events.append(tuple(words))
                running += 1 if words[0] == "start" else -1
                most = max(most, running)
        return events, most

    def test_at_once_order_output_and_threads(self):
        # B waits for X's start: at -j2 two run at once. X writes 3 MiB,
        # held while B runs: beyond what is held in memory. The walk says
        # "not entered" of C's loop while B's runs go on. POSIX: what
        # trevask was started with ignored (HUP, TERM) stays so in each
        # archiver, and XFSZ, which it ignores itself; those it handles are
        # the archivers' own.
        ignored = self.path("ignored")
        if not harness.WINDOWS:
            os.symlink("..", self.path("src/Data/C/loop"))
        one = self.record(ECHO="1", ECHO_BIG="X.zip")
        self.assertEqual(one[0], 0, one[2])
        for options, wait, most, threads, user in (
                ((), (), 1, "-", None), (("-j1",), (), 1, "-", None),
                (("-j2",), (("B.zip", "marks/X.zip.started", ""),), 2,
                 str(max(0, CORES // 2 - 1)), None),
                (("-j2",), (("B.zip", "marks/X.zip.started", ""),), 2, "3", "3")):
            with self.subTest(options=options, user=user):
                if os.path.exists(ignored):
                    os.remove(ignored)
                got = self.record(*options, wait=wait, ECHO="1", ECHO_BIG="X.zip",
                                  plain={"TREVASK_THREADS": user} if user else {},
                                  IGNORED="" if harness.WINDOWS else target_path(ignored),
                                  preexec_fn=None if harness.WINDOWS else ignore_hup_and_term)
                if not harness.WINDOWS:
                    with open(ignored) as f:
                        said = [line.split() for line in f.read().splitlines()]
                    self.assertEqual(len(said), 7, said)
                    self.assertEqual({" ".join(w[1:]) for w in said}, {"%d %d %d" % (
                        signal.SIGHUP, signal.SIGTERM, signal.SIGXFSZ)})
                # Megabytes: the first line that differs, not a diff.
                for mine, theirs in zip(got, one):
                    if mine != theirs:
                        lines = zip(bytes(mine).split(b"\n"), bytes(theirs).split(b"\n"))
                        self.fail(next((pair for pair in lines if pair[0] != pair[1]),
                                       "one is cut short"))
                events, at_once = self.spans()
                self.assertEqual(at_once, most, events)
                folders = [e for e in events if e[1] != "out.zip"]
                self.assertEqual({e[2] for e in folders if e[0] == "start"}, {threads})
                # The bundle run starts after every folder run has ended.
                self.assertEqual(events[-2:], [("start", "out.zip", user or "-"),
                                               ("end", "out.zip")])
                self.assertEqual(harness.read_zip(self.path("out.zip")).keys(),
                                 {"Data.zip", "A/A.zip", "B/B.zip", "B/X/X.zip", "B/Y/Y.zip",
                                  "C/C.zip", "A/", "B/", "B/X/", "B/Y/", "C/"})

    def test_forms_of_the_option(self):
        # B waits for X, only a second where one at a time is right: any form
        # that let two run at once would.
        for options, said in (
                (("-j0",), b"-j0 is not understood"), (("-jx",), b"-jx is not understood"),
                (("-j65",), b"-j65 is not understood"), (("-j02",), b"-j02 is not understood"),
                (("-j2", "-j1"), None), (("-j",), None)):
            with self.subTest(options=options):
                status, _, err = self.record(*options,
                                             WAIT_MS="20000" if options == ("-j",) else "1000",
                                             wait=(("B.zip", "marks/X.zip.started", ""),))
                self.assertEqual(status, 0, err)
                self.assertEqual(err.count(b"not understood"), 0 if said is None else 1, err)
                if said is not None:
                    self.assertIn(b"trevask: " + said + b" and is ignored", err)
                at_once = self.spans()[1]
                if options == ("-j",):
                    self.assertTrue(min(CORES, 2) <= at_once <= CORES, at_once)
                else:
                    self.assertEqual(at_once, 1)
        status, _, err = self.record(args=[native(a) for a in ("-j2", "src/Data", "out.zip", "T")])
        self.assertEqual(status, FAILURE)
        self.assertIn(b"SourceFolder is not an existing folder", err)

    def leaves(self):
        """Data's leaves in the order one at a time starts them."""
        self.assertEqual(self.record()[0], 0)
        order = [e[1][:-4] for e in self.spans()[0] if e[0] == "start"]
        return [n for n in order[order.index("Data") + 1:] if n != "out"]

    def test_failed_own_archive_and_failed_leaf(self):
        harness.make_files(self.dir, {"src/Data/D/d.txt": b"d", "src/Data/E/e.txt": b"e"})
        leaves = self.leaves()
        # Data's own run fails once its first leaf's has started, a leaf's
        # once the next one's has; the one started last ends once the
        # failure is said: the rest is never started. A leaf's failure
        # counts from its end, though Data's own run (waiting for a start
        # that must not come) goes on: nothing more of Data starts.
        def fails_after_next(failing, last):
            return ((failing + ".zip", "marks/%s.zip.started" % last, ""),
                    (last + ".zip", "err", "after that failure"))
        for failing, started, wait, most in (
                ("Data", 1, fails_after_next("Data", leaves[0]), "20000"),
                (leaves[0], 2, fails_after_next(leaves[0], leaves[1]), "20000"),
                (leaves[0], 1, (("Data.zip", "marks/%s.zip.started" % leaves[1], ""),), "2000")):
            with self.subTest(failing=failing, started=started):
                status, out, err = self.record("-j2", "-r", FAIL_TEXT=failing + ".zip",
                                               WAIT_MS=most, wait=wait)
                self.assertEqual(status, FAILURE, err)
                self.assertEqual(out.count(b"PKZIP Compress Error!"), 1, out)
                line = "trevask: not archived after that failure: " + ", ".join(
                    native("src/Data/") + n for n in leaves[started:])
                self.assertIn(line.encode() + (b"\r\n" if harness.WINDOWS else b"\n"), err)
                self.assertEqual(err.count(b"not archived"), 1, err)
                # What was started stays, in the mirror and the bundle.
                members = harness.read_zip(self.path("out.zip")).keys()
                self.assertEqual({n for n in leaves if "%s/%s.zip" % (n, n) in members},
                                 set(leaves[:started]) - {failing})
                self.assertTrue(os.path.isdir(self.path("T/Data")), "the mirror is kept")


    @unittest.skipIf(harness.WINDOWS, "POSIX file size limits")
    def test_held_output_past_a_scratch_file_that_fails(self):
        # B waits for X's end: X's 3 MiB are all held, 1 MiB in memory and
        # the rest in a scratch file that fills up (a file size limit, as a
        # full disk would) or cannot be made at all.
        one = self.record(ECHO="1", ECHO_BIG="X.zip")
        self.assertEqual(one[0], 0, one[2])

        def limit():
            import resource
            resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 10, 64 << 10))

        for preexec_fn, tmpdir in ((limit, None), (None, self.path("missing"))):
            with self.subTest(limit=preexec_fn is not None, tmpdir=tmpdir):
                # A pipe: the limit would stop the output itself in a file.
                proc = self.record("-j2", ECHO="1", ECHO_BIG="X.zip", preexec_fn=preexec_fn,
                                   wait=(("B.zip", "spans", "end X.zip"),), background=True,
                                   pipe=True, plain={"TMPDIR": tmpdir} if tmpdir else {})
                out = proc.communicate(timeout=120)[0]
                err = harness.read_bytes(self.path("err"))
                self.assertEqual(proc.returncode, 0, err)
                self.assertEqual(self.spans()[1], 2)
                # Megabytes: the sizes and whether they match, not a diff.
                self.assertEqual((len(out), out == one[1]), (len(one[1]), True))
                self.assertEqual(err, one[2])

    @unittest.skipIf(harness.WINDOWS, "POSIX signals")
    def test_interrupt_and_closed_pipe_end_every_run(self):
        # Stalled: B's 3 MiB fill a pipe that is never read.
        for sig, output in ((signal.SIGINT, "file"), (signal.SIGTERM, "file"),
                            (signal.SIGPIPE, "closed"), (signal.SIGTERM, "stalled")):
            with self.subTest(sig=sig, output=output):
                closed = output == "closed"
                proc = self.record("-j2", "-r", background=True, pipe=output != "file",
                                   HANG_TEXT="Data", ECHO="" if output == "file" else "1",
                                   ECHO_BIG="B.zip" if output == "stalled" else "")
                wait_until(lambda: len(os.listdir(self.path("marks"))) >= 2)
                pids = [int(harness.read_bytes(os.path.join(self.path("marks"), m)))
                        for m in os.listdir(self.path("marks"))]
                self.assertEqual(len(pids), 2, "two runs at once")
                if closed:
                    proc.stdout.readline()
                    proc.stdout.close()
                else:
                    wait_until(lambda: output != "stalled" or pipe_full(proc.stdout))
                    proc.send_signal(sig)
                status = status_of(proc)
                if proc.stdout:
                    proc.stdout.close()
                self.assertEqual(status, -sig)
                for pid in pids:
                    self.assertFalse(os.path.exists("/proc/%d" % pid), "an archiver outlived it")
                self.assertFalse(os.path.exists(self.path("T/Data")), "-r removes the mirror")

    @unittest.skipIf(harness.WINDOWS, "POSIX processes")
    def test_a_process_left_holding_the_output(self):
        # Data's archiver leaves a process that holds its stdout and stderr
        # open until "release" exists: the run waits for the archiver alone,
        # as one at a time, and an interruption still ends it.
        def alive(pid):
            try:
                with open("/proc/%d/stat" % pid) as f:
                    return f.read().rsplit(")", 1)[1].split()[0] != "Z"
            except OSError:
                return False

        def release():
            pid = int(harness.read_bytes(self.path("marks/Data.zip.linger")))
            self.assertTrue(alive(pid), "the process left lives on")
            open(self.path("release"), "w").close()
            wait_until(lambda: not alive(pid))
            os.remove(self.path("release"))

        knobs = dict(LINGER="Data.zip", ECHO="1", HANG_UNTIL=target_path(self.path("release")))
        one = self.record("-r", **knobs)
        self.assertEqual(one[0], 0, one[2])
        release()
        for sig in (None, signal.SIGTERM):
            with self.subTest(sig=sig):
                proc = self.record("-j2", "-r", background=True, HANG_TEXT="Data.zip" if sig else "",
                                   **knobs)
                if sig:
                    wait_until(lambda: os.path.exists(self.path("marks/Data.zip.linger")))
                    proc.send_signal(sig)
                status = status_of(proc)
                self.assertEqual(status, -sig if sig else 0)
                if not sig:
                    self.assertEqual((harness.read_bytes(self.path("out")),
                                      harness.read_bytes(self.path("err"))), one[1:])
                self.assertFalse(os.path.exists(self.path("T/Data")), "-r removes the mirror")
                release()

    def test_same_bundle_as_one_at_a_time(self):
        harness.make_files(self.dir, {"src/Data/B/X/%d.txt" % i: b"%d" % i * 500 for i in range(40)})
        bundles = []
        for n, options in enumerate(((), ("-j2",), ("-j",))):
            result = self.trevask("src/Data", "out%d.zip" % n, "T%d" % n, *options,
                                  extra_env={"SOURCE_DATE_EPOCH": "1700000000"})
            self.assertEqual(result.returncode, 0, result.stderr)
            bundles.append(harness.read_bytes(self.path("out%d.zip" % n)))
        self.assertEqual(bundles[1], bundles[0])
        self.assertEqual(bundles[2], bundles[0])


if __name__ == "__main__":
    unittest.main()
