"""Odd destinations, signals and unusable folders (POSIX): every case ends in
a refusal up front, a failed run with a message, or a run ended by its
signal, never a hang, never an archiver left running, nothing left behind
but what existed before."""
import os
import signal
import subprocess
import time
import unittest

import harness
from harness import FAILURE, snapshot

# An archiver that hangs on the chosen run, deaf to the usual signals as
# one stuck in the kernel would be, or (HANG_DEAF empty) one that writes
# down the signal it gets and ends by it; every other run is the real one.
# The mark is written once the traps are set.
HANGING = """#!/bin/sh
n=$(( $(cat "$HANG_COUNT" 2>/dev/null || echo 0) + 1 ))
echo $n > "$HANG_COUNT"
if [ "$n" = "$HANG_RUN" ]; then
  if [ -n "$HANG_DEAF" ]; then
    trap '' INT TERM HUP QUIT
    echo $$ > "$HANG_MARK"
    exec sleep 30
  fi
  got() { echo $1 > "$HANG_GOT"; kill $sleeper; trap - $1; kill -$1 $$; }
  sleep 30 &
  sleeper=$!
  for s in INT TERM HUP QUIT; do trap "got $s" $s; done
  echo $$ > "$HANG_MARK"
  wait
  exit 1
fi
exec "$REAL_DIR/$(basename "$0")" "$@"
"""

TREE = {"src/Data/d.txt": b"d", "src/Data/A/a.txt": b"a", "src/Data/B/b.txt": b"b"}


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


@unittest.skipIf(harness.WINDOWS, "POSIX signals")
class InterruptTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        harness.make_files(self.dir, TREE)
        os.mkdir(self.path("bin"))
        for name in ("PKZIP.EXE", "PKZIPC.EXE"):
            with open(self.path("bin/" + name), "w") as f:
                f.write(HANGING)
            os.chmod(self.path("bin/" + name), 0o755)
        self.drop = harness.unprivileged(self, self.dir)

    def start(self, args, hang_run, group, deaf=True):
        env = dict(REAL_DIR=harness.BIN_DIR, HANG_RUN=str(hang_run),
                   HANG_COUNT=self.path("count"), HANG_MARK=self.path("mark"),
                   HANG_GOT=self.path("got"), HANG_DEAF="1" if deaf else "")
        for name in ("count", "mark", "got"):
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))

        def child():
            if group:
                os.setsid()
            if self.drop:
                self.drop()
        return harness.start("trevask", args, self.dir,
                             env_path=harness.search_path(self.path("bin")), extra_env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=child)

    def wait_for(self, path, proc):
        deadline = time.monotonic() + 20
        while not os.path.exists(path) or os.path.getsize(path) == 0:
            self.assertIsNone(proc.poll(), "the run ended before the hang")
            self.assertLess(time.monotonic(), deadline, "the hanging run never came")
            time.sleep(0.02)
        with open(path) as f:
            return int(f.read())

    def test_signals_end_the_archiver_and_the_run(self):
        before = snapshot(self.dir)
        # (signal, sent to the whole group, to trevask or to the archiver
        # alone, run that hangs, archiver deaf to it). trevask passes a
        # signal on; an archiver ended by Ctrl-C alone ends the run as well.
        cases = [(signal.SIGINT, "group", 2, True), (signal.SIGTERM, "trevask", 1, True),
                 (signal.SIGHUP, "trevask", 4, True), (signal.SIGTERM, "group", 1, True),
                 (signal.SIGINT, "trevask", 3, True), (signal.SIGHUP, "group", 2, True),
                 (signal.SIGTERM, "trevask", 1, False), (signal.SIGINT, "trevask", 3, False),
                 (signal.SIGINT, "archiver", 2, False)]
        for sig, target, hang_run, deaf in cases:
            with self.subTest(signal=sig.name, to=target, run=hang_run, deaf=deaf):
                proc = self.start(["src/Data", "out.zip", "T", "-r"], hang_run,
                                  target == "group", deaf)
                archiver = self.wait_for(self.path("mark"), proc)
                sent = time.monotonic()
                if target == "group":
                    os.killpg(proc.pid, sig)
                elif target == "trevask":
                    proc.send_signal(sig)
                else:
                    os.kill(archiver, sig)
                proc.wait(timeout=10)
                self.assertLess(time.monotonic() - sent, 2.0, "ended too slowly")
                self.assertEqual(proc.returncode, -sig)
                proc.stderr.close()
                time.sleep(0.05)
                self.assertFalse(alive(archiver), "the archiver outlived the run")
                # No archiver ran after the one that was stopped.
                self.assertEqual(harness.read_bytes(self.path("count")).strip(),
                                 str(hang_run).encode())
                if not deaf:
                    got = self.path("got")
                    got = harness.read_bytes(got).strip() if os.path.exists(got) else b"nothing"
                    self.assertEqual(got, sig.name[3:].encode(), "what the archiver got")
                # The mirror folder was this run's own: gone, so the same
                # command works again.
                after = snapshot(self.dir)
                self.assertEqual(harness.changed_paths(before, after),
                                 ["T/", "count", "mark"] if deaf else ["T/", "count", "got", "mark"])
                self.assertEqual(os.listdir(self.path("T")), [])
        rerun = self.start(["src/Data", "out.zip", "T", "-r"], 0, False)
        self.assertEqual(rerun.wait(timeout=60), 0, rerun.stderr.read())
        rerun.stderr.close()
        self.assertIn("A/A.zip", harness.zip_infos(self.path("out.zip")))

    def test_refused_or_failed_with_the_reason(self):
        os.mkfifo(self.path("fifo.zip"))
        os.symlink("fifo.zip", self.path("link.zip"))
        os.mkdir(self.path("roT"))
        os.mkdir(self.path("roT/src"))
        if self.drop:
            for name in ("fifo.zip", "roT", "roT/src"):
                os.lchown(self.path(name), 65534, 65534)
        os.chmod(self.path("roT"), 0o555)
        before = snapshot(self.dir)
        # (arguments, what stderr says)
        cases = [
            (["src/Data", "fifo.zip", "T"], b"DstFileName exists and is not a regular file"),
            (["src/Data", "link.zip", "T"], b"DstFileName exists and is not a regular file"),
            (["src/Data", "out.zip", "roT"], b"cannot make the folder roT/Data: Permission denied"),
            # Separators where TempFolder and the relative part meet are one.
            (["src//Data", "out.zip", "roT//", "-r"],
             b"trevask: cannot make the mirror folder: Permission denied: roT/Data\n"),
        ]
        for args, said in cases:
            with self.subTest(args=args):
                result = harness.run("trevask", args, self.dir, env_path=harness.BIN_DIR,
                                     preexec_fn=self.drop, timeout=20)
                self.assertEqual(result.returncode, FAILURE, result.stderr)
                self.assertIn(said, result.stderr)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(snapshot(self.dir), before)

    def test_an_archiver_whose_trevask_is_gone_writes_nothing(self):
        gone = subprocess.Popen(["true"])
        gone.wait()
        archiver = harness.program("PKZIP.EXE")
        # (who hands its pid, how the archiver is started, writes the archive)
        cases = [("its parent", [archiver], True),
                 ("a parent of a shell between", ["sh", "-c", '"$0" "$@"; exit $?', archiver], True),
                 ("a process that is gone", [archiver], False)]
        for who, start, writes in cases:
            with self.subTest(pid=who):
                if os.path.exists(self.path("a.zip")):
                    os.remove(self.path("a.zip"))
                pid = gone.pid if not writes else os.getpid()
                result = subprocess.run(start + ["-a", "a.zip", "src/Data/*.*"], cwd=self.dir,
                                        env=dict(os.environ, TREVASK_PARENT_PID=str(pid)),
                                        preexec_fn=self.drop, capture_output=True, timeout=20)
                self.assertEqual(os.path.exists(self.path("a.zip")), writes, result.stderr)
                if not writes:
                    self.assertEqual(result.returncode, -signal.SIGTERM)
                    self.assertIn(b"which started this run, is gone; nothing is written",
                                  result.stderr)

    def test_trevask_killed_in_the_bundle_step_leaves_the_bundle_as_it_was(self):
        proc = self.start(["src/Data", "out.zip", "T"], 0, False)
        self.assertEqual(proc.wait(timeout=60), 0, proc.stderr.read())
        proc.stderr.close()
        before = harness.read_bytes(self.path("out.zip"))
        # Enough to copy that the bundle step is caught while it runs.
        with open(self.path("src/Data/A/big"), "wb") as f:
            f.write(os.urandom(96 << 20))
        if self.drop:
            os.lchown(self.path("src/Data/A/big"), 65534, 65534)
        proc = self.start(["src/Data", "out.zip", "T"], 0, False)
        large = os.path.realpath(self.path("T/Data/A/A.zip"))

        def bundling(pid):
            # Once it reads the large archive it is past its first checks:
            # only the death signal can end it now.
            try:
                return (b"-rp" in harness.read_bytes("/proc/%s/cmdline" % pid).split(b"\0") and
                        large in (os.path.realpath("/proc/%s/fd/%s" % (pid, fd))
                                  for fd in os.listdir("/proc/%s/fd" % pid)))
            except OSError:
                return False
        children = "/proc/%d/task/%d/children" % (proc.pid, proc.pid)
        bundler = None
        while bundler is None and proc.poll() is None:
            bundler = next((int(pid) for pid in harness.read_bytes(children).split()
                            if bundling(int(pid))), None)
        self.assertIsNotNone(bundler, "the bundle step was not caught")
        proc.kill()
        proc.wait(timeout=10)
        proc.stderr.close()
        deadline = time.monotonic() + 5
        while alive(bundler) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertFalse(alive(bundler), "the archiver outlived trevask")
        self.assertTrue(harness.read_bytes(self.path("out.zip")) == before, "the bundle changed")
        self.assertEqual(sorted(n for n in os.listdir(self.dir) if n.startswith("out")),
                         ["out.zip"])

    def test_process_limit_is_a_failure_not_an_abort(self):
        import resource

        def limited():
            self.drop()
            resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
        if not self.drop:
            raise unittest.SkipTest("the limit needs a user of its own")
        result = harness.run("trevask", ["src/Data", "out.zip", "T"], self.dir,
                             env_path=harness.BIN_DIR, preexec_fn=limited, timeout=20)
        self.assertEqual(result.returncode, FAILURE, result.stderr)
        # Said once; nothing more is tried.
        self.assertEqual(result.stderr.count(b"cannot start"), 1, result.stderr)
        self.assertEqual(result.stdout, b"PKZIP Compress Error!")


@unittest.skipUnless(harness.WINDOWS and harness.RECORDER_DIR, "a Windows job object")
class JobTest(harness.ScratchTest):
    def test_killing_trevask_ends_what_it_started(self):
        harness.make_files(self.dir, TREE)
        beat = os.path.join(self.dir, "beat")
        env = dict(TREVASK_RECORD_LOG=harness.target_path(os.path.join(self.dir, "log")),
                   TREVASK_RECORD_HANG_RUN="1", TREVASK_RECORD_HANG_FILE=harness.target_path(beat))
        with open(os.path.join(self.dir, "out"), "wb") as out:
            proc = harness.start("trevask", ["src\\Data", "o.zip", "T"], self.dir,
                                 env_path=harness.search_path(harness.RECORDER_DIR),
                                 extra_env=env, stdout=out, stderr=out)
            deadline = time.monotonic() + 60
            while not os.path.exists(beat) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertTrue(os.path.exists(beat), "the archiver never ran")
            proc.kill()
            proc.wait(timeout=10)
        time.sleep(2)
        size = os.path.getsize(beat)
        time.sleep(1)
        self.assertEqual(os.path.getsize(beat), size, "the archiver outlived trevask")


if __name__ == "__main__":
    unittest.main()
