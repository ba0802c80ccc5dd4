"""Load on one mount service: 32 clients at once. Each usable drive letter
(D to Z, 23 of them) has a client that mounts its own disk there and
dismounts it again, round after round; the other 9 clients list the mounts
and a disk's volumes meanwhile. Every call must be answered with success,
nothing may stay mounted or locked at the end, and the service may not keep
descriptors or memory it took for the calls.

BRENIX_LOAD_ROUNDS sets the rounds per client (100 for a full run; the
default keeps the run short enough for CI)."""

import os
import shutil
import socket
import subprocess
import threading
import time

from conftest import wait_until

CLSID = "{F91031A3-644F-46F1-8ED5-B91F0E160879}"
SFDISK = shutil.which("sfdisk") or "/sbin/sfdisk"

ROUNDS = int(os.environ.get("BRENIX_LOAD_ROUNDS", "20"))
LETTERS = [chr(c) for c in range(ord("D"), ord("Z") + 1)]
CLIENTS = 32
READERS = CLIENTS - len(LETTERS)
# Memory the service may gain over the run (allocator slack, not leaks).
RSS_SLACK_KB = 4096


def accepting(host):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.connect(str(host.prefix / "run" / CLSID))
        return True
    except OSError:
        return False
    finally:
        s.close()


def open_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def settled_fds(pid):
    """The descriptor count once the connections of finished clients are closed."""
    last = open_fds(pid)
    for _ in range(50):
        time.sleep(0.1)
        now = open_fds(pid)
        if now == last:
            return now
        last = now
    return last


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def drive_entries(host):
    drives = host.prefix / "drives"
    return sorted(os.listdir(drives)) if drives.exists() else []


def make_disks(host, count):
    """count small images with one 1 MiB volume each (copies of one)."""
    first = host.work / "disk0.bxdk"
    with open(first, "wb") as f:
        f.truncate(4 << 20)
    subprocess.run([SFDISK, "-q", str(first)], input=b"label: dos\nstart=2048, size=2048, type=83\n",
                   check=True, capture_output=True)
    disks = [str(first)]
    for i in range(1, count):
        path = host.work / f"disk{i}.bxdk"
        shutil.copyfile(first, path)
        disks.append(str(path))
    return disks


class Client(threading.Thread):
    """Runs its calls one after another and keeps every unexpected answer."""

    def __init__(self, host, calls):
        super().__init__(daemon=True)
        self.host = host
        self.calls = calls
        self.failures = []
        self.answered = 0

    def run(self):
        for args, expected_out in self.calls:
            try:
                r = self.host.run(*args, timeout=120)
            except subprocess.TimeoutExpired:
                self.failures.append((args, "no answer"))
                continue
            self.answered += 1
            out = r.stdout.decode(errors="replace")
            if r.returncode != 0 or r.stderr or (expected_out is not None and out != expected_out):
                self.failures.append((args, r.returncode, out, r.stderr.decode(errors="replace")))


def test_many_clients_mount_and_dismount_their_own_letters(host):
    # Readers get disks of their own: /p refuses a disk that is mounted.
    disks = make_disks(host, CLIENTS)
    host.prefix.mkdir(parents=True, exist_ok=True)
    log = open(host.root / "service.log", "ab")
    service = subprocess.Popen([host.service, "--foreground", "--backend", "record"], env=host.env,
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    try:
        assert wait_until(lambda: accepting(host) or service.poll() is not None)
        assert service.poll() is None, (host.root / "service.log").read_text()

        # One round of everything first, so that what the service sets up
        # once (tables, caches, allocator arenas) is in the baseline.
        for letter, disk in zip(LETTERS, disks):
            assert host.run(f"{letter}:", disk).returncode == 0
            assert host.run(f"{letter}:", "/d").returncode == 0
        assert host.run(disks[0], "/p").returncode == 0
        assert host.run().stdout.decode() == "No volumes mounted.\n"
        fds_before, rss_before = settled_fds(service.pid), rss_kb(service.pid)
        drives_before = drive_entries(host)

        clients = []
        for letter, disk in zip(LETTERS, disks):
            calls = []
            for _ in range(ROUNDS):
                calls.append(((f"{letter}:", disk), ""))
                calls.append(((f"{letter.lower()}:", "/d"), ""))
            clients.append(Client(host, calls))
        for i in range(READERS):
            # Listings change under the readers: only their success is checked.
            own = disks[len(LETTERS) + i]
            calls = [((), None) if n % 2 == 0 else ((own, "/p"), "Volume 1 : 1 Mb\n")
                     for n in range(ROUNDS * 2)]
            clients.append(Client(host, calls))
        assert len(clients) == CLIENTS
        for c in clients:
            c.start()
        for c in clients:
            c.join()

        failures = [f for c in clients for f in c.failures]
        assert failures == []
        assert sum(c.answered for c in clients) == CLIENTS * ROUNDS * 2
        assert service.poll() is None

        # Nothing is left: no mount in the listing or the saved table, no
        # drive entry but the host's own, no lock file beside the disks.
        assert host.run().stdout.decode() == "No volumes mounted.\n"
        assert drive_entries(host) == drives_before
        tables = [p for p in host.prefix.rglob("mounts") if p.is_file()]
        assert tables
        for table in tables:
            assert "mount id=" not in table.read_text()
        assert sorted(p.name for p in host.work.iterdir()) == sorted(os.path.basename(d) for d in disks)

        # Client connections close shortly after each client exits.
        assert wait_until(lambda: open_fds(service.pid) <= fds_before), \
            (fds_before, open_fds(service.pid), os.listdir(f"/proc/{service.pid}/fd"))
        rss_after = rss_kb(service.pid)
        print(f"{ROUNDS} rounds: service descriptors {fds_before} -> {open_fds(service.pid)}, "
              f"VmRSS {rss_before} -> {rss_after} KB")
        assert rss_after - rss_before <= RSS_SLACK_KB, (rss_before, rss_after)
    finally:
        if service.poll() is None:
            service.terminate()
            service.wait(timeout=30)
        log.close()
