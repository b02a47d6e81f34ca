#!/usr/bin/env python3
"""Where the archiver's second core pays: PKZIP.EXE -a on every folder of
real trees, with worker threads from a given size of a folder's files up.

    scripts/bench/threshold.py [--rounds N] TREE...
    scripts/bench/threshold.py --paired [--rounds N] [--from BYTES] TREE...

For a threshold X every folder whose files hold less than X bytes runs with
TREVASK_THREADS=0 and every other one with as many workers as the default
gives on this machine, which is what the archiver's own threshold does. The
sum over all folders is timed for every X in alternating rounds (the order
turns each round), and the time per folder is kept for two runs, no threads
at all and threads everywhere, so that the gain can be read by folder size.
With --paired, every folder of at least --from bytes (64 KiB) runs twice in
a row, without threads and with them (the order turns), --rounds times:
the two runs of a pair share the machine's load, which a busy shared
machine makes differ from one minute to the next. The medians per folder
give the gain by folder size and what each threshold would sum to.
Archives go to a scratch folder of build/bench that is emptied every run.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN = os.path.join(ROOT, "build", "default", "bin")
SCRATCH = os.path.join(ROOT, "build", "bench", "threshold-out")
KIB = 1024
NEVER = float("inf")
# Thresholds tried; 0 starts workers for every folder, NEVER for none.
THRESHOLDS = [0, 64 * KIB, 256 * KIB, 1024 * KIB, 2048 * KIB, 8192 * KIB, NEVER]
BUCKETS = [16 * KIB, 64 * KIB, 256 * KIB, 512 * KIB, 768 * KIB, 1024 * KIB, 1536 * KIB,
           2048 * KIB, 4096 * KIB, 8192 * KIB, NEVER]


def folders_of(trees):
    """Every folder with its bytes as the archiver counts them: the sizes of
    the regular files it holds, links to files followed."""
    out = []
    for tree in trees:
        for folder, _, names in os.walk(tree):
            total = 0
            for n in names:
                try:
                    st = os.stat(os.path.join(folder, n))
                except OSError:
                    continue
                if os.path.isfile(os.path.join(folder, n)):
                    total += st.st_size
            out.append((folder, total))
    return out


def label(x):
    if x == NEVER:
        return "never"
    if x == 0:
        return "always"
    return "%d KiB" % (x // KIB) if x < 1024 * KIB else "%g MiB" % (x / (1024 * KIB))


def run_one(folder, out, threads):
    start = time.perf_counter()
    subprocess.run([os.path.join(BIN, "PKZIP.EXE"), "-a", out, folder + "/*.*"],
                   env=dict(os.environ, TREVASK_THREADS=str(threads)), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    os.remove(out)
    return elapsed


def paired(folders, workers, rounds, smallest):
    """Per folder of at least SMALLEST bytes, the median of ROUNDS runs
    without threads and with WORKERS, each pair run back to back."""
    os.makedirs(SCRATCH, exist_ok=True)
    out = os.path.join(SCRATCH, "pair.zip")
    chosen = [(f, s) for f, s in folders if s >= smallest]
    times = [([], []) for _ in chosen]
    for r in range(rounds):
        for i, (folder, _) in enumerate(chosen):
            first = (r + i) % 2
            for threads in ((0, workers) if first == 0 else (workers, 0)):
                times[i][threads != 0].append(run_one(folder, out, threads))
        print("round %d done, load %.2f" % (r + 1, os.getloadavg()[0]), flush=True)
    shutil.rmtree(SCRATCH, ignore_errors=True)
    none = [statistics.median(t[0]) for t in times]
    some = [statistics.median(t[1]) for t in times]
    print("\n%d folders of at least %s, medians of %d pairs" % (len(chosen), label(smallest), rounds))
    print("\n| folder bytes | folders | no threads s | threads s | threads / none |")
    print("|---|---|---|---|---|")
    low = smallest
    for high in [b for b in BUCKETS if b > smallest]:
        idx = [i for i, (_, s) in enumerate(chosen) if low <= s < high]
        a, b = sum(none[i] for i in idx), sum(some[i] for i in idx)
        print("| %s to %s | %d | %.3f | %.3f | %s |" % (label(low), label(high), len(idx), a, b,
                                                        "%.3f" % (b / a) if a else "-"))
        low = high
    base = sum(none) or 1.0
    print("\n| threads from | these folders s | / no threads |")
    print("|---|---|---|")
    for x in sorted(set(THRESHOLDS + BUCKETS)):
        if x < smallest and x != 0:
            continue
        total = sum(none[i] if s < x else some[i] for i, (_, s) in enumerate(chosen))
        print("| %s | %.3f | %.3f |" % (label(x), total, total / base))


def run_all(folders, threshold, workers, per_folder=None):
    shutil.rmtree(SCRATCH, ignore_errors=True)
    os.makedirs(SCRATCH)
    pkzip = os.path.join(BIN, "PKZIP.EXE")
    env0 = dict(os.environ, TREVASK_THREADS="0")
    envn = dict(os.environ, TREVASK_THREADS=str(workers))
    start = time.perf_counter()
    for i, (folder, size) in enumerate(folders):
        t = time.perf_counter()
        subprocess.run([pkzip, "-a", os.path.join(SCRATCH, "%d.zip" % i), folder + "/*.*"],
                       env=env0 if size < threshold else envn, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if per_folder is not None:
            per_folder[i] += time.perf_counter() - t
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--paired", action="store_true")
    parser.add_argument("--from", dest="smallest", type=int, default=64 * KIB)
    parser.add_argument("trees", nargs="+")
    args = parser.parse_args()
    workers = min(os.cpu_count() or 1, 16)
    folders = folders_of(args.trees)
    print("%d folders, %.1f MB, %d workers when threaded" %
          (len(folders), sum(s for _, s in folders) / 1e6, workers))
    if args.paired:
        return paired(folders, workers, args.rounds, args.smallest)
    sums = {x: [] for x in THRESHOLDS}
    # Per folder, summed over rounds: no threads, threads everywhere.
    never = [0.0] * len(folders)
    always = [0.0] * len(folders)
    for r in range(args.rounds):
        order = THRESHOLDS[r % len(THRESHOLDS):] + THRESHOLDS[:r % len(THRESHOLDS)]
        for x in order:
            keep = never if x == NEVER else always if x == 0 else None
            sums[x].append(run_all(folders, x, workers, keep))
        print("round %d done, load %.2f" % (r + 1, os.getloadavg()[0]), flush=True)
    shutil.rmtree(SCRATCH, ignore_errors=True)

    base = statistics.median(sums[NEVER])
    print("\n| threads from | median s | rounds | / no threads |")
    print("|---|---|---|---|")
    for x in THRESHOLDS:
        print("| %s | %.3f | %s | %.3f |" % (label(x), statistics.median(sums[x]),
                                             " ".join("%.2f" % s for s in sums[x]),
                                             statistics.median(sums[x]) / base))
    print("\n| folder bytes | folders | no threads s | threads s | threads / none |")
    print("|---|---|---|---|---|")
    low = 0
    for high in BUCKETS:
        idx = [i for i, (_, s) in enumerate(folders) if low <= s < high]
        a = sum(never[i] for i in idx) / args.rounds
        b = sum(always[i] for i in idx) / args.rounds
        print("| %s to %s | %d | %.3f | %.3f | %s |" % (
            label(low) if low else "0 KiB", label(high), len(idx), a, b,
            "%.3f" % (b / a) if a else "-"))
        low = high


if __name__ == "__main__":
    sys.exit(main())
