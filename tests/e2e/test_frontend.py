"""The command line, the usage and refusal paths, the version gate and the
event records, run through the real program."""

import os
import stat

import pytest

from conftest import BAD_ARG, HOWTO, USAGE


def assert_run(result, code, out):
    assert result.stdout.decode() == out
    assert result.returncode == code
    assert result.stderr == b""


@pytest.mark.parametrize("args", [["/?"], ["-?"], ["/?", "a", "b", "c"], ["/D"], ["/x"],
                                  ["Z:", "/?"], ["/v"], ["/?", "/"]])
def test_usage_exit_zero(host, args):
    assert_run(host.run(*args), 0, USAGE)
    assert host.events() == []


@pytest.mark.parametrize("args", [["a", "b", "c"], ["/"], ["/", "/?"]])
def test_usage_exit_one_without_record(host, args):
    assert_run(host.run(*args), 1, USAGE)
    assert host.events() == []


@pytest.mark.parametrize("args", [["Z:"], ["/d"], ["Z:", "/p"], ["Z:", "/d", "/p"],
                                  ["Z:", "disk.bxdk", "/d"]])
def test_invalid_arguments(host, args):
    (host.work / "disk.bxdk").write_bytes(b"x")
    assert_run(host.run(*args), 1, BAD_ARG)
    events = host.events()
    assert len(events) == 1
    e = events[0]
    assert e["eventIdHex"] == "0xE0000001"
    assert e["eventId"] == 0xE0000001
    assert e["type"] == "error"
    assert e["source"] == "brenix-mount"
    assert e["strings"] == [host.command_line(*args), BAD_ARG]
    assert e["message"] == f'Command "{host.command_line(*args)}" failed: {BAD_ARG}\r\n'


def test_missing_disk_named_by_its_full_path(host):
    expected = f"Unable to find the virtual disk '{host.work}/sub/missing.bxdk'.\n" + HOWTO
    assert_run(host.run("sub/../sub/missing.bxdk"), 1, expected)
    assert host.events()[0]["strings"][1] == expected


def test_drive_letter_with_backslash_is_a_path(host):
    # "Z:\\" is no drive letter, so with /d it takes the path branch.
    expected = f"Unable to find the virtual disk '{host.work}/Z:\\'.\n" + HOWTO
    assert_run(host.run("Z:\\", "/d"), 1, expected)


def test_existing_disk_without_p_is_bad_argument(host):
    (host.work / "disk.bxdk").write_bytes(b"x")
    assert_run(host.run("disk.bxdk"), 1, BAD_ARG)


def test_absolute_path_is_not_a_switch(host):
    # With /p missing the path branch refuses, naming the file: proof that
    # "/.../missing.bxdk" was read as a path and not as a group of switches.
    path = str(host.work / "missing.bxdk")
    assert_run(host.run(path), 1, f"Unable to find the virtual disk '{path}'.\n" + HOWTO)
    assert_run(host.run("E:", path, "/v:2"), 1,
               f"Unable to find the virtual disk '{path}'.\n" + HOWTO)


@pytest.mark.parametrize("version", ["1.4.10", "2.4.0", "2.4.99"])
@pytest.mark.parametrize("args", [["/?"], [], ["a", "b", "c"]])
def test_old_system_refused_whatever_the_arguments(host, version, args):
    text = "This program requires Windows 2000 or later.\n"
    assert_run(host.run(*args, env={"BRENIX_HOST_OSVERSION": version}), 1, text)
    events = host.events()
    assert [e["eventIdHex"] for e in events] == ["0xE0000001"]
    assert events[0]["strings"] == [host.command_line(*args), text]


@pytest.mark.parametrize("version", ["2.5.0", "2.10.0", "banana", "2.5", "1..4.10", ""])
def test_new_or_malformed_version_passes(host, version):
    assert_run(host.run("/?", env={"BRENIX_HOST_OSVERSION": version}), 0, USAGE)


def test_unwritable_registry_changes_only_the_record(host):
    host.run("/?")  # makes the prefix
    hklm = host.prefix / "registry" / "HKLM"
    for p in sorted(hklm.rglob("*"), reverse=True):
        p.unlink() if p.is_file() else p.rmdir()
    hklm.rmdir()
    hklm.write_text("not a folder")
    assert_run(host.run("Z:"), 1, BAD_ARG)
    assert host.events() == []


def test_blank_arguments_are_quoted_in_the_record(host):
    args = ["my disk.bxdk", "", "x"]
    assert_run(host.run(*args), 1, USAGE)  # three non-switch arguments
    assert_run(host.run("my disk.bxdk"), 1,
               f"Unable to find the virtual disk '{host.work}/my disk.bxdk'.\n" + HOWTO)
    assert host.events()[0]["strings"][0] == host.mount + ' "my disk.bxdk"'


def test_fresh_prefix_is_private_with_drive_c(host):
    host.run("/?")
    mode = stat.S_IMODE(os.stat(host.prefix).st_mode)
    assert mode == 0o700
    assert os.readlink(host.prefix / "drives" / "c:") == "/"
    # An existing prefix is never re-initialised.
    os.unlink(host.prefix / "drives" / "c:")
    host.run("/?")
    assert not os.path.lexists(host.prefix / "drives" / "c:")

