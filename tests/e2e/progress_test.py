"""The progress line and summary on a terminal (a pseudo-terminal here),
and nothing new when standard error is not one, except the note on an
existing bundle."""
import fcntl
import os
import pty
import re
import struct
import termios
import unittest

import harness


class ProgressTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        harness.make_files(self.path("src/Data"), {"a": b"1" * 1000, "B/b": b"22",
                                                   "B/X/x": b"333", "E/": None})

    def trevask(self, terminal=None):
        return super().trevask("src/Data", "Out.zip", "T", "-r", terminal=terminal)

    def on_terminal(self, *args, columns=80, env=None):
        """What a run of args shows on a pseudo-terminal of that many columns."""
        if harness.WINDOWS:
            self.skipTest("a pseudo-terminal is no Windows console")
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        self.assertEqual(super().trevask(*args, terminal=slave, extra_env=env).returncode, 0)
        os.close(slave)
        screen = b""
        try:
            while chunk := os.read(master, 4096):
                screen += chunk
        except OSError:  # the other end is closed
            pass
        os.close(master)
        return screen

    def test_line_and_summary_on_a_terminal_only(self):
        screen = self.on_terminal("src/Data", "Out.zip", "T", "-r")
        os.remove(self.path("Out.zip"))
        plain = self.trevask()
        self.assertEqual((plain.returncode, plain.stderr), (0, b""))
        self.assertIn(b"\rtrevask: 0 of 4 folders, 0.0 kB of 1.0 kB read", screen)
        self.assertIn(b"\rtrevask: 4 of 4 folders, 1.0 kB of 1.0 kB read", screen)
        # Each archiver line starts on a line of its own, the progress line erased.
        segments = screen.split(b"\r")
        self.assertEqual([s for s in segments if b"PKZIP.EXE:" in s and not s.startswith(b"PKZIP")],
                         [])
        # Standard output's lines are those of a run without a terminal.
        self.assertEqual([s for s in segments if s.startswith(b"PKZIP.EXE:")],
                         plain.stdout.splitlines())
        # Last, the summary on a line of its own (the terminal ends lines in CR LF).
        summary, end = segments[-2:]
        self.assertEqual(end, b"\n")
        self.assertRegex(summary, rb"^\ntrevask: 4 folders, 3 files, 1.0 kB in, bundle [0-9.]+ kB, "
                                  rb"[0-9.]+ s$")

    # A link, where it leads, and the folders and files the walk takes through it.
    LINKS = [("L", "B", 2, 2), ("B/X/up", "../..", 0, 0),  # followed; a loop
             ("D", "../../dst", 0, 0), ("M", "../../T/Data", 0, 0)]  # the bundle's, the mirror's

    def test_counts_are_those_of_the_bundle(self):
        harness.make_files(self.path("dst"), {"keep": b"k"})
        for link, to, more_folders, more_files in self.LINKS:
            with self.subTest(link=link):
                os.symlink(to, self.path("src/Data/" + link))
                screen = self.on_terminal("src/Data", "dst/Out.zip", "T", "-r")
                told = [harness.run("trevask-extract", [c, "dst/Out.zip"], self.dir).stdout
                        for c in ("-l", "-t")]
                os.remove(self.path("dst/Out.zip"))
                os.remove(self.path("src/Data/" + link))
                n, m = 4 + more_folders, 3 + more_files
                self.assertIn(b"\ntrevask: %d folders, %d files, " % (n, m), screen)
                self.assertIn(b"\rtrevask: %d of %d folders" % (n, n), screen)
                self.assertEqual(set(re.findall(rb"of (\d+) folders", screen)), {b"%d" % n})
                # The walk's own lines (not entered: ...) start where the line was erased.
                self.assertNotRegex(screen, rb"[^\r\n]trevask: ")
                self.assertIn(b"%d files, %d folders, " % (m, n), told[0])
                self.assertIn(b"No errors in %d files of %d folders " % (m, n), told[1])

    def test_line_fits_the_terminal(self):
        for columns, env, width in ((40, None, 40), (0, {"COLUMNS": "30"}, 30), (0, None, 80)):
            with self.subTest(columns=columns, env=env):
                screen = self.on_terminal("src/Data", "Out.zip", "T", "-r", columns=columns, env=env)
                os.remove(self.path("Out.zip"))
                # Every write of the line and of its erasing, apart from the
                # archivers' lines and the summary.
                ours = [s for s in screen.split(b"\r") if not s.startswith((b"PKZIP", b"\n"))]
                self.assertLess(max(len(s) for s in ours), width)
                self.assertTrue(all(re.search(rb"\d of 4 folders", s) for s in ours if s.strip()))
                self.assertEqual(width == 80, bool(re.search(rb", \d+ s\b", screen)))  # cut first

    def test_existing_bundle_is_named_once(self):
        self.assertEqual(self.trevask().stderr, b"")
        again = self.trevask()
        self.assertEqual(again.stderr.count(b"\n"), 1)
        self.assertIn(b"Out.zip exists: its members are kept and updated", again.stderr)


if __name__ == "__main__":
    unittest.main()
