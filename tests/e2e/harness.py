"""Shared helpers for the process-level tests written in Python.

The programs under test are found in TREVASK_BIN_DIR. When TREVASK_EMULATOR
is set (a Windows build under Wine), every program is started through it and
paths are written with backslashes.
"""
import hashlib
import io
import os
import shutil
import struct
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
# Wine shows its prefix's drive_c as C:, and every other host path on Z:.
WINE_DRIVE_C = (os.path.join(os.path.abspath(os.environ["WINEPREFIX"]), "drive_c")
                if EMULATOR and os.environ.get("WINEPREFIX") else "")


def scratch_dir():
    """Where scratch folders (and every other temporary file of the tests) go.
    Under Wine, on the prefix's drive C:, whose whole way is the user's: on Z:
    a folder such as /tmp shows as one Everyone may change, and Trevask
    rightly refuses a TempFolder below it."""
    if WINE_DRIVE_C:
        path = os.path.join(WINE_DRIVE_C, "trevask-e2e")
        os.makedirs(path, exist_ok=True)
        return path
    return os.environ.get("TREVASK_SCRATCH_DIR") or None


tempfile.tempdir = scratch_dir()


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
    if not EMULATOR:
        return path
    path = os.path.abspath(path)
    if WINE_DRIVE_C and (path + "/").startswith(WINE_DRIVE_C + "/"):
        rel = "" if path == WINE_DRIVE_C else os.path.relpath(path, WINE_DRIVE_C)
        return "C:\\" + rel.replace("/", "\\")
    return "Z:" + path.replace("/", "\\")


def search_path(*dirs):
    """A PATH whose first folders are dirs (host paths)."""
    if EMULATOR:
        return ";".join(target_path(d) for d in dirs)
    return os.pathsep.join(list(dirs) + [os.environ.get("PATH", "")])


def command(name, args):
    """The command line that starts a program of the project."""
    return ([EMULATOR] if EMULATOR else []) + [program(name)] + list(args)


def environment(env_path=None, extra_env=None):
    """The tests' environment, extra_env added; env_path replaces PATH when given."""
    env = dict(os.environ)
    env.update(extra_env or {})
    if env_path is not None:
        env["WINEPATH" if EMULATOR else "PATH"] = env_path
    return env


def start(name, args, cwd, env_path=None, extra_env=None, **popen):
    """Starts a program of the project in the background."""
    return subprocess.Popen(command(name, args), cwd=cwd,
                            env=environment(env_path, extra_env), **popen)


def run(name, args, cwd, env_path=None, preexec_fn=None, extra_env=None, timeout=None,
        terminal=None):
    """Runs a program of the project; env_path replaces PATH when given.
    With terminal (a file descriptor), its output goes there and is not kept."""
    argv = command(name, args)
    env = environment(env_path, extra_env)
    if terminal is not None:
        done = subprocess.run(argv, cwd=cwd, env=env, stdout=terminal, stderr=terminal,
                              preexec_fn=preexec_fn, timeout=timeout)
        return subprocess.CompletedProcess(argv, done.returncode, None, None)
    # Files, not pipes: a Wine service started by the first program of a
    # session inherits its handles and would keep a pipe open.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(argv, cwd=cwd, env=env, stdout=out, stderr=err,
                              preexec_fn=preexec_fn, timeout=timeout)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(argv, done.returncode, out.read(), err.read())


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


def read_bundle(path, name=lambda info: info.filename):
    """{member: {file: bytes}} for each folder's archive of a bundle, None for
    a folder entry; name(info) keys members and files. Every CRC is checked."""
    actual = {}
    with zipfile.ZipFile(path) as bundle:
        assert bundle.testzip() is None
        for info in bundle.infolist():
            if info.is_dir():
                actual[name(info)] = None
                continue
            # Folder archives are stored, not deflated a second time.
            assert info.compress_type == zipfile.ZIP_STORED, info.filename
            with zipfile.ZipFile(io.BytesIO(bundle.read(info))) as inner:
                assert inner.testzip() is None
                actual[name(info)] = {name(i): inner.read(i) for i in inner.infolist()}
    return actual


def data_range(archive, name):
    """(offset, size) of member name's data in the zip archive's bytes."""
    info = zipfile.ZipFile(io.BytesIO(archive)).getinfo(name)
    at = info.header_offset
    name_length, extra_length = struct.unpack("<HH", archive[at + 26:at + 30])
    return at + 30 + name_length + extra_length, info.compress_size


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


def as_user(uid, umask=None, nproc=None, groups=(), gid=None):
    """A preexec_fn: as root, the user uid of group gid (uid unless given) and
    of the given groups only; when asked, a umask and a limit on its threads
    and processes."""
    import resource

    def drop():
        if umask is not None:
            os.umask(umask)
        if nproc is not None:
            resource.setrlimit(resource.RLIMIT_NPROC, (nproc, nproc))
        if os.geteuid() == 0:
            os.setgroups(list(groups))
            os.setgid(uid if gid is None else gid)
            os.setuid(uid)
    return drop


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
    drop = as_user(nobody.pw_uid, gid=nobody.pw_gid)
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

    def trevask(self, *args, **kw):
        """Trevask in the scratch folder with this build's archivers; args are
        written with '/' and kw goes to run()."""
        kw.setdefault("env_path", search_path(BIN_DIR))
        return run("trevask", [native(a) for a in args], self.dir, **kw)
