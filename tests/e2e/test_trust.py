"""What the programs refuse to trust: a link planted where a lock file
belongs, a host prefix (or a folder on the way to it) that another user can
change; and where the service's own reasons can be read: the application
event log."""

import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from conftest import CLSID, as_root, convert, kill_service, on_loop
from test_commands import NO_LOCATOR, UNABLE_TO_OPEN, mbr_disk
from test_loop import ext4_disk

SERVER_VALUE = Path("registry/HKLM/Software/Classes/CLSID") / CLSID / "LocalServer32" / "@"
SOURCE_KEY = Path("registry/HKLM/System/CurrentControlSet/Services/EventLog/Application/bmount-service")


def untrusted(prefix, reason):
    return (f"The host prefix {prefix} cannot be used: {reason}.\n"
            "It and the state in it must belong to you and be writable by nobody else.\n")


def service_records(host):
    return [e for e in host.events() if e["source"] == "bmount-service"]


def test_a_link_where_the_lock_file_belongs_refuses_the_disk(host):
    disk = mbr_disk(host)
    victim = host.work / "victim"
    os.symlink(victim, disk + ".lck")
    assert host.run("E:", disk).returncode == 2
    assert not os.path.lexists(victim)
    assert not os.path.lexists(host.drive("e:"))
    refused = [e for e in service_records(host) if e["eventId"] == 0xA0000103]
    assert [e["type"] for e in refused] == ["warning"]
    assert refused[0]["strings"] == [f'The disk "{disk}" cannot be locked: '
                                     "Too many levels of symbolic links."]
    assert refused[0]["message"] == ("The mount service refused a request: "
                                     + refused[0]["strings"][0] + "\r\n")
    assert host.events()[-1]["strings"][2] == "80070028"  # ELOOP's, not "in use"


U = 65534  # nobody
# name -> (links: where, what it leads to, its owner), the name given, refused.
# "N" is nobody's folder, "W" root's; "disk" root's disk there, "theirs"
# nobody's own, "shared" a folder of root's holding a disk of nobody's.
LINKS = {
    "theirs to root's disk": ([("N/d", "W/disk", U)], "N/d", True),
    "theirs to root's folder": ([("N/vm", "W", U)], "N/vm/disk", True),
    "theirs to their disk": ([("N/d", "N/theirs.bxdk", U)], "N/d", False),
    "root's to root's disk": ([("N/d", "W/disk", 0)], "N/d", False),
    "root's to theirs to root's disk": ([("W/pub", "N/cur", 0), ("N/cur", "W/disk", U)], "W/pub",
                                        True),
    "theirs to root's folder with their disk": ([("N/data", "W/shared", U)], "N/data/t.bxdk",
                                                False),
    "an extent of root's disk, theirs to root's": ([("N/vm-flat.vmdk", "W/disk", U)], "N/vm.vmdk",
                                                   True),
}


@as_root
@pytest.mark.parametrize("case", LINKS)
def test_a_link_of_another_users_must_lead_to_their_own_file(host, nobody_home, case):
    """A user could swap a disk, or a file a disk names, for a link to
    somebody else's between the checks and the attach: what a link of
    theirs leads to must be theirs."""
    links, given, refused = LINKS[case]
    where = {"N": str(nobody_home), "W": str(host.work)}
    path = lambda name: where[name[0]] + name[1:]
    disk = mbr_disk(host)
    os.rename(disk, path("W/disk"))
    (host.work / "shared").mkdir()
    for name in ("N/theirs.bxdk", "W/shared/t.bxdk"):
        os.chown(shutil.copy(path("W/disk"), path(name)), U, U)
    if "extent" in case:
        convert(path("W/disk"), path("N/vm.vmdk"), "vmdk", "-o", "subformat=monolithicFlat")
        os.unlink(path("N/vm-flat.vmdk"))
    for name, target, owner in links:
        os.symlink(path(target), path(name))
        os.lchown(path(name), owner, owner)
    if not refused:
        assert host.outcome(path(given), "/p")[0] == 0
        return
    assert host.outcome(path(given), "/p") == (2, UNABLE_TO_OPEN, "")
    assert host.run("E:", path(given)).returncode == 2
    assert "through a symbolic link of another user's" in host.events()[-1]["strings"][-1]
    assert "=>" not in host.listing()


@on_loop
@pytest.mark.parametrize("restart", ["stopped", "crashed"])
def test_a_folder_link_swapped_under_an_attached_disk_leaves_roots_file_alone(host, nobody_home,
                                                                              restart):
    """The disk's owner swaps the folder link the disk was attached through
    for one to root's folder: neither the restarted service (its files kept
    for it, or lost in a crash) nor the detach takes or removes the lock file
    of that name there."""
    real, vms, target = nobody_home / "real", nobody_home / "vms", host.work / "target"
    real.mkdir()
    os.chown(real, U, U)
    disk = real / "disk.img"
    os.rename(ext4_disk(host), disk)
    os.chown(disk, U, U)
    os.symlink("real", vms)
    os.lchown(vms, U, U)
    target.mkdir(mode=0o755)
    roots = target / "disk.img.lck"
    roots.write_text("root's\n")
    roots.chmod(0o600)
    given = str(vms / "disk.img")
    assert host.outcome("E:", given) == (0, "", "")
    assert (real / "disk.img.lck").exists()

    os.symlink(target, nobody_home / "vms.new")
    os.lchown(nobody_home / "vms.new", U, U)
    os.rename(nobody_home / "vms.new", vms)
    if restart == "stopped":
        assert host.run_service("--stop").returncode == 0
    else:
        kill_service(host)
    assert f"E:\\  =>  {given}\n" in host.listing()  # started again
    assert host.outcome("E:", "/d") == (0, "", "")
    assert os.listdir(target) == ["disk.img.lck"]
    assert roots.read_text() == "root's\n" and roots.stat().st_mode & 0o777 == 0o600


@as_root
# Each reason on its own is a unit test of the prefix; here, that every
# program refuses, says why and runs nothing the prefix names.
@pytest.mark.parametrize("case", ["owner", "way"])
def test_a_prefix_another_user_can_change_is_refused(host, other_user, case):
    assert host.run().returncode == 0  # makes the prefix, registers the service
    host.run("--stop", program=host.service)
    marker = host.root / "ran"
    server = host.root / "server"
    server.write_text(f"#!/bin/sh\ntouch {marker}\n")
    server.chmod(0o755)
    (host.prefix / SERVER_VALUE).write_text(f"REG_SZ\n{server}\n")
    prefix = host.prefix
    user = f"{other_user.pw_name} (uid {other_user.pw_uid})"
    if case == "owner":  # root after `sudo -E` in a user's shell
        subprocess.run(["chown", "-R", str(other_user.pw_uid), str(prefix)], check=True)
        reason = f"{prefix} belongs to {user}, not to root (uid 0)"
    else:  # the prefix is fine, the folder holding it is the user's
        way = host.root / "users"
        way.mkdir()
        os.chown(way, other_user.pw_uid, -1)
        prefix = way / "host"
        shutil.move(host.prefix, prefix)
        host.env["BRENIX_HOST_PREFIX"] = str(prefix)
        reason = f"{way}, a folder on the way to the host prefix, belongs to {user}"
    log = prefix / "eventlog" / "Application.jsonl"
    events_before = log.read_bytes() if log.exists() else b""

    assert host.outcome() == (1, untrusted(prefix, reason), "")
    for command in ["--register", "--stop", "--foreground"]:
        r = host.run(command, program=host.service)
        assert r.returncode == 1, command
        assert f"the host prefix {prefix} cannot be used: {reason}" in r.stderr.decode()
    time.sleep(0.2)
    assert not marker.exists()
    assert (log.read_bytes() if log.exists() else b"") == events_before
    assert (prefix / SERVER_VALUE).read_text() == f"REG_SZ\n{server}\n"


# A file where the prefix belongs is a mistake of the setting, not of the
# installation.
@pytest.mark.parametrize("below", ["", "/sub"])
def test_a_file_for_a_prefix_is_named(host, below):
    file = host.root / "plain"
    file.write_text("x")
    host.env["BRENIX_HOST_PREFIX"] = f"{file}{below}"
    assert host.outcome() == (1, untrusted(f"{file}{below}", f"{file} is not a folder"), "")
    r = host.run("--foreground", program=host.service)
    assert r.returncode == 1
    assert f"cannot be used: {file} is not a folder" in r.stderr.decode()
    assert file.read_text() == "x"


def test_a_service_anybody_could_change_is_not_started(host):
    """The registration names a service in a folder anybody may write: what
    would start there could be anybody's program, run with our rights."""
    folder = host.work / "shared"
    folder.mkdir()
    service = folder / "bmount-service"
    shutil.copy(host.service, service)
    assert host.run("--register", program=str(service)).returncode == 0
    folder.chmod(0o777)
    assert host.outcome()[:2] == (2, NO_LOCATOR)
    assert not (host.prefix / "run" / CLSID).exists()
    folder.chmod(0o755)
    assert host.outcome()[0] == 0


@pytest.mark.parametrize("case", ["backend", "table"])
def test_why_the_service_cannot_start_is_in_the_event_log(host, case):
    assert host.run("--register", program=host.service).returncode == 0
    assert (host.prefix / SOURCE_KEY / "TypesSupported").read_text() == "REG_DWORD\n7\n"
    if case == "backend":
        host.env["BRENIX_MOUNT_BACKEND"] = "floppy"
        reason = 'unknown backend "floppy" (expected loop or record) in BRENIX_MOUNT_BACKEND'
    else:
        shutil.rmtree(host.prefix / "bmount")
        (host.prefix / "bmount").write_text("")
        reason = f"cannot create {host.prefix}/bmount: File exists"
    assert host.outcome()[:2] == (2, NO_LOCATOR)
    records = service_records(host)
    assert [(e["type"], e["eventId"], e["strings"]) for e in records] == \
        [("error", 0xE0000101, [reason])]
    assert records[0]["message"] == f"The mount service cannot start: {reason}\r\n"
    # Started by hand, detached once it gets that far, it says so on its way.
    r = host.run(program=host.service, timeout=30)
    assert r.returncode == 1 and reason.encode() in r.stderr
