"""Fixtures for end-to-end tests: the built programs run in a private host
prefix each, so tests never touch the machine's own state or each other's."""

import json
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

BIN_DIR = Path(os.environ.get("BRENIX_BIN_DIR", Path(__file__).resolve().parents[2] / "build" / "bin"))


def wait_until(predicate, timeout=20.0):
    """Polls predicate until it holds or timeout seconds pass; its last value."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class Host:
    """One private host prefix and helpers to run the programs in it."""

    def __init__(self, root: Path):
        self.root = root
        self.prefix = root / "host"
        self.work = root / "work"
        self.work.mkdir()
        self.env = dict(os.environ)
        self.env["BRENIX_HOST_PREFIX"] = str(self.prefix)
        self.env.pop("BRENIX_HOST_OSVERSION", None)
        # The record backend, which any user can run and tests can inspect;
        # the tests of real attachment choose the loop backend themselves.
        self.env["BRENIX_MOUNT_BACKEND"] = "record"

    @property
    def mount(self) -> str:
        return str(BIN_DIR / "brenix-mount")

    @property
    def service(self) -> str:
        return str(BIN_DIR / "bmount-service")

    def run(self, *args, env=None, input="", timeout=60, program=None):
        """Runs brenix-mount (or another program) with the given arguments."""
        full_env = dict(self.env)
        for key, value in (env or {}).items():
            if value is None:
                full_env.pop(key, None)
            else:
                full_env[key] = value
        return subprocess.run(
            [program or self.mount, *args],
            cwd=self.work,
            env=full_env,
            input=input.encode() if isinstance(input, str) else input,
            capture_output=True,
            timeout=timeout,
        )

    def events(self):
        """The records of the application event log, oldest first."""
        log = self.prefix / "eventlog" / "Application.jsonl"
        if not log.exists():
            return []
        return [json.loads(line) for line in log.read_text(encoding="utf-8").splitlines()]

    def command_line(self, *args):
        """The command line the host reports for a run of brenix-mount."""
        def quote(a):
            return f'"{a}"' if a == "" or " " in a or "\t" in a else a
        return " ".join(quote(a) for a in [self.mount, *args])


@pytest.fixture
def host():
    root = Path(tempfile.mkdtemp(prefix="brenix-e2e-"))
    h = Host(root)
    yield h
    if (BIN_DIR / "bmount-service").exists() and h.prefix.exists():
        subprocess.run([str(BIN_DIR / "bmount-service"), "--stop"], env=h.env,
                       capture_output=True, timeout=30)
    shutil.rmtree(root, ignore_errors=True)


USAGE = (
    "Brenix-mount [driveletter:] [path-to-virtual-disk] [options]\n"
    "Brenix Drivelink Utility version 1.5.1 build-23733\n"
    "\n"
    "This utility mounts Brenix virtual disks under Microsoft Windows.\n"
    "Use \"Brenix-mount\" without arguments to list the currently-mounted volumes.\n"
    "\n"
    "  /d    deletes the mapping to a virtual drive volume\n"
    "  /f    forcibly deletes the mapping to a virtual drive volume\n"
    "  /v:N  mounts volume N of a virtual disk\n"
    "  /p    displays the partitions (volumes) on a virtual disk\n"
    "  /y    open the virtual disk whether or not a snapshot is in effect\n"
    "  /n    do not open the virtual disk if a snapshot is in effect\n"
    "  /?    displays this usage information\n"
    "\n"
)

HOWTO = "Use \"Brenix-mount /?\" for usage information.\n"
BAD_ARG = "Invalid or missing parameter on command line.\n" + HOWTO
UNEXPECTED = ("An unexpected error has occurred.  Details have been saved in the Application\n"
              "event log.\n")
