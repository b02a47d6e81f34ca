"""Folder names drawn at random, with a fixed seed, from what the platform
allows: every name comes back byte for byte as an archive name, every file
byte for byte, no name runs a command, and the exit status is 0."""
import os
import random
import unittest

import harness
from harness import native, run, search_path

SEED = 20261207
TREES = int(os.environ.get("TREVASK_PROPERTY_TREES", "20"))

# Pieces that a careless shell line would run; "pwned" must never appear.
ATTACKS = ["$(touch pwned)", "`touch pwned`", ";touch pwned", "&echo>pwned", "|tee pwned"]
if harness.WINDOWS:
    # No '"*?|<>:\\/' in Windows names, and '%' is refused by design; only
    # ASCII, since the ANSI code page under Wine is not known here.
    ALPHABET = list("abcXYZ019 _-.,;=&^()!'`$#@~+[]{}")
    ATTACKS = [a for a in ATTACKS if not set(a) & set('"*?|<>:\\/')]
else:
    ALPHABET = (list("abcXYZ019 _-.,;=&^()!'`$#@~+[]{}\"*?|<>%\\\t\n") +
                ["é", "日本", "\udcff"])  # the last is the raw byte 0xff


def random_name(rng, taken):
    while True:
        if rng.random() < 0.2:
            name = rng.choice(ATTACKS)
        else:
            name = "".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 10)))
        if rng.random() < 0.1:
            name = "-" + name
        if harness.WINDOWS:
            name = name.rstrip(" .")  # Windows drops these
        key = name.lower() if harness.WINDOWS else name
        if name and name not in (".", "..") and key not in taken:
            taken.add(key)
            return name


def make_tree(rng, root, depth):
    os.makedirs(root, exist_ok=True)
    taken = set()
    for i in range(rng.randint(0, 2)):
        name = random_name(rng, taken)
        with open(os.path.join(root, name), "wb") as f:
            f.write(os.urandom(rng.randint(0, 300)))
    if depth > 0:
        for _ in range(rng.randint(0, 3)):
            make_tree(rng, os.path.join(root, random_name(rng, taken)), depth - 1)


def raw_name(info):
    """The bytes of a member's name as stored."""
    return info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")


def expected(source):
    """{archive name bytes: {file name bytes: contents}}."""
    out = {}
    base = os.fsencode(os.path.basename(source))
    for folder, _, files in os.walk(os.fsencode(source)):
        rel = os.path.relpath(folder, os.fsencode(source)).replace(os.sep.encode(), b"/")
        name = base if rel == b"." else os.path.basename(folder)
        prefix = b"" if rel == b"." else rel + b"/"
        contents = {}
        for f in files:
            with open(os.path.join(folder, f), "rb") as fh:
                contents[f] = fh.read()
        out[prefix + name + b".zip"] = contents
    return out


def actual(bundle_path):
    """expected()'s form: the folder archives only."""
    return {name: files for name, files in harness.read_bundle(bundle_path, raw_name).items()
            if files is not None}


class PropertyTest(harness.ScratchTest):
    def test_random_names_round_trip(self):
        rng = random.Random(SEED)
        for tree in range(TREES):
            with self.subTest(tree=tree):
                work = self.path("t%d" % tree)
                source = os.path.join(work, "src", "Data")
                make_tree(rng, source, 3)
                result = run("trevask", [native("src/Data"), "out.zip", "T", "-r"], work,
                             env_path=search_path(harness.BIN_DIR))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(actual(os.path.join(work, "out.zip")), expected(source))
                self.assertEqual(os.listdir(os.path.join(work, "T")), [])
        for folder, dirs, files in os.walk(self.dir):
            self.assertNotIn("pwned", files + dirs, folder)


if __name__ == "__main__":
    unittest.main()
