"""Real attachment: volumes of images made here set up on loop devices,
mounted by the service, used through their drive entries and dismounted.
Needs the superuser and loop devices; loop_host checks that nothing of a
test is left behind (data across crashes: test_faults.py)."""

import contextlib
import os
import re
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path

import pytest

from conftest import (CLSID, LOSETUP, MKFS, NONE_MOUNTED, convert, loop_device, loops_of,
                      losetup, make_disk, mounts_below, needs_loop, serving_pid, stopped,
                      wait_until)
from test_commands import SUGGEST_FORCE, UNABLE_TO_MOUNT
# Every test's host attaches with the loop backend.
pytestmark = [needs_loop, pytest.mark.usefixtures("loop_host")]


def ext4_disk(host, name="disk.bxdk", volumes=1):
    """A raw image whose partitions (8 MiB each, the first at 1 MiB) hold ext4."""
    path = make_disk(host, name, "label: dos\n" + "".join(
        f"start={2048 + i * 16384}, size=16384, type=83\n" for i in range(volumes)),
        (1 + 8 * volumes) << 20)
    for i in range(volumes):
        offset = (1 << 20) + i * (8 << 20)
        subprocess.run([MKFS, "-q", "-F", "-E", f"offset={offset}", path, "8M"],
                       check=True, capture_output=True)
    return path


def blank_disk(host, name="blank.bxdk"):
    """A raw image with one partition and no file system on it."""
    return make_disk(host, name, "label: dos\nstart=2048, type=83\n", 4 << 20)


def volume_device(disk):
    """A loop device over the volume at 1 MiB of disk, for the block."""
    return loop_device(disk, "-o", str(1 << 20))


def formatted(disk, *mkfs):
    """Runs mkfs (or another tool) on the volume at 1 MiB of disk (through a
    loop device: not every mkfs takes an offset)."""
    with volume_device(disk) as device:
        subprocess.run([*mkfs, device], check=True, capture_output=True)
    return disk


def long_multi_mount_wait(disk):
    """Formats disk's volume with multi-mount protection that asks 12
    minutes of each mount; returns where the sequence number lies that says
    whether its last user left it clean."""
    formatted(disk, MKFS, "-q", "-O", "mmp,^metadata_csum", "-E", "mmp_update_interval=300")
    with volume_device(disk) as device:
        block = int(re.search(r"MMP block number:\s+(\d+)", subprocess.run(
            ["dumpe2fs", "-h", device], capture_output=True, text=True).stdout).group(1))
    return (1 << 20) + block * 1024 + 4


def mmp_left_in_use(disk):
    """A long multi-mount wait, and a last user that did not leave cleanly."""
    with open(disk, "r+b") as f:
        f.seek(long_multi_mount_wait(disk))
        f.write((0x1234).to_bytes(4, "little"))
    return disk


def btrfs_seed(host):
    """A btrfs made a seed, from which others may sprout."""
    disk = formatted(make_disk(host, "seed.raw", "label: dos\nstart=2048, type=83\n", 130 << 20),
                     "mkfs.btrfs", "-q", "-f")
    return formatted(disk, "btrfstune", "-S", "1")


def btrfs_of_two(host):
    """The first device of a btrfs that spans two, as a disk."""
    disks = [make_disk(host, f"b{i}.raw", "label: dos\nstart=2048, type=83\n", 130 << 20)
             for i in range(2)]
    devices = [losetup(d, "-o", str(1 << 20)) for d in disks]
    try:
        subprocess.run(["mkfs.btrfs", "-q", "-f", "-d", "single", "-m", "raid1", *devices],
                       check=True, capture_output=True)
    finally:
        for device in devices:
            subprocess.run(["btrfs", "device", "scan", "--forget", device], capture_output=True)
            subprocess.run([LOSETUP, "-d", device], check=True)
    return disks[0]


JOURNAL_ELSEWHERE = "its ext4 file system keeps its journal on another device"
NEEDS_BTRFS = pytest.mark.skipif(not shutil.which("mkfs.btrfs"),
                                 reason="mkfs.btrfs (btrfs-progs) is missing")


@pytest.mark.parametrize("make, why", [
    pytest.param(lambda h: formatted(blank_disk(h), "mkfs.minix"),
                 "its minix file system is not one this service mounts", id="minix"),
    pytest.param(lambda h: formatted(formatted(blank_disk(h), MKFS, "-q"), "debugfs", "-w", "-R",
                                     "ssv journal_dev 0x0700"), JOURNAL_ELSEWHERE, id="journal_dev"),
    pytest.param(lambda h: formatted(formatted(blank_disk(h), MKFS, "-q"), "tune2fs", "-E",
                                     "mount_opts=journal_path=/dev/loop0"),
                 JOURNAL_ELSEWHERE, id="saved journal_path"),
    pytest.param(lambda h: mmp_left_in_use(blank_disk(h)),
                 "its ext4 file system would hold the mount for 720 seconds first "
                 "(multi-mount protection)", id="multi-mount wait"),
    pytest.param(btrfs_of_two,
                 "its btrfs file system spans 2 devices, which the kernel would look for among "
                 "this machine's", id="btrfs of two devices", marks=NEEDS_BTRFS),
    pytest.param(btrfs_seed, "its btrfs file system is a seed, whose sprouts the kernel would "
                 "look for among this machine's devices", id="btrfs seed", marks=NEEDS_BTRFS),
])
def test_a_file_system_that_reaches_past_its_volume_is_not_mounted(host, make, why):
    """What the disk's owner saved in a volume must not have root's mount load
    a driver not kept for disks from elsewhere, open another device of this
    machine (and write its journal there), or wait for hours."""
    disk = make(host)
    assert host.outcome("E:", disk, timeout=20) == (2, UNABLE_TO_MOUNT, "")
    assert host.events()[-1]["strings"][-1] == f"The volume cannot be attached as E: ({why})."
    assert host.listing() == NONE_MOUNTED


def read_at(path, at, size):
    with open(path, "rb") as f:
        f.seek(at)
        return f.read(size)


def journal_of_roots(host, cleanup):
    """An ext4 whose journal is on a device of root's, as the service checks
    it (no journal), and its superblock as it is then rewritten."""
    journal = host.work / "journal.img"
    journal.write_bytes(b"")
    os.truncate(journal, 8 << 20)
    roots = losetup(journal)
    cleanup.callback(subprocess.run, [LOSETUP, "-d", roots], check=True)
    subprocess.run(["mke2fs", "-q", "-O", "journal_dev", "-b", "4096", roots], check=True,
                   capture_output=True)
    disk = make_disk(host, "late.bxdk", "label: dos\nstart=2048, type=83\n", 16 << 20)
    formatted(disk, MKFS, "-q", "-b", "4096", "-J", f"device={roots}")
    at = (1 << 20) + 1024
    rewritten = read_at(disk, at, 1024)
    for change in ("feature -has_journal", "ssv journal_dev 0"):
        formatted(disk, "debugfs", "-w", "-R", change)
    return disk, at, rewritten


def multi_mount_left_in_use(host, cleanup):
    """An ext4 that asks 12 minutes of multi-mount protection, left clean (its
    mount waits nothing), then said to be in use."""
    disk = blank_disk(host)
    return disk, long_multi_mount_wait(disk), (0x1234).to_bytes(4, "little")


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 & -(crc & 1))
    return crc ^ 0xFFFFFFFF


def one_of_two_btrfs_devices(host, cleanup):
    """A btrfs of one device, then given the superblock of a device of
    root's btrfs of two, which the kernel knows, said to be newer."""
    roots = [btrfs_of_two(host), str(host.work / "b1.raw")]
    at = (1 << 20) + (64 << 10)
    rewritten = bytearray(read_at(roots[0], at, 4096))
    generation = int.from_bytes(rewritten[0x48:0x50], "little") + 100
    rewritten[0x48:0x50] = generation.to_bytes(8, "little")
    rewritten[0:4] = crc32c(rewritten[0x20:]).to_bytes(4, "little")
    devices = []
    for disk in roots:
        devices.append(losetup(disk, "-r", "-o", str(1 << 20)))
        cleanup.callback(subprocess.run, [LOSETUP, "-d", devices[-1]], check=True)
        cleanup.callback(subprocess.run, ["btrfs", "device", "scan", "--forget", devices[-1]],
                         capture_output=True)
        subprocess.run(["btrfs", "device", "scan", devices[-1]], check=True, capture_output=True)

    def roots_device_is_known_again():
        scan = subprocess.run(["btrfs", "device", "scan", devices[0]], capture_output=True,
                              text=True)
        assert scan.returncode == 0, scan.stderr  # not "registered with a higher generation"
    cleanup.callback(roots_device_is_known_again)
    disk = make_disk(host, "late.bxdk", "label: dos\nstart=2048, type=83\n", 130 << 20)
    return formatted(disk, "mkfs.btrfs", "-q", "-f"), at, bytes(rewritten)


@pytest.mark.parametrize("make, why", [
    pytest.param(journal_of_roots, JOURNAL_ELSEWHERE, id="journal on root's device"),
    pytest.param(multi_mount_left_in_use, "its ext4 file system would hold the mount for 720 "
                 "seconds first (multi-mount protection)", id="multi-mount wait"),
    pytest.param(one_of_two_btrfs_devices, "its btrfs file system spans 2 devices, which the "
                 "kernel would look for among this machine's", id="btrfs", marks=NEEDS_BTRFS),
])
def test_a_volume_rewritten_after_its_check_reaches_no_further(host, make, why):
    """The owner rewrites the volume between the service's check and its
    mount: the kernel may not open root's journal device for it (it would
    replay into the volume what that journal holds, and write there), the
    mount does not wait for hours, and a btrfs the kernel met on the device
    is not left registered under the device's name once it is freed (the
    kernel would take the next device of that name for one of its own)."""
    with contextlib.ExitStack() as cleanup:
        disk, at, rewritten = make(host, cleanup)
        plan = host.work / "stop.plan"
        plan.write_text("stop MountAs.checked\n")
        assert host.run_service("--fault-plan", str(plan)).returncode == 0
        pid = serving_pid(host)
        attach = host.start("E:", disk, text=True)
        try:
            assert wait_until(lambda: Path(f"/proc/{pid}/stat").read_text()
                              .rsplit(")", 1)[1].split()[0] == "T", timeout=60)
            plan.unlink()
            device, = [line.split(":")[0] for line in loops_of(host.root)
                       if f"({os.path.realpath(disk)})" in line]
            with open(disk, "r+b") as f:
                f.seek(at)
                f.write(rewritten)
            # As memory pressure would, so that the kernel reads it anew.
            subprocess.run(["blockdev", "--flushbufs", device], check=True)
        finally:
            os.kill(pid, signal.SIGCONT)
        assert (attach.wait(timeout=60), *attach.communicate()) == (2, UNABLE_TO_MOUNT, "")
        assert host.events()[-1]["strings"][-1] == f"The volume cannot be attached as E: ({why})."
        assert host.listing() == NONE_MOUNTED


@pytest.mark.parametrize("at", [0, 32 << 10])
def test_a_volume_with_a_bad_block_where_signatures_lie_is_not_attached(host, at):
    """A bad block in the volume's first 68 KiB, on its first page or later
    (where a read comes back cut short): the attach is refused, not handed out
    as a bare device with its file system unmounted."""
    with fuse_export(host, ext4_disk(host), bad_sector=((1 << 20) + at) // 512) as (disk, _):
        assert host.outcome("E:", disk) == (2, UNABLE_TO_MOUNT, "")
        assert host.events()[-1]["strings"][-1] == (
            "The volume cannot be attached as E: (its first blocks cannot be read: "
            "Input/output error).")
        assert host.listing() == NONE_MOUNTED


@pytest.mark.parametrize("saved", [["-e", "panic"], ["-E", "mount_opts=errors=panic"]])
def test_a_disks_own_error_action_cannot_panic_the_machine(host, saved):
    """The owner of a disk chooses what ext4 does on an error, and can cause
    one while the volume is attached: the mount chooses for itself."""
    disk = formatted(formatted(blank_disk(host), MKFS, "-q"), "tune2fs", *saved)
    assert host.outcome("E:", disk) == (0, "", "")
    st = os.stat(host.drive("e:"))
    name = os.path.basename(os.readlink(f"/sys/dev/block/{os.major(st.st_dev)}:{os.minor(st.st_dev)}"))
    options = Path(f"/proc/fs/ext4/{name}/options").read_text().split()
    assert "errors=remount-ro" in options, options
    assert host.outcome("E:", "/d") == (0, "", "")


@pytest.mark.skipif(not shutil.which("mkntfs"), reason="mkntfs (ntfs-3g) is missing")
def test_ntfs_is_mounted_with_the_read_write_driver(host):
    """A Windows guest's volume goes to ntfs3, not to the read-only driver that
    the name "ntfs" stands for; a kernel without either says so by that name."""
    disk = formatted(make_disk(host, "win.bxdk", "label: dos\nstart=2048, type=7\n", 8 << 20),
                     "mkntfs", "-Q", "-F")
    code, out, err = host.outcome("E:", disk)
    if code != 0:
        assert (code, out, err) == (2, UNABLE_TO_MOUNT, "")
        assert "its ntfs file system cannot be mounted: No such device" in (
            host.events()[-1]["strings"][-1])
        pytest.skip("this kernel has no NTFS driver")
    point = os.path.realpath(host.drive("e:"))
    assert [line.split()[2] for line in open("/proc/mounts") if line.split()[1] == point] == [
        "ntfs3"]
    (host.drive("e:") / "note.txt").write_text("from the host\n")
    assert host.outcome("E:", "/d") == (0, "", "")
    assert host.outcome("E:", disk) == (0, "", "")
    assert (host.drive("e:") / "note.txt").read_text() == "from the host\n"
    assert host.outcome("E:", "/d") == (0, "", "")


@pytest.mark.parametrize("first", ["attached", "root's own"])
def test_clone_of_a_mounted_xfs_is_mounted_beside_it(host, first):
    """Copies of one xfs (the disks of a cloned machine, or a user's copy of
    root's) share its identity, which the kernel takes for a second mount of
    one file system: either order works."""
    disk = formatted(make_disk(host, "a.raw", "label: dos\nstart=2048, type=83\n", 330 << 20),
                     "mkfs.xfs", "-q")
    clone = str(host.work / "b.raw")
    subprocess.run(["cp", "--sparse=always", disk, clone], check=True)
    if host.run("F:", clone).returncode != 0:
        pytest.skip("this kernel does not mount xfs")
    (host.drive("f:") / "clone.txt").write_text("only here\n")
    if first == "attached":
        assert host.outcome("E:", disk) == (0, "", "")
        assert os.listdir(host.drive("e:")) == []
        assert host.outcome("E:", "/d") == (0, "", "")
    else:
        point = host.root / "own"
        point.mkdir()
        with volume_device(disk) as device:
            assert subprocess.run(["mount", device, point], capture_output=True).returncode == 0
            assert os.listdir(point) == []
            subprocess.run(["umount", point], check=True)
    assert host.outcome("F:", "/d") == (0, "", "")


# A file system with a user is met in test_images.py and test_disk_identity.py;
# here, the raw device of a volume without one, held open through the drive.
def test_busy_device_refuses_plain_dismount_and_yields_to_force(host):
    disk = blank_disk(host)
    assert host.run("E:", disk).returncode == 0
    drive = host.drive("e:")
    with open(drive, "rb") as held:
        assert host.outcome("E:", "/d") == (2, SUGGEST_FORCE, "")
        assert "is in use" in host.events()[-1]["message"]
        assert host.listing() == f"E:\\  =>  {disk}\n\n"
        assert os.path.lexists(drive)
        assert host.outcome("E:", "/f") == (0, "", "")
        assert not os.path.lexists(drive)
        assert host.listing() == NONE_MOUNTED
        assert len(held.read(512)) == 512


def test_a_forced_detach_leaves_no_child_behind(host):
    """The child that lets go of a forced volume's file system is reaped
    once it ends, with no further attach or detach to do it."""
    assert host.outcome("E:", ext4_disk(host)) == (0, "", "")
    assert host.outcome("E:", "/f") == (0, "", "")
    service = serving_pid(host)

    # None at all: a child still running would pass a look for ended ones.
    def children():
        return subprocess.run(["ps", "--ppid", str(service), "-o", "pid=,stat=,args="],
                              capture_output=True, text=True).stdout
    assert wait_until(lambda: children() == "", timeout=5), children()


@pytest.mark.parametrize("by_hand", ["unmounted", "unmounted and removed"])
def test_a_mount_taken_down_by_hand_is_detached_plainly(host, by_hand):
    """Nothing is left to write out of a volume unmounted by hand: its plain
    detach neither refuses nor writes out whatever holds the folder."""
    assert host.run("E:", ext4_disk(host)).returncode == 0
    point = host.prefix / "bmount" / "mnt" / "e"
    subprocess.run(["umount", point], check=True)
    if by_hand == "unmounted and removed":
        point.rmdir()
    assert host.outcome("E:", "/d") == (0, "", "")
    assert host.listing() == NONE_MOUNTED


def mount_source(point):
    """The source of the mount on point, from this process's mount list."""
    with open("/proc/self/mountinfo", encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if fields[4] == str(point):
                return fields[fields.index("-") + 2]
    return None


@pytest.mark.parametrize("other_use", ["device mounted elsewhere", "bind mount elsewhere",
                                       "mount stacked on the drive"])
def test_file_system_used_beyond_its_mount_refuses_plain_dismount(host, other_use):
    """Unmounting the drive's mount point would leave the file system mounted
    elsewhere, its device and disk unaccounted for, or take down the mount
    stacked on it instead: the volume is in use until /f."""
    disk = ext4_disk(host)
    assert host.run("E:", disk).returncode == 0
    point = host.prefix / "bmount" / "mnt" / "e"
    drive = host.drive("e:")
    (drive / "sub").mkdir()
    (drive / "sub" / "data.txt").write_text("written through E:\n")
    elsewhere = host.root / "elsewhere"
    elsewhere.mkdir()
    mount = {"device mounted elsewhere": [mount_source(point), str(elsewhere)],
             "bind mount elsewhere": ["--bind", str(drive / "sub"), str(elsewhere)],
             "mount stacked on the drive": ["-t", "tmpfs", "stacked", str(drive)]}[other_use]
    subprocess.run(["mount", *mount], check=True, capture_output=True)
    try:
        assert host.outcome("E:", "/d") == (2, SUGGEST_FORCE, "")
        assert host.listing() == f"E:\\  =>  {disk}\n\n"
        assert mounts_below(point) == [str(point)] * (2 if "stacked" in other_use else 1)
        assert host.outcome("E:", "/f") == (0, "", "")
        assert not os.path.lexists(drive)
        assert mounts_below(host.prefix) == []  # whatever was stacked went too
        assert host.listing() == NONE_MOUNTED
    finally:
        subprocess.run(["umount", str(elsewhere)], capture_output=True)
    assert wait_until(lambda: loops_of(host.work) == [])  # else F: finds the disk busy
    assert host.run("F:", disk).returncode == 0
    assert (host.drive("f:") / "sub" / "data.txt").read_text() == "written through E:\n"
    assert host.outcome("F:", "/d") == (0, "", "")


def test_damaged_table_is_rebuilt_and_nothing_is_detached(host, foreground):
    # The kernel names a backing file without symbolic links.
    disk = os.path.realpath(ext4_disk(host, volumes=2))
    blank = os.path.realpath(blank_disk(host))
    assert host.run("E:", disk, "/v:2").returncode == 0
    assert "offset 9437184, sizelimit 8388608" in loops_of(host.work)[0]
    assert host.run("F:", blank).returncode == 0  # no file system: the drive is the device
    device = os.readlink(host.drive("f:"))
    assert any(line.startswith(device + ":") for line in loops_of(host.work))
    listing = host.run().stdout
    assert listing.decode() == f"E:\\  =>  {disk}\nF:\\  =>  {blank}\n\n"
    table = host.prefix / "bmount" / "mounts"
    whole = table.read_bytes()
    point = host.prefix / "bmount" / "mnt" / "e"
    writer = open(point / "log.txt", "w")
    try:
        for damage in (os.urandom(200), b"", whole[:len(whole) // 2]):
            assert host.run_service("--stop").returncode == 0
            table.write_bytes(damage)
            log = host.root / "service.log"
            log.unlink(missing_ok=True)
            p = foreground()
            assert host.run().stdout == listing
            assert host.run_service("--stop").returncode == 0
            p.wait(timeout=30)
            assert b"rebuilt from the loop devices" in log.read_bytes()
            assert (host.prefix / "bmount" / "mounts.damaged").read_bytes() == damage
            assert table.read_bytes() == whole  # every field found again
            assert mounts_below(point) == [str(point)]
            writer.write("still mounted\n")
            writer.flush()
    finally:
        writer.close()
    assert host.outcome("E:", "/d") == (0, "", "")
    assert host.run("F:", "/d").returncode == 0
    assert host.run("G:", disk, "/v:2").returncode == 0
    assert (host.drive("g:") / "log.txt").read_text() == "still mounted\n" * 3
    assert " id=3 " in table.read_text()  # ids go on above those found
    assert host.run("G:", "/d").returncode == 0


@pytest.mark.parametrize("damage", [
    lambda t: "nextId=2\n",
    lambda t: re.sub(r" loop=(\d+) ", lambda m: f" loop={int(m[1]) + 7} ", t),
    lambda t: t.replace("mount id=1 ", "mount id=5 "),
], ids=["mount_in_use_missing_from_a_whole_table_is_left_alone", "loop number", "id"])
def test_a_wrong_table_takes_no_volume_in_use_down(host, damage):
    assert host.run("E:", ext4_disk(host)).returncode == 0
    point = host.prefix / "bmount" / "mnt" / "e"
    table = host.prefix / "bmount" / "mounts"
    with open(point / "log.txt", "w") as writer:
        assert host.run_service("--stop").returncode == 0
        table.write_text(damage(table.read_text()))
        assert host.listing() == NONE_MOUNTED
        assert mounts_below(point) == [str(point)] and os.path.lexists(host.drive("e:"))
        writer.write("not pulled from under its writer\n")
        writer.flush()
        assert (host.drive("e:") / "log.txt").read_text() == "not pulled from under its writer\n"
    # Once nobody uses it, it is a stray and goes.
    assert host.run_service("--stop").returncode == 0
    assert host.listing() == NONE_MOUNTED
    assert mounts_below(host.prefix) == []
    assert not os.path.lexists(host.drive("e:"))


@pytest.mark.parametrize("source", ["its own", "the drive's device", "a path into it"])
def test_looking_for_users_does_not_wait_on_a_silent_file_system(host, source):
    """A file system that never answers must not stall the service while it
    looks for the users of a device, nor count as one: not through a process
    holding one of its files, nor through its source, which for FUSE is
    whatever text its user chose (a device's name, a path into itself)."""
    assert host.run("F:", ext4_disk(host)).returncode == 0
    silent = host.root / "silent"
    silent.mkdir()
    name = {"its own": "silent", "the drive's device": "/dev/" + backed_below(host.work)[0],
            "a path into it": f"/dev/..{silent}/x"}[source]
    fuse = os.open("/dev/fuse", os.O_RDWR)
    try:
        r = subprocess.run(["mount", "-i", "-t", "fuse", "-o",
                            f"fd={fuse},rootmode=40000,user_id=0,group_id=0", name,
                            str(silent)], pass_fds=(fuse,), capture_output=True)
        if r.returncode != 0:
            pytest.skip(f"no FUSE mount here: {r.stderr.decode().strip()}")
        held = os.open(silent, os.O_PATH)  # reached without asking the file system
        try:
            assert host.outcome("F:", "/d", timeout=20) == (0, "", "")
        finally:
            os.close(held)
    finally:
        os.close(fuse)  # ends the file system: whatever waits on it gives up
        subprocess.run(["umount", "-l", str(silent)], capture_output=True)


def backed_below(path):
    """The loop devices whose file lies below path, from sysfs alone (losetup
    asks each device, which waits for a stopped server)."""
    real = os.path.realpath(path)
    found = []
    for entry in Path("/sys/block").glob("loop*/loop/backing_file"):
        with contextlib.suppress(OSError):
            if entry.read_text().strip().startswith(real + "/"):
                found.append(entry.parent.parent.name)
    return found


@contextlib.contextmanager
def fuse_export(host, source, bad_sector=None, rate=None):
    """source presented through FUSE on a file of its own, by a process that
    the test can stop, with reads of bad_sector failing, or at most rate bytes
    a second read or written, if given: yields the file and the serving
    process."""
    program = shutil.which("qemu-storage-daemon")
    if program is None or not os.path.exists("/dev/fuse"):
        pytest.skip("needs qemu-storage-daemon and /dev/fuse")
    export = host.root / ("export-" + os.path.basename(source))
    export.touch()
    nodes = ["--blockdev", f"driver=file,node-name=f,filename={source}"]
    if bad_sector is not None:
        rules = host.root / "bad-sector.conf"
        rules.write_text(f'[inject-error]\nevent = "read_aio"\nerrno = "5"\n'
                         f'sector = "{bad_sector}"\nonce = "off"\nimmediately = "off"\n')
        nodes += ["--blockdev", f"driver=blkdebug,node-name=b,config={rules},image=f",
                  "--blockdev", "driver=raw,node-name=r,file=b"]
    node = "f" if bad_sector is None else "r"
    if rate is not None:
        nodes += ["--object", f"throttle-group,id=g,x-bps-total={rate}",
                  "--blockdev", f"driver=throttle,node-name=t,throttle-group=g,file={node}"]
        node = "t"
    server = subprocess.Popen([program, *nodes, "--export", f"type=fuse,id=e,node-name={node},"
                               f"mountpoint={export},writable=on"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_until(lambda: mounts_below(export) == [str(export)])
        yield str(export), server
    finally:
        server.send_signal(signal.SIGCONT)
        server.terminate()
        server.wait(timeout=30)


@contextlib.contextmanager
def fuse_folder(host, source):
    """The folder of source presented through FUSE (bindfs) by a process that
    the test can stop: yields source's path there and the serving process."""
    program = shutil.which("bindfs")
    if program is None or not os.path.exists("/dev/fuse"):
        pytest.skip("needs bindfs and /dev/fuse")
    folder = host.root / ("folder-" + os.path.basename(source))
    folder.mkdir()
    server = subprocess.Popen([program, "-f", os.path.dirname(source), str(folder)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_until(lambda: mounts_below(folder) == [str(folder)])
        yield str(folder / os.path.basename(source)), server
    finally:
        server.send_signal(signal.SIGCONT)
        server.terminate()
        server.wait(timeout=30)
        subprocess.run(["umount", "-l", str(folder)], capture_output=True)


@pytest.mark.parametrize("stack", [1, 2], ids=["over the file", "over a loop device over it"])
def test_a_loop_device_over_a_file_an_emulator_writes_is_not_attached(host, stack):
    """The emulator's locks lie on the file, not on the loop devices' nodes."""
    disk = ext4_disk(host)
    with contextlib.ExitStack() as devices:
        with fuse_export(host, disk):  # it holds the file open for writing
            device = disk
            for _ in range(stack):
                device = devices.enter_context(loop_device(device))
            assert host.outcome("E:", device) == (2, UNABLE_TO_MOUNT, "")
            assert "in use by another program" in host.events()[-1]["strings"][-1]
        assert host.outcome("E:", device) == (0, "", "")
        assert host.outcome("E:", "/d") == (0, "", "")


@pytest.mark.parametrize("first, fmt", [
    ("attached", "raw"), ("attached", "qcow2"), ("attached through the mirror", "raw"),
    ("attached through the mirror", "qcow2"), ("a loop device", "raw"), ("an emulator", "qcow2")])
def test_a_disk_reached_through_a_mirror_of_its_folder_is_one_disk(host, first, fmt):
    """A FUSE file system that mirrors the disk's folder shows the disk as a
    file of its own, and keeps the locks taken through it to itself: a use
    by one name still keeps an attach by the other out."""
    disk = ext4_disk(host)
    if fmt == "qcow2":
        disk = convert(disk, disk + ".qcow2", "qcow2")
    with fuse_folder(host, disk) as (mirrored, _):
        given, other = (mirrored, disk) if first.endswith("mirror") else (disk, mirrored)
        if first.startswith("attached"):
            assert host.outcome("E:", given) == (0, "", "")
            assert host.outcome("F:", other) == (2, UNABLE_TO_MOUNT, "")
            assert "is already mounted as e:" in host.events()[-1]["strings"][-1]
            assert host.outcome("E:", "/d") == (0, "", "")
        else:
            with loop_device(disk) if first == "a loop device" else fuse_export(host, disk):
                assert host.outcome("F:", mirrored) == (2, UNABLE_TO_MOUNT, "")
                assert "in use by" in host.events()[-1]["strings"][-1]
        assert host.outcome("F:", mirrored) == (0, "", "")
        assert host.outcome("F:", "/d") == (0, "", "")


def test_a_stopped_server_behind_anothers_loop_device_holds_up_nothing(host):
    """Someone else's loop device presents a file whose FUSE server has
    stopped: the service's surveys of the loop devices (at a start with and
    without a table, and before each attach) must not wait for it."""
    disk = ext4_disk(host)
    served = host.root / "served"
    served.write_bytes(bytes(1 << 20))
    with fuse_export(host, served) as (export, server):
        with loop_device(export, "-r"), stopped(server.pid):
            time.sleep(1.5)  # past the attributes the kernel keeps of the file
            for _ in range(2):
                assert host.run("E:", disk, timeout=30).returncode == 0
                assert host.outcome("E:", "/d", timeout=30) == (0, "", "")
                assert host.run_service("--stop").returncode == 0


@pytest.mark.parametrize("name", ["its own", "a hard link"])
def test_a_loop_device_that_was_silent_still_covers_its_disk(host, name):
    """Someone else's loop device over a disk whose FUSE server stopped for a
    while: passed over by the start's survey meanwhile, it still makes the
    disk's attach refused once the server answers again, under any name."""
    storage = fuse_export if name == "its own" else fuse_folder
    source = ext4_disk(host)
    if name == "a hard link":
        os.link(source, host.work / "link.bxdk")
    with storage(host, source) as (disk, server):
        with loop_device(disk) as device:
            with stopped(server.pid):
                time.sleep(1.5)  # past the attributes the kernel keeps of the file
                assert host.listing() == NONE_MOUNTED  # the start asks it in vain
            other = disk if name == "its own" else os.path.join(os.path.dirname(disk), "link.bxdk")
            assert host.outcome("E:", other) == (2, UNABLE_TO_MOUNT, "")
            assert f"in use by the loop device {device}" in host.events()[-1]["strings"][-1]


def test_a_raw_disk_a_fuse_server_presents_is_found_after_a_lost_table(host):
    with fuse_export(host, ext4_disk(host)) as (disk, _):
        assert host.run("E:", disk).returncode == 0
        assert host.run_service("--stop").returncode == 0
        (host.prefix / "bmount" / "mounts").unlink()
        assert host.listing() == f"E:\\  =>  {disk}\n\n"
        assert host.outcome("E:", "/d") == (0, "", "")


@pytest.mark.parametrize("then, storage", [
    ("plain", fuse_export), ("forced", fuse_export), ("a start", fuse_export),
    ("plain", fuse_folder), ("forced", fuse_folder)])
def test_a_raw_disk_whose_storage_stops_answering_holds_up_nothing(host, nobody_home, then,
                                                                   storage):
    """A raw disk on storage that stops answering (its FUSE server stopped
    here; or the disk's folder, with the lock file beside the disk): a plain
    detach is refused after a while, a forced one takes the volume away, a
    start serves and keeps the volume; none waits for the storage, nor holds
    up another disk's detach or attach (a user's, whose owner is asked), and
    nothing written is lost once it answers again."""
    with storage(host, ext4_disk(host)) as (disk, server):
        assert host.outcome("E:", disk) == (0, "", "")
        # On storage that answers, and a user's: a child, whose parent its
        # owner is asked about.
        parent = shutil.move(ext4_disk(host, "other.bxdk"), nobody_home / "parent.raw")
        other = str(nobody_home / "other.qcow2")
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-b", "parent.raw", "-F", "raw",
                        other], check=True)
        for f in (parent, other):
            os.chown(f, 65534, 65534)
        assert host.outcome("F:", other) == (0, "", "")
        data = os.urandom(1 << 20)
        (host.drive("e:") / "late.bin").write_bytes(data)  # not written out yet
        if then == "a start":
            assert host.run_service("--stop").returncode == 0
        with stopped(server.pid):
            time.sleep(1.5)  # past the attributes the kernel keeps of the file
            started = time.monotonic()
            if then == "plain":
                assert host.outcome("E:", "/d", timeout=25) == (2, SUGGEST_FORCE, "")
                assert "is still being written" in host.events()[-1]["strings"][-1]
                # The other disk's write-out is not held up by this one's files.
                (host.drive("f:") / "other.bin").write_bytes(data)
                assert host.outcome("F:", "/d", timeout=25) == (0, "", "")
                assert host.outcome("F:", other, timeout=25) == (0, "", "")
                assert (host.drive("f:") / "other.bin").read_bytes() == data
            elif then == "forced":
                assert host.outcome("E:", "/f", timeout=25) == (0, "", "")
                assert "E:" not in host.run(timeout=10).stdout.decode()
                # Nothing left behind for the storage holds the other disk.
                assert host.outcome("F:", "/f", timeout=25) == (0, "", "")
                assert wait_until(lambda: backed_below(host.work) == [], timeout=10)
                assert host.outcome("F:", other, timeout=25) == (0, "", "")
            else:
                assert host.run(timeout=25).stdout.decode() == \
                    f"E:\\  =>  {disk}\nF:\\  =>  {other}\n\n"
            assert time.monotonic() - started < 20
        if then == "forced":
            assert wait_until(lambda: not any(f"({disk})" in d for d in loops_of(host.root)))
            assert host.outcome("E:", disk) == (0, "", "")
        assert (host.drive("e:") / "late.bin").read_bytes() == data
        assert host.outcome("E:", "/d") == (0, "", "")
        assert host.outcome("F:", "/d") == (0, "", "")


@pytest.mark.parametrize("kind, command", [
    ("raw", "/p"), ("qcow2", "/p"), ("raw", "E:"), ("qcow2", "E:")])
def test_a_disk_on_slow_storage_holds_up_no_other_client(host, kind, command):
    """While a disk whose storage answers slowly is probed, its volumes
    read, or its volume attached, other clients are served."""
    disk = ext4_disk(host)
    if kind == "qcow2":
        disk = convert(disk, disk + ".qcow2", "qcow2")
    with fuse_export(host, disk, rate=131072) as (slow_disk, _):
        slow = host.start(command, slow_disk)
        time.sleep(1)  # the program has asked the service by now
        longest = 0
        while slow.poll() is None:
            started = time.monotonic()
            assert host.listing() in (NONE_MOUNTED, f"E:\\  =>  {slow_disk}\n\n")
            longest = max(longest, time.monotonic() - started)
        assert slow.communicate(timeout=120) == (
            b"Volume 1 : 8 Mb\n" if command == "/p" else b"", b"")
        if command == "E:":
            assert host.outcome("E:", "/d", timeout=120) == (0, "", "")
        assert longest < 1


def test_a_slow_image_holds_up_the_volumes_of_no_other(host):
    """Images whose volumes are read at once have a look daemon each."""
    slow_source, fast = (ext4_disk(host, name) + ".qcow2" for name in ("a.bxdk", "b.bxdk"))
    for image in (slow_source, fast):
        convert(image[:-6], image, "qcow2")
    looking = host.prefix / "bmount" / "qemu" / "look" / "pid"
    with fuse_export(host, slow_source, rate=65536) as (slow_disk, _):
        slow = host.start("/p", slow_disk)
        assert wait_until(looking.exists, timeout=60)
        started = time.monotonic()
        assert host.outcome("/p", fast) == (0, "Volume 1 : 8 Mb\n", "")
        assert time.monotonic() - started < 5 and slow.poll() is None
        assert slow.communicate(timeout=120) == (b"Volume 1 : 8 Mb\n", b"")


@pytest.mark.parametrize("fmt, options", [
    ("qcow2", []), ("vmdk", ["-o", "subformat=twoGbMaxExtentSparse"])])
def test_an_image_is_attached_while_its_volumes_are_read(host, fmt, options):
    """The look daemon that reads an image's volumes for others meanwhile is
    not taken for another program that holds it."""
    disk = str(host.work / f"disk.{fmt}")
    convert(ext4_disk(host), disk, fmt, *options)
    done = threading.Event()

    def look():
        while not done.is_set():
            host.run("/p", disk)

    lookers = [threading.Thread(target=look) for _ in range(3)]
    for t in lookers:
        t.start()
    try:
        for _ in range(12):
            assert host.outcome("E:", disk) == (0, "", "")
            assert host.outcome("E:", "/d") == (0, "", "")
    finally:
        done.set()
        for t in lookers:
            t.join()


def test_an_attach_waits_for_the_look_that_holds_an_extent_under_another_name(host):
    """A vmdk's extents, which the format opens itself, keep the look
    daemon's reader's lock while it reads the volumes; an attach of the disk
    by another name waits for it to let go, rather than refuse."""
    disk = str(host.work / "disk.vmdk")
    convert(ext4_disk(host), disk, "vmdk", "-o", "subformat=twoGbMaxExtentSparse")
    extent = os.stat(host.work / "disk-s001.vmdk").st_ino
    pid_file = host.prefix / "bmount" / "qemu" / "look" / "pid"
    # The attach's own look comes from what the service keeps for its name.
    settled = time.time() - 10
    for f in host.work.glob("disk*.vmdk"):
        os.utime(f, (settled, settled))
    assert host.outcome("/p", disk) == (0, "Volume 1 : 8 Mb\n", "")

    def locked():
        with open("/proc/locks") as f:
            return any(line.split()[5].endswith(f":{extent}") for line in f)

    for i in range(20):  # until the look is caught holding the extent
        link = host.root / f"link{i}.vmdk"  # a name whose volumes are read anew
        link.symlink_to(disk)
        look = host.start("/p", str(link))
        while look.poll() is None and not locked():
            pass
        daemon = int(pid_file.read_text()) if look.poll() is None else 0
        with stopped(daemon) if daemon else contextlib.nullcontext():
            if daemon and locked():
                attach = host.start("E:", disk)
                time.sleep(2)
                assert attach.poll() is None  # it waits
                break
        look.communicate(timeout=60)
    else:
        pytest.skip("the look was never caught holding the extent")
    assert attach.communicate(timeout=60) == (b"", b"")
    assert attach.returncode == 0
    assert look.communicate(timeout=60)[0] == b"Volume 1 : 8 Mb\n"
    assert host.outcome("E:", "/d") == (0, "", "")


def test_loop_backend_refused_without_the_superuser(host, nobody_home):
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("setpriv is not installed")
    env = dict(host.env, BRENIX_HOST_PREFIX=str(nobody_home / "host"))
    drop = [setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
    r = subprocess.run(drop + [host.service, "--foreground", "--backend", "loop"], env=env,
                       capture_output=True, timeout=30)
    assert r.returncode == 1
    assert b"the loop backend cannot be used here: it needs the superuser" in r.stderr
    # Without a choice the service falls back to the record backend.
    env.pop("BRENIX_MOUNT_BACKEND")
    p = subprocess.Popen(drop + [host.service, "--foreground"], env=env,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        assert wait_until(lambda: (nobody_home / "host" / "run" / CLSID).exists() or
                          p.poll() is not None)
    finally:
        subprocess.run(drop + [host.service, "--stop"], env=env, capture_output=True, timeout=30)
        _, err = p.communicate(timeout=30)
    assert b"attaching with the record backend" in err, err
