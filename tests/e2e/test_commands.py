"""The four commands through the real program and the real mount service:
listings, volume sizes, mount and dismount with every refusal and failure,
each with its exit code and event record. Failures of the service are made
with its fault plan."""

import os
import shutil
import subprocess

import pytest

from conftest import UNEXPECTED

SFDISK = shutil.which("sfdisk") or "/sbin/sfdisk"

NO_VOLUMES = ("The virtual disk contains no volumes.  Make sure the virtual disk has been\n"
              "partitioned and formatted.\n")
UNABLE_TO_MOUNT = ("Unable to mount the virtual disk.  Verify that the file is a virtual disk file\n"
                   "and that it has not been corrupted.\n")
UNABLE_TO_OPEN = ("Unable to mount the virtual disk.  The disk may be in use by a virtual\n"
                  "machine or mounted under another drive letter.  If not, verify that the\n"
                  "disk is a virtual disk file, and that the disk file has not been corrupted.\n")
NO_LOCATOR = ("Unable to connect to the bmount service. Brenix-mount may not be\n"
              "properly installed. Reinstall Brenix Drivelink Utility and try again.\n")
NOT_MOUNTED = ("The volume was not mounted by Brenix-mount.  It may be a network driver or\n"
               "it may have been mounted using another utility. It cannot be dismounted.\n")
SUGGEST_FORCE = "Unable to dismount volume.\nTo forcibly dismount the volume, use the /f option.\n"
RESTART = "Unable to dismount volume.\nTo dismount this volume, restart your computer.\n"


def make_disk(host, name, table, size):
    """A sparse raw image of size bytes with the given sfdisk script (or none)."""
    path = host.work / name
    with open(path, "wb") as f:
        f.truncate(size)
    if table:
        subprocess.run([SFDISK, "-q", str(path)], input=table.encode(), check=True,
                       capture_output=True)
    return str(path)


def mbr_disk(host, name="disk.bxdk"):
    # Two primaries and a logical one: 20, 10 and 5 MiB.
    return make_disk(host, name, "label: dos\nstart=2048, size=40960, type=83\n"
                     "start=43008, size=20480, type=83\nstart=63488, type=5\n"
                     "start=65536, size=10240, type=83\n", 64 << 20)


@pytest.fixture
def plan(host):
    """Starts the service with a fault plan; returns a function that sets it."""
    path = host.work / "faults.plan"
    path.write_text("")
    started = host.run("--fault-plan", str(path), program=host.service)
    assert started.returncode == 0, started.stderr

    def set_plan(text):
        path.write_text(text)
    return set_plan


def run_ok(host, *args, out=""):
    r = host.run(*args)
    assert (r.returncode, r.stdout.decode(), r.stderr) == (0, out, b"")
    return r


def run_fails(host, args, code, out):
    r = host.run(*args)
    assert (r.returncode, r.stdout.decode(), r.stderr) == (code, out, b"")
    events = host.events()
    assert len(events) >= 1
    e = events[-1]
    assert e["strings"][0] == host.command_line(*args)
    return e


def listing(host):
    return host.run().stdout.decode()


# Listings.

def test_no_mounts(host):
    run_ok(host, out="No volumes mounted.\n")
    assert host.events() == []


def test_mounts_listed_in_service_order(host):
    disk1, disk2 = mbr_disk(host, "one.bxdk"), mbr_disk(host, "two.bxdk")
    run_ok(host, "g:", disk1)
    run_ok(host, "E:", disk2, "/v:3")
    assert listing(host) == f"G:\\  =>  {disk1}\nE:\\  =>  {disk2}\n\n"


def test_listing_texts_that_do_not_fit_are_skipped(host, plan):
    plan('listing id=7 file="/vms/a.bxdk" driveLetter="k:"\n'
         'listing id=8 file="/vms/b.bxdk" driveLetter="m:" \n'
         'listing id=9 file="" driveLetter="n:"\n'
         'listing id=10 file="/vms/c"d.bxdk" driveLetter="p:"\n'
         'listing garbage\n'
         'listing id=11 file="/vms/e f.bxdk" driveLetter="Q:"\n')
    assert listing(host) == "K:\\  =>  /vms/a.bxdk\nQ:\\  =>  /vms/e f.bxdk\n\n"
    plan('listing id=8 file="/vms/b.bxdk" driveLetter="m:"x\n')
    assert listing(host) == "No volumes mounted.\n"


def test_listing_item_that_is_no_text(host, plan):
    disk = mbr_disk(host)
    run_ok(host, "E:", disk)
    plan("IMountList.Item null\n")
    e = run_fails(host, [], 2, UNEXPECTED)
    assert e["eventIdHex"] == "0xE0000003"


def test_service_not_installed(host):
    host.run("/?")
    key = host.prefix / "registry/HKLM/Software/Classes/CLSID"
    shutil.rmtree(key)
    e = run_fails(host, [], 2, NO_LOCATOR)
    assert e["eventIdHex"] == "0xE0000002"
    assert e["strings"][1:3] == [NO_LOCATOR, "80040154"]


def test_locator_handing_out_nothing(host, plan):
    plan("IMountLocator.Connect null\n")
    e = run_fails(host, [], 2, NO_LOCATOR)
    assert e["strings"][2] == "80004003"


# Volumes of a disk.

def test_volume_sizes_of_mbr_with_logical_partition(host):
    run_ok(host, mbr_disk(host), "/p", out="Volume 1 : 20 Mb\nVolume 2 : 10 Mb\nVolume 3 : 5 Mb\n")


def test_volume_sizes_of_gpt(host):
    disk = make_disk(host, "gpt.bxdk", "label: gpt\nstart=2048, size=8192\nstart=10240, size=4096\n",
                     16 << 20)
    run_ok(host, disk, "/p", out="Volume 1 : 4 Mb\nVolume 2 : 2 Mb\n")


def test_size_arithmetic_truncates(host):
    disk = make_disk(host, "big.bxdk", "label: dos\nstart=2048, size=4194303, type=83\n"
                     "start=4196352, size=2047, type=83\n", 4196352 * 512 + (1 << 20))
    run_ok(host, disk, "/p", out="Volume 1 : 2047 Mb\nVolume 2 : 0 Mb\n")


def test_disk_without_partition_table(host):
    disk = make_disk(host, "blank.bxdk", None, 8 << 20)
    run_ok(host, disk, "/p", out=NO_VOLUMES)
    assert host.events() == []
    e = run_fails(host, ["E:", disk], 1, NO_VOLUMES)
    assert e["eventIdHex"] == "0xE0000001"


def test_list_failures(host, plan):
    disk = mbr_disk(host)
    plan("IMountManager.OpenDisk 0x80004005 The disk is broken\n")
    e = run_fails(host, [disk, "/p"], 2, UNABLE_TO_OPEN)
    assert e["eventIdHex"] == "0xE0000002"
    assert e["strings"][1:] == [UNABLE_TO_OPEN, "80004005", "The disk is broken"]

    plan("IVirtualDisk.GetVolumes 0x8004020B\n")
    run_ok(host, disk, "/p", out=NO_VOLUMES)
    plan("IVolumeList.Count 0x8004020B\n")
    run_ok(host, disk, "/p", out=NO_VOLUMES)

    plan("IVirtualDisk.GetVolumes 0x80004005\n")
    e = run_fails(host, [disk, "/p"], 2, UNEXPECTED)
    assert e["eventIdHex"] == "0xE0000003"
    assert e["strings"][1] == "80004005"

    plan("IDiskVolume.SectorCount 0x8004020B\n")  # only the count is forgiven
    e = run_fails(host, [disk, "/p"], 2, UNEXPECTED)
    assert e["strings"][1:] == ["8004020b", "IDispatch error #11"]


# Mount.

def test_mount_prints_nothing_and_is_listed(host):
    disk = mbr_disk(host)
    run_ok(host, "e:", disk)
    assert listing(host) == f"E:\\  =>  {disk}\n\n"
    assert os.path.lexists(host.prefix / "drives" / "e:")
    e = run_fails(host, ["E:", mbr_disk(host, "other.bxdk")], 1, "The drive is already in use.\n")
    assert e["eventIdHex"] == "0xE0000001"


@pytest.mark.parametrize("letter, text", [
    ("C:", "The drive is already in use.\n"),
    ("c:", "The drive is already in use.\n"),
    ("B:", "Volumes must be mounted as drive D: or greater.\n"),
    ("a:", "Volumes must be mounted as drive D: or greater.\n"),
])
def test_mount_refuses_letters(host, letter, text):
    e = run_fails(host, [letter, mbr_disk(host)], 1, text)
    assert e["strings"][1] == text


def test_mapped_drive_counts_as_in_use(host):
    host.run("/?")
    os.symlink("/nonexistent", host.prefix / "drives" / "u:")
    run_fails(host, ["U:", mbr_disk(host)], 1, "The drive is already in use.\n")


@pytest.mark.parametrize("volume", ["/v:0", "/v:-1", "/v:4", "/vx", "/v:4294967298"])
def test_volume_out_of_range(host, plan, volume):
    # A mount object would show up here: the plan makes any CreateMount fail loudly.
    plan("IVirtualDisk.CreateMount 0x80004005 must not be called\n")
    text = "Volume number out of range.  Use /p to list the volumes on this virtual disk.\n"
    run_fails(host, ["E:", mbr_disk(host), volume], 1, text)


def test_mount_volume_three(host):
    disk = mbr_disk(host)
    run_ok(host, "F:", disk, "/v:3")
    record = (host.prefix / "drives" / "f:" / "volume").read_text()
    assert "volume=3\n" in record
    assert f"offset={65536 * 512}\n" in record


def test_failed_attach_is_cleaned_up(host, plan):
    disk = mbr_disk(host)
    plan("IMount.MountAs 0x80004005 Access denied by policy\n")
    e = run_fails(host, ["E:", disk], 2, UNABLE_TO_MOUNT)
    assert e["eventIdHex"] == "0xE0000002"
    assert e["strings"][1:] == [UNABLE_TO_MOUNT, "80004005", "Access denied by policy"]
    assert e["message"].endswith("(COM error 0x80004005 Access denied by policy)\r\n")
    plan("")
    assert listing(host) == "No volumes mounted.\n"
    run_ok(host, "E:", disk)  # the failed mount left nothing behind


def test_failed_clean_up_reports_its_own_error(host, plan):
    plan("IMount.MountAs 0x80004005 Access denied by policy\n"
         "IMount.Unmount 0x80070005 Cannot discard\n")
    e = run_fails(host, ["E:", mbr_disk(host)], 2, UNEXPECTED)
    assert e["eventIdHex"] == "0xE0000003"
    assert e["strings"][1:] == ["80070005", "Cannot discard"]


@pytest.mark.parametrize("method", ["IVirtualDisk.CreateMount", "IVolumeList.Item"])
def test_no_clean_up_before_a_mount_exists(host, plan, method):
    plan(f"{method} 0x80004005\nIMount.Unmount 0x80070005 must not be called\n")
    e = run_fails(host, ["E:", mbr_disk(host)], 2, UNABLE_TO_MOUNT)
    assert e["strings"][2] == "80004005"


def test_attach_failure_without_description_uses_host_text(host, plan):
    plan("IMount.MountAs 0x80004005\n")
    e = run_fails(host, ["E:", mbr_disk(host)], 2, UNABLE_TO_MOUNT)
    assert e["strings"][3] != ""
    assert e["strings"][3] != "IDispatch error #5"


def test_counting_failure_passes_unchanged(host, plan):
    plan("IVolumeList.Count 0x80004005\n")
    e = run_fails(host, ["E:", mbr_disk(host)], 2, UNEXPECTED)
    assert e["eventIdHex"] == "0xE0000003"
    plan("IMountManager.OpenDisk 0x80070002\n")
    e = run_fails(host, ["E:", mbr_disk(host)], 2, UNABLE_TO_OPEN)
    assert e["strings"][2] == "80070002"


# Dismount.

@pytest.mark.parametrize("switches", [["/d"], ["/f"], ["/df"]])
def test_dismount(host, switches):
    disk = mbr_disk(host)
    run_ok(host, "E:", disk)
    run_ok(host, "e:", *switches)
    assert listing(host) == "No volumes mounted.\n"
    assert not os.path.lexists(host.prefix / "drives" / "e:")


@pytest.mark.parametrize("letter", ["E:", "C:"])
def test_dismount_of_a_letter_not_mounted(host, letter):
    e = run_fails(host, [letter, "/d"], 1, NOT_MOUNTED)
    assert e["eventIdHex"] == "0xE0000001"
    assert e["strings"][1] == NOT_MOUNTED


def test_dismount_failures(host, plan):
    run_ok(host, "E:", mbr_disk(host))
    plan("IMount.Unmount 0x80070020 The volume is busy\n")
    e = run_fails(host, ["E:", "/d"], 2, SUGGEST_FORCE)
    assert e["strings"][1:] == [SUGGEST_FORCE, "80070020", "The volume is busy"]
    e = run_fails(host, ["E:", "/f"], 2, RESTART)
    assert e["strings"][1:] == [RESTART, "80070020", "The volume is busy"]
    for rule in ["IMountManager.GetMounts 0x80004005", "IMountList.Count 0x80004005",
                 "IMountList.Item 0x80004005", "IMountManager.GetMount 0x80004005",
                 "IMountManager.GetMount null"]:
        plan(rule + "\n")
        run_fails(host, ["E:", "/d"], 2, SUGGEST_FORCE)
        run_fails(host, ["E:", "/f"], 2, RESTART)
    plan("")
    assert listing(host).startswith("E:")


def test_first_matching_text_wins_and_ids_are_whole(host, plan):
    disk = mbr_disk(host)
    run_ok(host, "E:", disk)
    plan('listing id=12 file="/vms/x.bxdk" driveLetter="f:"\n'
         'listing id=99 file="/vms/y.bxdk" driveLetter="e:"\n')
    e = run_fails(host, ["F:", "/d"], 2, SUGGEST_FORCE)
    assert e["strings"][3] == "There is no mount with id 12."
    run_ok(host, "E:", "/d")  # the real mount (id 1) comes first
    plan("")
    assert listing(host) == "No volumes mounted.\n"
