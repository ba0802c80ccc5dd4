"""Disk validation through the real program and mount service: which file a
listing or a mount ends up using when a virtual machine runs the disk under a
redo log or snapshot, the question and its answers, and the refusals."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest
from conftest import wait_until

SAMPLE_DISK = Path(__file__).resolve().parents[2] / "scripts" / "make-sample-disk"

VOLUMES = "Volume 1 : 20 Mb\nVolume 2 : 10 Mb\nVolume 3 : 5 Mb\n"
ASK = ("This disk is being used by a virtual machine that has an active snapshot.\n"
       "If you proceed, any changes you make are applied to the current version of\n"
       "the disk, and will be discarded if you revert to the snapshot. Do you\n"
       "wish to proceed (Y/N)? ")
SHORT_ABORT = "The virtual disk was not mounted.\n"
LONG_ABORT = ("The virtual disk was not mounted because a virtual machine using this disk\n"
              "is maintaining an active snapshot.\n")
READ_ONLY = "Brenix-mount cannot mount a read-only virtual disk.\n"
TWO_VOLUMES = ("Brenix-mount cannot mount two volumes from the same virtual disk.\n"
               "This disk is already mounted as drive E:.\n")
SUSPENDED = ("The disk cannot be mounted because it is attached to a suspended\n"
             "virtual machine.\n")


def sample(path: Path) -> Path:
    subprocess.run([str(SAMPLE_DISK), str(path)], check=True, capture_output=True)
    return path


def blank(path: Path) -> Path:
    """A file the service opens but finds no volumes in."""
    with open(path, "wb") as f:
        f.truncate(1 << 20)
    return path


def old_config(device, file_name):
    """A machine's configuration running file_name as an undoable disk."""
    return (f'config.version = "7"\n{device}.present = "TRUE"\n'
            f'{device}.fileName = "{file_name}"\n{device}.mode = "undoable"\n')


@pytest.fixture
def vm(host):
    """A machine folder with a mixed-case name: the base disk has no volumes,
    its redo log (named in another case) is a real disk."""
    folder = host.work / "VMs" / "Win XP (2)"
    folder.mkdir(parents=True)
    disk = blank(folder / "Disk.bxdk")
    redo = sample(folder / "disk.BXDK.redo")
    (folder / "Win.BXX").write_text(old_config("scsi0:0", "Disk.bxdk"))
    return folder, disk, redo


@pytest.mark.parametrize("switches, answer, code, out", [
    (["/y"], "", 0, VOLUMES),
    (["/y", "/n"], "", 1, LONG_ABORT),  # the later switch counts
    ([], "  Yes please\n", 0, ASK + VOLUMES),
    ([], "", 1, ASK + SHORT_ABORT),
])
def test_p_lists_the_redo_image(host, vm, switches, answer, code, out):
    _, disk, _ = vm
    assert host.outcome(str(disk), "/p", *switches, input=answer) == (code, out, "")
    if out == LONG_ABORT:
        assert host.events()[-1]["strings"][1] == LONG_ABORT


def test_mount_uses_the_redo_image(host, vm):
    folder, disk, redo = vm
    assert host.outcome("E:", str(disk), "/y") == (0, "", "")
    assert f"E:\\  =>  {redo}" in host.listing()
    # The image chosen in the disk's place, or a link to it, is the one mounted already.
    link = host.work / "link.bxdk"
    link.symlink_to(redo)
    for args in ([str(disk), "/y"], [str(link), "/v:2"]):
        assert host.outcome("F:", *args)[:2] == (1, TWO_VOLUMES)
    assert "F:\\" not in host.listing()


def test_a_question_nobody_could_read_mounts_nothing(host, vm):
    _, disk, _ = vm
    with open("/dev/full", "wb") as full:
        r = subprocess.run([host.mount, "E:", str(disk)], cwd=host.work, env=host.env,
                           input=b"y\n", stdout=full, stderr=subprocess.PIPE, timeout=60)
    assert (r.returncode, r.stderr) == (3, b"")
    assert "E:\\" not in host.listing()
    assert host.events()[-1]["strings"][1].startswith("No space left on device")


# The question holds nothing of the service: one stopped meanwhile is
# started again for the answer.
def test_an_answer_outlives_the_service(host, vm):
    _, disk, redo = vm
    asked = subprocess.Popen([host.mount, "E:", str(disk)], cwd=host.work, env=host.env,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert asked.stdout.read(len(ASK)) == ASK.encode()
    assert host.run_service("--stop").returncode == 0
    assert asked.communicate(b"y\n", timeout=60) == (b"", b"") and asked.returncode == 0
    assert f"E:\\  =>  {redo}" in host.listing()


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_a_scan_outlives_the_service(host):
    """A client held up in its look at the folder (stopped, say), after it
    read the mounts, attaches through a service restarted meanwhile."""
    disk = sample(host.work / "disk.bxdk")
    assert "=>" not in host.listing()  # serving: the first folder the client lists is the disk's
    trace = host.root / "trace"
    held = subprocess.Popen(["strace", "-o", trace, "-e", "trace=getdents64", "-e",
                             "inject=getdents64:delay_enter=5000000:when=1", host.mount, "E:",
                             disk], cwd=host.work, env=host.env, stdout=subprocess.PIPE)
    assert wait_until(lambda: trace.exists() and "getdents64(" in trace.read_text())
    assert host.run_service("--stop").returncode == 0
    assert held.communicate(timeout=60) == (b"", None) and held.returncode == 0
    assert f"E:\\  =>  {disk}" in host.listing()


def test_read_only_and_suspended_are_refused(host, vm):
    folder, disk, _ = vm
    (folder / "win.bxss").write_bytes(b"")
    assert host.outcome("E:", str(disk), "/y")[:2] == (1, SUSPENDED)

    plain = sample(host.work / "ro.bxdk")
    os.chmod(plain, 0o444)
    assert host.outcome("E:", str(plain))[:2] == (1, READ_ONLY)
    assert host.events()[-1]["eventIdHex"] == "0xE0000001"
    assert "E:\\" not in host.listing()


def test_names_of_others_making_do_not_reach_the_terminal_raw(host):
    """A configuration named with a terminal's control sequence, which the
    program must quote: as "?" in what it says, on either stream."""
    disk = sample(host.work / "disk.bxdk")
    (host.work / "e\x1b]0;title\x07.bxx").write_text(
        'config.version = "8"\nscsi0:0.present = "TRUE"\nscsi0:0.fileName = "disk.bxdk"\n= x\n')
    code, out, err = host.outcome(str(disk), "/p")
    assert code == 1 and "e?]0;title?.bxx" in out + err
    assert "\x1b" not in out + err and "\x07" not in out + err
    # Nor does a disk's own name, in the listing of what is attached.
    (host.work / "d").mkdir()
    named = sample(host.work / "d" / "d\u009b2J.bxdk")  # the service takes no C0 in a path
    assert host.outcome("E:", str(named)) == (0, "", "")
    assert f"E:\\  =>  {host.work}/d/d?2J.bxdk\n" in host.listing()
    assert host.outcome("E:", "/d") == (0, "", "")


@pytest.mark.parametrize("name, shown", [
    (b"x\rVolume 1 : 20 Mb\nVolume 2 : 10 Mb\nVolume 3 : 5 Mb\n\n",
     b"x?Volume 1 : 20 Mb?Volume 2 : 10 Mb?Volume 3 : 5 Mb??"),
    (b"csi \x9b2J", b"csi ?2J"),  # no UTF-8: a control to some terminals
])
def test_a_name_cannot_forge_a_line_of_what_the_program_says(host, name, shown):
    """A configuration's name with line ends of its own, or a byte that is no
    UTF-8, on either stream: shown as "?", never as lines or controls."""
    disk = sample(host.work / "disk.bxdk")
    with open(os.path.join(bytes(host.work), name + b".bxx"), "w") as f:
        f.write('config.version = "8"\nscsi0:0.present = "TRUE"\n'
                'scsi0:0.fileName = "disk.bxdk"\n= x\n')
    r = host.run(str(disk), "/p")
    config = bytes(host.work) + b"/" + shown + b".bxx"
    assert (r.returncode, r.stdout) == (
        1, b"The snapshot state of the virtual machine configured in\n'" + config +
        b"' cannot be read: Dictionary problem.\nThe disk was not mounted.\n")
    assert r.stderr == b"SNAPSHOT: Unable to load dict from '" + config + b"'.\n"
