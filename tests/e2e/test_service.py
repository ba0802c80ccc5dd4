"""The mount service executable: its commands, one instance per prefix,
activation by the first clients at once, and what it flushes to the disk."""

import fcntl
import os
import resource
import select
import shutil
import socket
import subprocess
import time
from pathlib import Path

import pytest

from conftest import CLSID, accepting, make_disk, processes_of, serving_pid, wait_until


def two_volume_disk(host, name="disk.bxdk"):
    """A raw image with two volumes: 2 MiB and 1 MiB."""
    return make_disk(host, name, "label: dos\nstart=2048, size=4096, type=83\n"
                     "start=8192, size=2048, type=83\n", 8 << 20)


def test_register_and_unregister(host):
    r = host.run_service("--register")
    assert r.returncode == 0, r.stderr
    value = host.prefix / "registry/HKLM/Software/Classes/CLSID" / CLSID / "LocalServer32/@"
    assert value.read_text() == "REG_SZ\n" + host.service + "\n"
    assert host.run_service("--unregister").returncode == 0
    assert not value.exists()
    assert host.run_service("--unregister").returncode == 0


@pytest.mark.parametrize("args, env, code, err", [
    (args, {}, 2, b"usage: bmount-service") for args in
    (["--bogus"], ["--register", "--stop"], ["--stop", "--foreground"], ["--fault-plan"],
     ["--backend"])] + [
    (["--foreground", "--backend", "tape"], {}, 1, b'unknown backend "tape"'),
    (["--foreground"], {"BRENIX_MOUNT_BACKEND": "tape"}, 1, b'unknown backend "tape"'),
    (["--stop"], {}, 0, b""),  # when none serves
])
def test_command_line(host, args, env, code, err):
    r = host.run(*args, env=env, program=host.service, timeout=30)
    assert r.returncode == code
    assert err in r.stderr if err else r.stderr == b""
    assert not host.endpoint.exists()


def test_one_instance_per_prefix(host, foreground):
    first = foreground()
    assert first.poll() is None and serving_pid(host) == first.pid
    assert host.run_service().returncode == 0  # finds it serving and leaves
    assert host.run_service("--foreground", timeout=10).returncode == 0
    assert serving_pid(host) == first.pid
    assert host.run_service("--stop").returncode == 0
    assert first.wait(timeout=10) == 0
    assert not accepting(host)
    assert not host.endpoint.exists()
    # One on its way out holds the lock after its endpoint is gone: one
    # started meanwhile takes over once it lets go.
    with open(host.prefix / "run" / "bmount-service.lock", "a") as leaving:
        fcntl.flock(leaving, fcntl.LOCK_EX)
        successor = subprocess.Popen([host.service, "--foreground"], env=host.env,
                                     stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.3)
        assert successor.poll() is None and not accepting(host)
    assert wait_until(lambda: accepting(host)) and serving_pid(host) == successor.pid
    assert host.run_service("--stop").returncode == 0 and successor.wait(timeout=10) == 0


def test_first_clients_at_once_share_one_server(host):
    disk = two_volume_disk(host)
    runs = [host.start(*args) for args in ([], [disk, "/p"])]
    for p, out in zip(runs, [b"No volumes mounted.\n", b"Volume 1 : 2 Mb\nVolume 2 : 1 Mb\n"]):
        assert p.communicate(timeout=60) == (out, b"")
        assert p.returncode == 0
    # The one that found the other starting leaves once that one accepts.
    assert wait_until(lambda: processes_of(host, host.service) == [serving_pid(host)])
    idle = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    idle.connect(str(host.endpoint))  # a connected client that says nothing blocks no one
    try:
        r = host.run(disk, "/p")
        assert (r.returncode, r.stdout) == (0, b"Volume 1 : 2 Mb\nVolume 2 : 1 Mb\n")
    finally:
        idle.close()


def test_out_of_descriptors_clients_wait_their_turn(host, foreground):
    """Clients past the descriptors the service may open wait in the
    endpoint's queue without it spinning, and are served once others leave."""
    p = foreground(wrapper=["sh", "-c", 'ulimit -n 24 && exec "$@"', "sh"])
    idle = [socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) for _ in range(30)]
    for s in idle:
        s.connect(str(host.endpoint))

    def cpu_ticks():
        fields = (Path("/proc") / str(p.pid) / "stat").read_text().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    before = cpu_ticks()
    time.sleep(2)
    assert cpu_ticks() - before < 5
    for s in idle:
        s.close()
    assert host.outcome() == (0, "No volumes mounted.\n", "")


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_only_a_new_mount_is_flushed_to_the_disk(host, foreground):
    """Every change to the table is saved, but only a new mount is worth a
    flush: a crash of the machine takes every client, loop device and mount
    with it, and the next start finds a dismount again by itself."""
    disk = two_volume_disk(host)
    assert host.run_service("--register").returncode == 0  # the prefix made beforehand
    trace = host.root / "trace"
    p = foreground(wrapper=["strace", "-f", "-qq", "-s", "4096", "-o", str(trace), "-e",
                            "trace=fsync,fdatasync,rename,renameat,renameat2"])
    assert host.run("E:", disk).returncode == 0
    assert host.run("E:", "/d").returncode == 0
    assert host.run_service("--stop").returncode == 0
    p.wait(timeout=30)
    calls = trace.read_text().splitlines()
    saves = [c for c in calls if "rename" in c and '/bmount/mounts"' in c]
    assert len(saves) == 3, calls  # the id handed out, the mount, the dismount
    # The table of the new mount and its volume file, each with its folder.
    assert len([c for c in calls if "fsync(" in c]) == 4, calls


# A client's soft limits are not the service's it starts: the table and the
# drive are still written, and a second of processor time does not end it.
@pytest.mark.parametrize("limit", [resource.RLIMIT_FSIZE, resource.RLIMIT_CPU])
def test_started_under_a_small_soft_limit(host, limit):
    disk = two_volume_disk(host)
    assert host.run_service("--register").returncode == 0
    soft = (1, resource.RLIM_INFINITY)
    r = subprocess.run([host.mount, "E:", disk], cwd=host.work, env=host.env, capture_output=True,
                       timeout=60, preexec_fn=lambda: resource.setrlimit(limit, soft))
    assert (r.returncode, r.stdout) == (0, b"")
    assert resource.prlimit(serving_pid(host), limit)[0] == resource.RLIM_INFINITY
    assert host.listing() == f"E:\\  =>  {disk}\n\n"
    assert host.outcome("E:", "/d") == (0, "", "")


# The umask of the first client is not the service's: its state stays its
# own, and the lock file beside a user's disk writable by no one else.
@pytest.mark.parametrize("mask, lock", [(0, 0o644), (0o777, 0o600)])
def test_started_under_an_odd_umask(host, mask, lock):
    disk = two_volume_disk(host)
    r = subprocess.run([host.mount, "E:", disk], cwd=host.work, env=host.env, capture_output=True,
                       timeout=60, preexec_fn=lambda: os.umask(mask))
    assert (r.returncode, r.stdout) == (0, b"")
    modes = [os.stat(p).st_mode & 0o777 for p in (disk + ".lck", host.prefix / "bmount/mounts")]
    assert modes == [lock, 0o600]
    assert host.outcome("E:", "/d") == (0, "", "")


# A pipe the service's starter was handed (whoever started that waits for
# the end of it) is not held open for good by the service.
@pytest.mark.parametrize("starter", ["client", "service"])
def test_started_holding_a_pipe_of_its_starters(host, starter):
    done, held = os.pipe()
    program = host.mount if starter == "client" else host.service
    r = subprocess.run([program], cwd=host.work, env=host.env, capture_output=True,
                       timeout=60, pass_fds=(held,))
    os.close(held)
    assert r.returncode == 0 and accepting(host)
    assert select.select([done], [], [], 5)[0] == [done] and os.read(done, 1) == b""
