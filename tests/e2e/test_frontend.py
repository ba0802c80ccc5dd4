"""The command line, the usage and refusal paths, the version gate and the
event records, run through the real program."""

import os
import re
import resource
import shutil
import subprocess

import pytest

from conftest import BAD_ARG, HOWTO, USAGE


# Which arguments ask for help or stop the scan is args_test's table; here,
# what each outcome prints and returns.
@pytest.mark.parametrize("args, code", [
    (["/?"], 0), (["Z:", "/?"], 0), (["/x"], 0), (["a", "b", "c"], 1), (["/", "/?"], 1),
    (["my disk.bxdk", "", "x"], 1),  # three non-switch arguments
])
def test_usage_without_record(host, args, code):
    assert host.outcome(*args) == (code, USAGE, "")
    assert host.events() == []


def missing(path):
    return f"Unable to find the virtual disk '{path}'.\n" + HOWTO


# Which command lines are refused is args_test's table; here, the record
# of each kind of refusal.
@pytest.mark.parametrize("args, out", [
    (["Z:", "/d", "/p"], BAD_ARG),
    (["sub/../sub/missing.bxdk"], missing("{work}/sub/missing.bxdk")),  # named by its full path
    (["my disk.bxdk"], missing("{work}/my disk.bxdk")),  # quoted in the record
    # Read as paths, not as groups of switches.
    (["{work}/missing.bxdk"], missing("{work}/missing.bxdk")),
    (["E:", "{work}/missing.bxdk", "/v:2"], missing("{work}/missing.bxdk")),
])
def test_refusals_are_recorded(host, args, out):
    args = [a.format(work=host.work) for a in args]
    out = out.format(work=host.work)
    assert host.outcome(*args) == (1, out, "")
    command = host.command_line(*args)
    assert [(e["eventIdHex"], e["eventId"], e["type"], e["source"], e["strings"], e["message"])
            for e in host.events()] == [("0xE0000001", 0xE0000001, "error", "brenix-mount",
                                         [command, out], f'Command "{command}" failed: {out}\r\n')]


# A listing or usage text lost on a full disk, a closed descriptor or a pipe
# nobody reads is no success (nor a death by signal); a refusal keeps its code.
@pytest.mark.parametrize("output, error", [("full", "No space left on device"),
                                           ("closed", "Bad file descriptor"),
                                           ("pipe", "Broken pipe")])
@pytest.mark.parametrize("args, code", [([], 3), (["/?"], 3), (["a", "b", "c"], 1)])
def test_lost_output_fails(host, args, code, output, error):
    unread, pipe = os.pipe()
    os.close(unread)
    with open("/dev/full", "wb") as full:
        wrapper = ["sh", "-c", 'exec "$@" >&-', "sh"] if output == "closed" else []
        r = subprocess.run([*wrapper, host.mount, *args], cwd=host.work, env=host.env,
                           stdout=pipe if output == "pipe" else full, stderr=subprocess.PIPE,
                           timeout=60)
    os.close(pipe)
    assert (r.returncode, r.stderr) == (code, b"")
    lost = error + r" at apps/brenix-mount/\S+ while writing standard output"
    assert [bool(re.fullmatch(lost, e["strings"][1])) for e in host.events()] == [True] * (code == 3)


# Past the file size limit only the record is lost, and the log stays whole
# (a record cut short is taken back); the refusal is shown as always.
@pytest.mark.parametrize("room", [0, 40])
def test_file_size_limit_costs_only_the_record(host, room):
    disk = f"{host.work}/missing.bxdk"
    host.run(disk)  # a first record: the log exists
    log = host.prefix / "eventlog" / "Application.jsonl"
    before = log.read_bytes()
    limit = len(before) + room
    r = subprocess.run([host.mount, disk], cwd=host.work, env=host.env, capture_output=True,
                       timeout=60,
                       preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
    assert (r.returncode, r.stdout.decode(), r.stderr) == (1, missing(disk), b"")
    assert log.read_bytes() == before


@pytest.mark.parametrize("version", ["1.4.10", "2.4.0", "2.4.99"])
@pytest.mark.parametrize("args", [["/?"], [], ["a", "b", "c"]])
def test_old_system_refused_whatever_the_arguments(host, version, args):
    text = "This program requires Windows 2000 or later.\n"
    assert host.outcome(*args, env={"BRENIX_HOST_OSVERSION": version}) == (1, text, "")
    events = host.events()
    assert [e["eventIdHex"] for e in events] == ["0xE0000001"]
    assert events[0]["strings"] == [host.command_line(*args), text]


@pytest.mark.parametrize("version", ["2.5.0", "2.10.0", "banana", "2.5", "1..4.10", ""])
def test_new_or_malformed_version_passes(host, version):
    assert host.outcome("/?", env={"BRENIX_HOST_OSVERSION": version}) == (0, USAGE, "")


def test_unwritable_registry_changes_only_the_record(host):
    host.run("/?")  # makes the prefix
    hklm = host.prefix / "registry" / "HKLM"
    shutil.rmtree(hklm)
    hklm.write_text("not a folder")
    assert host.outcome("Z:") == (1, BAD_ARG, "")
    assert host.events() == []


def test_existing_prefix_is_never_reinitialised(host):
    host.run("/?")  # what a fresh prefix holds is a unit test of the prefix
    os.unlink(host.drive("c:"))
    host.run("/?")
    assert not os.path.lexists(host.drive("c:"))
