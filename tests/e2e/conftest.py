"""Fixtures for end-to-end tests: the built programs run in a private host
prefix each, so tests never touch the machine's own state or each other's."""

import contextlib
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import warnings
from pathlib import Path

import pytest

BIN_DIR = Path(os.environ.get("BRENIX_BIN_DIR", Path(__file__).resolve().parents[2] / "build" / "bin"))
CLSID = "{F91031A3-644F-46F1-8ED5-B91F0E160879}"
SFDISK = shutil.which("sfdisk") or "/usr/sbin/sfdisk"
LOSETUP = shutil.which("losetup") or "/usr/sbin/losetup"
MKFS = shutil.which("mkfs.ext4") or "/usr/sbin/mkfs.ext4"
QEMU_IMG = shutil.which("qemu-img")


def wait_until(predicate, timeout=20.0):
    """Polls predicate until it holds or timeout seconds pass; its last value."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class Host:
    """One private host prefix and helpers to run the programs in it."""

    def __init__(self, root: Path):
        self.root = root
        self.prefix = root / "host"
        self.work = root / "work"
        self.work.mkdir()
        self.endpoint = self.prefix / "run" / CLSID
        self.mount = str(BIN_DIR / "brenix-mount")
        self.service = str(BIN_DIR / "bmount-service")
        # The record backend, which any user can run and tests can inspect.
        self.env = dict(os.environ, BRENIX_HOST_PREFIX=str(self.prefix),
                        BRENIX_MOUNT_BACKEND="record")
        self.env.pop("BRENIX_HOST_OSVERSION", None)

    def run(self, *args, env=None, input="", timeout=60, program=None):
        """Runs brenix-mount (or another program) with the given arguments."""
        full_env = {k: v for k, v in dict(self.env, **(env or {})).items() if v is not None}
        return subprocess.run([program or self.mount, *args], cwd=self.work, env=full_env,
                              input=input.encode() if isinstance(input, str) else input,
                              capture_output=True, timeout=timeout)

    def outcome(self, *args, **options):
        """Runs brenix-mount: its exit code, standard output and standard error."""
        r = self.run(*args, **options)
        return r.returncode, r.stdout.decode(), r.stderr.decode()

    def start(self, *args, text=False):
        """Starts brenix-mount with the given arguments, its output piped."""
        return subprocess.Popen([self.mount, *args], cwd=self.work, env=self.env, text=text,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run_service(self, *args, timeout=30):
        return self.run(*args, program=self.service, timeout=timeout)

    def listing(self):
        """What brenix-mount without arguments prints."""
        return self.run().stdout.decode()

    def drive(self, letter):
        return self.prefix / "drives" / letter

    def events(self):
        """The records of the application event log, oldest first."""
        log = self.prefix / "eventlog" / "Application.jsonl"
        return [json.loads(line) for line in log.read_text(encoding="utf-8").splitlines()] \
            if log.exists() else []

    def command_line(self, *args):
        """The command line the host reports for a run of brenix-mount."""
        def quote(a):
            return f'"{a}"' if a == "" or " " in a or "\t" in a else a
        return " ".join(quote(a) for a in [self.mount, *args])


def private_host():
    """A Host in a fresh folder; its service is stopped and the folder removed after."""
    h = Host(Path(tempfile.mkdtemp(prefix="brenix-e2e-")))
    yield h
    if os.path.exists(h.service) and h.prefix.exists():
        h.run_service("--stop")
    shutil.rmtree(h.root, ignore_errors=True)
    # A keeper ends when its endpoint goes; a service with nothing to hand
    # over ends at --stop. One that outlives its folder would stay for good.
    alive = lambda: [p for p in processes_of(h) if not exited(p)]
    if not wait_until(lambda: not alive(), timeout=10):
        left = {}
        for pid in alive():
            with contextlib.suppress(OSError):
                left[pid] = Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ")
                os.kill(pid, signal.SIGKILL)
        warnings.warn(f"processes outlived their host prefix {h.prefix}, killed: {left}")


host = pytest.fixture(private_host, name="host")


def dismount_all(host):
    """Dismounts by force whatever the listing shows; the lines it showed."""
    shown = [line for line in host.listing().splitlines() if line[1:2] == ":"]
    for line in shown:
        host.run(line[:2], "/f")
    return shown


@pytest.fixture
def foreground(host):
    """Starts `bmount-service --foreground [args]` (its output in service.log),
    under the wrapper command if one is given, and stops it at the end."""
    started = []

    def start(*args, wrapper=()):
        host.prefix.mkdir(parents=True, exist_ok=True)
        with open(host.root / "service.log", "ab") as log:
            p = subprocess.Popen([*wrapper, host.service, "--foreground", *args], env=host.env,
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        started.append(p)
        assert wait_until(lambda: accepting(host) or p.poll() is not None)
        return p

    yield start
    for p in started:
        if p.poll() is None:
            p.terminate()
            p.wait(timeout=30)


@pytest.fixture(scope="module")
def other_user():
    """A second user, made for the tests of a module and removed after them."""
    if os.geteuid() != 0 or shutil.which("useradd") is None:
        pytest.skip("needs the superuser and useradd")
    name = f"bxuser{os.getpid() % 100000}"
    subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", name],
                   check=True, capture_output=True)
    yield pwd.getpwnam(name)
    subprocess.run(["userdel", name], capture_output=True)


def mounts_below(path):
    """Mount points at or below path, from this process's mount list."""
    real = os.path.realpath(path)
    found = []
    with open("/proc/self/mountinfo", encoding="utf-8") as f:
        for line in f:
            point = line.split()[4].encode().decode("unicode_escape")
            if point == real or point.startswith(real + "/"):
                found.append(point)
    return found


def loops_of(path):
    """Loop device lines of `losetup -a` whose backing file lies below path."""
    out = subprocess.run([LOSETUP, "-a"], capture_output=True, text=True).stdout
    real = os.path.realpath(path)
    return [line for line in out.splitlines() if f"({real}/" in line]


needs_loop = pytest.mark.skipif(
    os.geteuid() != 0 or not os.path.exists("/dev/loop-control") or not os.path.exists(MKFS),
    reason="loop devices need the superuser, /dev/loop-control and mkfs.ext4")


def on_loop(test):
    """Marks a test that attaches with the loop backend: its host is loop_host."""
    return needs_loop(pytest.mark.usefixtures("loop_host")(test))


@pytest.fixture
def loop_host(host):
    """The host with the loop backend; whatever a test leaves attached is taken
    down (and counted as a failure) before the prefix is removed. A loop
    device whose last user went away frees itself a moment later."""
    host.env["BRENIX_MOUNT_BACKEND"] = "loop"
    yield host
    leftovers = dismount_all(host)
    host.run_service("--stop")
    wait_until(lambda: loops_of(host.root) == [])
    for point in reversed(mounts_below(host.root)):
        subprocess.run(["umount", "-l", point], capture_output=True)
        leftovers.append(point)
    for line in loops_of(host.root):
        subprocess.run([LOSETUP, "-d", line.split(":")[0]], capture_output=True)
        leftovers.append(line)
    assert leftovers == []


as_root = pytest.mark.skipif(os.geteuid() != 0,
                             reason="needs the superuser to make another user's files")


@pytest.fixture
def nobody_home():
    """A folder the unprivileged user can reach and write."""
    root = Path(tempfile.mkdtemp(prefix="brenix-nobody-"))
    os.chmod(root, 0o755)
    home = root / "nobody"
    home.mkdir()
    os.chown(home, 65534, 65534)
    yield home
    shutil.rmtree(root, ignore_errors=True)


def make_disk(host, name, table, size):
    """A sparse raw image of size bytes with the given sfdisk script (or none)."""
    path = host.work / name
    with open(path, "wb") as f:
        f.truncate(size)
    if table:
        subprocess.run([SFDISK, "-q", str(path)], input=table.encode(), check=True,
                       capture_output=True)
    return str(path)


def qemu_img(*args):
    subprocess.run([QEMU_IMG, *map(str, args)], check=True, capture_output=True)


def convert(raw, path, fmt, *options):
    """raw converted by qemu-img to path in format fmt; path as text."""
    qemu_img("convert", "-O", fmt, *options, raw, path)
    return str(path)


def losetup(path, *options):
    """A loop device of our own over path; its name."""
    return subprocess.run([LOSETUP, *options, "-f", "--show", str(path)], check=True,
                          capture_output=True, text=True).stdout.strip()


@contextlib.contextmanager
def loop_device(path, *options):
    """A loop device of our own over path for the block; its name."""
    device = losetup(path, *options)
    try:
        yield device
    finally:
        subprocess.run([LOSETUP, "-d", device], capture_output=True)


@contextlib.contextmanager
def stopped(pid):
    """The process stopped for the block; never left so after it (a stopped
    storage server would hold sync(1) for good)."""
    os.kill(pid, signal.SIGSTOP)
    try:
        yield
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGCONT)


def serving_pid(host):
    """The pid in the service's lock file; 0 when it names none."""
    text = (host.prefix / "run" / "bmount-service.lock").read_text().strip()
    return int(text) if text else 0


def kill_service(host):
    """Kills the serving instance outright and waits until it is gone."""
    pid = serving_pid(host)
    os.kill(pid, signal.SIGKILL)
    assert wait_until(lambda: exited(pid))


def processes_of(host, program=None):
    """Ids of the processes whose command line or environment names the
    host's prefix (and that run program, when given)."""
    pids = []
    for entry in filter(lambda p: p.name.isdigit(), Path("/proc").iterdir()):
        try:
            if any(str(host.prefix).encode() in (entry / part).read_bytes()
                   for part in ("cmdline", "environ")) and \
                    program in (None, os.readlink(entry / "exe")):
                pids.append(int(entry.name))
        except OSError:
            continue  # ended meanwhile
    return sorted(pids)


def accepting(host):
    """Whether a service answers connections at the host's endpoint."""
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.connect(str(host.endpoint))
        return True
    except OSError:
        return False
    finally:
        s.close()


def exited(pid):
    """Whether the process is gone or a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split()[2] == "Z"
    except FileNotFoundError:
        return True


USAGE = (
    "Brenix-mount [driveletter:] [path-to-virtual-disk] [options]\n"
    "Brenix Drivelink Utility version 1.5.1 build-23733\n"
    "\n"
    "This utility mounts Brenix virtual disks under Microsoft Windows.\n"
    "Use \"Brenix-mount\" without arguments to list the currently-mounted volumes.\n"
    "\n"
    "  /d    deletes the mapping to a virtual drive volume\n"
    "  /f    forcibly deletes the mapping to a virtual drive volume\n"
    "  /v:N  mounts volume N of a virtual disk\n"
    "  /p    displays the partitions (volumes) on a virtual disk\n"
    "  /y    open the virtual disk whether or not a snapshot is in effect\n"
    "  /n    do not open the virtual disk if a snapshot is in effect\n"
    "  /?    displays this usage information\n"
    "\n"
)

NONE_MOUNTED = "No volumes mounted.\n"
HOWTO = "Use \"Brenix-mount /?\" for usage information.\n"
BAD_ARG = "Invalid or missing parameter on command line.\n" + HOWTO
UNEXPECTED = ("An unexpected error has occurred.  Details have been saved in the Application\n"
              "event log.\n")
