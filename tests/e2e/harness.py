"""Shared helpers for the process-level tests written in Python.

The programs under test are found in TREVASK_BIN_DIR. When TREVASK_EMULATOR
is set (a Windows build under Wine), every program is started through it and
paths are written with backslashes.
"""
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest
import zipfile

BIN_DIR = os.path.abspath(os.environ.get("TREVASK_BIN_DIR", "."))
RECORDER_DIR = os.environ.get("TREVASK_RECORDER_DIR", "")
EMULATOR = os.environ.get("TREVASK_EMULATOR", "")
WINDOWS = bool(os.environ.get("TREVASK_WINDOWS", ""))
SEP = "\\" if WINDOWS else "/"
FAILURE = 255  # -1 as an exit status
# Scratch folders (and every other temporary file of the tests) go here.
tempfile.tempdir = os.environ.get("TREVASK_SCRATCH_DIR") or None


def native(path):
    """A relative path written with '/' in the target's own separator."""
    return path.replace("/", SEP)


def program(name):
    if name in ("trevask", "trevask-extract") and WINDOWS:
        name += ".exe"
    path = os.path.join(BIN_DIR, name)
    if not os.path.exists(path):
        raise unittest.SkipTest("not built: " + path)
    return path


def target_path(path):
    """An absolute host path as the programs under test name it."""
    if EMULATOR:
        return "Z:" + path.replace("/", "\\")
    return path


def search_path(*dirs):
    """A PATH whose first folders are dirs (host paths)."""
    if EMULATOR:
        return ";".join(target_path(d) for d in dirs)
    return os.pathsep.join(list(dirs) + [os.environ.get("PATH", "")])


def run(name, args, cwd, env_path=None, preexec_fn=None, extra_env=None, timeout=None):
    """Runs a program of the project; env_path replaces PATH when given."""
    command = [program(name)] + list(args)
    if EMULATOR:
        command = [EMULATOR] + command
    env = dict(os.environ)
    env.update(extra_env or {})
    if env_path is not None:
        if EMULATOR:
            env["WINEPATH"] = env_path
        else:
            env["PATH"] = env_path
    # Files, not pipes: a Wine service started by the first program of a
    # session inherits its handles and would keep a pipe open.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(command, cwd=cwd, env=env, stdout=out, stderr=err,
                              preexec_fn=preexec_fn, timeout=timeout)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(command, done.returncode, out.read(), err.read())


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def make_files(root, files):
    """files: {relative path: bytes}; a path ending in '/' is a folder."""
    for rel, data in files.items():
        path = os.path.join(root, *rel.rstrip("/").split("/"))
        if rel.endswith("/"):
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def read_zip(path):
    """{name: bytes} of an archive, every member's CRC checked."""
    with zipfile.ZipFile(path) as z:
        assert z.testzip() is None, "bad CRC in " + path
        return {info.filename: z.read(info) for info in z.infolist()}


def zip_infos(path):
    with zipfile.ZipFile(path) as z:
        return {info.filename: info for info in z.infolist()}


def snapshot(root):
    """{relative path: sha256 or None for a folder or link} of a whole tree."""
    state = {}
    for folder, dirs, files in os.walk(root):
        for d in dirs:
            path = os.path.join(folder, d)
            key = os.path.relpath(path, root).replace(os.sep, "/") + "/"
            state[key] = "link " + os.readlink(path) if os.path.islink(path) else None
        for f in files:
            path = os.path.join(folder, f)
            key = os.path.relpath(path, root).replace(os.sep, "/")
            if os.path.islink(path) or not os.path.isfile(path):
                state[key] = "special"
                continue
            with open(path, "rb") as fh:
                state[key] = hashlib.sha256(fh.read()).hexdigest()
    return state


def changed_paths(before, after):
    return sorted(p for p in set(before) | set(after)
                  if before.get(p, "absent") != after.get(p, "absent"))


def unprivileged(test, root):
    """A preexec_fn that drops to 'nobody' when running as root (root reads
    every file whatever its mode); root's tree is handed to nobody first."""
    if os.name != "posix" or WINDOWS:
        raise unittest.SkipTest("POSIX permissions")
    if os.geteuid() != 0:
        return None
    import pwd
    nobody = pwd.getpwnam("nobody")
    for folder, dirs, files in os.walk(root):
        for name in [folder] + [os.path.join(folder, n) for n in dirs + files]:
            os.lchown(name, nobody.pw_uid, nobody.pw_gid)
    # The scratch folder's parents must let nobody through.
    test.assertTrue(os.access(os.path.dirname(root), os.X_OK))

    def drop():
        os.setgroups([])
        os.setgid(nobody.pw_gid)
        os.setuid(nobody.pw_uid)
    # A build below a folder that nobody may not enter cannot be run so.
    try:
        subprocess.run([program("PKZIP.EXE")], preexec_fn=drop, capture_output=True)
    except PermissionError:
        raise unittest.SkipTest("nobody cannot run the programs of this build")
    return drop


class ScratchTest(unittest.TestCase):
    """Each test gets a fresh working folder."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trevask-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, rel):
        return os.path.join(self.dir, *rel.split("/"))
