#!/usr/bin/env python3
"""Benchmarks Trevask against what a user would pick instead.

Side by side, on the same tree, in alternating rounds: Trevask with the
stand-in archivers, its TempFolder on the source's disk and on a tmpfs;
Info-ZIP `zip -r` of the whole tree; 7-Zip writing zip on every core
(`7zz a -tzip -mmt`); and the script a user would write instead (one Info-ZIP
`zip` per folder into a mirror tree, then `zip -r` of the mirror), serially
and on every core (`xargs -P`). A peer missing from PATH is left out with a
note. Every table gives the cost per folder.

Real trees come from the machine: unpacked Debian source packages (curl,
libzip, through `apt-get source`), copies of /usr/include, /usr/share/doc and
50 MB of shared libraries with links resolved (system), and a `cp -a` copy of
/usr/share/doc that keeps its links (doclinks). Generated shapes stress the
walk; "leaves" (2,000 leaf folders of one small file each) sets Trevask's
cost per folder against the floor, a static no-op started as often with
posix_spawnp. On the real trees Trevask also runs at -j1 and -j<cores> (cores
this process may use), a first run and then an unchanged rerun over the same
TempFolder and bundle, beside zip -r and zip -r -u; the leaves run at both too.
"manyfiles" (100,000 text files under 100 bytes in one folder) times the
archiver alone, with and without worker threads, against zip -qr. An older
build (--baseline DIR) runs in the same rounds, without -j. A closing table
of ratios, the no-op start beside, is meant for README.md.

    scripts/benchmark.py                      # real trees and generated shapes
    scripts/benchmark.py --shapes debian,system --skip floor,linear,memory
    scripts/benchmark.py --shapes leaves --runs 5 --skip floor,linear,memory
    scripts/benchmark.py --shapes doclinks --cold   # page cache dropped before every run (root)
    scripts/benchmark.py --shapes bigfile     # one 768 MiB text file, archiver alone
    scripts/benchmark.py --shapes debian,leaves,manyfiles --baseline OLD/bin  # beside an older build
    scripts/benchmark.py --smoke              # one quick round, as the test suite runs it

Trees are generated deterministically under build/bench (--work) and kept
between runs. Needs the default build (scripts/demo.sh or scripts/test.sh
makes it) and a C compiler. Times are medians; the machine is shared, so read
the ratios, not the seconds. Results also go to build/bench/results.md.
"""
import argparse
import os
import random
import resource
import shutil
import stat
import statistics
import subprocess
import sys
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.join(ROOT, "build", "default", "bin")
BENCH = os.path.join(ROOT, "build", "bench")
MIB = 1024 * 1024
DEFAULT_SHAPES = ("debian", "system", "doclinks", "bigfile", "balanced", "wide", "many", "deep",
                  "leaves", "manyfiles")

PER_FOLDER_SCRIPT = r"""#!/bin/bash
# What a user writes without Trevask: a zip per folder into a mirror tree,
# then one zip of the mirror tree.
set -e
src=$1; out=$2; tmp=$3
name=$(basename "$src")
find "$src" -type d | while IFS= read -r dir; do
  rel=$name${dir#"$src"}
  mkdir -p "$tmp/$rel"
  (cd "$dir" && find . -maxdepth 1 -type f | zip -q "$tmp/$rel/$(basename "$dir").zip" -@ ) || true
done
out=$(realpath -m "$out")
(cd "$tmp/$name" && zip -q -r "$out" .)
rm -rf "${tmp:?}/$name"
"""

PARALLEL_SCRIPT = r"""#!/bin/bash
# The same on every core: the folder zips in parallel, then the bundle.
set -e
src=$1; out=$2; tmp=$3
name=$(basename "$src")
export src tmp name
find "$src" -type d -print0 | xargs -0 -P "$(nproc)" -I{} bash -c '
  dir=$1; rel=$name${dir#"$src"}
  mkdir -p "$tmp/$rel"
  (cd "$dir" && find . -maxdepth 1 -type f | zip -q "$tmp/$rel/$(basename "$dir").zip" -@ ) || true
' _ {}
out=$(realpath -m "$out")
(cd "$tmp/$name" && zip -q -r "$out" .)
rm -rf "${tmp:?}/$name"
"""


# ----------------------------------------------------------------- trees

WORDS = None


def text(rng, size):
    global WORDS
    if WORDS is None:
        letters = "etaoinshrdlucmfwypvbgkjqxz"
        wrng = random.Random(7)
        WORDS = ["".join(wrng.choice(letters[:wrng.randint(6, 26)])
                         for _ in range(wrng.randint(2, 11))) for _ in range(4000)]
    out = []
    length = 0
    while length < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 14))) + "\n"
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


def content(rng, size, index):
    # Half text-like, half random data.
    return text(rng, size) if index % 2 == 0 else rng.randbytes(size)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def gen_balanced(root, rng):
    # 1 + 6 + 42 + 294 = 343 folders, 8 files each: 2,744 files, ~90 MB.
    index = 0

    def fill(folder, depth):
        nonlocal index
        os.makedirs(folder, exist_ok=True)
        for i in range(8):
            write(os.path.join(folder, "file%d.%s" % (i, "txt" if index % 2 == 0 else "bin")),
                  content(rng, rng.randint(1, 65000), index))
            index += 1
        if depth < 3:
            for j in range((6, 7, 7)[depth]):
                fill(os.path.join(folder, "folder %d-%d" % (depth, j)), depth + 1)

    fill(root, 0)


def gen_wide(root, rng, count=5000):
    for i in range(count):
        write(os.path.join(root, "sub%05d" % i, "note.txt"), text(rng, rng.randint(200, 2000)))


def gen_many(root, rng, files=100000):
    per_folder = 1000
    for i in range(files):
        write(os.path.join(root, "f%03d" % (i // per_folder), "t%06d.txt" % i),
              text(rng, rng.randint(20, 200)))


def gen_manyfiles(root, rng, files=100000):
    # One folder of small text files, 4 to 60 bytes each.
    os.makedirs(root)
    for i in range(files):
        with open(os.path.join(root, "t%06d.txt" % i), "wb") as f:
            f.write(text(rng, rng.randint(4, 60)))


def gen_deep(root, rng):
    # 120 levels of 30-character names: about 3,700 bytes of path, close to
    # the 4,095 that fit.
    folder = root
    for level in range(120):
        folder = os.path.join(folder, "level%03d-" % level + "x" * 21)
        write(os.path.join(folder, "here.txt"), text(rng, 300))


def gen_large(root, rng):
    for i in range(3):
        path = os.path.join(root, "large%d.%s" % (i, "txt" if i % 2 == 0 else "bin"))
        os.makedirs(root, exist_ok=True)
        with open(path, "wb") as f:
            for _ in range(1024 * MIB // (16 * MIB)):
                f.write(content(rng, 16 * MIB, i))


def gen_debian(root, rng):
    # fetch-source.sh makes a fresh WORK per package and unpacks it into
    # WORK/source.
    os.makedirs(root)
    for package in ("curl", "libzip"):
        work = os.path.join(BENCH, "debian-src", package)
        subprocess.run([os.path.join(ROOT, "scripts", "fetch-source.sh"), package, work],
                       check=True)
        shutil.move(os.path.join(work, "source"), os.path.join(root, package))


def gen_system(root, rng):
    os.makedirs(root)
    for name in ("/usr/include", "/usr/share/doc"):
        shutil.copytree(name, os.path.join(root, name.strip("/").replace("/", "-")),
                        symlinks=False, ignore_dangling_symlinks=True,
                        ignore=shutil.ignore_patterns(".*"))
    libs = os.path.join(root, "lib")
    os.makedirs(libs)
    folder = "/usr/lib/x86_64-linux-gnu"
    total = 0
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if ".so" in name and os.path.isfile(path) and not os.path.islink(path):
            size = os.path.getsize(path)
            if size < 8 * MIB and total + size < 50 * MIB:
                shutil.copy(path, libs)
                total += size


def gen_bigfile(root, rng):
    # Real text, not a generator's: the system headers over and over, which
    # deflate cannot see as repeats across its 32 KiB window.
    os.makedirs(root)
    corpus = bytearray()
    for folder, _, names in os.walk("/usr/include"):
        for n in sorted(names):
            with open(os.path.join(folder, n), "rb") as f:
                corpus += f.read()
    with open(os.path.join(root, "big.txt"), "wb") as f:
        left = 768 * MIB
        while left > 0:
            f.write(corpus[:left])
            left -= min(left, len(corpus))


def gen_doclinks(root, rng):
    # A real tree with its links as they are: cp -a keeps links to files, to
    # folders and to nowhere, which the system tree resolves.
    os.makedirs(root)
    subprocess.run(["cp", "-a", "/usr/share/doc", os.path.join(root, "doc")], check=True)


def gen_smoke(root, rng):
    # Small and quick: 13 folders, a link to a file and one to a folder.
    for a in range(3):
        for b in range(3):
            folder = os.path.join(root, "a%d" % a, "b%d" % b)
            for i in range(3):
                write(os.path.join(folder, "f%d.txt" % i), text(rng, rng.randint(100, 20000)))
        write(os.path.join(root, "a%d" % a, "data.bin"), rng.randbytes(30000))
    write(os.path.join(root, "top.txt"), text(rng, 5000))
    os.symlink("top.txt", os.path.join(root, "link-to-top.txt"))
    os.symlink("a0", os.path.join(root, "link-to-a0"))


SHAPES = {"debian": gen_debian, "system": gen_system, "doclinks": gen_doclinks,
          "bigfile": gen_bigfile, "balanced": gen_balanced, "wide": gen_wide,
          "many": gen_many, "deep": gen_deep, "large": gen_large, "smoke": gen_smoke}


def tree(shape, maker=None, name=None):
    name = name or shape
    trees = os.path.join(BENCH, "trees")
    path = os.path.join(trees, name, "Data")
    done = os.path.join(trees, name, ".done")
    if not os.path.exists(done):
        shutil.rmtree(os.path.join(trees, name), ignore_errors=True)
        print("generating", name, "...", flush=True)
        (maker or SHAPES[shape])(path, random.Random(zlib.crc32(name.encode())))
        open(done, "w").close()
    return path


def tree_stats(path):
    """Folders, files, links (not followed) and the bytes of the files."""
    folders = files = links = size = 0
    for folder, dirs, names in os.walk(path):
        folders += 1
        for n in names + dirs:
            st = os.lstat(os.path.join(folder, n))
            if stat.S_ISLNK(st.st_mode):
                links += 1
            elif stat.S_ISREG(st.st_mode):
                files += 1
                size += st.st_size
    return folders, files, links, size


def describe(shape, src):
    folders, files, links, size = tree_stats(src)
    say("### %s: %d folders, %d files, %d links, %.1f MB%s"
        % (shape, folders, files, links, size / 1e6, " (cold caches)" if COLD else ""))
    return folders


# ----------------------------------------------------------------- runs

class Measure:
    def __init__(self, wall, cpu, records):
        self.wall = wall
        self.cpu = cpu
        self.records = records

    def own(self, comm):
        return [r for r in self.records if r[0] == comm]


COLD = False


def drop_caches():
    """Empties the page cache, dentries and inodes, so that the next run
    reads the tree from disk (as root only: COLD is off otherwise)."""
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def cold_rounds_possible():
    """None when caches can be dropped, else why not."""
    if os.geteuid() != 0:
        return "not root"
    try:
        drop_caches()
    except OSError as e:
        return "/proc/sys/vm/drop_caches: %s" % e.strerror
    return None


def measured(command, cwd, env=None, bin_dir=None, ok=(0,)):
    records_file = os.path.join(BENCH, "rusage.txt")
    if os.path.exists(records_file):
        os.remove(records_file)
    full_env = dict(os.environ)
    # The archivers are found along PATH: the build's own first.
    full_env["PATH"] = (bin_dir or BIN) + os.pathsep + full_env["PATH"]
    full_env["LD_PRELOAD"] = os.path.join(BENCH, "rusage_shim.so")
    full_env["TREVASK_BENCH_RUSAGE"] = records_file
    full_env.update(env or {})
    # The peak of the largest process of this run alone (the archivers are
    # static, out of the preloaded library's reach).
    peak_file = os.path.join(BENCH, "peak.txt")
    if COLD:
        drop_caches()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run([os.path.join(BENCH, "peak"), peak_file] + command, cwd=cwd,
                          env=full_env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode not in ok:
        sys.exit("failed: %s\n%s" % (" ".join(command), done.stderr.decode()[-2000:]))
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    with open(peak_file) as f:
        peak = int(f.read()) * 1024
    records = []
    if os.path.exists(records_file):
        with open(records_file) as f:
            for line in f:
                comm, user, system, rss = line.split()
                records.append((comm, float(user) + float(system), int(rss) * 1024))
    measure = Measure(wall, cpu, records)
    measure.peak = peak
    return measure


def fresh(*paths):
    for p in paths:
        if os.path.isdir(p) and not os.path.islink(p):
            shutil.rmtree(p)
        elif os.path.lexists(p):
            os.remove(p)


# Where Trevask's TempFolder goes: "disk" beside the bundle in the work
# folder, on the source's disk; "tmpfs" in a scratch folder on a tmpfs.
TEMP_PARENTS = {}


def find_tmpfs(wanted):
    """A tmpfs folder to put scratch folders in, or None: WANTED if given,
    else /dev/shm, if the mount table says it is a tmpfs."""
    candidates = [wanted] if wanted else ["/dev/shm"]
    mounts = {}
    with open("/proc/mounts") as f:
        for line in f:
            fields = line.split()
            mounts[fields[1].replace("\\040", " ")] = fields[2]
    for c in candidates:
        path = os.path.realpath(c)
        point = path
        while point not in mounts and point != "/":
            point = os.path.dirname(point)
        if os.path.isdir(path) and mounts.get(point) == "tmpfs":
            return path
    return None


def jobs_option(jobs):
    return ["-j%d" % jobs] if jobs else []


def run_trevask(src, place=None, jobs=None, bin_dir=None):
    bin_dir = bin_dir or BIN
    out = os.path.join(BENCH, "trevask.zip")
    tmp = os.path.join(TEMP_PARENTS[place or next(iter(TEMP_PARENTS))], "tmp-trevask")
    fresh(out, tmp)
    parent, name = os.path.split(src)
    m = measured([os.path.join(bin_dir, "trevask"), name, out, tmp, "-r"] + jobs_option(jobs),
                 parent, bin_dir=bin_dir)
    m.size = os.path.getsize(out)
    fresh(tmp)
    return m


def trevask_at(place, jobs=None, bin_dir=None):
    return lambda src: run_trevask(src, place, jobs, bin_dir)


# -j1 and -j<the cores this process may use>; an older build (--baseline)
# runs beside them without -j, as it may not know the option.
JOBS = sorted({1, len(os.sched_getaffinity(0))})
BASELINE = None


def trevask_builds():
    """(tag, bin folder, -j count or None) of every Trevask to run."""
    out = [("-j%d" % n, BIN, n) for n in JOBS]
    if BASELINE:
        out.append(("older build", BASELINE, None))
    return out


def first_run(command, cwd, out, tmp, bin_dir=None):
    def run(_):
        fresh(out, tmp)
        return measured(command, cwd, bin_dir=bin_dir)
    return run


def unchanged_rerun(command, cwd, out, what, bin_dir=None, strict=True, then_remove=()):
    """A rerun over the TempFolder and bundle of the run before it; STRICT:
    a rewritten bundle ends the benchmark. THEN_REMOVE goes after timing."""
    def run(_):
        before = os.stat(out)
        m = measured(command, cwd, bin_dir=bin_dir)
        after = os.stat(out)
        if strict and (after.st_ino, after.st_mtime_ns) != (before.st_ino, before.st_mtime_ns):
            sys.exit("an unchanged rerun rewrote the bundle of %s" % what)
        fresh(*then_remove)
        return m
    return run


def run_zip(src):
    out = os.path.join(BENCH, "zip-r.zip")
    fresh(out)
    parent, name = os.path.split(src)
    m = measured(["zip", "-q", "-r", out, name], parent)
    m.size = os.path.getsize(out)
    return m


def run_script(src):
    out, tmp = os.path.join(BENCH, "script.zip"), os.path.join(BENCH, "tmp-script")
    fresh(out, tmp)
    script = os.path.join(BENCH, "per_folder.sh")
    m = measured(["bash", script, src, out, tmp], BENCH)
    m.size = os.path.getsize(out)
    return m


def run_parallel_script(src):
    out, tmp = os.path.join(BENCH, "pscript.zip"), os.path.join(BENCH, "tmp-pscript")
    fresh(out, tmp)
    m = measured(["bash", os.path.join(BENCH, "per_folder_parallel.sh"), src, out, tmp], BENCH)
    m.size = os.path.getsize(out)
    return m


def run_7z(src):
    out = os.path.join(BENCH, "7z.zip")
    fresh(out)
    parent, name = os.path.split(src)
    m = measured(["7zz", "a", "-bd", "-tzip", "-mmt=on", out, name], parent)
    m.size = os.path.getsize(out)
    return m


def spawn_floor(count, through_shell=False):
    """COUNT runs of the static no-op, one after another: posix_spawnp, or
    system() (one /bin/sh each)."""
    def run(_):
        command = [os.path.join(BENCH, "spawnloop")] + (["-s"] if through_shell else [])
        m = measured(command + [str(count), os.path.join(BENCH, "noop")], BENCH)
        m.size = 0
        return m
    return run


def contenders(src):
    """Trevask at every TempFolder place, then the peers found on PATH, as
    (label, run) pairs; a note for each peer left out."""
    out = [("trevask -r, TempFolder on %s" % place, trevask_at(place)) for place in TEMP_PARENTS]
    peers = [("zip", "zip -r", run_zip), ("zip", "per-folder script", run_script),
             ("zip", "per-folder script, xargs -P", run_parallel_script),
             ("7zz", "7zz -tzip -mmt", run_7z)]
    for tool, label, run in peers:
        if shutil.which(tool):
            out.append((label, run))
        else:
            say("- %s left out: no `%s` on PATH" % (label, tool))
    if BASELINE:
        out += [("older build, trevask -r, TempFolder on %s" % place,
                 trevask_at(place, bin_dir=BASELINE)) for place in TEMP_PARENTS]
    return out


def alternated(runs, named, src):
    """Runs every contender once per round, so that the machine's noise
    falls on all of them alike; the median of each, by label."""
    results = {label: [] for label, _ in named}
    for _ in range(runs):
        for label, fn in named:
            results[label].append(fn(src))
    medians = {}
    for label, ms in results.items():
        ms.sort(key=lambda m: m.wall)
        medians[label] = ms[len(ms) // 2]
    return medians


def median_of(runs, fn, src):
    return alternated(runs, [("", fn)], src)[""]


# ----------------------------------------------------------------- report

LINES = []


def say(line=""):
    print(line, flush=True)
    LINES.append(line)


def check(label, value, ok):
    say("- %s: %s  [%s]" % (label, value, "meets target" if ok else "MISSES target"))


SUMMARY = []


def summary(what, time_one, wide_ratio, peer_ratio, peer, older_ratio, noop):
    """A row of the closing table: the time at -j1, -j<cores> against it
    and against the peer, the older build against -j1, the no-op start."""
    SUMMARY.append((what, time_one, wide_ratio, peer_ratio, peer, older_ratio, noop))


def print_summary(runs):
    if not SUMMARY:
        return
    wide = "-j%d" % JOBS[-1]

    def ratio(r):
        return "-" if r is None else "%.2f" % r

    say("### Figures for README.md (medians of %d alternating rounds, %s)"
        % (runs, time.strftime("%Y-%m-%d")))
    say()
    say("| | this build, -j1 | %s / -j1 | %s / peer | peer | older build / -j1 | no-op start ms |"
        % (wide, wide))
    say("|---|---|---|---|---|---|---|")
    for what, one, w, p, peer, older, noop in SUMMARY:
        say("| %s | %s | %s | %s | %s | %s | %.2f |" % (what, one, ratio(w), ratio(p), peer,
                                                        ratio(older), 1e3 * noop))
    if any(row[0].startswith("manyfiles") for row in SUMMARY):
        say("- manyfiles: the archiver alone, without -j; its / peer column is its time over "
            "zip -qr's")
    if not BASELINE:
        say("- no older build was given (--baseline DIR)")
    say()


REAL = ("debian", "system", "doclinks")


def compare(shape, runs):
    src = tree(shape)
    folders = describe(shape, src)
    named = contenders(src)
    m = alternated(runs, named, src)
    say("| | wall s | ms per folder | CPU s | peak MiB | bundle bytes |")
    say("|---|---|---|---|---|---|")
    for label, _ in named:
        r = m[label]
        say("| %s | %.2f | %.2f | %.2f | %.1f | %d |" % (label, r.wall, 1e3 * r.wall / folders,
                                                        r.cpu, r.peak / MIB, r.size))
    say()
    t = m[named[0][0]]
    for label, _ in named[1:len(TEMP_PARENTS)]:
        say("- %s / %s: %.2f" % (label, named[0][0], m[label].wall / t.wall))
    z, s, p = m.get("zip -r"), m.get("per-folder script"), m.get("per-folder script, xargs -P")
    if shape in REAL and z:
        ratio = t.wall / z.wall
        check("Trevask / zip -r (target at most 0.8)", "%.2f" % ratio, ratio <= 0.8)
        check("bundle / zip -r's (target at most 1.01)", "%.4f" % (t.size / z.size),
              t.size <= 1.01 * z.size)
        check("serial script / Trevask (target at least 2.5)", "%.2f" % (s.wall / t.wall),
              s.wall >= 2.5 * t.wall)
        check("parallel script / Trevask (target above 1)", "%.2f" % (p.wall / t.wall),
              p.wall > t.wall)
        if "7zz -tzip -mmt" in m:
            sz = m["7zz -tzip -mmt"]
            check("7-Zip / Trevask (target above 1)", "%.2f" % (sz.wall / t.wall), sz.wall > t.wall)
        if shape == "doclinks":
            say("- zip -r and Trevask both follow links to files and folders; the per-folder "
                "script's find -type f skips them, so its archive holds less")
    elif z:
        say("- Trevask / zip -r: %.2f; script / Trevask: %.2f" % (t.wall / z.wall, s.wall / t.wall))
    for place in TEMP_PARENTS if BASELINE else ():
        now = m["trevask -r, TempFolder on %s" % place].wall
        say("- TempFolder on %s: older build / this build: %.2f"
            % (place, m["older build, trevask -r, TempFolder on %s" % place].wall / now))
    own = sum(r[1] for r in t.own("trevask"))
    say("- Trevask's own CPU share: %.2f%%" % (100 * own / t.cpu))
    say()
    return t


def job_rounds(shape, runs):
    """Trevask at -j1 and -j<cores> (and the older build, without -j) at
    every TempFolder place: a first run into a fresh TempFolder and bundle,
    then an unchanged rerun over both, in that order in every round; zip -r
    and zip -r -u of the same tree, and the floor of one static no-op start
    per folder, beside them."""
    src = tree(shape)
    folders = tree_stats(src)[0]
    parent, name = os.path.split(src)
    say("### %s: -j rounds, a first run and an unchanged rerun (%d folders)" % (shape, folders))
    say()
    named = []
    for place in TEMP_PARENTS:
        for tag, bin_dir, jobs in trevask_builds():
            key = "%s-%s" % (place, tag.replace(" ", "-"))
            out = os.path.join(BENCH, "jobs-%s.zip" % key)
            tmp = os.path.join(TEMP_PARENTS[place], "tmp-jobs-%s" % key)
            command = [os.path.join(bin_dir, "trevask"), name, out, tmp] + jobs_option(jobs)
            # Each mirror tree goes once timed: the tmpfs holds one at a time.
            named += [((tag, place, "first"), first_run(command, parent, out, tmp, bin_dir)),
                      ((tag, place, "unchanged"),
                       unchanged_rerun(command, parent, out, shape, bin_dir,
                                       strict=bin_dir == BIN, then_remove=(out, tmp)))]
    zipped = os.path.join(BENCH, "jobs-zip.zip")

    def zip_first(_):
        fresh(zipped)
        return measured(["zip", "-q", "-r", zipped, name], parent)

    def zip_update(_):
        # 12: nothing to do, as nothing changed.
        return measured(["zip", "-q", "-r", "-u", zipped, name], parent, ok=(0, 12))

    named += [(("zip", None, "first"), zip_first), (("zip", None, "unchanged"), zip_update),
              (("floor", None, None), spawn_floor(folders + 1))]
    m = alternated(runs, named, src)
    fresh(zipped)
    noop = m[("floor", None, None)].wall / (folders + 1)
    wide = "-j%d" % JOBS[-1]
    say("| TempFolder | build | first run s | unchanged rerun s | / first |")
    say("|---|---|---|---|---|")
    for place in TEMP_PARENTS:
        for tag, _, _ in trevask_builds():
            f, u = m[(tag, place, "first")].wall, m[(tag, place, "unchanged")].wall
            say("| %s | %s | %.2f | %.2f | %.2f |" % (place, tag, f, u, u / f))
    zf, zu = m[("zip", None, "first")].wall, m[("zip", None, "unchanged")].wall
    say("| | zip -r, then zip -r -u | %.2f | %.2f | %.2f |" % (zf, zu, zu / zf))
    say("| | floor: %d no-op starts | %.2f | | |" % (folders + 1, m[("floor", None, None)].wall))
    say()
    for place in TEMP_PARENTS:
        for kind, peer, peer_wall in (("first", "zip -r", zf), ("unchanged", "zip -r -u", zu)):
            one, many = m[("-j1", place, kind)].wall, m[(wide, place, kind)].wall
            older = m[("older build", place, kind)].wall if BASELINE else None
            say("- TempFolder on %s, %s: %s / -j1 %.2f; %s / %s %.2f%s" % (
                place, "first run" if kind == "first" else "unchanged rerun", wide, many / one,
                wide, peer, many / peer_wall,
                "; older build / -j1 %.2f" % (older / one) if older else ""))
            summary("%s, %s, TempFolder on %s" % (shape, "first run" if kind == "first"
                                                   else "unchanged rerun", place),
                    "%.2f s" % one, many / one, many / peer_wall,
                    "`%s` %.2f s" % (peer, peer_wall), older and older / one, noop)
    say("- no-op start: %.2f ms" % (1e3 * noop))
    say()


def leaves(runs, count):
    """COUNT leaf folders of one small file each: Trevask's cost per folder
    at -j1 and -j<cores> (and the older build's) against the floor, a static
    no-op started as often, one after another."""
    src = tree("wide", lambda p, r: gen_wide(p, r, count), "leaves-%d" % count)
    folders = describe("leaves", src)
    # One archiver per folder and one for the bundle.
    starts = folders + 1
    label = {(tag, place): "%s, TempFolder on %s" % ("trevask -r " + tag if jobs else
                                                     tag + ", trevask -r", place)
             for place in TEMP_PARENTS for tag, _, jobs in trevask_builds()}
    named = [(label[tag, place], trevask_at(place, jobs, bin_dir))
             for place in TEMP_PARENTS for tag, bin_dir, jobs in trevask_builds()]
    named += [("floor: posix_spawnp of a static no-op", spawn_floor(starts)),
              ("system() of a static no-op", spawn_floor(starts, through_shell=True))]
    m = alternated(runs, named, src)
    base = m["floor: posix_spawnp of a static no-op"].wall
    say("| %d starts | wall s | ms per folder | / floor |" % starts)
    say("|---|---|---|---|")
    for name, _ in named:
        say("| %s | %.2f | %.3f | %.2f |" % (name, m[name].wall, 1e3 * m[name].wall / folders,
                                            m[name].wall / base))
    say("- Trevask above the floor, per folder: %s" % "; ".join(
        "%.3f ms (%s)" % (1e3 * (m[name].wall - base) / folders, name)
        for name, _ in named[:-2]))
    wide = "-j%d" % JOBS[-1]
    for place in TEMP_PARENTS:
        one, many = m[label["-j1", place]].wall, m[label[wide, place]].wall
        older = m[label["older build", place]].wall if BASELINE else None
        say("- TempFolder on %s: %s / -j1 %.2f%s" % (
            place, wide, many / one, "; older build / -j1 %.2f" % (older / one) if older else ""))
        summary("leaves (%d folders), -r, TempFolder on %s, per folder" % (folders, place),
                "%.3f ms" % (1e3 * one / folders), many / one, many / base,
                "floor %.3f ms" % (1e3 * base / folders), older and older / one, base / starts)
    say()


def reruns(runs):
    """Trevask without -r on each real tree: a first run into a fresh
    TempFolder, an unchanged rerun, and a rerun after one file of one
    folder changed, in that order in every round; zip -r -u of the same
    unchanged tree and the floor of as many static no-op starts beside."""
    say("### Reruns: a kept TempFolder against a first run")
    say()
    say("| Tree | folders | first s | unchanged rerun s | / first | one file changed s "
        "| / unchanged | zip -r -u s | floor s |")
    say("|---|---|---|---|---|---|---|---|---|")
    out = os.path.join(BENCH, "rerun.zip")
    tmp = os.path.join(TEMP_PARENTS["disk"], "tmp-rerun")
    for shape in REAL:
        src = tree(shape)
        folders = tree_stats(src)[0]
        parent, name = os.path.split(src)
        changed = min(os.path.join(folder, n) for folder, _, names in os.walk(src)
                      for n in names if os.path.isfile(os.path.join(folder, n))
                      and not os.path.islink(os.path.join(folder, n))
                      and os.path.getsize(os.path.join(folder, n)) > 0)
        with open(changed, "rb") as f:
            original = f.read()
        command = [os.path.join(BIN, "trevask"), name, out, tmp]

        def one_changed(_):
            # Its first byte flipped: each round's first run saw the last.
            with open(changed, "r+b") as f:
                byte = f.read(1)
                f.seek(0)
                f.write(bytes([byte[0] ^ 1]))
            return measured(command, parent)

        zipped = os.path.join(BENCH, "rerun-zip.zip")
        fresh(zipped)
        subprocess.run(["zip", "-q", "-r", zipped, name], cwd=parent, check=True)

        def zip_update(_):
            return measured(["zip", "-q", "-r", "-u", zipped, name], parent)

        named = [("first", first_run(command, parent, out, tmp)),
                 ("unchanged", unchanged_rerun(command, parent, out, shape)),
                 ("changed", one_changed),
                 ("zip", zip_update), ("floor", spawn_floor(folders + 1))]
        try:
            m = alternated(runs, named, src)
        finally:
            with open(changed, "wb") as f:
                f.write(original)
        f1, u, c = m["first"].wall, m["unchanged"].wall, m["changed"].wall
        say("| %s | %d | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |" % (
            shape, folders, f1, u, u / f1, c, c / u, m["zip"].wall, m["floor"].wall))
        check("%s: unchanged rerun / first run (target at most 0.3)" % shape, "%.2f" % (u / f1),
              u <= 0.3 * f1)
        check("%s: changed-file rerun / unchanged rerun (target at most 1.10)" % shape,
              "%.2f" % (c / u), c <= 1.10 * u)
    fresh(out, tmp, os.path.join(BENCH, "rerun-zip.zip"))
    say()


def bigfile(runs):
    src = tree("bigfile")
    big = os.path.join(src, "big.txt")
    say("### one %.0f MiB text file: the archiver alone against zip" % (os.path.getsize(big) / MIB))

    def archiver(_):
        out = os.path.join(BENCH, "big-pkzip.zip")
        fresh(out)
        r = measured([os.path.join(BIN, "PKZIP.EXE"), "-a", out, src + "/*.*"], BENCH)
        r.size = os.path.getsize(out)
        return r

    def info_zip(_):
        out = os.path.join(BENCH, "big-zip.zip")
        fresh(out)
        r = measured(["zip", "-q", "-j", out, big], BENCH)
        r.size = os.path.getsize(out)
        return r

    named = [("PKZIP.EXE -a", archiver)]
    if shutil.which("zip"):
        named.append(("zip", info_zip))
    else:
        say("- zip left out: no `zip` on PATH")
    m = alternated(runs, named, src)
    for label, _ in named:
        r = m[label]
        say("| %s | %.2f s | CPU %.2f s | peak %.1f MiB | %d bytes |"
            % (label, r.wall, r.cpu, r.peak / MIB, r.size))
    a, z = m["PKZIP.EXE -a"], m.get("zip")
    if z:
        check("archiver / zip (target at most 0.6)", "%.2f" % (a.wall / z.wall),
              a.wall <= 0.6 * z.wall)
        check("size / zip's (target within 1%)", "%.4f" % (a.size / z.size),
              abs(a.size / z.size - 1) <= 0.01)
    check("peak memory (target at most 64 MiB)", "%.1f MiB" % (a.peak / MIB), a.peak <= 64 * MIB)
    say()


def manyfiles(runs, count):
    """COUNT small files in one folder: the archiver alone against zip -qr,
    with its worker threads and without (TREVASK_THREADS=0), and a no-op
    start beside."""
    src = tree("manyfiles", lambda p, r: gen_manyfiles(p, r, count), "manyfiles-%d" % count)
    describe("manyfiles", src)
    parent, name = os.path.split(src)
    out = os.path.join(BENCH, "manyfiles.zip")

    def archiver(bin_dir, env=None):
        def run(_):
            fresh(out)
            m = measured([os.path.join(bin_dir, "PKZIP.EXE"), "-a", out, name + "/*.*"], parent,
                         env, bin_dir)
            m.size = os.path.getsize(out)
            return m
        return run

    def info_zip(_):
        fresh(out)
        m = measured(["zip", "-qr", out, name], parent)
        m.size = os.path.getsize(out)
        return m

    named = [("PKZIP.EXE -a", archiver(BIN)),
             ("PKZIP.EXE -a, TREVASK_THREADS=0", archiver(BIN, {"TREVASK_THREADS": "0"}))]
    if BASELINE:
        named.append(("older build, PKZIP.EXE -a", archiver(BASELINE)))
    if shutil.which("zip"):
        named.append(("zip -qr", info_zip))
    else:
        say("- zip left out: no `zip` on PATH")
    starts = 200
    named.append(("floor", spawn_floor(starts)))
    m = alternated(runs, named, src)
    fresh(out)
    noop = m["floor"].wall / starts
    z = m.get("zip -qr")
    say("| | wall s | / zip -qr | CPU s | peak MiB | bytes |")
    say("|---|---|---|---|---|---|")
    for label, _ in named[:-1]:
        r = m[label]
        say("| %s | %.2f | %s | %.2f | %.1f | %d |" % (
            label, r.wall, "%.2f" % (r.wall / z.wall) if z else "-", r.cpu, r.peak / MIB, r.size))
    if BASELINE:
        say("- older build / this build: %.2f"
            % (m["older build, PKZIP.EXE -a"].wall / m["PKZIP.EXE -a"].wall))
    say("- no-op start: %.2f ms (peak: the largest process of the run)" % (1e3 * noop))
    say()
    older = m["older build, PKZIP.EXE -a"].wall / m["PKZIP.EXE -a"].wall if BASELINE else None
    for label, _ in named[:2]:
        a = m[label]
        summary("manyfiles (%d files in one folder), %s (the archiver alone)" % (count, label),
                "%.2f s" % a.wall, None, z and a.wall / z.wall,
                "`zip -qr` %.2f s" % z.wall if z else "-",
                older if label == "PKZIP.EXE -a" else None, noop)


def floor(runs=300):
    say("### one archiver run on an empty folder against the floor")
    noop = os.path.join(BENCH, "noop")
    empty = os.path.join(BENCH, "empty")
    os.makedirs(empty, exist_ok=True)
    env = dict(os.environ, PATH=BIN + os.pathsep + os.environ["PATH"])

    def per_run(line):
        samples = []
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(runs):
                subprocess.run(["/bin/sh", "-c", line], cwd=BENCH, env=env, check=True,
                               stdout=subprocess.DEVNULL)
            samples.append((time.perf_counter() - start) / runs)
        return statistics.median(samples)

    base = per_run(noop)
    archiver = per_run("PKZIP.EXE -a e.zip 'empty/*.*'")
    say("- system() of a static no-op: %.2f ms; of PKZIP.EXE on an empty folder: %.2f ms"
        % (base * 1e3, archiver * 1e3))
    check("ratio (target within 1.5)", "%.2f" % (archiver / base), archiver <= 1.5 * base)
    say()


def linear(runs):
    say("### growth with folders and files (Trevask, median of %d)" % runs)
    say("| tree | folders | files | wall s | ms per folder | ms per file |")
    say("|---|---|---|---|---|---|")
    for count in (1250, 2500, 5000):
        src = tree("wide", lambda p, r, c=count: gen_wide(p, r, c), "wide-%d" % count)
        t = median_of(runs, run_trevask, src)
        say("| wide | %d | %d | %.2f | %.2f | |" % (count + 1, count, t.wall, 1e3 * t.wall / (count + 1)))
    for count in (25000, 50000, 100000):
        src = tree("many", lambda p, r, c=count: gen_many(p, r, c), "many-%d" % count)
        folders = count // 1000 + 1
        t = median_of(runs, run_trevask, src)
        say("| many | %d | %d | %.2f | | %.3f |" % (folders, count, t.wall, 1e3 * t.wall / count))
    say()


def memory():
    say("### peak memory")

    def ten_thousand(path, rng):
        for a in range(10):
            for b in range(10):
                for c in range(100):
                    write(os.path.join(path, str(a), str(b), str(c), "x.txt"), b"x")

    t = run_trevask(tree("tenk", ten_thousand, "ten-thousand-folders"))
    rss = max(r[2] for r in t.own("trevask"))
    check("Trevask on 10,111 folders (target under 8 MiB)", "%.1f MiB" % (rss / MIB), rss < 8 * MIB)
    big = os.path.join(BENCH, "sparse")
    os.makedirs(big, exist_ok=True)
    with open(os.path.join(big, "four-gib.bin"), "wb") as f:
        f.truncate(4 * 1024 ** 3 + MIB)
        f.seek(2 ** 32)
        f.write(os.urandom(MIB))
    fresh(os.path.join(BENCH, "sparse.zip"))
    m = measured([os.path.join(BIN, "PKZIP.EXE"), "-a", "sparse.zip", "sparse/*.*"], BENCH)
    rss = m.peak
    check("archiver on a 4 GiB file (target under 64 MiB)", "%.1f MiB" % (rss / MIB), rss < 64 * MIB)
    shutil.rmtree(big)
    fresh(os.path.join(BENCH, "sparse.zip"))
    say()


def build_helpers():
    here = os.path.join(ROOT, "scripts", "bench")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", os.path.join(BENCH, "rusage_shim.so"),
                    os.path.join(here, "rusage_shim.c")], check=True)
    for tool in ("noop", "peak", "spawnloop"):
        subprocess.run(["cc", "-O2", "-static", "-o", os.path.join(BENCH, tool),
                        os.path.join(here, tool + ".c")], check=True)
    with open(os.path.join(BENCH, "per_folder.sh"), "w") as f:
        f.write(PER_FOLDER_SCRIPT)
    with open(os.path.join(BENCH, "per_folder_parallel.sh"), "w") as f:
        f.write(PARALLEL_SCRIPT)


def set_temp_places(places, tmpfs_wanted):
    """Fills TEMP_PARENTS; a place that cannot be had is left out with a note."""
    for place in places:
        if place == "disk":
            TEMP_PARENTS["disk"] = BENCH
        elif place == "tmpfs":
            found = find_tmpfs(tmpfs_wanted)
            if found:
                scratch = os.path.join(found, "trevask-bench-%d" % os.getpid())
                os.makedirs(scratch)
                TEMP_PARENTS["tmpfs"] = scratch
            else:
                say("- TempFolder on tmpfs left out: %s is no tmpfs"
                    % (tmpfs_wanted or "/dev/shm"))
        else:
            sys.exit("--temp takes disk and tmpfs, not %s" % place)
    if not TEMP_PARENTS:
        TEMP_PARENTS["disk"] = BENCH


def main():
    global BIN, BENCH, COLD, BASELINE
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--shapes", default=",".join(DEFAULT_SHAPES))
    parser.add_argument("--runs", "--rounds", type=int, default=5, help="rounds per tree")
    parser.add_argument("--skip", default="",
                        help="floor,linear,memory,extract,rerun,jobs to leave out")
    parser.add_argument("--cold", action="store_true",
                        help="drop the page cache before each run of each tool (root only)")
    parser.add_argument("--temp", default="disk,tmpfs",
                        help="where Trevask's TempFolder goes: disk (the source's), tmpfs")
    parser.add_argument("--tmpfs", help="a tmpfs folder for the TempFolder (else /dev/shm)")
    parser.add_argument("--leaves", type=int, default=2000,
                        help="leaf folders of the leaves tree")
    parser.add_argument("--manyfiles", type=int, default=100000,
                        help="files of the manyfiles tree")
    parser.add_argument("--bin", default=BIN, help="where trevask and the archivers are")
    parser.add_argument("--baseline", metavar="DIR",
                        help="an older build's trevask and archivers, run beside without -j")
    parser.add_argument("--work", default=BENCH,
                        help="folder for trees, archives and results (scratch)")
    parser.add_argument("--smoke", action="store_true",
                        help="one round of a small generated tree, of 50 leaves and of "
                             "2,000 files in one folder, the build as its own baseline; "
                             "no network, under a minute")
    args = parser.parse_args()
    if args.smoke:
        args.shapes, args.runs, args.leaves, args.manyfiles = "smoke,leaves,manyfiles", 1, 50, 2000
        args.skip = "floor,linear,memory,extract,rerun"
        args.baseline = args.baseline or args.bin
    BIN, BENCH = os.path.abspath(args.bin), os.path.abspath(args.work)
    if not os.path.exists(os.path.join(BIN, "trevask")):
        sys.exit("build first: cmake --preset default && cmake --build --preset default")
    if args.baseline:
        BASELINE = os.path.abspath(args.baseline)
        for program in ("trevask", "PKZIP.EXE"):
            if not os.access(os.path.join(BASELINE, program), os.X_OK):
                sys.exit("--baseline %s: no %s there" % (args.baseline, program))
    os.makedirs(BENCH, exist_ok=True)
    build_helpers()

    say("## Trevask benchmark, %s, median of %d runs" % (time.strftime("%Y-%m-%d"), args.runs))
    say()
    if args.cold:
        why_not = cold_rounds_possible()
        COLD = why_not is None
        say("- cold rounds: " + ("page cache dropped before each run of each tool" if COLD
                                 else "skipped (%s); the rounds are warm" % why_not))
    set_temp_places(args.temp.split(","), args.tmpfs)
    say("- TempFolder: %s" % "; ".join("%s (%s)" % (place, parent)
                                       for place, parent in TEMP_PARENTS.items()))
    say("- -j rounds: %s (the cores this process may use: %d)%s" % (
        ", ".join("-j%d" % n for n in JOBS), JOBS[-1],
        "; older build beside, without -j: %s" % BASELINE if BASELINE else ""))
    say()
    skip = args.skip.split(",")
    try:
        for shape in args.shapes.split(","):
            if shape == "bigfile":
                bigfile(max(1, args.runs // 2))
            elif shape == "leaves":
                leaves(args.runs, args.leaves)
            elif shape == "manyfiles":
                manyfiles(args.runs, args.manyfiles)
            elif shape:
                compare(shape, args.runs)
                if shape in REAL + ("smoke",) and "jobs" not in skip:
                    job_rounds(shape, args.runs)
        if "floor" not in skip:
            floor()
        if "linear" not in skip:
            linear(max(1, args.runs // 2))
        if "memory" not in skip:
            memory()
        if "extract" not in skip:
            extraction(args.runs)
        if "rerun" not in skip:
            reruns(args.runs)
    finally:
        if TEMP_PARENTS.get("tmpfs"):
            shutil.rmtree(TEMP_PARENTS["tmpfs"], ignore_errors=True)
    print_summary(args.runs)
    with open(os.path.join(BENCH, "results.md"), "w") as f:
        f.write("\n".join(LINES) + "\n")


# ----------------------------------------------------------------- extraction

def extraction(runs):
    """trevask-extract of each real tree's bundle beside unzip -q of zip -r's
    archive of the same tree, warm cache, alternating rounds."""
    say("### Extraction: trevask-extract beside unzip of zip -r's archive")
    say()
    say("| Tree | trevask-extract s | CPU s | peak MiB | unzip -q s | CPU s | peak MiB |")
    say("|---|---|---|---|---|---|---|")
    out = os.path.join(BENCH, "extracted")
    for shape in REAL:
        src = tree(shape)
        bundle, plain = (os.path.join(BENCH, "extract-%s-%s.zip" % (shape, k))
                         for k in ("bundle", "plain"))
        for run, keep in ((run_trevask, bundle), (run_zip, plain)):
            if not os.path.exists(keep):
                made = os.path.join(BENCH, "trevask.zip" if run is run_trevask else "zip-r.zip")
                run(src)
                os.replace(made, keep)

        def run_extract(_):
            fresh(out)
            return measured([os.path.join(BIN, "trevask-extract"), "-q", "-d", out, bundle],
                            BENCH)

        def run_unzip(_):
            fresh(out)
            return measured(["unzip", "-q", plain, "-d", out], BENCH)

        run_extract(src), run_unzip(src)  # warm the cache
        m = alternated(runs, [run_extract, run_unzip], src)
        e, u = m[run_extract], m[run_unzip]
        say("| %s | %.2f | %.2f | %.1f | %.2f | %.2f | %.1f |" % (
            shape, e.wall, e.cpu, e.peak / MIB, u.wall, u.cpu, u.peak / MIB))
        check("%s: trevask-extract / unzip (target at most 0.8)" % shape,
              "%.2f" % (e.wall / u.wall), e.wall <= 0.8 * u.wall)
        check("%s: trevask-extract peak memory (target at most 64 MiB)" % shape,
              "%.1f MiB" % (e.peak / MIB), e.peak <= 64 * MIB)
    fresh(out)
    say()


if __name__ == "__main__":
    main()
