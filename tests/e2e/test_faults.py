"""The service killed at every step of a mount and of a dismount: the next
instance's listing, mount table, drive entries, lock file and (loop backend)
kernel mounts and loop devices must agree, and the disk mounts again with its
data intact. BRENIX_FAULT_ROUNDS (default 2): visits of every step."""

import contextlib
import fcntl
import os
import shutil
import subprocess

import pytest

from conftest import (NONE_MOUNTED, convert, exited, kill_service, loops_of, mounts_below,
                      serving_pid, wait_until)
from test_commands import mbr_disk
from test_loop import blank_disk, ext4_disk, fuse_export, needs_loop

ROUNDS = int(os.environ.get("BRENIX_FAULT_ROUNDS", "2"))

# In the order they are taken; a crash at the last one of a mount leaves the
# mount in place, a crash anywhere else leaves nothing.
MOUNT_STEPS = {
    "record": ["CreateMount.made", "CreateMount.saved", "MountAs.locked", "MountAs.written",
               "MountAs.linked", "MountAs.saved"],
    "loop": ["CreateMount.made", "CreateMount.saved", "MountAs.locked", "MountAs.device",
             "MountAs.checked", "MountAs.mounted", "MountAs.linked", "MountAs.saved"],
}
DISMOUNT_STEPS = {
    "record": ["Unmount.unlinked", "Unmount.removed", "Unmount.saved", "Unmount.unlocked"],
    "loop": ["Unmount.unmounted", "Unmount.unlinked", "Unmount.freed", "Unmount.saved",
             "Unmount.unlocked"],
}
# A volume without a file system: its device goes before its drive entry.
MOUNT_STEPS["bare"] = [s for s in MOUNT_STEPS["loop"] if s not in ("MountAs.checked",
                                                                    "MountAs.mounted")]
DISMOUNT_STEPS["bare"] = ["Unmount.freed", "Unmount.unlinked", "Unmount.saved", "Unmount.unlocked"]
# A disk that is not a raw file, with the loop backend: its daemon's steps too.
MOUNT_STEPS["image"] = MOUNT_STEPS["loop"][:3] + ["MountAs.daemon", "MountAs.exported"] + \
    MOUNT_STEPS["loop"][3:]
DISMOUNT_STEPS["image"] = DISMOUNT_STEPS["loop"][:3] + ["Unmount.unexported", "Unmount.stopped"] + \
    DISMOUNT_STEPS["loop"][3:]


def table(host):
    """The saved mount records: letter -> fields."""
    path = host.prefix / "bmount" / "mounts"
    records = {}
    for line in path.read_text().splitlines() if path.exists() else []:
        if line.startswith("mount "):
            head, disk = line.split(" disk=", 1)
            fields = dict((word.split("=", 1) for word in head.split()[1:]), disk=disk)
            records[fields["letter"]] = fields
    return records


def drive_entries(host):
    drives = host.prefix / "drives"
    return {name[0]: os.readlink(drives / name) for name in os.listdir(drives)
            if os.path.islink(drives / name)}


def lock_held(disk):
    """Whether someone holds the disk's lock file."""
    if not os.path.exists(disk + ".lck"):
        return False
    with open(disk + ".lck", "r+") as f:
        try:
            fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB, 0x7FFFFFFF, 0)
            return False
        except OSError:
            return True


def settled_state(host, backend, disk, before):
    """Starts a new instance through the listing, checks that everything
    agrees, and returns the letters that are mounted."""
    image = backend == "image"
    backend = "loop" if backend in ("image", "bare") else backend
    listing = host.run()
    assert listing.returncode == 0, listing
    records = table(host)
    shown = {line[0].lower() for line in listing.stdout.decode().splitlines() if line[1:2] == ":"}
    assert shown == set(records)
    ours = {letter: target for letter, target in drive_entries(host).items()
            if before.get(letter) != target}
    assert set(ours) == set(records)
    for letter, r in records.items():
        assert r["backend"] == backend and r["disk"] == disk
        if backend == "record":
            folder = host.prefix / "bmount" / "volumes" / r["id"]
            assert ours[letter] == str(folder)
            assert f"disk={disk}\n" in (folder / "volume").read_text()
        elif r["mounted"] == "1":
            assert ours[letter] == str(host.prefix / "bmount" / "mnt" / letter)
        else:
            assert ours[letter] == f"/dev/loop{r['loop']}"
    if backend == "record":
        volumes = host.prefix / "bmount" / "volumes"
        kept = sorted(os.listdir(volumes)) if volumes.exists() else []
        assert kept == sorted(r["id"] for r in records.values())
    else:
        points = [str(host.prefix / "bmount" / "mnt" / letter)
                  for letter, r in sorted(records.items()) if r["mounted"] == "1"]
        qemu = host.prefix / "bmount" / "qemu"
        if image:
            # Each record's daemon runs, exporting the disk onto a file; no other.
            names = {r["daemon"].split(",")[1] for r in records.values()}
            points += [str(qemu / name / "export.disk") for name in sorted(names)]
            assert {p for p in os.listdir(qemu) if p != "look"} == names
            assert all(os.path.exists(f"/proc/{r['daemon'].split(',')[0]}")
                       for r in records.values())
        assert sorted(mounts_below(host.prefix)) == sorted(points)
        devices = {f"/dev/loop{r['loop']}" for r in records.values()}
        # A device whose last user went away frees itself a moment later.
        assert wait_until(lambda: {line.split(":")[0] for line in loops_of(host.root)} ==
                          devices), loops_of(host.root)
        mnt = host.prefix / "bmount" / "mnt"
        left = sorted(os.listdir(mnt)) if mnt.exists() else []
        assert left == sorted(letter for letter, r in records.items() if r["mounted"] == "1")
    assert lock_held(disk) == bool(records)
    return set(records)


def crash_during(host, step, *args):
    """Runs brenix-mount with args against a service that kills itself at step."""
    assert host.run_service("--stop").returncode == 0
    plan = host.work / "crash.plan"
    plan.write_text(f"crash {step}\n")
    started = host.run_service("--fault-plan", str(plan))
    assert started.returncode == 0, started.stderr
    pid = serving_pid(host)
    r = host.run(*args)
    assert r.returncode != 0 and r.stdout, (step, r)
    assert any(e["strings"][0] == host.command_line(*args) for e in host.events()[-2:])
    assert wait_until(lambda: exited(pid))
    plan.unlink()


def mount_and_dismount(host, disk, check):
    r = host.outcome("E:", disk)
    assert r == (0, "", ""), (r, host.events()[-2:])
    check()
    assert host.outcome("E:", "/d") == (0, "", "")


def crash_loops(host, backend, disk, check_data):
    assert host.run().returncode == 0  # sets the prefix up
    before = drive_entries(host)
    for _ in range(ROUNDS):
        for step in MOUNT_STEPS[backend]:
            crash_during(host, step, "E:", disk)
            mounted = settled_state(host, backend, disk, before)
            assert mounted == ({"e"} if step == "MountAs.saved" else set()), step
            if mounted:
                assert host.run("E:", "/d").returncode == 0
            assert settled_state(host, backend, disk, before) == set()
            mount_and_dismount(host, disk, check_data)
        for step in DISMOUNT_STEPS[backend]:
            r = host.run("E:", disk)
            assert r.returncode == 0, (step, r, host.events()[-3:])
            crash_during(host, step, "E:", "/d")
            assert settled_state(host, backend, disk, before) == set(), step
            mount_and_dismount(host, disk, check_data)
            assert settled_state(host, backend, disk, before) == set()


@pytest.mark.parametrize("kind", ["record", *(pytest.param(k, marks=needs_loop)
                                              for k in ("loop", "image", "bare"))])
def test_crash_at_every_step(host, kind, request):
    if kind != "record":
        request.getfixturevalue("loop_host")
    if kind in ("record", "bare"):
        crash_loops(host, kind, mbr_disk(host) if kind == "record" else blank_disk(host),
                    lambda: None)
        return
    disk = ext4_disk(host)
    if kind == "image":
        disk = convert(disk, host.work / "disk.qcow2", "qcow2")
    note = host.drive("e:") / "note.txt"
    mount_and_dismount(host, disk, lambda: note.write_text("kept across crashes\n"))
    crash_loops(host, kind, disk,
                lambda: note.read_text() == "kept across crashes\n" or pytest.fail("lost"))


def test_saves_cut_short_leave_nothing_behind(host):
    """A crash between writing a state file and renaming it into place leaves
    the temporary file; the next start removes it, and a volume folder that
    held nothing else goes with it."""
    disk = mbr_disk(host)
    assert host.run("E:", disk).returncode == 0
    kill_service(host)
    bmount = host.prefix / "bmount"
    (bmount / "volumes" / "99").mkdir()
    leftovers = [bmount / ".#state.a1b2c3", bmount / "volumes" / "1" / ".#state.d4e5f6",
                 bmount / "volumes" / "99" / ".#state.g7h8i9"]
    for path in leftovers:
        path.write_text("x")
    assert f"E:\\  =>  {disk}" in host.listing()
    assert not any(p.exists() for p in leftovers)
    assert sorted(p.name for p in (bmount / "volumes").iterdir()) == ["1"]
    assert host.run("E:", "/d").returncode == 0


@pytest.mark.parametrize("standing", ["folder", "fifo", "oversized"])
def test_what_stands_where_the_table_belongs_goes_aside(host, standing):
    """Something that is no table at all in the table's place: the service
    still starts, finds the mount again, and keeps that thing for a person
    to look at (whatever was kept so from before is replaced)."""
    disk = mbr_disk(host)
    assert host.run("E:", disk).returncode == 0
    assert host.run_service("--stop").returncode == 0
    path, aside = host.prefix / "bmount" / "mounts", host.prefix / "bmount" / "mounts.damaged"
    path.unlink()
    if standing == "fifo":
        aside.write_text("an older damaged table\n")
    else:
        aside.mkdir()
        (aside / "inside").write_text("an older folder put aside\n")
    if standing == "folder":
        path.mkdir()
        (path / "inside").write_text("x")
    elif standing == "fifo":
        os.mkfifo(path)
    else:
        path.write_bytes(b"#" * (17 << 20))
    before = open(disk, "rb").read()
    assert host.listing() == f"E:\\  =>  {disk}\n\n"
    assert {"folder": aside.is_dir(), "fifo": aside.is_fifo(),
            "oversized": aside.is_file() and aside.stat().st_size == 17 << 20}[standing]
    assert "letter=e" in path.read_text() and open(disk, "rb").read() == before
    assert host.run("E:", "/d").returncode == 0


def test_a_removed_drive_table_is_made_again_by_an_attach(host):
    disk = mbr_disk(host)
    assert host.run().returncode == 0
    shutil.rmtree(host.prefix / "drives")
    assert host.outcome("E:", disk) == (0, "", "")
    assert sorted(os.listdir(host.prefix / "drives")) == ["e:"]
    assert host.outcome("E:", "/d") == (0, "", "")


@needs_loop
@pytest.mark.parametrize("beside", [None, "another attach"])
def test_a_crash_leftover_in_use_is_taken_down_once_let_go(host, loop_host, beside):
    """A crash leaves a mount that no record owns, and a process is in it: the
    start leaves it as it is, and once that process is gone the next attach
    takes it down rather than be refused its letter and disk for good, also
    when its mount was made while another attach went on."""
    disk = ext4_disk(host)
    assert host.run().returncode == 0
    crash_during(host, "MountAs.mounted", "E:", disk)
    user = subprocess.Popen(["sleep", "600"], cwd=host.prefix / "bmount" / "mnt" / "e")
    with fuse_export(host, ext4_disk(host, "slow.bxdk"), rate=131072) if beside \
            else contextlib.nullcontext((None, None)) as (slow, _):
        try:
            assert host.outcome() == (0, NONE_MOUNTED, "")
            assert host.run("E:", disk).returncode == 2
            assert host.run("E:", disk).returncode == 2
            # Said once, not at every look: the mount and its loop device.
            kept = [e for e in host.events() if "not in the table but in use" in e["strings"][-1]]
            assert len(kept) == 2, kept
            if slow:
                other = host.start("G:", slow)
                assert wait_until(lambda: os.path.exists(slow + ".lck"), timeout=60)
        finally:
            user.kill()
            user.wait()
        assert host.outcome("E:", disk) == (0, "", "")
        if slow:
            assert other.communicate(timeout=120) == (b"", b"")
            assert host.outcome("G:", "/d", timeout=120) == (0, "", "")
    assert host.outcome("E:", "/d") == (0, "", "")
    assert mounts_below(host.prefix) == []
