"""Scale: 10,000 folders, 5,000 subfolders in one folder, and a tree deeper
than the platform's path limit."""
import os

import harness
from harness import FAILURE, zip_infos

PATH_LIMIT = 259 if harness.WINDOWS else 4095


class ScaleTest(harness.ScratchTest):
    def bundle_members(self, path):
        return {name for name, info in zip_infos(path).items() if not info.is_dir()}

    def test_ten_thousand_folders(self):
        expected = {"Data.zip"}
        for a in range(10):
            for b in range(10):
                for c in range(100):
                    rel = "%d/%d/%d" % (a, b, c)
                    os.makedirs(self.path("src/Data/" + rel))
                    expected.add("%s/%d.zip" % (rel, c))
                expected.add("%d/%d/%d.zip" % (a, b, b))
            expected.add("%d/%d.zip" % (a, a))
        harness.make_files(self.dir, {"src/Data/9/9/99/last.txt": b"last"})
        result = self.trevask("src/Data", "out.zip", "T", "-r")
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        self.assertEqual(len(expected), 10111)
        self.assertEqual(self.bundle_members(self.path("out.zip")), expected)

    def test_five_thousand_subfolders(self):
        for i in range(5000):
            os.makedirs(self.path("src/Data/sub %04d" % i))
        harness.make_files(self.dir, {"src/Data/sub 4999/f.txt": b"f"})
        result = self.trevask("src/Data", "out.zip", "T", "-r")
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        members = self.bundle_members(self.path("out.zip"))
        self.assertEqual(len(members), 5001)
        self.assertIn("sub 4999/sub 4999.zip", members)

    def test_tree_deeper_than_the_path_limit(self):
        # Made a level at a time relative to the last, as no path could name
        # the deepest folders.
        name = "d" * (25 if harness.WINDOWS else 200)
        levels = PATH_LIMIT // (len(name) + 1) + 2
        os.makedirs(self.path("src/Data"))
        fd = os.open(self.path("src/Data"), os.O_RDONLY)
        try:
            for _ in range(levels):
                os.mkdir(name, dir_fd=fd)
                child = os.open(name, os.O_RDONLY, dir_fd=fd)
                os.close(fd)
                fd = child
                with open(os.open("f.txt", os.O_WRONLY | os.O_CREAT, dir_fd=fd), "wb") as f:
                    f.write(b"deep")
        finally:
            os.close(fd)
        result = self.trevask("src/Data", "out.zip", "T")
        # Refused before anything is made: no crash, no truncated path, no
        # walk that stops halfway.
        self.assertEqual(result.returncode, FAILURE, result.stderr[-2000:])
        self.assertIn(b"over the limit", result.stderr)
        self.assertIn(b"cannot be archived: " + harness.native("src/Data/").encode() + b"d",
                      result.stderr)
        self.assertFalse(os.path.exists(self.path("out.zip")))
        self.assertFalse(os.path.exists(self.path("T")))


if __name__ == "__main__":
    import unittest
    unittest.main()
