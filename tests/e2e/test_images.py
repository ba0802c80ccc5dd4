"""Disks that are not raw files (made here by qemu-img): /p, refusals, the redo
image as a child, and attaching through a loop device over the storage
daemon's FUSE export, with crashes of the service and of the daemon."""

import contextlib
import fcntl
import hashlib
import json
import os
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import (LOSETUP, NONE_MOUNTED, QEMU_IMG, UNEXPECTED, as_root, convert, exited,
                      kill_service, loops_of, losetup, mounts_below, on_loop, processes_of,
                      qemu_img, serving_pid, stopped, wait_until)
from test_commands import UNABLE_TO_MOUNT as MOUNT_FAILED, UNABLE_TO_OPEN as OPEN_FAILED
from test_commands import MBR, NO_VOLUMES, SUGGEST_FORCE, make_disk, mbr_disk
from test_loop import blank_disk, ext4_disk, read_at
from test_validate import VOLUMES, old_config

DEBUGFS = shutil.which("debugfs") or "/usr/sbin/debugfs"
GPT_VOLUMES = "Volume 1 : 4 Mb\nVolume 2 : 3 Mb\n"

pytestmark = pytest.mark.skipif(QEMU_IMG is None, reason="qemu-img is not installed")


def child(path, parent, fmt="qcow2", parent_fmt="qcow2"):
    qemu_img("create", "-f", fmt, "-b", parent, "-F", parent_fmt, path)
    return str(path)


def gpt_disk(host):
    return make_disk(host, "gpt.raw", "label: gpt\nstart=2048, size=8192\nstart=10240, size=6144\n",
                     12 << 20)


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def daemons(host):
    folder = host.prefix / "bmount" / "qemu"
    return sorted(p.name for p in folder.iterdir()) if folder.exists() else []


def daemon_pid(host):
    """The pid of the daemon of the first volume in the mount table."""
    line = (host.prefix / "bmount" / "mounts").read_text().splitlines()[1]
    return int(line.split(" daemon=")[1].split(",")[0])


def flat_vmdk(path, *extents):
    """A vmdk descriptor at path over the flat extents, each given as its line."""
    path.write_text('# Disk DescriptorFile\nversion=1\nCID=12345678\nparentCID=ffffffff\n'
                    'createType="monolithicFlat"\n' + "".join(e + "\n" for e in extents))


@contextlib.contextmanager
def emulator_writing(host, *blockdevs):
    """A storage daemon holding a disk open for writing, as an emulator does,
    for the block: its nodes, the last one exported."""
    socket = host.work / "writer.sock"
    node = blockdevs[-1].split("node-name=")[1].split(",")[0]
    writer = subprocess.Popen(
        ["qemu-storage-daemon", *(a for b in blockdevs for a in ("--blockdev", b)),
         "--nbd-server", f"addr.type=unix,addr.path={socket}",
         "--export", f"type=nbd,id=e,node-name={node},writable=on"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_until(socket.exists)
        yield
    finally:
        writer.terminate()
        writer.wait()


@pytest.mark.parametrize("fmt,options", [
    ("qcow2", []), ("qcow", []), ("qed", []), ("vdi", []), ("vhdx", []), ("vpc", []),
    ("parallels", []), ("vmdk", []), ("vmdk", ["-o", "subformat=twoGbMaxExtentSparse"]),
    ("vmdk", ["-o", "subformat=monolithicFlat"]),
])
def test_volumes_of_every_format(host, fmt, options):
    disk = convert(mbr_disk(host, "mbr.raw"), host.work / f"disk.{fmt}", fmt, *options)
    assert host.outcome(disk, "/p") == (0, VOLUMES, "")
    gpt = convert(gpt_disk(host), host.work / f"gpt.{fmt}", fmt, *options)
    assert host.outcome(gpt, "/p") == (0, GPT_VOLUMES, "")


@pytest.mark.parametrize("fmt,options", [
    ("qcow2", []), ("vmdk", ["-o", "subformat=twoGbMaxExtentFlat"])])
def test_an_image_an_emulator_writes_is_listed_not_attached(host, fmt, options):
    """Its files, extents too, are read without the emulator's leave, and
    written only with it."""
    disk = convert(mbr_disk(host, "mbr.raw"), host.work / f"disk.{fmt}", fmt, *options)
    with emulator_writing(host, f"driver=file,node-name=f,filename={disk}",
                          f"driver={fmt},node-name=q,file=f"):
        assert host.outcome(disk, "/p") == (0, VOLUMES, "")
        assert host.outcome("Q:", disk) == (2, MOUNT_FAILED, "")
        assert "in use by another program" in host.events()[-1]["strings"][3]


def test_chains(host):
    base = convert(mbr_disk(host, "mbr.raw"), host.work / "base.vmdk", "vmdk")
    child(host.work / "middle.qed", base, "qed", "vmdk")
    (host.work / "sub").mkdir()
    top = child(host.work / "sub" / "top.qcow2", "../middle.qed", "qcow2", "qed")
    assert host.outcome(top, "/p") == (0, VOLUMES, "")
    # A child with a partition table of its own over its parent's.
    own = convert(gpt_disk(host), host.work / "own.qcow2", "qcow2")
    qemu_img("rebase", "-u", "-b", base, "-F", "vmdk", own)
    assert host.outcome(own, "/p") == (0, GPT_VOLUMES, "")
    # Sizes come from the virtual disk, not from the few bytes of the file.
    assert os.path.getsize(top) < 1 << 20
    # An empty image is never read as the raw bytes of its file, whatever
    # its header's spare room holds (here the table of a raw disk).
    empty = host.work / "empty.qcow2"
    qemu_img("create", "-f", "qcow2", empty, "0")
    with open(host.work / "mbr.raw", "rb") as raw, open(empty, "r+b") as image:
        raw.seek(446)
        image.seek(446)
        image.write(raw.read(66))
    assert host.outcome(empty, "/p") == (0, NO_VOLUMES, "")
    assert host.outcome("E:", empty) == (1, NO_VOLUMES, "")


def test_more_extent_files_than_the_soft_file_limit(host, foreground):
    """A disk split into more files than the service's starter allowed it to
    open at once (the soft limit): the service raises its own."""
    foreground(wrapper=["sh", "-c", 'ulimit -S -n 64 && exec "$@"', "sh"])
    raw = make_disk(host, "big.raw", MBR, 200 << 30)
    disk = convert(raw, host.work / "split.vmdk", "vmdk", "-o", "subformat=twoGbMaxExtentSparse")
    assert len(list(host.work.glob("split-s*.vmdk"))) == 100
    assert host.outcome(disk, "/p") == (0, VOLUMES, "")


# What its starter did to signals is undone: a SIGCHLD ignored had every
# image refused, a SIGTERM held back left --stop unheard.
@pytest.mark.parametrize("starter", ["signal.signal(signal.SIGCHLD, signal.SIG_IGN)",
                                     "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})"])
def test_started_with_signals_ignored_or_held_back(host, foreground, starter):
    run = "os.execv(sys.argv[1], sys.argv[1:])"
    p = foreground(wrapper=[sys.executable, "-c", f"import os, signal, sys; {starter}; {run}"])
    disk = convert(mbr_disk(host, "mbr.raw"), host.work / "disk.qcow2", "qcow2")
    assert host.outcome(disk, "/p") == (0, VOLUMES, "")
    assert host.run_service("--stop").returncode == 0 and p.wait(timeout=10) == 0


# Damaged headers and data files are refused in diskImage_test; here, that
# the refusal reaches the user and names the file.
@pytest.mark.parametrize("case", ["missing", "json", "nbd", "http", "loop", "stale"])
def test_refusals_name_the_file(host, case):
    base = convert(mbr_disk(host, "mbr.raw"), host.work / "base.qcow2", "qcow2")
    disk = host.work / "disk.qcow2"
    if case == "stale":  # a vmdk child whose parent was written since: QEMU cannot read it
        base = convert(mbr_disk(host, "mbr.raw"), host.work / "base.vmdk", "vmdk")
        disk = Path(child(host.work / "disk.vmdk", base, "vmdk", "vmdk"))
        subprocess.run(["qemu-io", "-c", "write -P 1 1M 512", base], check=True,
                       capture_output=True)
    parents = {"missing": str(host.work / "gone.qcow2"), "json": 'json:{"file.filename":"' + base +
               '"}', "nbd": "nbd+unix:///x?socket=/tmp/s", "http": "http://host/x.qcow2"}
    named = parents.get(case, str(disk))
    if case in parents:
        qemu_img("create", "-f", "qcow2", "-u", "-b", parents[case], "-F", "qcow2", disk, "64M")
    elif case == "loop":  # its own parent
        child(disk, base)
        qemu_img("rebase", "-u", "-b", disk, "-F", "qcow2", disk)
    for args in ([str(disk), "/p"], ["E:", str(disk)]):
        assert host.outcome(*args) == (2, OPEN_FAILED, ""), case
        text = host.events()[-1]["strings"][-1]
        assert str(disk) in text and (named in text or case == "json"), text
        assert case != "stale" or "has been written since" in text, text
    assert "=>" not in host.listing()


def test_a_parent_name_reaches_the_logs_quoted(host, foreground):
    """An image's parent named with a terminal's control sequences, a C1
    control and a line of its own: the service's log on standard error shows
    them as "?", the event log escapes them."""
    foreground()
    parent = f"{host.work}/e\x1b]0;owned\x07\x1b[2J\u009b31mFORGED\nfake: line"
    disk = host.work / "e.qcow2"
    qemu_img("create", "-f", "qcow2", "-u", "-b", parent, "-F", "raw", disk, "64M")
    assert host.outcome(str(disk), "/p") == (2, OPEN_FAILED, "")
    log = (host.root / "service.log").read_bytes()
    assert b"e?]0;owned??[2J?31mFORGED?fake: line" in log, log
    assert not any(c in log for c in (b"\x1b", b"\x07", b"\xc2\x9b", b"\nfake"))
    line = (host.prefix / "eventlog" / "Application.jsonl").read_bytes().splitlines()[-1]
    assert b"\\u001b]0;owned\\u0007\\u001b[2J\\u009b31mFORGED\\nfake" in line, line


def test_the_log_of_a_look_daemon_stays_bounded(host):
    """An image whose every look makes the daemon that reads partition
    tables complain does not grow its log without end."""
    image = convert(mbr_disk(host, "mbr.raw"), host.work / "bad.qcow2", "qcow2")
    with open(image, "r+b") as f:  # its first L2 table's offset unaligned
        l1 = struct.unpack(">Q", f.read(48)[40:48])[0]
        f.seek(l1)
        entry = struct.unpack(">Q", f.read(8))[0]
        f.seek(l1)
        f.write(struct.pack(">Q", entry + 0x200))
    log = host.prefix / "bmount" / "qemu" / "look" / "log"
    for _ in range(600):
        assert host.run(image, "/p").returncode == 2
    assert "corrupt" in log.read_text()
    assert log.stat().st_size <= 65536


def test_a_file_named_twice_is_said_so(host):
    """Refused, as QEMU could not open it, but for what it is: no other
    program holds the file."""
    data = host.work / "data.raw"
    shutil.copy(mbr_disk(host, "mbr.raw"), data)
    half = data.stat().st_size // 1024
    disk = host.work / "twice.vmdk"
    flat_vmdk(disk, f'RW {half} FLAT "data.raw" 0', f'RW {half} FLAT "data.raw" {half}')
    assert host.outcome("E:", str(disk)) == (2, MOUNT_FAILED, "")
    assert host.events()[-1]["strings"][-1] == \
        f'The disk "{disk}" names the file "{data}" more than once.'


def test_redo_child_image_with_y(host):
    folder = host.work / "vm"
    folder.mkdir()
    disk = convert(mbr_disk(host, "mbr.raw"), folder / "Disk.bxdk", "qcow2")
    child(folder / "Disk.bxdk.redo", disk)
    (folder / "Win.BXX").write_text(old_config("scsi0:0", "Disk.bxdk"))
    assert host.outcome(disk, "/p", "/y") == (0, VOLUMES, "")


def fuse_acl(uid):
    """/dev/fuse's access list with read and write for uid (format of system.posix_acl_access)."""
    entries = [(1, 6, -1), (2, 6, uid), (4, 0, -1), (0x10, 6, -1), (0x20, 0, -1)]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", t, p, i & 0xFFFFFFFF)
                                          for t, p, i in entries)


@pytest.mark.parametrize("kind", ["extent", "parent"])
@pytest.mark.parametrize("theirs, mode, acl, may", [
    (0, 0o600, None, ""), (0, 0o644, None, "r"), (65534, 0o600, None, "rw"),
    (0, 0o644, "u:nobody:---", ""), (0, 0o600, "u:nobody:r--", "r")],
    ids=["root's private", "root's readable", "the owner's", "denied by a list",
         "granted by a list"])
@as_root
def test_a_disk_opens_only_what_its_owner_could(host, nobody_home, kind, theirs, mode, acl, may):
    """A disk of another user's names its own further files: the service,
    as the superuser, opens them only as that user could, so that a planted
    name cannot have it read from or write into someone else's file."""
    raw = shutil.copy(mbr_disk(host, "mbr.raw"), nobody_home / "mbr.raw")
    if kind == "extent":  # read by a look, written by an attach
        disk = convert(raw, nobody_home / "disk.vmdk", "vmdk", "-o", "subformat=monolithicFlat")
        named, attach = nobody_home / "disk-flat.vmdk", "w" in may
    else:
        named, disk = raw, child(nobody_home / "disk.qcow2", raw, parent_fmt="raw")
        attach = "r" in may
    os.chown(disk, 65534, 65534)
    os.chown(named, theirs, theirs)
    os.chmod(named, mode)
    if acl:
        subprocess.run(["setfacl", "-m", acl, named], check=True)
    said = f'The file "{named}" of the disk "{disk}" is one the disk\'s owner may not'
    for args, allowed in (([disk, "/p"], "r" in may), (["E:", disk], attach)):
        code = host.run(*args).returncode
        assert (code == 0) == allowed, args
        assert allowed or said in host.events()[-1]["strings"][-1]
    host.run("E:", "/d")


@as_root
def test_a_disk_of_many_files_of_another_users_is_listed_in_time(host, nobody_home):
    """Each further file of another user's disk is judged as that user, for
    thousands of them at once: one by one, the service (which serves one
    request at a time) was held for about half a minute."""
    data = Path(shutil.copy(mbr_disk(host, "mbr.raw"), nobody_home / "data.raw"))
    extents = [f'RW {data.stat().st_size // 512} FLAT "data.raw" 0']
    for i in range(2000):
        (nobody_home / f"x{i}.raw").write_bytes(bytes(512))
        extents.append(f'RW 1 FLAT "x{i}.raw" 0')
    disk = nobody_home / "many.vmdk"
    flat_vmdk(disk, *extents)
    for f in nobody_home.iterdir():
        os.chown(f, 65534, 65534)
    host.listing()  # the service runs
    start = time.monotonic()
    assert host.outcome(str(disk), "/p") == (0, VOLUMES, "")
    assert time.monotonic() - start < 15


@pytest.mark.parametrize("fuse", ["missing", "granted"])
def test_fuse_without_the_superuser(host, nobody_home, other_user, fuse):
    mode = os.stat("/dev/fuse").st_mode if os.path.exists("/dev/fuse") else None
    if os.geteuid() != 0 or shutil.which("setpriv") is None or (mode and mode & 0o006):
        pytest.skip("needs the superuser, setpriv, and a /dev/fuse others cannot open")
    if fuse == "granted" and (mode is None or not shutil.which("fusermount3")):
        pytest.skip("needs /dev/fuse and fusermount3")
    raw = shutil.copy(mbr_disk(host, "mbr.raw"), nobody_home / "disk.raw")
    image = convert(raw, nobody_home / "disk.qcow2", "qcow2")
    # Granted to a user of its own: nobody must keep lacking FUSE meanwhile.
    ids = other_user[2:4] if fuse == "granted" else (65534, 65534)
    for path in (nobody_home, raw, image):
        os.chown(path, *ids)
    env = dict(host.env, BRENIX_HOST_PREFIX=str(nobody_home / "host"), HOME=str(nobody_home))
    drop = ["setpriv", f"--reuid={ids[0]}", f"--regid={ids[1]}", "--clear-groups", "--"]

    def run(*args, program=host.mount):
        r = subprocess.run(drop + [program, *args], env=env, capture_output=True, timeout=60)
        return r.returncode, r.stdout.decode()
    try:
        if fuse == "granted":
            os.setxattr("/dev/fuse", "system.posix_acl_access", fuse_acl(ids[0]))
            assert run(str(image), "/p") == (0, VOLUMES)
            assert run("E:", str(image), "/v:2") == (0, "")
            assert f"disk={image}\nvolume=2\n" in (nobody_home / "host" / "bmount" / "volumes" /
                                                    "1" / "volume").read_text()
            assert run("E:", "/d") == (0, "")
            return
        assert run(str(raw), "/p") == (0, VOLUMES)
        assert run(str(image), "/p") == (2, OPEN_FAILED)
        log = nobody_home / "host" / "eventlog" / "Application.jsonl"
        text = json.loads(log.read_text().splitlines()[-1])["strings"][-1]
        assert str(image) in text and "FUSE is missing" in text, text
    finally:
        run("--stop", program=host.service)
        if fuse == "granted":
            os.removexattr("/dev/fuse", "system.posix_acl_access")
            os.chmod("/dev/fuse", mode & 0o7777)
        assert mounts_below(nobody_home) == []


CHILD = (("qcow2", ()), ("qcow2", ()))
RAW_BASE = (("raw", ()), ("qcow2", ()))


def ext4_chain(host, layers=CHILD):
    """An ext4 volume in a base image with the given (format, options) layers
    over it; the files below the top, and the top."""
    (fmt, options), *children = layers
    top = convert(ext4_disk(host, "e.raw"), host.work / f"l0.{fmt}", fmt, *options)
    for i, (child_fmt, _) in enumerate(children, 1):
        top, fmt = child(host.work / f"l{i}.{child_fmt}", top, child_fmt, fmt), child_fmt
    stem = Path(top).stem
    return [p for p in host.work.glob("l*") if not p.name.startswith(stem)], top


def read_back(host, image, name):
    raw = host.work / "back.raw"
    qemu_img("convert", "-O", "raw", image, raw)
    with open(raw, "rb") as f, open(host.work / "v.img", "wb") as v:
        f.seek(1 << 20)
        v.write(f.read(8 << 20))
    r = subprocess.run([DEBUGFS, "-R", f"cat /{name}", str(host.work / "v.img")],
                       capture_output=True, text=True)
    return r.stdout


@on_loop
@pytest.mark.parametrize("layers,kill", [
    (CHILD, False), (CHILD, True), ((("vmdk", ("-o", "subformat=twoGbMaxExtentSparse")),), False),
    ((("vmdk", ("-o", "subformat=monolithicFlat")), ("qed", ()), ("qcow2", ())), False),
    ((("vpc", ()),), False),
    pytest.param(CHILD, None, marks=pytest.mark.skipif(
        not int(Path("/proc/self/status").read_text().split("CapEff:")[1].split()[0], 16) >> 24 & 1,
        reason="lifting a hard limit needs CAP_SYS_RESOURCE")),
], ids=["child", "service killed", "split vmdk", "three layers", "vhd",
        "service started under its client's file size limit"])
def test_writes_land_in_the_top(host, layers, kill):
    below, top = ext4_chain(host, layers)
    before = [sha256(p) for p in below]
    hard = (os.path.getsize(top),) * 2
    r = subprocess.run([host.mount, "Q:", top], cwd=host.work, env=host.env, capture_output=True,
                       timeout=60, preexec_fn=lambda: kill is None and
                       resource.setrlimit(resource.RLIMIT_FSIZE, hard))
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    line = (host.prefix / "bmount" / "mounts").read_text().splitlines()[1]
    assert " daemon=" in line and line.endswith(f" disk={top}")
    if kill:  # the daemon outlives the service: the volume keeps working
        kill_service(host)
    (host.drive("q:") / "hello.txt").write_text("hello\n")
    assert f"Q:\\  =>  {top}" in host.listing()
    assert host.outcome("Q:", "/d") == (0, "", "")
    assert daemons(host) in ([], ["look"])
    assert [sha256(p) for p in below] == before
    # As written, the top passes the check before writing again.
    assert host.outcome("Q:", top) == (0, "", "")
    assert host.outcome("Q:", "/d") == (0, "", "")
    assert read_back(host, top, "hello.txt") == "hello\n"


def punches(device):
    """Whether a loop device passes hole punching on (the kernel keeps a
    device's 0 for good; a device removed meanwhile is gone, or new)."""
    queue = Path(f"/sys/block/{os.path.basename(device)}/queue")
    return not queue.exists() or (queue / "discard_max_bytes").read_text() != "0\n" or \
        (queue / "discard_max_hw_bytes").read_text() == "0\n"


@on_loop
@pytest.mark.parametrize("fmt,then", [("qcow2", "a raw disk"), ("vdi", "a raw disk"),
                                      ("qcow2", "a restart"), ("qcow2", "a killed service")])
def test_zeroes_asked_of_a_volume_are_written_or_refused(host, fmt, then):
    """The daemon took a hole punched in its export for a discard, which an
    image may ignore: zeroes a file system asked for were told written and
    the old bytes stayed. The device is not handed on so (the kernel keeps
    the setting): not to a raw disk, also by a service that found it set up,
    nor left by a service killed."""
    raw = make_disk(host, "z.raw", "label: dos\nstart=2048, type=83\n", 16 << 20)
    with open(raw, "r+b") as f:
        f.seek(1 << 20)
        f.write(b"\xab" * (15 << 20))
    image = convert(raw, host.work / f"z.{fmt}", fmt)
    assert host.outcome("Q:", image) == (0, "", "")
    device = os.path.realpath(host.drive("q:"))
    punched = subprocess.run(["fallocate", "--punch-hole", "-o", "1M", "-l", "1M", device])
    zeroed = subprocess.run(["blkdiscard", "-z", "-o", "3M", "-l", "1M", device])
    assert punched.returncode != 0 or read_at(device, 1 << 20, 1 << 20) == bytes(1 << 20)
    assert zeroed.returncode == 0 and read_at(device, 3 << 20, 1 << 20) == bytes(1 << 20)
    if then == "a restart":
        assert host.run_service("--stop").returncode == 0
    assert host.outcome("Q:", "/d") == (0, "", "")
    if then == "a killed service":
        kill_service(host)
        assert host.listing() == NONE_MOUNTED
        assert punches(device)
    else:
        assert host.outcome("Q:", raw) == (0, "", "")
        assert punches(os.path.realpath(host.drive("q:")))
        assert host.outcome("Q:", "/d") == (0, "", "")


def locks_on(path):
    st = os.stat(path)
    file = f" {os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino} "
    return sum(file in line for line in Path("/proc/locks").read_text().splitlines())


@contextlib.contextmanager
def reading(path):
    """An emulator that reads path, as it may beside the service, for the block."""
    before = locks_on(path)
    reader = subprocess.Popen(["qemu-io", "-r", "-f", "raw", "-c", "sleep 60000", path],
                              stdout=subprocess.DEVNULL)
    try:
        assert wait_until(lambda: locks_on(path) > before)
        yield
    finally:
        reader.kill()
        reader.wait()


@on_loop
@pytest.mark.parametrize("held", ["a parent under a child", "a raw disk", "a block device"])
def test_no_emulator_writes_a_disk_while_attached(host, held):
    """While a raw disk (a file or a block device), or a child of a parent, is
    attached, an emulator can neither write nor resize the raw disk or the
    parent, nor read the raw disk, which its loop device writes, where it
    must not share that (also while no service runs, and once the next one
    took over while another program read the disk's file); and a disk of
    which an emulator writes a file is not attached."""
    (base,), top = ext4_chain(host, RAW_BASE)
    with contextlib.ExitStack() as undo:
        driver, target = "file", base
        if held != "a parent under a child":
            top = base
        if held == "a block device":
            top = target = losetup(base)
            undo.callback(subprocess.run, [LOSETUP, "-d", target], capture_output=True)
            driver = "host_device"
        before = sha256(base)
        assert host.outcome("Q:", top) == (0, "", "")
        emulators = [["qemu-io", "-f", "raw", "-c", "write -P 7 0 512", target]]
        if held != "a block device":  # a device's size is not the emulator's to change
            emulators.append([QEMU_IMG, "resize", "-f", "raw", target, "+1M"])
        copy = [QEMU_IMG, "convert", "-f", "raw", "-O", "raw", target, host.work / "copy.raw"]
        # Attached, kept while no service runs, and taken over by the next one.
        for then in (lambda: host.run_service("--stop"), host.listing, lambda: None):
            for args in emulators:
                r = subprocess.run(list(map(str, args)), capture_output=True, text=True)
                assert r.returncode != 0 and "lock" in r.stderr + r.stdout, r
            r = subprocess.run(list(map(str, copy)), capture_output=True, text=True)
            assert (r.returncode != 0) == (top == target), r  # a parent is only read
            with reading(base) if base != top else contextlib.nullcontext():
                then()
        assert host.outcome("Q:", "/d") == (0, "", "")
        qemu_img(*copy[1:])
        if held == "a parent under a child":
            assert sha256(base) == before
        with emulator_writing(host, f"driver={driver},node-name=f,filename={target}"):
            assert host.outcome("Q:", top) == (2, MOUNT_FAILED, "")
            assert "in use by another program" in host.events()[-1]["strings"][3]
        assert host.outcome("Q:", top) == (0, "", "")
        assert host.outcome("Q:", "/d") == (0, "", "")


def kept_files(host):
    """Takes what the keeper holds, as the next service would: (label, file) pairs."""
    taker = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    taker.connect(str(host.prefix / "run" / "bmount-keeper"))
    kept = []
    while True:
        label, fds, _, _ = socket.recv_fds(taker, 4096, 1)
        if not fds:
            break
        kept.append((label.decode(), os.fdopen(fds[0], "rb")))
    taker.send(b"y")
    taker.close()
    assert wait_until(lambda: not (host.prefix / "run" / "bmount-keeper").exists())
    return kept


@contextlib.contextmanager
def keeper_of_an_earlier_version(host, kept):
    """Hands kept over to the next service as a keeper does."""
    endpoint = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    endpoint.bind(str(host.prefix / "run" / "bmount-keeper"))
    endpoint.listen(1)
    endpoint.settimeout(20)

    def hand_over():
        taker, _ = endpoint.accept()
        with taker:
            for label, f in kept:
                socket.send_fds(taker, [label.encode()], [f.fileno()])
            taker.send(b"end")
            taker.recv(1)

    handing = threading.Thread(target=hand_over)
    handing.start()
    try:
        yield
    finally:
        handing.join()
        endpoint.close()
        os.unlink(host.prefix / "run" / "bmount-keeper")


@on_loop
@pytest.mark.parametrize("then", ["handed over by its keeper", "let go of"])
def test_a_raw_disk_an_earlier_version_attached_is_kept_from_emulators(host, then):
    """An earlier version took none of the lock bytes emulators heed on the
    description its loop device reads (it is stripped of them here); the
    next service takes them all the same, also where nothing kept the disk
    meanwhile (a service killed, or one from before the keeper)."""
    disk = ext4_disk(host)
    assert host.outcome("Q:", disk) == (0, "", "")
    assert host.run_service("--stop").returncode == 0
    kept = kept_files(host)
    for _, f in kept:
        fcntl.fcntl(f, fcntl.F_OFD_SETLK, struct.pack("hh4xqqi4x", fcntl.F_UNLCK, 0, 100, 104, 0))
    handed = then == "handed over by its keeper"
    with keeper_of_an_earlier_version(host, kept) if handed else contextlib.nullcontext():
        for _, f in kept * (not handed):
            f.close()  # what the loop device reads stays claimed
        assert f"Q:\\  =>  {disk}\n" in host.listing()
    for _, f in kept:
        f.close()
    r = subprocess.run(["qemu-io", "-f", "raw", "-c", "write -P 7 0 512", disk],
                       capture_output=True, text=True)
    assert r.returncode != 0 and "lock" in r.stderr + r.stdout, r
    assert host.outcome("Q:", "/d") == (0, "", "")


def test_a_disk_another_program_claimed_meanwhile_stays_its_own(host):
    """No loop device holds the claim of a disk the record backend attached:
    once the service is killed, another program may claim the disk, and the
    next service takes none of the lock bytes on it, so that program's
    emulator writes it."""
    disk = mbr_disk(host)
    assert host.outcome("E:", disk) == (0, "", "")
    kill_service(host)

    def claim(f):
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except OSError:
            return False

    with open(disk, "rb") as other:
        assert wait_until(lambda: claim(other))
        assert f"E:\\  =>  {disk}\n" in host.listing()
        r = subprocess.run(["qemu-io", "-f", "raw", "-c", "write -P 7 0 512", disk],
                           capture_output=True, text=True)
        assert r.returncode == 0, r
    assert host.outcome("E:", "/d") == (0, "", "")


def damage_vdi(f, head, how):
    """Moves the block in place 1 to the place the next block is given
    ("next"), or lays the blocks out again from offset 0 with the last one
    over the header ("header")."""
    mib = 1 << 20
    bmap, data = struct.unpack_from("<II", head, 0x154)
    (blocks,) = struct.unpack_from("<I", head, 0x180)
    f.seek(bmap)
    places = list(struct.unpack(f"<{blocks}I", f.read(4 * blocks)))
    taken = {i: p for i, p in enumerate(places) if p < 0xFFFFFFFE}
    contents = {}
    for i, p in taken.items():
        f.seek(data + p * mib)
        contents[i] = f.read(mib)
    if how == "next":
        block = places.index(1)
        places[block] = len(taken)
        f.seek(data + places[block] * mib)
        f.write(contents[block])
    else:
        places = [0xFFFFFFFF] * blocks
        for i, content in contents.items():
            places[i] = i + 1
            f.seek((i + 1) * mib)
            f.write(content)
        places[-1] = 0
        head = bytearray(head)
        struct.pack_into("<II", head, 0x154, bmap, 0)
        struct.pack_into("<I", head, 0x184, len(contents) + 1)
        f.seek(0)
        f.write(head)
    f.seek(bmap)
    f.write(struct.pack(f"<{blocks}I", *places))


def damage(image, fmt):
    """Points a table entry of the image's second half (where the extended
    partition's table lies) past its end (qcow2), at its header (vmdk, both
    copies of the grain directory), or block 7 at block 0 (vpc); other
    formats' damage is named after their own: "vdi:next"; blocks 2 to 8 at
    block 0 (parallels, and vhdx where they are not allocated); "vmdk:grain"
    points grain 5 at grain 0, the partition table, in both copies of the
    grain table (of its first extent, for a split one)."""
    fmt, _, how = fmt.partition(":")
    if how == "grain":
        extent = image.replace(".vmdk", "-s001.vmdk")
        with open(extent if os.path.exists(extent) else image, "r+b") as f:
            head = f.read(512)
            for at in (56, 48):
                (directory,) = struct.unpack_from("<Q", head, at)
                f.seek(directory * 512)
                (table,) = struct.unpack("<I", f.read(4))
                f.seek(table * 512)
                first = f.read(4)
                f.seek(table * 512 + 4 * 5)
                f.write(first)
        return
    with open(image, "r+b") as f:
        head = f.read(512)
        if fmt == "vdi":
            damage_vdi(f, head, how)
        elif fmt == "vhdx":
            f.seek(0x30000 + 8)
            (regions,) = struct.unpack("<I", f.read(4))
            f.seek(0x30000 + 16)
            entries = [f.read(32) for _ in range(regions)]
            (table,) = [struct.unpack_from("<Q", e, 16)[0] for e in entries
                        if e[:4] == bytes.fromhex("6677c22d")]
            f.seek(table)
            places = struct.unpack("<9Q", f.read(72))
            for i in range(2, 9):
                if places[i] & 7 not in (6, 7):
                    f.seek(table + 8 * i)
                    f.write(struct.pack("<Q", places[0]))
        elif fmt == "parallels":
            f.seek(64)
            first = f.read(4)
            f.seek(64 + 4 * 2)
            f.write(first * 7)
        elif fmt == "qcow2":
            (bits,) = struct.unpack_from(">I", head, 20)
            (l1,) = struct.unpack_from(">Q", head, 40)
            cluster, at = 1 << bits, 63488 * 512
            f.seek(l1 + 8 * (at // (cluster * cluster // 8)))
            (l2,) = struct.unpack(">Q", f.read(8))
            f.seek((l2 & ((1 << 56) - 512)) + 8 * (at // cluster % (cluster // 8)))
            f.write(struct.pack(">Q", (1 << 63) | (1 << 32)))
        elif fmt == "vpc":
            (dynamic,) = struct.unpack_from(">Q", head, 16)
            f.seek(dynamic + 16)
            (table,) = struct.unpack(">Q", f.read(8))
            f.seek(table)
            first = f.read(4)
            f.seek(table + 4 * 7)
            f.write(first)
        else:
            for at in (56, 48):
                (directory,) = struct.unpack_from("<Q", head, at)
                f.seek(directory * 512 + 4)
                f.write(struct.pack("<I", 1))


def digest_of_sparse(path, head=1 << 30):
    """The size of a file, a digest of its first bytes, and whether it has
    data after them: a sparse file of terabytes is not read through."""
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read(head)).hexdigest()
        try:
            os.lseek(f.fileno(), head, os.SEEK_DATA)
            beyond = True
        except OSError:  # ENXIO: only a hole after them
            beyond = False
        return os.fstat(f.fileno()).st_size, digest, beyond


@on_loop
@pytest.mark.parametrize("fmt,options,said", [
    ("qcow2", [], "is damaged (ERROR: "),
    ("vmdk", [], "is damaged (ERROR: "),
    ("vpc", [], "is damaged (block 7 lies over block 0)"),
    ("vdi:next", [], "is damaged (block 31 lies where its next block would be written)"),
    ("vdi:header", [], "is damaged (block 63 lies over its header)"),
    ("parallels", [], "is damaged (block 2 lies over block 0)"),
    ("vhdx", ["-o", "block_size=1M"], "is damaged (block 2 lies over block 0)"),
    # Too large for qemu-img to count its clusters: it cannot check it.
    ("qcow2", ["-o", "cluster_size=512"], "could not be checked (Check failed: File too large)"),
    # Grains that share a place pass qemu-img check.
    ("vmdk:grain", ["-o", "subformat=monolithicSparse"], "is damaged (grain 5 lies over grain 0)"),
    ("vmdk:grain", ["-o", "subformat=twoGbMaxExtentSparse"],
     "is damaged (grain 5 lies over grain 0 in its extent "),
], ids=["qcow2", "vmdk", "vpc", "vdi-next", "vdi-header", "parallels",
        "vhdx", "unchecked", "vmdk-grain", "vmdk-split"])
def test_a_damaged_image_is_not_written(host, fmt, options, said):
    """Writes would damage it further: its attach is refused, naming it, and
    it is left as it was; so is one that cannot be checked."""
    made = fmt.partition(":")[0]
    disk = convert(mbr_disk(host, "mbr.raw"), host.work / f"disk.{made}", made, *options)
    damage(disk, fmt)
    if "cluster_size=512" in options:
        os.truncate(disk, 8 << 40)
    files = sorted(host.work.glob("disk*"))  # a split one's extents too
    before = [digest_of_sparse(f) for f in files]
    assert host.outcome("E:", disk) == (2, MOUNT_FAILED, "")
    text = host.events()[-1]["strings"][3]
    assert f'The disk file "{disk}" {said}' in text, text
    advice = "a tool that checks VHD files" if fmt == "vpc" else "qemu-img check -r all"
    assert (advice in text) == ("damaged" in said)
    assert [digest_of_sparse(f) for f in files] == before
    assert host.listing() == NONE_MOUNTED


@on_loop
def test_an_image_left_dirty_is_mended_not_refused(host):
    """Lazy reference counts left wrong by a writer that ended without closing
    the image are no damage: QEMU mends them as it opens it for writing."""
    disk = convert(mbr_disk(host, "mbr.raw"), host.work / "lazy.qcow2", "qcow2",
                   "-o", "lazy_refcounts=on")
    subprocess.run(["qemu-io", "-c", "write 40M 64k", "-c", "abort", disk], capture_output=True)
    assert subprocess.run([QEMU_IMG, "check", disk], capture_output=True).returncode == 2
    assert host.outcome("E:", disk) == (0, "", "")
    assert host.outcome("E:", "/d") == (0, "", "")
    assert subprocess.run([QEMU_IMG, "check", disk], capture_output=True).returncode == 0


@on_loop
def test_disks_stay_locked_while_no_service_runs(host):
    """The volumes outlive a stopped service, and so do their disks' locks: a
    keeper holds them until the next instance takes them over."""
    (base,), top = ext4_chain(host, RAW_BASE)
    keeper = host.prefix / "run" / "bmount-keeper"

    def keepers():  # by its name and command line alike, not the service's
        return [p for p in processes_of(host)
                if Path(f"/proc/{p}/comm").read_text().strip() == "bmount-keeper" and
                Path(f"/proc/{p}/cmdline").read_bytes().rstrip(b"\0") == b"bmount-keeper"]

    def held():
        claimed = []
        for path in (top, base):
            with open(path, "rb") as f:
                try:
                    fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    claimed.append(False)
                except OSError:
                    claimed.append(True)
        resize = subprocess.run([QEMU_IMG, "resize", "-f", "raw", base, "+1M"], capture_output=True)
        lock = os.path.exists(top + ".lck") and disk_locked(top)
        return claimed + [lock, resize.returncode != 0]

    assert host.outcome("Q:", top) == (0, "", "")
    assert held() == [True] * 4
    for _ in range(2):
        assert host.run_service("--stop").returncode == 0
        assert held() == [True] * 4 and keeper.exists() and len(keepers()) == 1
        assert f"Q:\\  =>  {top}\n" in host.listing()
        assert held() == [True] * 4 and not keeper.exists() and keepers() == []
    assert host.outcome("Q:", "/d") == (0, "", "")
    assert held() == [False] * 4


@on_loop
@pytest.mark.parametrize("fmt", ["raw", "qcow2"])
@pytest.mark.parametrize("volume", ["ext4", "ext4, synced by another first", "no file system",
                                    "ext4, the service restarted, synced by another first",
                                    "ext4, written once the detach wrote it out"])
def test_writes_lost_for_want_of_room_are_reported(host, fmt, volume):
    """When the file system that holds a sparse disk (or a child image) fills
    up, the kernel drops the volume's writes it cannot make and would unmount
    all the same: the detach says so instead of succeeding, also when another
    process was told first (since the attach, or since a new service took
    the volume over), for writes to the device itself, and for those made
    between the detach's write-out and its unmount (the volume is then
    mounted again)."""
    plan = host.work / "stop.plan"
    if volume.endswith("wrote it out"):
        assert host.run_service("--fault-plan", str(plan)).returncode == 0
    shelf = host.work / "shelf"
    shelf.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", shelf], check=True)
    try:
        if volume == "no file system":
            table = "label: dos\nstart=2048, size=16384, type=83\n"
            base = make_disk(host, "e.raw", table, 9 << 20)
        else:
            base = ext4_disk(host, "e.raw")
        if fmt == "raw":
            top = str(shelf / "e.raw")
            subprocess.run(["cp", "--sparse=always", base, top], check=True)
        else:
            top = child(shelf / "e.qcow2", base, "qcow2", "raw")
        assert host.outcome("Q:", top) == (0, "", "")
        queue = Path("/sys/block") / os.path.basename(loops_of(host.root)[0].split(":")[0]) / "queue"
        largest = (queue / "max_hw_sectors_kb").read_text()
        assert (queue / "max_sectors_kb").read_text() == ("512\n" if fmt == "qcow2" else largest)
        if "restarted" in volume:
            assert host.run_service("--stop").returncode == 0
            assert f"Q:\\  =>  {top}" in host.listing()
        if volume == "no file system":
            with open(host.drive("q:"), "wb") as device:
                device.write(os.urandom(5 << 20))
        elif volume.endswith("wrote it out"):
            plan.write_text("stop Unmount.flushed\n")
            pid = serving_pid(host)
            detach = host.start("Q:", "/d", text=True)
            try:
                assert wait_until(lambda: Path(f"/proc/{pid}/stat").read_text()
                                  .rsplit(")", 1)[1].split()[0] == "T", timeout=60)
                plan.unlink()
                assert os.path.ismount(host.drive("q:").resolve())  # not yet unmounted
                (host.drive("q:") / "big").write_bytes(os.urandom(5 << 20))
            finally:
                os.kill(pid, signal.SIGCONT)
            assert (detach.wait(timeout=60), *detach.communicate()) == (2, SUGGEST_FORCE, "")
            assert "was lost" in host.events()[-1]["strings"][-1]
            assert (host.drive("q:") / "big").exists()
            # Nothing of the service's own is left open on the volume put back.
            fds = Path(f"/proc/{pid}/fd")
            point = str(host.drive("q:").resolve())
            assert not [f for f in fds.iterdir() if os.readlink(f).startswith(point)]
        else:
            (host.drive("q:") / "big").write_bytes(os.urandom(5 << 20))
        if volume.endswith("first"):  # told to that caller only
            assert subprocess.run(["sync", "-f", host.drive("q:")], capture_output=True).returncode
        for _ in range(2):  # the kernel says it once
            assert host.outcome("Q:", "/d") == (2, SUGGEST_FORCE, "")
            assert "was lost" in host.events()[-1]["strings"][-1]
        assert host.outcome("Q:", "/f") == (0, "", "")
    finally:
        subprocess.run(["umount", "-l", shelf], capture_output=True)


@on_loop
@pytest.mark.parametrize("fmt,how", [("raw", "chattr"), ("qcow2", "chattr"),
                                     ("vmdk", "streamOptimized"), ("raw", "read-only mount"),
                                     ("qcow2", "read-only mount"), ("raw", "dirty journal"),
                                     ("vmdk", "read-only extent"), ("qcow", "no check")])
def test_read_only_disks(host, fmt, how):
    disk = watched = ext4_disk(host, "e.raw")
    if how == "streamOptimized":  # compressed: QEMU cannot rewrite its data
        disk = watched = convert(disk, host.work / "e.vmdk", "vmdk", "-o", "subformat=" + how)
    elif how == "read-only extent":  # the descriptor may be written, its data not
        disk = convert(disk, host.work / "e.vmdk", "vmdk", "-o", "subformat=monolithicFlat")
        watched = host.work / "e-flat.vmdk"
        os.chmod(watched, 0o444)
    elif fmt != "raw":
        disk = watched = convert(disk, host.work / "e.qcow2", fmt)
    if how == "dirty journal":  # to be replayed, which a read-only device cannot
        subprocess.run([DEBUGFS, "-w", "-R", "feature needs_recovery", f"{disk}?offset={1 << 20}"],
                       check=True, capture_output=True)
    before = sha256(watched)
    shelf = host.work / "shelf"
    if how == "read-only mount":  # no lock file can be made beside it
        shelf.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", shelf], check=True)
        disk = shutil.copy(disk, shelf)
        subprocess.run(["mount", "-o", "remount,ro", shelf], check=True)
    # Immutable: a file even the superuser cannot write.
    if how in ("chattr", "dirty journal"):
        subprocess.run(["chattr", "+i", disk], check=True)
    try:
        assert host.outcome("Q:", disk) == (0, "", "")
        with pytest.raises(OSError) as refused:
            (host.drive("q:") / "new.txt").write_text("x")
        assert refused.value.errno == 30  # EROFS
        assert os.listdir(host.drive("q:")) == ["lost+found"]
        assert host.outcome("Q:", "/d") == (0, "", "")
        assert sha256(watched) == before
    finally:
        if how in ("chattr", "dirty journal"):
            subprocess.run(["chattr", "-i", disk], check=True)
        if shelf.exists():
            subprocess.run(["umount", shelf], check=True)


@on_loop
@pytest.mark.parametrize("squat,said", [("its folder is a file", "cannot prepare"),
                                        ("its pid file is a folder", "ended at start: ")])
def test_daemon_that_cannot_start(host, squat, said):
    _, top = ext4_chain(host)
    assert host.outcome(top, "/p")[0] == 0  # the service and its look daemon run
    folder, table = host.prefix / "bmount" / "qemu" / "m1", host.prefix / "bmount" / "mounts"
    folder.write_text("") if squat.endswith("a file") else (folder / "pid").mkdir(parents=True)
    running = processes_of(host)
    assert host.outcome("Q:", top) == (2, MOUNT_FAILED, "")
    text = host.events()[-1]["strings"][-1]
    assert top in text and said in text, text
    assert "=>" not in host.listing() and not host.drive("q:").exists()
    assert mounts_below(host.root) == [] and loops_of(host.root) == []
    assert processes_of(host) == running
    assert table.read_text().splitlines()[1:] == ["nextId=2"]


def on_tool_run(host, tool, arguments, command):
    """Has command run as the service runs tool with arguments that match
    the shell pattern."""
    wrapper = host.root / "bin" / tool
    wrapper.parent.mkdir(exist_ok=True)
    wrapper.write_text(f'#!/bin/sh\ncase "$*" in {arguments}) {command};; esac\n'
                       f'exec {shutil.which(tool)} "$@"\n')
    wrapper.chmod(0o755)
    host.env["PATH"] = f"{wrapper.parent}:{os.environ['PATH']}"


def on_daemon_start(host, daemon, command):
    """Has command run as a daemon ("m" for a volume's, "look") starts."""
    on_tool_run(host, "qemu-storage-daemon", f"*/qemu/{daemon}*", command)


@on_loop
@pytest.mark.parametrize("daemon", ["m", "look"])
@pytest.mark.parametrize("naming,swap", [("beside", "link"), ("beside", "fifo"),
                                         ("climbing", "fifo"), ("absolute", "link")],
                         ids=["beside", "beside, a FIFO", "climbing, a FIFO", "absolute"])
def test_an_extent_swapped_before_the_daemon_opens_it(host, daemon, naming, swap):
    """The daemon reaches the extents a vmdk names relative to itself through
    links to the very files the service checked: one led elsewhere between the
    checks and that open changes nothing (a FIFO there held the service for
    half a minute). One named by an absolute path it opens by that name, and
    what it opened is then caught."""
    own, other = mbr_disk(host, "own.raw"), gpt_disk(host)
    disk = host.work / "vm" / "d.vmdk"
    (disk.parent / "sub").mkdir(parents=True)
    ext = (disk.parent if naming == "beside" else host.work) / "ext.raw"
    os.symlink(own, ext)
    name = {"beside": "ext.raw", "climbing": "sub/../../ext.raw", "absolute": ext}[naming]
    flat_vmdk(disk, f'RW {os.path.getsize(own) // 512} FLAT "{name}" 0')
    on_daemon_start(host, daemon, f"ln -sfn {other} {ext}" if swap == "link" else
                    f"rm -f {ext}; mkfifo {ext}")
    if naming != "absolute":
        if daemon == "look":
            assert host.outcome(str(disk), "/p") == (0, VOLUMES, "")
        else:
            assert host.outcome("Q:", str(disk)) == (0, "", "")
            assert host.outcome("Q:", "/d") == (0, "", "")
        return
    if daemon == "look":
        assert host.outcome(str(disk), "/p") == (2, UNEXPECTED, "")
        said = host.events()[-1]["strings"][-1]
        os.remove(ext)
        os.symlink(own, ext)
        assert host.outcome(str(disk), "/p") == (0, VOLUMES, "")  # the look serves on
        assert f'led to "{other}" once checked' in said
        return
    assert host.outcome("Q:", str(disk)) == (2, MOUNT_FAILED, "")
    assert f'led to "{other}" once checked' in host.events()[-1]["strings"][-1]
    assert "=>" not in host.listing() and loops_of(host.root) == []
    assert [p for p in processes_of(host)
            if b"/qemu/m" in Path(f"/proc/{p}/cmdline").read_bytes()] == []


@on_loop
@pytest.mark.parametrize("daemon", ["m", "look"])
@pytest.mark.parametrize("layers,layer", [(CHILD, 0), (CHILD, 1), (RAW_BASE, 1)],
                         ids=["top", "parent", "raw parent"])
def test_a_layer_renamed_over_before_the_daemon_opens_it_changes_nothing(host, daemon, layers,
                                                                          layer):
    """A daemon is handed the very files the service opened, not their names:
    another image renamed into a layer's place after that is not what gets
    listed or attached, nor written (a FIFO there would hold the service)."""
    (parent,), top = ext4_chain(host, layers)
    fmt = layers[1 - layer][0]
    decoy = host.work / f"decoy.{fmt}"
    qemu_img("create", "-q", "-f", fmt, decoy, "16M")
    # Zeros over the partition table, should the decoy be read over the parent.
    subprocess.run(["qemu-io", "-f", fmt, "-c", "write -z 0 64k", decoy], check=True,
                   capture_output=True)
    before = sha256(decoy)
    on_daemon_start(host, daemon, f"mv -f {decoy} {[top, parent][layer]}")
    if daemon == "look":
        assert host.outcome(top, "/p") == (0, "Volume 1 : 8 Mb\n", "")
        return
    assert host.outcome("Q:", top) == (0, "", "")
    assert os.listdir(host.drive("q:")) == ["lost+found"]
    assert host.outcome("Q:", "/d") == (0, "", "")
    assert sha256([top, parent][layer]) == before


@on_loop
@pytest.mark.parametrize("daemon,kind", [("m", "vhdx"), ("look", "vhdx"), ("m", "vmdk")])
def test_what_the_daemon_cannot_open_is_named_by_its_path(host, daemon, kind):
    """Damaged after it was probed: the text names the file, not the name
    the daemon was handed (an extent's, through a folder of links)."""
    if kind == "vhdx":
        disk = named = convert(mbr_disk(host, "mbr.raw"), host.work / "disk.vhdx", "vhdx")
        damage = f"dd if=/dev/zero of={disk} bs=1 seek=4 count=60 conv=notrunc status=none"
    else:  # an extent whose name starts with a digit, written no more
        named = mbr_disk(host, "1x.raw")
        disk = host.work / "d.vmdk"
        flat_vmdk(disk, f'RW {os.path.getsize(named) // 512} FLAT "1x.raw" 0')
        damage = f"chattr +i {named}"
    on_daemon_start(host, daemon, damage)
    try:
        r = host.outcome("Q:", disk) if daemon == "m" else host.outcome(disk, "/p")
    finally:
        subprocess.run(["chattr", "-i", named], capture_output=True)
    assert r[0] == 2 and r[2] == ""
    text = host.events()[-1]["strings"][-1]
    assert "the storage daemon cannot open " in text and str(named) in text, text
    assert "/proc/" not in text and "links-" not in text, text


@on_loop
@pytest.mark.parametrize("written", ["after the kill", "before the kill",
                                     "before the kill, the service restarted"])
def test_daemon_killed_while_attached(host, written):
    """What the kernel still held for a volume whose daemon died (killed for
    want of memory, say) never reaches the image: a plain detach says so,
    however the writer fared, and a forced one takes the volume away."""
    _, top = ext4_chain(host)
    assert host.outcome("Q:", top) == (0, "", "")
    pid = daemon_pid(host)
    if written.startswith("before"):
        (host.drive("q:") / "new.bin").write_bytes(os.urandom(4 << 20))  # not written out yet
    os.kill(pid, signal.SIGKILL)
    if written.startswith("after"):
        with pytest.raises(OSError):
            (host.drive("q:") / "lost.txt").write_text("x" * 65536)
            os.sync()
            os.listdir(host.drive("q:") / "lost+found")
    else:
        assert wait_until(lambda: exited(pid))
    if written.endswith("restarted"):
        assert host.run_service("--stop").returncode == 0
    assert f"Q:\\  =>  {top}" in host.listing()
    told = "is gone" if written.endswith("restarted") else "has ended"
    assert any("daemon" in e["message"] and told in e["message"] for e in host.events())
    started = time.monotonic()
    for _ in range(2):
        assert host.outcome("Q:", "/d") == (2, SUGGEST_FORCE, "")
        assert "was lost" in host.events()[-1]["strings"][-1]
    assert time.monotonic() - started < 10  # its writes fail at once
    assert host.outcome("Q:", "/f") == (0, "", "")
    assert "=>" not in host.listing() and "m1" not in daemons(host)


@on_loop
@pytest.mark.parametrize("then", ["plain, once it answers", "forced, while it does not",
                                  "plain, its daemon killed"])
def test_storage_that_stops_answering_does_not_hold_the_service(host, then):
    """A plain detach waits a while for the volume's writes, not for ever:
    storage that stops answering (its daemon stopped here) gets a refusal
    that says so, and the service serves on. The next plain detach waits for
    those writes first, and says what became of them."""
    _, top = ext4_chain(host)
    assert host.outcome("Q:", top) == (0, "", "")
    pid = daemon_pid(host)
    (host.drive("q:") / "late.bin").write_bytes(os.urandom(4 << 20))  # not written out yet
    with stopped(pid):
        started = time.monotonic()
        detach = host.start("Q:", "/d", text=True)
        time.sleep(1)  # into its wait for the write-out: others are served meanwhile
        assert f"Q:\\  =>  {top}" in host.listing() and time.monotonic() - started < 5
        assert (detach.wait(timeout=60), *detach.communicate()) == (2, SUGGEST_FORCE, "")
        assert time.monotonic() - started < 30  # a client gives up after 60 s
        assert "is still being written" in host.events()[-1]["strings"][-1]
        assert f"Q:\\  =>  {top}" in host.listing()
        if then.startswith("forced"):
            assert host.outcome("Q:", "/f") == (0, "", "")
            assert time.monotonic() - started < 40
        elif then.endswith("killed"):
            os.kill(pid, signal.SIGKILL)
    if then.startswith("forced"):  # its daemon served on until the writes were done
        assert wait_until(lambda: loops_of(host.root) == [])
        assert host.outcome("Q:", top) == (0, "", "")
    if then.endswith("killed"):
        for _ in range(2):
            assert host.outcome("Q:", "/d") == (2, SUGGEST_FORCE, "")
            assert "was lost" in host.events()[-1]["strings"][-1]
        assert host.outcome("Q:", "/f") == (0, "", "")
    else:
        assert host.outcome("Q:", "/d") == (0, "", "")
    assert "=>" not in host.listing() and "m1" not in daemons(host)


@on_loop
def test_a_long_check_holds_up_only_other_attaches(host):
    """The check of an image before it is written may take many seconds:
    other clients are served meanwhile, and another attach waits its turn,
    then decides by what the first one attached."""
    _, top = ext4_chain(host)
    checking = host.root / "checking"
    on_tool_run(host, "qemu-img", "check*", f"touch {checking}; sleep 5")
    first = host.start("Q:", top)
    assert wait_until(checking.exists)
    started = time.monotonic()
    assert host.outcome(gpt_disk(host), "/p") == (0, GPT_VOLUMES, "")
    assert host.outcome() == (0, NONE_MOUNTED, "")
    assert time.monotonic() - started < 4 and first.poll() is None
    assert host.outcome("R:", top) == (2, MOUNT_FAILED, "")
    assert "is already mounted as q:" in host.events()[-1]["strings"][-1]
    assert (first.wait(timeout=60), *first.communicate()) == (0, b"", b"")
    assert host.outcome("Q:", "/d") == (0, "", "")


@on_loop
def test_an_attach_goes_on_before_later_ones_after_a_write_out(host):
    """An attach whose check ends while a detach writes out (its storage
    stuck) waits for that, then goes on before any attach that came later."""
    _, top = ext4_chain(host)
    other = convert(ext4_disk(host, "b.raw"), host.work / "b.qcow2", "qcow2")
    slow, checking = host.root / "slow", host.root / "checking"
    on_tool_run(host, "qemu-img", "check*", f"[ -e {slow} ] && touch {checking} && sleep 3")
    assert host.outcome("Q:", top) == (0, "", "")
    pid = daemon_pid(host)
    (host.drive("q:") / "late.bin").write_bytes(os.urandom(4 << 20))  # not written out yet
    slow.touch()
    with stopped(pid):
        first = host.start("R:", other)
        assert wait_until(checking.exists)
        detach = host.start("Q:", "/d")
        time.sleep(1)  # into its write-out, which outlasts the check
        later = host.start("S:", other)
        done = [p.wait(timeout=60) for p in (first, detach, later)]
    assert done == [0, 2, 2]
    assert any("is already mounted as r:" in e["strings"][-1] for e in host.events())
    assert host.outcome("R:", "/d") == (0, "", "")
    assert host.outcome("Q:", "/d") == (0, "", "")


@on_loop
def test_a_volume_unmounted_by_hand_holds_up_nothing(host):
    """A file system unmounted by hand lives on until the detach lets go of
    it, which writes it out: with its daemon not answering then, a forced
    detach does not wait for that, nor does anybody else."""
    _, top = ext4_chain(host)
    assert host.outcome("Q:", top) == (0, "", "")
    (host.drive("q:") / "late.bin").write_bytes(os.urandom(4 << 20))
    subprocess.run(["umount", os.path.realpath(host.drive("q:"))], check=True)
    pid = daemon_pid(host)
    with stopped(pid):
        started = time.monotonic()
        assert host.outcome("Q:", "/f", timeout=25) == (0, "", "")
        assert "=>" not in host.listing()
        assert time.monotonic() - started < 15
    assert wait_until(lambda: "m1" not in daemons(host), timeout=30)


@on_loop
@pytest.mark.parametrize("case", ["a volume without a file system", "a start"])
def test_a_daemon_that_does_not_answer_holds_nothing_for_ever(host, case):
    """Asking a loop device over a daemon's export for its tag asks the
    export: such a device is known by its backing file instead, so neither a
    detach nor the start waits on a daemon that does not answer (stopped
    here) longer than its commands' own limits."""
    if case.startswith("a volume"):
        disk = convert(blank_disk(host, "blank.raw"), host.work / "blank.qcow2", "qcow2")
    else:
        _, disk = ext4_chain(host)
    assert host.outcome("Q:", disk) == (0, "", "")
    pid = daemon_pid(host)
    if case == "a start":
        assert host.run_service("--stop").returncode == 0
    with stopped(pid):
        time.sleep(2)  # what the kernel knew of the export is out of date
        if case.startswith("a volume"):
            started = time.monotonic()  # its writes are waited for a while
            assert host.outcome("Q:", "/d") == (2, SUGGEST_FORCE, "")
            assert time.monotonic() - started < 30  # a client gives up after 60 s
            assert f"Q:\\  =>  {disk}" in host.listing()
        else:
            assert wait_until(lambda: host.run(timeout=20).returncode == 0, timeout=15)
    assert host.outcome("Q:", "/d") == (0, "", "")
    assert "=>" not in host.listing()


@on_loop
@pytest.mark.parametrize("damage", ["cut", "garbled"])
def test_table_rebuilt_while_attached(host, damage):
    _, top = ext4_chain(host)
    assert host.outcome("Q:", top) == (0, "", "")
    kill_service(host)
    table = host.prefix / "bmount" / "mounts"
    lines = table.read_text().splitlines(keepends=True)
    # Cut short, the mount line still names the disk; garbled, the daemon
    # whose export the loop device presents does.
    table.write_text("".join(lines[:2]) if damage == "cut" else "garbage\n")
    shown = host.listing()
    assert f"Q:\\  =>  {top}\n" in shown, shown
    assert not list((host.prefix / "bmount" / "qemu").glob("*/*.lck"))  # the disk is locked
    assert (host.drive("q:") / "lost+found").is_dir()
    assert daemons(host) == ["m1"]  # the one that read the partition table is gone
    assert host.outcome("Q:", "/d") == (0, "", "")
    assert "m1" not in daemons(host)


def disk_locked(path):
    """Whether somebody holds the lock file of the disk at path."""
    with open(str(path) + ".lck", "rb+") as lock:
        try:
            fcntl.lockf(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            return True
        fcntl.lockf(lock, fcntl.LOCK_UN)
        return False


@on_loop
@pytest.mark.parametrize("restart", [False, True])
def test_forced_dismount_of_a_busy_volume(host, restart):
    _, top = ext4_chain(host)
    assert host.outcome("Q:", top) == (0, "", "")
    (host.drive("q:") / "kept.txt").write_text("kept")
    # A writer that goes on after the dismount, until told to finish.
    writer = subprocess.Popen(
        [sys.executable, "-c", "import sys\nf = open('late.txt', 'w')\nf.write('a')\nf.flush()\n"
         "sys.stdin.read()\nf.write('b' * 65536)\nf.close()"],
        cwd=host.drive("q:"), stdin=subprocess.PIPE)
    try:
        assert host.outcome("Q:", "/d")[0] == 2
        assert host.outcome("Q:", "/f") == (0, "", "")
        assert "=>" not in host.listing()
        if restart:
            kill_service(host)
            host.listing()
        # The image's daemon serves the writer for as long as it writes, and
        # the disk stays locked and refused.
        assert "m1" in daemons(host) and disk_locked(top)
        assert host.outcome("R:", top)[0] == 2
        assert "detached by force" in host.events()[-1]["strings"][3]
        writer.communicate(b"", timeout=30)
        assert writer.returncode == 0
    finally:
        writer.kill()
        writer.wait()
    # Once the device lets go the daemon ends by itself, or the disk is free
    # to an attach at once.
    assert wait_until(lambda: loops_of(host.root) == [])
    assert restart or wait_until(lambda: "m1" not in daemons(host))
    assert host.outcome("R:", top) == (0, "", "")
    assert "m1" not in daemons(host)
    assert (host.drive("r:") / "kept.txt").read_text() == "kept"
    assert (host.drive("r:") / "late.txt").read_text() == "a" + "b" * 65536
    assert host.outcome("R:", "/d") == (0, "", "")


@on_loop
def test_lingering_ends_with_its_readers(host):
    """A daemon lingers for whoever still reads its loop device, after a plain
    dismount too, which holds up no other client while it waits for them;
    one whose readers left while the service was down goes at the next
    start, though the mount table was lost meanwhile."""
    _, top = ext4_chain(host)
    assert host.outcome("Q:", top) == (0, "", "")
    device = loops_of(host.root)[0].split(":")[0]
    with open(device, "rb") as reader:
        detach = host.start("Q:", "/d")
        time.sleep(1)
        started = time.monotonic()
        host.listing()
        assert time.monotonic() - started < 1 and detach.poll() is None
        assert detach.communicate(timeout=30) == (b"", b"") and detach.returncode == 0
        assert "m1" in daemons(host)
        kill_service(host)
        reader.seek(1 << 20)
        assert len(reader.read(4096)) == 4096  # still served
    assert wait_until(lambda: loops_of(host.root) == [])
    (host.prefix / "bmount" / "mounts").write_text("garbage\n")
    assert "=>" not in host.listing()
    assert "m1" not in daemons(host)
    daemon_pids = [p for p in processes_of(host)
                   if b"qemu-storage" in Path(f"/proc/{p}/cmdline").read_bytes()]
    assert daemon_pids == []
    assert host.outcome("R:", top) == (0, "", "")
    assert host.outcome("R:", "/d") == (0, "", "")


@on_loop
def test_the_end_of_a_lingering_daemon_that_does_not_answer_holds_up_nobody(host):
    """A daemon that lingers for a reader of its device is ended once that
    reader goes: waited for a while when it does not answer (stopped here),
    but by no client."""
    _, top = ext4_chain(host)
    assert host.outcome("Q:", top) == (0, "", "")
    pid = daemon_pid(host)
    with open(loops_of(host.root)[0].split(":")[0], "rb") as reader:
        assert host.outcome("Q:", "/f") == (0, "", "")
        with stopped(pid):
            reader.close()
            time.sleep(2)  # its end has begun
            started = time.monotonic()
            assert "=>" not in host.listing()
            assert time.monotonic() - started < 3
    assert wait_until(lambda: "m1" not in daemons(host), timeout=40)
