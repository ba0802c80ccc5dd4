"""What the service takes for a disk: one disk is never attached twice,
whatever name it comes by (hard link from another prefix, a link to a loop
device on it, a device freed by force that still has a user); a FIFO is
refused without waiting; a volume that lies outside its file is refused."""

import contextlib
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import (NONE_MOUNTED, dismount_all, loop_device, loops_of, on_loop, private_host,
                      wait_until)
from test_commands import UNABLE_TO_MOUNT, UNABLE_TO_OPEN, make_disk, mbr_disk, run_fails
from test_images import QEMU_IMG, child, convert
from test_loop import ext4_disk, needs_loop
from test_validate import TWO_VOLUMES, blank, old_config

BUSY = "80070010"


@pytest.fixture(params=["record", pytest.param("loop", marks=needs_loop)])
def backend(request, host):
    """The host's backend; loop_host takes down what a loop test leaves."""
    if request.param == "loop":
        request.getfixturevalue("loop_host")
    return request.param


@pytest.fixture
def other(host):
    """A second private prefix with the same backend, on the same machine."""
    for second in private_host():
        yield second
        dismount_all(second)


@pytest.fixture
def exfat(host):
    """A folder on exFAT through FUSE, which ignores case and gives each
    spelling of a name an inode of its own."""
    if os.geteuid() != 0 or not shutil.which("mkfs.exfat") or not shutil.which("mount.exfat-fuse"):
        pytest.skip("needs the superuser, mkfs.exfat and mount.exfat-fuse")
    image, folder = host.root / "exfat.img", host.root / "exfat"
    with open(image, "wb") as f:
        f.truncate(64 << 20)
    subprocess.run(["mkfs.exfat", image], check=True, capture_output=True)
    folder.mkdir()
    with loop_device(image) as device:
        subprocess.run(["mount.exfat-fuse", device, folder], check=True, capture_output=True)
        yield folder
        subprocess.run(["umount", "-l", folder], capture_output=True)


@pytest.mark.parametrize("name", ["a hard link", "another case on exFAT"])
def test_another_name_of_a_disk_attached_from_another_prefix_is_refused(host, other, backend, name, request):
    other.env["BRENIX_MOUNT_BACKEND"] = backend
    disk = ext4_disk(host) if backend == "loop" else make_disk(
        host, "disk.bxdk", "label: dos\nstart=2048, type=83\n", 4 << 20)
    if name == "a hard link":
        link = other.work / "link.bxdk"
        os.link(disk, link)
    else:
        disk = shutil.copyfile(disk, request.getfixturevalue("exfat") / "dísk.bxdk")
        link = disk.with_name("DÍSK.BXDK")  # folded beyond ASCII too
    assert host.run("E:", disk).returncode == 0
    assert host.outcome("F:", str(link))[:2] == (1, TWO_VOLUMES)
    strings = run_fails(other, ["F:", str(link)], 2, UNABLE_TO_MOUNT)["strings"]
    assert strings[2] == BUSY and str(link) in strings[3]
    assert not os.path.lexists(other.drive("f:"))
    assert host.run("E:", "/d").returncode == 0
    assert other.run("F:", str(link)).returncode == 0  # free again
    assert other.run("F:", "/d").returncode == 0


@pytest.mark.skipif(QEMU_IMG is None, reason="qemu-img is not installed")
@pytest.mark.parametrize("where", ["same prefix", "other prefix"])
def test_parents_of_an_attached_chain_are_claimed(host, other, where):
    second = host if where == "same prefix" else other
    base = convert(mbr_disk(host, "mbr.raw"), host.work / "base.vmdk", "vmdk")
    one, two = (child(host.work / f"{n}.qcow2", base, parent_fmt="vmdk") for n in ("one", "two"))
    over = child(host.work / "over.qcow2", one)
    assert host.run("E:", one).returncode == 0
    assert second.run("F:", two).returncode == 0  # parents are shared, read-only
    assert second.run("F:", "/d").returncode == 0
    # Writing base would change what E: shows; over reads E:'s top.
    for disk, named in ((base, base), (over, one)):
        strings = run_fails(second, ["G:", disk], 2, UNABLE_TO_MOUNT)["strings"]
        why = ("mounted as e:", one) if second is host else ("another program", named)
        assert strings[2] == BUSY and all(w in strings[3] for w in why), strings
    assert host.run("E:", "/d").returncode == 0
    assert second.run("G:", over).returncode == 0


@on_loop
@pytest.mark.parametrize("case", ["link to a device on the disk",
                                  "disk under a device of someone else",
                                  "parent under a device of someone else",
                                  "link to a device held elsewhere"])
def test_disk_covered_by_a_loop_device_is_refused(host, case):
    disk = ext4_disk(host)
    evil = host.work / "evil.bxdk"
    with contextlib.ExitStack() as undo:
        if case == "link to a device on the disk":
            assert host.run("E:", disk).returncode == 0
            evil.symlink_to(undo.enter_context(loop_device(disk)))
        elif case.endswith("of someone else"):
            undo.enter_context(loop_device(disk))
            evil = Path(disk if case[0] == "d" else child(evil, disk, parent_fmt="raw"))
        else:
            foreign = undo.enter_context(loop_device(ext4_disk(host, "other.bxdk")))
            undo.callback(os.close, os.open(foreign, os.O_RDONLY | os.O_EXCL))
            evil.symlink_to(foreign)
        devices = len(loops_of(host.work))
        strings = run_fails(host, ["F:", str(evil)], 2, UNABLE_TO_MOUNT)["strings"]
        assert strings[2] == BUSY and str(evil) in strings[3]
        assert not os.path.lexists(host.drive("f:"))
        assert len(loops_of(host.work)) == devices
    host.run("E:", "/d")


@on_loop
def test_disk_stays_attached_until_a_forced_device_is_gone(host):
    disk = ext4_disk(host, volumes=2)
    assert host.run("E:", disk).returncode == 0
    held = open(host.drive("e:") / "busy.txt", "w")
    try:
        assert host.run("E:", "/f").returncode == 0
        held.write("the file system is still alive\n")
        for volume in ("/v:1", "/v:2"):  # any volume of the disk
            strings = run_fails(host, ["F:", disk, volume], 2, UNABLE_TO_MOUNT)["strings"]
            assert strings[2] == BUSY and "/dev/loop" in strings[3]
        assert host.listing() == NONE_MOUNTED
    finally:
        held.close()
    assert wait_until(lambda: loops_of(host.work) == [])
    assert host.run("F:", disk).returncode == 0
    assert (host.drive("f:") / "busy.txt").read_text() == (
        "the file system is still alive\n")
    assert host.run("F:", "/d").returncode == 0


def test_fifo_is_refused_without_stalling_the_service(host):
    fifo = host.work / "fifo.bxdk"
    os.mkfifo(fifo)
    folder = host.work / "vm"
    folder.mkdir()
    blank(folder / "disk.bxdk")
    os.mkfifo(folder / "disk.bxdk.REDO")
    (folder / "vm.bxx").write_text(old_config("ide0:0", "disk.bxdk"))
    for args in ([str(fifo), "/p"], ["E:", str(fifo)], [str(folder / "disk.bxdk"), "/p", "/y"]):
        strings = run_fails(host, args, 2, UNABLE_TO_OPEN)["strings"]
        assert "neither a regular file nor a block device" in strings[3], strings
    assert host.listing() == NONE_MOUNTED


def test_volume_outside_the_file_is_refused(host, backend):
    disk = make_disk(host, "disk.bxdk", "label: dos\nstart=2048, size=2048, type=83\n"
                     "start=8192, size=2048, type=83\n", 8 << 20)
    os.truncate(disk, 2 << 20)  # the second volume now starts past the end
    listed = host.run(disk, "/p")
    assert listed.returncode == 0 and listed.stdout.decode().count("Volume") == 2, listed.stdout
    strings = run_fails(host, ["E:", disk, "/v:2"], 2, UNABLE_TO_MOUNT)["strings"]
    assert "lies outside it" in strings[3], strings
    assert host.listing() == NONE_MOUNTED
    assert not os.path.lexists(host.drive("e:"))
    assert loops_of(host.work) == []
    assert host.run("E:", disk, "/v:1").returncode == 0
    assert host.run("E:", "/d").returncode == 0


@on_loop
@pytest.mark.skipif(QEMU_IMG is None, reason="qemu-img is not installed")
def test_files_a_stopped_services_daemons_hold_are_refused(host, other):
    """A stopped service leaves its volumes attached and their images open in
    their daemons, with no claim of its own: another prefix may not write an
    extent file or a parent meanwhile."""
    other.env["BRENIX_MOUNT_BACKEND"] = "loop"
    split = convert(ext4_disk(host, "e.raw"), host.work / "d.vmdk", "vmdk", "-o",
                    "subformat=twoGbMaxExtentFlat")
    base = ext4_disk(host, "base.raw")
    top = child(host.work / "kid.qcow2", base, parent_fmt="raw")
    assert host.run("E:", split).returncode == 0 and host.run("F:", top).returncode == 0
    assert host.run_service("--stop").returncode == 0
    for disk in (host.work / "d-f001.vmdk", base):
        strings = run_fails(other, ["G:", str(disk)], 2, UNABLE_TO_MOUNT)["strings"]
        assert strings[2] == BUSY and "in use by another program" in strings[3], strings
    # A parent is only read: another child of it may still be attached.
    sibling = child(host.work / "sibling.qcow2", base, parent_fmt="raw")
    assert other.run("H:", sibling).returncode == 0 and other.run("H:", "/d").returncode == 0
    assert host.run("E:", "/d").returncode == 0 and host.run("F:", "/d").returncode == 0
    assert other.run("G:", base).returncode == 0  # free again
    assert other.run("G:", "/d").returncode == 0
