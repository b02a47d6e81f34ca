"""The progress line and summary on a terminal (a pseudo-terminal here),
and nothing new when standard error is not one, except the note on an
existing bundle."""
import os
import pty
import unittest

import harness


class ProgressTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        harness.make_files(self.path("src/Data"), {"a": b"1" * 1000, "B/b": b"22",
                                                   "B/X/x": b"333", "E/": None})

    def trevask(self, terminal=None):
        return super().trevask("src/Data", "Out.zip", "T", "-r", terminal=terminal)

    def test_line_and_summary_on_a_terminal_only(self):
        if harness.WINDOWS:
            self.skipTest("a pseudo-terminal is no Windows console")
        master, slave = pty.openpty()
        self.assertEqual(self.trevask(slave).returncode, 0)
        os.close(slave)
        screen = b""
        try:
            while chunk := os.read(master, 4096):
                screen += chunk
        except OSError:  # the other end is closed
            pass
        os.close(master)
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

    def test_existing_bundle_is_named_once(self):
        self.assertEqual(self.trevask().stderr, b"")
        again = self.trevask()
        self.assertEqual(again.stderr.count(b"\n"), 1)
        self.assertIn(b"Out.zip exists: its members are kept and updated", again.stderr)


if __name__ == "__main__":
    unittest.main()
