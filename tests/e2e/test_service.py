"""The mount service executable: its commands, one instance per prefix,
activation on demand, mounts that outlive the process, termination, the
fault plan, and connections that misbehave."""

import os
import shutil
import signal
import socket
import struct
import subprocess
import time

import pytest

from conftest import wait_until

CLSID = "{F91031A3-644F-46F1-8ED5-B91F0E160879}"
CLASS_KEY = ("registry/HKLM/Software/Classes/CLSID/" + CLSID + "/LocalServer32")


def endpoint(host):
    return host.prefix / "run" / CLSID


def service(host, *args, timeout=30):
    return host.run(*args, program=host.service, timeout=timeout)


def connect(host):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(str(endpoint(host)))
    return s


def accepting(host):
    try:
        connect(host).close()
        return True
    except OSError:
        return False


def serving_pid(host):
    text = (host.prefix / "run" / "bmount-service.lock").read_text().strip()
    return int(text) if text else 0


def make_disk(host, name="disk.bxdk"):
    """A raw image with two volumes: 2 MiB and 1 MiB."""
    path = host.work / name
    with open(path, "wb") as f:
        f.truncate(8 << 20)
    script = b"label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=2048, type=83\n"
    subprocess.run(["/usr/sbin/sfdisk", "-q", str(path)], input=script, check=True,
                   capture_output=True)
    return str(path)


@pytest.fixture
def foreground(host):
    """Starts `bmount-service --foreground [args]` and stops it at the end."""
    started = []

    def start(*args):
        host.prefix.mkdir(parents=True, exist_ok=True)
        log = open(host.root / "service.log", "ab")
        p = subprocess.Popen([host.service, "--foreground", *args], env=host.env,
                             stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        started.append(p)
        assert wait_until(lambda: accepting(host) or p.poll() is not None)
        return p

    yield start
    for p in started:
        if p.poll() is None:
            p.terminate()
            p.wait(timeout=30)


def test_register_and_unregister(host):
    r = service(host, "--register")
    assert r.returncode == 0, r.stderr
    value = host.prefix / CLASS_KEY / "@"
    assert value.read_text() == "REG_SZ\n" + host.service + "\n"
    assert service(host, "--unregister").returncode == 0
    assert not value.exists()
    assert service(host, "--unregister").returncode == 0


def test_command_line_errors(host):
    for args in (["--bogus"], ["--register", "--stop"], ["--stop", "--foreground"],
                 ["--fault-plan"], ["--backend"]):
        r = service(host, *args)
        assert r.returncode == 2, args
        assert b"usage: bmount-service" in r.stderr
    for args, env in ((["--backend", "tape"], {}), ([], {"BRENIX_MOUNT_BACKEND": "tape"})):
        r = host.run("--foreground", *args, env=env, program=host.service, timeout=30)
        assert r.returncode == 1
        assert b'unknown backend "tape"' in r.stderr
        assert not endpoint(host).exists()


def test_stop_when_none_serves(host):
    r = service(host, "--stop")
    assert r.returncode == 0
    assert r.stderr == b""


def test_one_instance_per_prefix(host, foreground):
    first = foreground()
    assert first.poll() is None
    started = time.monotonic()
    second = service(host, "--foreground", timeout=10)
    assert second.returncode == 0
    assert time.monotonic() - started < 5
    assert first.poll() is None
    assert serving_pid(host) == first.pid

    assert service(host, "--stop").returncode == 0
    assert first.wait(timeout=10) == 0
    assert not endpoint(host).exists()


def test_detached_start_returns_once_serving(host):
    r = service(host)
    assert r.returncode == 0
    assert accepting(host)
    pid = serving_pid(host)
    assert pid > 0 and pid != os.getpid()
    assert service(host, "--stop").returncode == 0
    assert not accepting(host)


def test_cold_activation_and_persistence(host):
    disk = make_disk(host)
    r = host.run("E:", disk, "/v:2")
    assert r.returncode == 0, r.stdout
    pid = serving_pid(host)
    assert pid > 0
    link = host.prefix / "drives" / "e:"
    assert os.readlink(link) == str(host.prefix / "bmount" / "volumes" / "1")
    assert (host.prefix / "bmount" / "volumes" / "1" / "volume").read_text() == (
        f"disk={disk}\nvolume=2\noffset=4194304\nlength=1048576\n")

    assert service(host, "--stop").returncode == 0
    assert not accepting(host)
    assert os.path.islink(link)  # the drive stays while no service runs

    r = host.run()  # starts a new instance, which restores the table
    assert r.stdout.decode() == f"E:\\  =>  {disk}\n\n"
    assert serving_pid(host) != pid
    assert host.run("E:", "/d").returncode == 0
    assert not os.path.lexists(link)
    assert host.run().stdout.decode() == "No volumes mounted.\n"


def test_sigterm_saves_and_exits(host, foreground):
    disk = make_disk(host)
    p = foreground()
    assert host.run("F:", disk).returncode == 0
    p.send_signal(signal.SIGTERM)
    assert p.wait(timeout=10) == 0
    assert not endpoint(host).exists()
    table = (host.prefix / "bmount" / "mounts").read_text()
    assert f"letter=f backend=record disk={disk}\n" in table
    assert host.run().stdout.decode() == f"F:\\  =>  {disk}\n\n"


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_only_a_new_mount_is_flushed_to_the_disk(host):
    """Every change to the table is saved, but only a new mount is worth a
    flush: a crash of the machine takes every client, loop device and mount
    with it, and the next start finds a dismount again by itself."""
    disk = make_disk(host)
    assert service(host, "--register").returncode == 0  # the prefix made beforehand
    trace = host.root / "trace"
    p = subprocess.Popen(["strace", "-f", "-qq", "-s", "4096", "-o", str(trace),
                          "-e", "trace=fsync,fdatasync,rename,renameat,renameat2",
                          host.service, "--foreground"], env=host.env,
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    try:
        assert wait_until(lambda: accepting(host) or p.poll() is not None)
        assert host.run("E:", disk).returncode == 0
        assert host.run("E:", "/d").returncode == 0
    finally:
        assert service(host, "--stop").returncode == 0
        p.wait(timeout=30)
    calls = trace.read_text().splitlines()
    saves = [c for c in calls if "rename" in c and '/bmount/mounts"' in c]
    assert len(saves) == 3, calls  # the id handed out, the mount, the dismount
    # The table of the new mount and its volume file, each with its folder.
    assert len([c for c in calls if "fsync(" in c]) == 4, calls


def test_two_clients_at_once(host, foreground):
    disk = make_disk(host)
    foreground()
    idle = connect(host)  # a connected client that says nothing blocks no one
    try:
        runs = [subprocess.Popen([host.mount, disk, "/p"], env=host.env, cwd=host.work,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for _ in range(2)]
        for p in runs:
            out, _ = p.communicate(timeout=30)
            assert p.returncode == 0
            assert out.decode() == "Volume 1 : 2 Mb\nVolume 2 : 1 Mb\n"
    finally:
        idle.close()


@pytest.mark.parametrize("garbage", [
    struct.pack("<I", (1 << 20) + 1) + b"x" * 16,       # oversized frame
    struct.pack("<I", 12) + b"\x02\x00",                # truncated, then closed
    struct.pack("<I", 4) + b"\xff\xff\xff\xff",         # unknown message
    struct.pack("<I", 1) + b"\x02",                     # call without its fields
])
def test_garbage_frames_close_only_that_connection(host, foreground, garbage):
    p = foreground()
    bystander = connect(host)
    s = connect(host)
    s.sendall(garbage)
    s.shutdown(socket.SHUT_WR)
    s.settimeout(10)
    try:
        while s.recv(4096):
            pass
    except ConnectionResetError:
        pass
    s.close()
    assert p.poll() is None
    r = host.run()
    assert r.returncode == 0
    assert r.stdout.decode() == "No volumes mounted.\n"
    bystander.close()


def test_fault_plan_followed_while_serving(host, foreground):
    disk = make_disk(host)
    plan = host.work / "plan"
    plan.write_text("# refuse mounts\nIMount.MountAs 0x80004005 Access denied by policy\n")
    foreground("--fault-plan", str(plan))
    r = host.run("E:", disk)
    assert r.returncode == 2
    assert "Access denied by policy" in host.events()[-1]["message"]
    assert not os.path.lexists(host.prefix / "drives" / "e:")

    plan.write_text('listing id=9 file="/vms/other.bxdk" driveLetter="q:"\n')
    assert host.run("E:", disk).returncode == 0
    assert host.run().stdout.decode() == (f"E:\\  =>  {disk}\nQ:\\  =>  /vms/other.bxdk\n\n")
    plan.unlink()
    assert host.run().stdout.decode() == f"E:\\  =>  {disk}\n\n"
