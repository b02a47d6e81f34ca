"""Every refusal, and every way a plausible command line could harm data:
after each case the exit status is as stated, the message names the cause,
and nothing changed outside the mirror folder and the bundle."""
import os
import shutil
import unittest
import uuid

import harness
from harness import FAILURE, changed_paths, native, snapshot

POSIX = not harness.WINDOWS
TREE = {
    "src/Data/d.txt": b"d", "src/Data/A/a.txt": b"a", "src/Data/B/b.txt": b"b",
    "src/Data/B/X/x.txt": b"x", "canary/keep.txt": b"keep", "proj/Documents/p.txt": b"p",
    "Documents/mine.txt": b"mine", "file.txt": b"file",
    "elsewhere/e.txt": b"elsewhere",
}


# TempFolder "" or "/" puts the mirror folder at the root. The cases aim it
# at a canary folder of their own there, never at a folder of the system's,
# so that even a build that gets them wrong can harm nothing else.
CANARY = "trevask-canary-" + uuid.uuid4().hex[:12]


def root_canary(t):
    if os.name != "posix" or os.geteuid() != 0 or not os.access("/", os.W_OK):
        raise unittest.SkipTest("a folder at / needs root")
    shutil.rmtree("/" + CANARY, True)
    os.mkdir("/" + CANARY)
    t.addCleanup(shutil.rmtree, "/" + CANARY, True)
    harness.make_files("/" + CANARY, {"keep.txt": b"keep"})
    harness.make_files(t.dir, {"backup/" + CANARY + "/e.txt": b"e"})


def link(target, name):
    return lambda t: os.symlink(target, t.path(name))


def chmod(name, mode):
    return lambda t: os.chmod(t.path(name), mode)


# (label, arguments, setup, exit status, stderr text, paths allowed to change,
#  only on POSIX, run as an unprivileged user)
CASES = [
    ("empty TempFolder", ["backup/" + CANARY, "Out.zip", "", "-r"], root_canary, FAILURE,
     b"TempFolder is empty", (), True, False),
    ("empty SourceFolder", ["", "Out.zip", "T"], None, FAILURE, b"SourceFolder is empty", (), False, False),
    ("empty DstFileName", ["src/Data", "", "T"], None, FAILURE, b"DstFileName is empty", (), False, False),
    ("-r over the user's own folder", ["proj/Documents", "d.zip", ".", "-r"], None, FAILURE,
     b"already exists and -r would remove it", (), False, False),
    ("the user's own folder as the mirror", ["proj/Documents", "d.zip", "."], None, FAILURE,
     b"the mirror tree holds what no run of trevask made (" + native("./Documents/mine.txt").encode(),
     (), False, False),
    ("-r over a folder at /", ["backup/" + CANARY, "out.zip", "/", "-r"], root_canary, FAILURE,
     b"already exists and -r would remove it", (), True, False),
    ("TempFolder is a file", ["src/Data", "Out.zip", "file.txt"], None, FAILURE,
     b"TempFolder exists and is not a folder", (), False, False),
    ("DstFileName is a folder", ["src/Data", "canary", "T"], None, FAILURE,
     b"DstFileName is an existing folder", (), False, False),
    ("DstFileName inside the source", ["src/Data", "src/Data/keep.zip", "T"], None, FAILURE,
     b"DstFileName lies inside SourceFolder", (), False, False),
    ("DstFileName inside a kept mirror folder", ["src/Data", "T/Data/keep.zip", "T"],
     lambda t: os.makedirs(t.path("T/Data")), FAILURE,
     b"DstFileName lies inside the mirror folder", (), False, False),
    ("bundle through a link into the mirror", ["src", "Tlink/out.zip", "T9", "-r"],
     lambda t: (os.mkdir(t.path("T9")), os.symlink("T9/src", t.path("Tlink"))), FAILURE,
     b"the folder of DstFileName does not exist", (), True, False),
    ("mirror folder is a link", ["src/Data", "Out.zip", "T"],
     lambda t: (os.mkdir(t.path("T")), os.symlink("../elsewhere", t.path("T/Data"))), FAILURE,
     b"exists as a link", (), True, False),
    ("mirror passes through a link", ["./src/Data", "Out.zip", "T"],
     lambda t: (os.mkdir(t.path("T")), os.symlink("../elsewhere", t.path("T/src"))), FAILURE,
     b"pass through a link", (), True, False),
    ("link planted in the mirror", ["src/Data", "Out.zip", "T"],
     lambda t: (os.makedirs(t.path("T/Data")), os.symlink("../../elsewhere", t.path("T/Data/B"))),
     FAILURE, b"what no run of trevask made (T/Data/B)", (), True, False),
    ("archive clashes with a subfolder", ["src/Data", "Out.zip", "T"],
     lambda t: harness.make_files(t.dir, {"src/Data/Data.zip/z.txt": b"z"}), FAILURE,
     b"has a subfolder of that name", (), False, False),
    ("a folder where the mirror's archive goes", ["src/Data", "Out.zip", "T"],
     lambda t: os.makedirs(t.path("T/Data/B/B.zip")), FAILURE,
     b"what no run of trevask made (T/Data/B/B.zip)", (), False, False),
    ("paths that look like options", ["src/Data", "-out.zip", "-T", "-r"], None, 0, b"",
     ("-T/", "-out.zip"), False, False),
    ("unreadable file", ["src/Data", "Out.zip", "T", "-r"], chmod("src/Data/A/a.txt", 0),
     FAILURE, b"Permission denied", ("T/", "Out.zip"), True, True),
    ("folder without search permission", ["src/Data", "Out.zip", "T", "-r"],
     chmod("src/Data/B/X", 0o644), FAILURE, b"Permission denied", ("T/", "Out.zip"), True, True),
]


class SafetyTest(harness.ScratchTest):
    def test_every_case_harms_nothing(self):
        root = self.dir
        for number, case in enumerate(CASES):
            label, args, setup, status, message, allowed, posix_only, unprivileged = case
            if posix_only and not POSIX:
                continue
            with self.subTest(label):
                self.dir = os.path.join(root, str(number))
                os.mkdir(self.dir)
                harness.make_files(self.dir, TREE)
                if setup:
                    try:
                        setup(self)
                    except unittest.SkipTest:
                        continue
                drop = harness.unprivileged(self, self.dir) if unprivileged else None
                before = snapshot(self.dir)
                # A build that lets the bundle into the mirror folder waits
                # for the lock its own archiver holds there.
                result = self.trevask(*args, preexec_fn=drop, timeout=120)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(native(message.decode()).encode(), result.stderr)
                for path in changed_paths(before, snapshot(self.dir)):
                    self.assertTrue(path.startswith(allowed) or path in ("T/", "-T/"),
                                    label + " changed " + path)
                if status != 0 and not allowed:
                    self.assertEqual(result.stdout, b"")
                if setup is root_canary:
                    self.assertEqual(sorted(os.listdir("/" + CANARY)), ["keep.txt"])
        self.dir = root


if __name__ == "__main__":
    unittest.main()
