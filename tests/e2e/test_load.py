"""Load on one mount service: 32 clients at once, one per usable drive letter
(D to Z) mounting and dismounting its own disk, the other 9 listing mounts
and volumes. Every call must succeed, nothing may stay mounted or locked and
the service may keep no descriptors or memory of the calls.
BRENIX_LOAD_ROUNDS: rounds per client (100 for a full run; less for CI)."""

import os
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

from conftest import NONE_MOUNTED, make_disk, wait_until

ROUNDS = int(os.environ.get("BRENIX_LOAD_ROUNDS", "20"))
LETTERS = [chr(c) for c in range(ord("D"), ord("Z") + 1)]
CLIENTS = 32
# Memory the service may gain over the run (allocator slack, not leaks).
RSS_SLACK_KB = 4096


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
        return int(f.read().split("VmRSS:")[1].split()[0])


def run_calls(host, calls):
    """Runs the calls one after another; returns every unexpected answer."""
    failures = []
    for args, expected_out in calls:
        try:
            r = host.run(*args, timeout=120)
        except subprocess.TimeoutExpired:
            failures.append((args, "no answer"))
            continue
        out = r.stdout.decode(errors="replace")
        if r.returncode != 0 or r.stderr or (expected_out is not None and out != expected_out):
            failures.append((args, r.returncode, out, r.stderr.decode(errors="replace")))
    return failures


def test_many_clients_mount_and_dismount_their_own_letters(host, foreground):
    # Readers get disks of their own: /p refuses a disk that is mounted.
    disks = [make_disk(host, f"disk{i}.bxdk", "label: dos\nstart=2048, size=2048, type=83\n",
                       4 << 20) for i in range(CLIENTS)]
    service = foreground("--backend", "record")
    assert service.poll() is None, (host.root / "service.log").read_text()

    def clients(rounds):
        mounters = [[((f"{letter}:", disk), ""), ((f"{letter.lower()}:", "/d"), "")] * rounds
                    for letter, disk in zip(LETTERS, disks)]
        # Listings change under the readers: only their success is checked.
        readers = [[((), None), ((own, "/p"), "Volume 1 : 1 Mb\n")] * rounds
                   for own in disks[len(LETTERS):]]
        assert len(mounters + readers) == CLIENTS
        return mounters + readers

    def run_all(rounds):
        with ThreadPoolExecutor(max_workers=CLIENTS) as pool:
            assert sum(pool.map(lambda calls: run_calls(host, calls), clients(rounds)), []) == []

    # A few rounds of everything at once first, so that what the service
    # sets up once (tables, caches, an allocator arena for each thread that
    # ran at once) is in the baseline.
    run_all(2)
    assert host.listing() == NONE_MOUNTED
    fds_before, rss_before = settled_fds(service.pid), rss_kb(service.pid)
    drives_before = sorted(os.listdir(host.prefix / "drives"))

    run_all(ROUNDS)
    assert service.poll() is None

    # Nothing is left: no mount in the listing or the saved table, no
    # drive entry but the host's own, no lock file beside the disks.
    assert host.listing() == NONE_MOUNTED
    assert sorted(os.listdir(host.prefix / "drives")) == drives_before
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
