"""The four commands through the real program and service: listings, volume
sizes, mount and dismount with every refusal and failure (of the service: by
its fault plan), each with its exit code and event record."""

import os
import shutil

import pytest

from conftest import NONE_MOUNTED, UNEXPECTED, make_disk

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
IN_USE = "The drive is already in use.\n"
NOT_BELOW_D = "Volumes must be mounted as drive D: or greater.\n"
# Two primaries and a logical one: 20, 10 and 5 MiB.
MBR = ("label: dos\nstart=2048, size=40960, type=83\nstart=43008, size=20480, type=83\n"
       "start=63488, type=5\nstart=65536, size=10240, type=83\n")
DISK = "<disk>"  # stands for the test's disk in the tables' arguments


def mbr_disk(host, name="disk.bxdk"):
    return make_disk(host, name, MBR, 64 << 20)


@pytest.fixture
def plan(host):
    """Starts the service with a fault plan; returns a function that sets it."""
    path = host.work / "faults.plan"
    path.write_text("")
    started = host.run_service("--fault-plan", str(path))
    assert started.returncode == 0, started.stderr

    def set_plan(text):
        path.write_text(text)
    return set_plan


def run_ok(host, *args, out=""):
    assert host.outcome(*args) == (0, out, "")


def run_fails(host, args, code, out):
    assert host.outcome(*args) == (code, out, "")
    e = host.events()[-1]
    assert e["strings"][0] == host.command_line(*args)
    return e


def test_service_not_installed(host):
    host.run("/?")
    shutil.rmtree(host.prefix / "registry/HKLM/Software/Classes/CLSID")
    e = run_fails(host, [], 2, NO_LOCATOR)
    assert e["eventIdHex"] == "0xE0000002"
    assert e["strings"][1:3] == [NO_LOCATOR, "80040154"]


@pytest.mark.parametrize("table, size, out", [
    (MBR, 64 << 20, "Volume 1 : 20 Mb\nVolume 2 : 10 Mb\nVolume 3 : 5 Mb\n"),
    # The arithmetic truncates.
    ("label: dos\nstart=2048, size=4194303, type=83\nstart=4196352, size=2047, type=83\n",
     4196352 * 512 + (1 << 20), "Volume 1 : 2047 Mb\nVolume 2 : 0 Mb\n"),
    (None, 8 << 20, NO_VOLUMES),
])
def test_volume_sizes(host, table, size, out):
    run_ok(host, make_disk(host, "disk.bxdk", table, size), "/p", out=out)
    assert host.events() == []


class HostText(str):
    """Matches any description the host gives, never the generic one."""

    def __eq__(self, other):
        return other != "" and not other.startswith("IDispatch error")

    __hash__ = str.__hash__


MOUNT = ["E:", DISK]
UNMOUNT = "IMount.Unmount 0x80070005 must not be called\n"
FAILURES = [
    # plan, arguments, exit code, output, event id, the event's strings after the command line
    ("IMountList.Item null", [], 2, UNEXPECTED, "0xE0000003", []),
    ("IMountLocator.Connect null", [], 2, NO_LOCATOR, "0xE0000002", [NO_LOCATOR, "80004003"]),
    ("IMountManager.OpenDisk 0x80004005 The disk is broken", [DISK, "/p"], 2, UNABLE_TO_OPEN,
     "0xE0000002", [UNABLE_TO_OPEN, "80004005", "The disk is broken"]),
    ("IVirtualDisk.GetVolumes 0x8004020B", [DISK, "/p"], 0, NO_VOLUMES, None, None),
    ("IVolumeList.Count 0x8004020B", [DISK, "/p"], 0, NO_VOLUMES, None, None),
    ("IVirtualDisk.GetVolumes 0x80004005", [DISK, "/p"], 2, UNEXPECTED, "0xE0000003",
     ["80004005"]),
    ("IVolumeList.Item null", [DISK, "/p"], 2, UNEXPECTED, "0xE0000003",
     ["80004003", "Invalid pointer"]),
    # Only the count is forgiven.
    ("IDiskVolume.SectorCount 0x8004020B", [DISK, "/p"], 2, UNEXPECTED, "0xE0000003",
     ["8004020b", "IDispatch error #11"]),
    ("IMount.MountAs 0x80004005 Access denied by policy", MOUNT, 2, UNABLE_TO_MOUNT,
     "0xE0000002", [UNABLE_TO_MOUNT, "80004005", "Access denied by policy"]),
    ("IMount.MountAs 0x80004005", MOUNT, 2, UNABLE_TO_MOUNT, "0xE0000002",
     [UNABLE_TO_MOUNT, "80004005", HostText()]),
    # A failed clean-up reports its own error.
    ("IMount.MountAs 0x80004005 Access denied by policy\nIMount.Unmount 0x80070005 Cannot discard",
     MOUNT, 2, UNEXPECTED, "0xE0000003", ["80070005", "Cannot discard"]),
    # No clean-up before a mount exists.
    ("IVirtualDisk.CreateMount 0x80004005\n" + UNMOUNT, MOUNT, 2, UNABLE_TO_MOUNT, "0xE0000002",
     [UNABLE_TO_MOUNT, "80004005"]),
    ("IVolumeList.Item 0x80004005\n" + UNMOUNT, MOUNT, 2, UNABLE_TO_MOUNT, "0xE0000002",
     [UNABLE_TO_MOUNT, "80004005"]),
    # Counting failures pass unchanged.
    ("IVolumeList.Count 0x80004005", MOUNT, 2, UNEXPECTED, "0xE0000003", ["80004005"]),
    ("IMountManager.OpenDisk 0x80070002", MOUNT, 2, UNABLE_TO_OPEN, "0xE0000002",
     [UNABLE_TO_OPEN, "80070002"]),
    ("IMount.Unmount 0x80070020 The volume is busy", ["E:", "/d"], 2, SUGGEST_FORCE, "0xE0000002",
     [SUGGEST_FORCE, "80070020", "The volume is busy"]),
    ("IMount.Unmount 0x80070020 The volume is busy", ["E:", "/f"], 2, RESTART, "0xE0000002",
     [RESTART, "80070020", "The volume is busy"]),
] + [(rule, ["E:", switch], 2, out, "0xE0000002", [out])
     for rule in ["IMountManager.GetMounts 0x80004005", "IMountList.Count 0x80004005",
                  "IMountList.Item 0x80004005", "IMountManager.GetMount 0x80004005",
                  "IMountManager.GetMount null"]
     for switch, out in [("/d", SUGGEST_FORCE), ("/f", RESTART)]] + [
    # The mount was detached by another client since it was listed.
    (f"{rule} 0x80070057 There is no mount with id 1.", ["E:", switch], 0, "", None, None)
    for rule in ["IMountManager.GetMount", "IMount.Unmount"] for switch in ["/d", "/f"]]


@pytest.mark.parametrize("rules, args, code, out, event, strings", FAILURES)
def test_failures_of_the_service(host, plan, rules, args, code, out, event, strings):
    disk = mbr_disk(host)
    if args[-1:] in (["/d"], ["/f"]) or not args:
        run_ok(host, "E:", mbr_disk(host, "mounted.bxdk"))
    before = host.listing()
    plan(rules + "\n")
    args = [disk if a == DISK else a for a in args]
    if code == 0:
        run_ok(host, *args, out=out)
    else:
        e = run_fails(host, args, code, out)
        assert (e["eventIdHex"], e["strings"][1:1 + len(strings)]) == (event, strings)
        if len(strings) == 3 and strings[0] == out:
            assert e["message"].endswith(f"(COM error 0x{e['strings'][2]} {e['strings'][3]})\r\n")
    plan("")
    assert host.listing() == before  # a failure leaves nothing behind
    if args[:1] == ["E:"] and before == NONE_MOUNTED:
        run_ok(host, "E:", disk)


@pytest.mark.parametrize("switches", [["/d"], ["/f"], ["/df"]])
def test_mount_and_dismount(host, switches):
    run_ok(host, out=NONE_MOUNTED)
    disk1, disk2 = mbr_disk(host, "one.bxdk"), mbr_disk(host, "two.bxdk")
    run_ok(host, "g:", disk1)
    run_ok(host, "E:", disk2, "/v:3")
    assert host.listing() == f"G:\\  =>  {disk1}\nE:\\  =>  {disk2}\n\n"  # in service order
    record = (host.drive("e:") / "volume").read_text()
    assert f"volume=3\noffset={65536 * 512}\n" in record
    run_ok(host, "e:", *switches)
    run_ok(host, "G:", *switches)
    assert host.listing() == NONE_MOUNTED
    assert not os.path.lexists(host.drive("e:"))
    assert host.events() == []


# E: mounted before, U: a mapped drive; F: is free, but its disk has no volumes.
@pytest.mark.parametrize("letter, text", [
    ("E:", IN_USE), ("C:", IN_USE), ("c:", IN_USE), ("U:", IN_USE),
    ("B:", NOT_BELOW_D), ("a:", NOT_BELOW_D), ("F:", NO_VOLUMES),
])
def test_mount_refusals(host, letter, text):
    run_ok(host, "E:", mbr_disk(host, "mounted.bxdk"))
    os.symlink("/nonexistent", host.drive("u:"))
    table = None if text == NO_VOLUMES else MBR
    e = run_fails(host, [letter, make_disk(host, "disk.bxdk", table, 64 << 20)], 1, text)
    assert (e["eventIdHex"], e["strings"][1]) == ("0xE0000001", text)


@pytest.mark.parametrize("volume", ["/v:0", "/v:-1", "/v:4", "/vx", "/v:4294967298"])
def test_volume_out_of_range(host, plan, volume):
    # A mount object would show up here: the plan makes any CreateMount fail loudly.
    plan("IVirtualDisk.CreateMount 0x80004005 must not be called\n")
    text = "Volume number out of range.  Use /p to list the volumes on this virtual disk.\n"
    run_fails(host, ["E:", mbr_disk(host), volume], 1, text)


@pytest.mark.parametrize("letter", ["E:", "C:"])
def test_dismount_of_a_letter_not_mounted(host, letter):
    e = run_fails(host, [letter, "/d"], 1, NOT_MOUNTED)
    assert (e["eventIdHex"], e["strings"][1]) == ("0xE0000001", NOT_MOUNTED)
