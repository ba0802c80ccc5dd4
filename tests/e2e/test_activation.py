"""Activation of the mount service on demand: concurrent first runs share
one server."""

import os
import subprocess
from pathlib import Path

from conftest import BIN_DIR


def services_of(host):
    """Process ids of bmount-service processes serving this host's prefix."""
    pids = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if os.readlink(entry / "exe") != str(BIN_DIR / "bmount-service"):
                continue
            environ = (entry / "environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if f"BRENIX_HOST_PREFIX={host.prefix}".encode() in environ:
            pids.append(int(entry.name))
    return pids


def test_two_first_runs_at_once_share_one_server(host):
    clients = [subprocess.Popen([host.mount], cwd=host.work, env=host.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
               for _ in range(2)]
    for c in clients:
        out, err = c.communicate(timeout=60)
        assert (c.returncode, out, err) == (0, b"No volumes mounted.\n", b"")
    assert len(services_of(host)) == 1

