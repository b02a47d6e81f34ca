"""A sparse file over 4 GiB through PKZIP.EXE: zip64, a correct read-back,
and the archiver's memory staying flat."""
import os
import resource
import unittest
import zipfile

import harness
from harness import native, run

SIZE = 4 * 1024 ** 3 + 300 * 1024 ** 2
MARKS = {0: b"first", 2 ** 32 - 2: b"straddles 4 GiB", SIZE - 4: b"last"}
MEMORY_LIMIT = 48 * 1024 ** 2
CHUNK = 8 * 1024 ** 2


class LargeFileTest(harness.ScratchTest):
    @unittest.skipIf(harness.EMULATOR, "the child's memory is measured natively")
    def test_file_over_4_gib_round_trips_with_flat_memory(self):
        os.makedirs(self.path("big"))
        with open(self.path("big/sparse.bin"), "wb") as f:
            f.truncate(SIZE)
            for offset, data in MARKS.items():
                f.seek(offset)
                f.write(data)
        result = run("PKZIP.EXE", ["-a", "big.zip", native("big/*.*")], self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
        print("archiver peak memory: %.1f MiB for a %.2f GiB file"
              % (peak / 1024 ** 2, SIZE / 1024 ** 3))
        self.assertLess(peak, MEMORY_LIMIT)

        with zipfile.ZipFile(self.path("big.zip")) as z:
            info = z.getinfo("sparse.bin")
            self.assertEqual(info.file_size, SIZE)
            with z.open(info) as member:  # checks the CRC at the end
                position, tail, found = 0, b"", set()
                while True:
                    chunk = member.read(CHUNK)
                    if not chunk:
                        break
                    # The tail of the last chunk lets a mark straddle two.
                    window, base = tail + chunk, position - len(tail)
                    for offset, data in MARKS.items():
                        start = offset - base
                        if 0 <= start and start + len(data) <= len(window):
                            self.assertEqual(window[start:start + len(data)], data)
                            found.add(offset)
                    position += len(chunk)
                    tail = window[-64:]
                self.assertEqual(position, SIZE)
                self.assertEqual(found, set(MARKS))


if __name__ == "__main__":
    unittest.main()
