#!/usr/bin/env python3
"""Plants realistic faults one at a time and runs the suite against each.

A fault the suite does not catch is a test that protects nothing. Each
mutant replaces one exact piece of text in one file (the piece must occur
exactly once) in a scratch copy of the tree, builds it incrementally and
runs `ctest --preset default -LE "slow|large"` there. The score is the share
of mutants caught.

    scripts/mutants.py                 # all mutants (about a minute each)
    scripts/mutants.py --only 3,7      # some of them
    scripts/mutants.py --list

Run by hand, not in CI. Needs the default build's dependencies
(scripts/build-libzip.sh native build/deps/libzip-native). A mutated build
may delete what it should not. Run as root, the script builds and tests as
root in namespaces of its own (process ids, mounts, network, IPC, host
name), with its own /tmp and /dev, every other mount read-only, and
without the capabilities that could undo that, so that the tests that set
up other users' folders run as in CI while nothing of the machine's can be
touched. Run as another user, it builds and tests as that user, and the
tests that need root are skipped.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (file, text, replacement, what the fault is); a fault of several edits
# has a list of (file, text, replacement) in place of the file.
MUTANTS = [
    ("archiver/pipeline.cc",
     "    piece.store = StoreRatherThanDeflate(job->length, piece.packed.size());",
     "    piece.store = piece.packed.empty();",
     "an incompressible file over 8 MiB written deflated and larger than the file"),
    ("folder_tool/command_line.cc", 'arg.find_first_of(" &|<>^(),;=!")',
     'arg.find_first_of(" |<>^(),;=!")', "'&' no longer quoted for cmd.exe"),
    ("folder_tool/command_line.cc", "  out.append(trailing_backslashes, '\\\\');\n", "",
     "trailing backslashes no longer doubled before the closing quote"),
    ("base/zip_directory.cc", "(known && tm.tm_year < 80)", "(known && tm.tm_year <= 80)",
     "a time in 1980 itself clamped"),
    ("folder_tool/spawn-posix.cc", "    base::NoteInterrupted(WTERMSIG(status));\n", "",
     "an archiver ended by Ctrl-C no longer stops the walk"),
    ("walk/compress_folder.cc", 'list += (list.empty() ? "" : ", ") + base::Join(dir, names[j]);',
     'list += (list.empty() ? "" : ", ") + names[j];',
     "the skipped-leaves line names the wrong folders"),
    ("archiver/arguments.cc",
     "  if (request->folder.empty()) request->folder = pattern.substr(0, 1);\n", "",
     "DIR/*.* of a root folder"),
    ([("folder_tool/say.cc",
       '  std::fputs("PKZIP Compress Error!", stdout);\n  if (std::fflush(stdout) != 0) base::NoteOutputError();',
       '  std::fputs("PKZIP Compress Error!", stdout);'),
      ("folder_tool/folder_tool.cc",
       "  if (std::fflush(stdout) != 0) base::NoteOutputError();\n  bool started = true;",
       "  bool started = true;")], None, None,
     "neither the failure message nor the output before an archiver flushed"),
    ("folder_tool/trust-posix.cc", "  if (st.st_mode & S_ISVTX) return \"\";\n", "",
     "a sticky folder such as /tmp refused"),
    ("folder_tool/trust-posix.cc", "      if (st->st_uid != geteuid() && st->st_uid != 0) {",
     "      if (false) {", "another user's link on the way trusted"),
    ("folder_tool/trust-posix.cc",
     '  if (!writer.empty()) return "its access list lets " + writer + " write to it";',
     "  (void)writer;", "access lists ignored"),
    ("folder_tool/spawn-posix.cc", "  if (child > 0) kill(child, sig);", "  (void)child;",
     "signals not passed on to the archiver"),
    ("folder_tool/spawn-posix.cc", "  kill(pid, SIGKILL);\n", "",
     "an archiver deaf to signals outlives the run"),
    ("app/driver.cc", "InstallInterruptHandling(RemoveMadeMirror);",
     "InstallInterruptHandling(nullptr);", "an interrupted -r run keeps its mirror folder"),
    ("folder_tool/run_locks-posix.cc",
     "  for (const std::string& above : OwnFoldersAbove(temp_root)) {",
     "  for (const std::string& above : std::vector<std::string>()) {",
     "a run inside another run's TempFolder does not wait"),
    ("folder_tool/run_locks-posix.cc", "  std::sort(wanted.begin(), wanted.end(),",
     "  if (false) std::sort(wanted.begin(), wanted.end(),",
     "locks taken in different orders by different runs"),
    ("app/driver.cc", "  if (IsSpecialFile(destination)) {", "  if (false) {",
     "a FIFO as DstFileName opened"),
    ([("base/folder_link.cc",
       "  if (std::find(path.begin(), path.end(), id) != path.end()) return FolderLink::kLoop;",
       ""),
      ("base/folder_link.cc", "if (GetFileId(at, &above) && above == id)", "if (false)")],
     None, None, "a link back up followed"),
    ("base/system-posix.cc", "O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC", "O_RDONLY | O_NOCTTY | O_CLOEXEC",
     "source files opened blocking"),
    ("app/driver.cc", "  if (!ArchiverFound(options.kind)) {", "  if (false) {",
     "a missing archiver found out folder by folder"),
    ("folder_tool/folder_tool-posix.cc", "mkdir(path.c_str(), 0700)", "mkdir(path.c_str(), 0777)",
     "mirror folders readable by others"),
    ("folder_tool/remove_tree-posix.cc",
     "  } else if (!base::GetOpenFileId(fd, &found) || found != expected) {",
     "  } else if (false) {",
     "the removal's identity check skipped"),
    ("app/driver.cc", "    if (KindOf(paths.mirror) != PathKind::kMissing) {\n      return Refuse(\"the mirror",
     "    if (false) {\n      return Refuse(\"the mirror",
     "-r over a mirror folder made meanwhile by another run"),
    ("archiver/add_files.cc",
     "  if (!lock.Acquire(request.archive, error)) {",
     "  if (false) {", "the stand-in archivers no longer take the update lock"),
    ("archiver/archiver_fs-posix.cc", "  fchmod(fd, mode);\n", "",
     "an updated archive loses its mode"),
    ("archiver/add_files.cc", "  if (!base::FinalTarget(request.archive, &target, error)) return false;",
     "  target = request.archive;", "a link at the archive replaced by a file"),
    ("base/zip_reader.cc", '  if (crc != m.crc) return Failed(error, "CRC mismatch");',
     "  (void)crc;", "trevask-extract no longer checks CRCs"),
    ("base/bundle_layout.cc", "  if (name == \".\" || name == \"..\") return \"the name '\" + name + \"'\";\n",
     "", "trevask-extract takes a member named '..'"),
    ("extract/commands.cc", "  if (Whole(folder)) return;\n", "  return;\n",
     "a file argument of trevask-extract takes its whole folder"),
    ("app/driver.cc", "  if (!CreateNewFolder(paths.mirror, &error)) {",
     "  if (!CreateNewFolder(paths.mirror, &error) && !IsExistingFolder(paths.mirror)) {",
     "-r adopts a mirror folder made meanwhile, to remove it later"),
    ("archiver/listing.cc", "if (!request->recurse || value == nullptr",
     "if (true || !request->recurse || value == nullptr",
     "the bundle archiver ignores the list of members a failed run keeps"),
    ("walk/compress_folder.cc", "  NoteRun(guard, planned.member, written);",
     "  if (planned.ready) NoteRun(guard, planned.member, written);",
     "a folder that fails before its archiver runs (a name clash) is not kept"),
    ("walk/compress_folder.cc", '                           MemberOf(member_dir + name + "/", name), f.leaf_ids[j],',
     "                           MemberOf(member_dir, name), f.leaf_ids[j],",
     "a failed leaf noted under the wrong bundle name"),
    ("app/driver.cc", "      UnreadableKeptArchives(paths.source, paths.temp_root, runs);",
     "      std::vector<std::string>();",
     "a damaged kept archive replaces the bundle's copy"),
    ("folder_tool/folder_tool.cc", "if (length > kMaxVariableLength) {", "if (false) {",
     "a keep list over one environment variable's limit is not refused"),
    ("base/kept_members.cc", "      if (PassesAsIs(c)) {\n        text += static_cast<char>(c);",
     "      if (c != ';' && c != '%') {\n        text += static_cast<char>(c);",
     "names in the keep list not escaped"),
]


# Root in namespaces of its own: its own process ids (nothing outside can be
# signalled), network, IPC and host name; its own /tmp, and a /dev of its
# own without disks; every other mount read-only but the scratch copy,
# /proc/sys too; and without the capabilities to undo any of that (mount,
# raw I/O, modules, device nodes, tracing). The tests need only owners,
# modes and user changes. The check at the end stops the run when any
# other mount is still writable.
SANDBOX = r"""
set -e
trap '[ $? -eq 0 ] || exit 125' EXIT
scratch=$1; shift
mount --bind "$scratch" /mnt
mount -t tmpfs -o mode=1777 tmpfs /tmp
mkdir -p "$scratch"
mount --move /mnt "$scratch"
mount -t tmpfs -o mode=755 tmpfs /mnt
for node in null zero full random urandom tty; do
  touch "/mnt/$node"
  mount --bind "/dev/$node" "/mnt/$node"
done
mkdir /mnt/pts /mnt/shm
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts /mnt/pts
mount -t tmpfs -o mode=1777 tmpfs /mnt/shm
ln -s pts/ptmx /mnt/ptmx
ln -s /proc/self/fd /mnt/fd
ln -s fd/0 /mnt/stdin
ln -s fd/1 /mnt/stdout
ln -s fd/2 /mnt/stderr
umount -l /dev
mount --move /mnt /dev
for entry in /proc/sys /proc/sysrq-trigger; do
  if [ -e "$entry" ]; then mount --bind "$entry" "$entry"; fi
done
writable="$scratch /tmp /dev/shm /dev/pts /proc"
is_writable() { for w in $writable; do [ "$1" = "$w" ] && return 0; done; return 1; }
awk '{print $5}' /proc/self/mountinfo | while read -r target; do
  target=$(printf '%b' "$target")
  is_writable "$target" || mount -o remount,bind,ro "$target" 2>/dev/null || true
done
left=$(awk '$6 !~ /(^|,)ro(,|$)/ {print $5}' /proc/self/mountinfo | while read -r target; do
  is_writable "$(printf '%b' "$target")" || echo "$target"
done)
if [ -n "$left" ]; then
  echo "sandbox: still writable: $left" >&2
  exit 125
fi
cd "$PWD"
trap - EXIT
exec setpriv --bounding-set -all,+chown,+dac_override,+dac_read_search,+fowner,+fsetid,+kill,+setgid,+setuid -- "$@"
"""


def run(command, cwd, log, scratch):
    with open(log, "a") as out:
        if os.geteuid() == 0:
            command = ["unshare", "--mount", "--pid", "--fork", "--mount-proc", "--net",
                       "--ipc", "--uts", "--cgroup", "--propagation", "private",
                       "sh", "-c", SANDBOX, "sandbox", scratch] + command
        status = subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode
    if status == 125:
        sys.exit("the sandbox could not be set up; see %s" % log)
    return status


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", help="comma-separated mutant numbers (from 1)")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--keep", action="store_true", help="keep the scratch copy")
    args = parser.parse_args()
    chosen = range(1, len(MUTANTS) + 1)
    if args.only:
        chosen = [int(n) for n in args.only.split(",")]
    if args.list:
        for n in chosen:
            first = MUTANTS[n - 1][0]
            files = first if isinstance(first, str) else ", ".join(sorted({e[0] for e in first}))
            print("%2d %s: %s" % (n, files, MUTANTS[n - 1][3]))
        return 0
    scratch = tempfile.mkdtemp(prefix="trevask-mutants-")
    tree = os.path.join(scratch, "tree")
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns("build", ".git"))
    os.makedirs(os.path.join(tree, "build"))
    os.symlink(os.path.join(ROOT, "build", "deps"), os.path.join(tree, "build", "deps"))
    log = os.path.join(scratch, "log.txt")
    os.chmod(scratch, 0o755)
    print("scratch copy and log: %s" % scratch)
    if run(["cmake", "--preset", "default"], tree, log, scratch) != 0 or \
            run(["cmake", "--build", "--preset", "default", "-j2"], tree, log, scratch) != 0:
        sys.exit("the unchanged tree does not build; see %s" % log)
    # Tests that fail on the unchanged tree would count every mutant as
    # caught: they are left out, and named.
    ctest = ["ctest", "--preset", "default", "-LE", "slow|large", "-j2", "--timeout", "300"]
    baseline = os.path.join(scratch, "baseline.txt")
    run(ctest + ["--output-log", baseline], tree, log, scratch)
    with open(baseline) as f:
        broken = sorted({line.split(":")[1].split()[0] for line in f
                         if "***Failed" in line or "***Not Run" in line or "***Timeout" in line})
    if broken:
        print("left out, failing without any fault: %s" % ", ".join(broken))
        ctest += ["-E", "^(%s)$" % "|".join(broken)]
    caught = missed = 0
    for n in chosen:
        first, text, replacement, what = MUTANTS[n - 1]
        edits = first if isinstance(first, list) else [(first, text, replacement)]
        originals = {}
        for path, text, replacement in edits:
            file = os.path.join(tree, path)
            if file not in originals:
                with open(file) as f:
                    originals[file] = f.read()
        lost = [path for path, text, _ in edits
                if originals[os.path.join(tree, path)].count(text) != 1]
        if lost:
            print("%2d ANCHOR LOST  %s: %s" % (n, ", ".join(lost), what))
            missed += 1
            continue
        changed = dict(originals)
        for path, text, replacement in edits:
            file = os.path.join(tree, path)
            changed[file] = changed[file].replace(text, replacement)
        for file, content in changed.items():
            with open(file, "w") as f:
                f.write(content)
        try:
            built = run(["cmake", "--build", "--preset", "default", "-j2"], tree, log, scratch) == 0
            failed = built and run(ctest, tree, log, scratch) != 0
        finally:
            for file, content in originals.items():
                with open(file, "w") as f:
                    f.write(content)
        path = ", ".join(sorted({e[0] for e in edits}))
        caught += failed
        missed += not failed
        # A mutant that does not build is a fault of this list, not a catch.
        verdict = "caught" if failed else "MISSED" if built else "DOES NOT BUILD"
        print("%2d %s %s: %s" % (n, verdict, path, what), flush=True)
    run(["cmake", "--build", "--preset", "default", "-j2"], tree, log, scratch)
    total = caught + missed
    print("score: %d of %d caught (%.0f%%)" % (caught, total, 100.0 * caught / max(total, 1)))
    if not args.keep:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0 if caught == total else 1


if __name__ == "__main__":
    sys.exit(main())
