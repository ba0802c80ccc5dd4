"""The installed tree (both programs in one bin folder, the manual pages, the
systemd units), the units checked by systemd where it is installed, and the
service serving on a socket handed over the way systemd does it."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path

import pytest

from conftest import BIN_DIR, CLSID, exited, make_disk, serving_pid, wait_until

BUILD_DIR = BIN_DIR.parent
SOURCE_DIR = Path(__file__).resolve().parents[2]
UNITS = ("bmount-service.socket", "bmount-service.service")
# The programs the tests and scripts run: a test whose tool is missing skips,
# so scripts/setup must bring each to a fresh machine.
TOOLS = ("strace", "man", "systemd-analyze", "setpriv", "useradd", "fusermount3", "qemu-img",
         "qemu-storage-daemon", "sfdisk", "losetup", "mkfs.ext4", "mkfs.xfs", "mkfs.btrfs",
         "debugfs", "chattr", "lintian", "clang++", "ccache", "setfacl", "qemu-io")


def words_of(text, pattern):
    block = re.search(pattern, text, re.S | re.M).group(1)
    return [w for line in block.splitlines() for w in line.split("#")[0].split()]


def build_needs():
    """debian/control's build dependencies, and what dpkg-buildpackage adds to them."""
    names = words_of((SOURCE_DIR / "debian/control").read_text(), r"^Build-Depends:(.*?)^\S")
    names = [n.rstrip(",") for n in names if re.fullmatch(r"[a-z0-9][a-z0-9.+-]*,?", n)]
    return ["debhelper" if n == "debhelper-compat" else n for n in names] + ["build-essential"]


def owner_of(tool):
    path = shutil.which(tool, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
    assert path, f"{tool} is not installed"
    paths = {path, re.sub(r"^/usr/", "/", path)}  # registered before /usr was merged
    out = subprocess.run(["dpkg", "-S", *paths], capture_output=True, text=True).stdout
    return out.split(":")[0].split(",")[0]


@pytest.fixture(scope="module")
def installed():
    """The build installed below a temporary DESTDIR with the prefix /usr."""
    cmake = shutil.which("cmake")
    if cmake is None or not (BUILD_DIR / "CMakeCache.txt").exists():
        pytest.skip("no cmake, or the programs were not built by cmake here")
    root = Path(tempfile.mkdtemp(prefix="brenix-install-"))
    env = dict(os.environ, DESTDIR=str(root))
    r = subprocess.run([cmake, "--install", str(BUILD_DIR), "--prefix", "/usr"], env=env,
                       capture_output=True, timeout=120)
    assert r.returncode == 0, r.stderr
    yield root
    shutil.rmtree(root, ignore_errors=True)


def test_tree_is_complete(installed):
    files = sorted(str(p.relative_to(installed)) for p in installed.rglob("*") if not p.is_dir())
    assert files == ["usr/bin/bmount-service", "usr/bin/brenix-mount",
                     "usr/lib/systemd/system/bmount-service.service",
                     "usr/lib/systemd/system/bmount-service.socket",
                     "usr/share/man/man1/brenix-mount.1", "usr/share/man/man8/bmount-service.8"]
    for program in ("brenix-mount", "bmount-service"):
        assert os.access(installed / "usr/bin" / program, os.X_OK)
    units = installed / "usr/lib/systemd/system"
    socket_unit = (units / "bmount-service.socket").read_text()
    assert f"ListenStream=/var/lib/brenix-host/run/{CLSID}\n" in socket_unit
    assert "ExecStartPre=/usr/bin/bmount-service --register\n" in socket_unit
    service_unit = (units / "bmount-service.service").read_text()
    assert "ExecStart=/usr/bin/bmount-service --foreground\n" in service_unit
    assert "@" not in socket_unit + service_unit


@pytest.mark.parametrize("kind, name", [*(("tool", t) for t in TOOLS),
                                        *(("package", p) for p in build_needs())])
def test_setup_installs_what_tests_and_builds_need(kind, name):
    if shutil.which("dpkg-query") is None:
        pytest.skip("not a Debian system")
    package = owner_of(name) if kind == "tool" else name
    listed = words_of((SOURCE_DIR / "scripts/setup").read_text(), r"^packages=\((.*?)^\)")
    priority = subprocess.run(["dpkg-query", "-W", "-f=${Priority}", package],
                              capture_output=True, text=True).stdout
    assert package in listed or priority == "required", f"scripts/setup lacks {package} ({name})"


@pytest.mark.parametrize("page, words", [
    ("man1/brenix-mount.1", ["EXIT STATUS", "/f", "EXAMPLES", "BRENIX_HOST_PREFIX",
                             "Application.jsonl"]),
    ("man8/bmount-service.8", ["--backend", "SYSTEMD UNITS", "BRENIX_MOUNT_BACKEND"]),
])
def test_manual_pages_format_cleanly(installed, page, words):
    if shutil.which("man") is None:
        pytest.skip("man is not installed")
    r = subprocess.run(["man", "--warnings", "-l", str(installed / "usr/share/man" / page)],
                       env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat"),
                       capture_output=True, timeout=60)
    assert (r.returncode, r.stderr) == (0, b"")
    assert all(word in r.stdout.decode() for word in words), r.stdout


def test_units_pass_systemd_verification(installed, tmp_path):
    analyze = shutil.which("systemd-analyze")
    if analyze is None:
        pytest.skip("systemd-analyze is not installed")
    # The units name /usr/bin; verification wants the programs they name to
    # exist, so point it at the staged ones.
    for unit in UNITS:
        text = (installed / "usr/lib/systemd/system" / unit).read_text()
        (tmp_path / unit).write_text(text.replace("/usr/bin/", f"{installed}/usr/bin/"))
    r = subprocess.run([analyze, "verify", "--man=no", *(str(tmp_path / u) for u in UNITS)],
                       env=dict(os.environ, SYSTEMD_UNIT_PATH=f"{tmp_path}:"),
                       capture_output=True, timeout=60)
    assert (r.returncode, r.stderr) == (0, b"")


def hand_over(host, service):
    """Starts service as systemd does: the endpoint made by someone else (in
    place of whatever was there), passed as descriptor 3 with LISTEN_PID and
    LISTEN_FDS. The listener and the process."""
    run = host.prefix / "run"
    (run / CLSID).unlink(missing_ok=True)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    cwd = os.getcwd()
    os.chdir(run)  # a short address whatever the prefix
    try:
        listener.bind(CLSID)
    finally:
        os.chdir(cwd)
    listener.listen(16)
    fd = listener.fileno()
    p = subprocess.Popen(
        ["/bin/sh", "-c", 'LISTEN_PID=$$ LISTEN_FDS=1 exec "$0" --foreground', service],
        env=host.env, pass_fds=(3,), preexec_fn=lambda: os.dup2(fd, 3),
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return listener, p


def test_serves_on_a_handed_over_socket(host):
    assert host.run("/?").returncode == 0  # makes the prefix
    run = host.prefix / "run"
    listener, p = hand_over(host, host.service)
    try:
        assert wait_until(lambda: (run / "bmount-service.lock").exists() and
                          (run / "bmount-service.lock").read_text().strip() == str(p.pid))
        r = host.run()
        assert (r.returncode, r.stdout) == (0, b"No volumes mounted.\n")
        assert int((run / "bmount-service.lock").read_text()) == p.pid  # no second instance
    finally:
        p.terminate()
        _, err = p.communicate(timeout=30)
    assert p.returncode == 0, err
    # The endpoint belongs to whoever made it: the service leaves it there.
    assert (run / CLSID).is_socket()
    listener.close()


# Root's prefix, made and served by an earlier copy of the programs (now
# gone), with a volume attached; then a step of the package's, run on the
# staged tree and the private prefix. Whatever serves after it is the staged
# service, and it keeps the volume.
@pytest.mark.parametrize("steps, serving", [
    ([("postinst", "configure")], False),
    ([("socket",)], True),
    ([("postinst", "configure", "1.5.0")], True),
    ([("prerm", "remove"), ("postinst", "configure")], True),
])
def test_the_package_takes_over_a_prefix_an_earlier_program_served(installed, host, tmp_path,
                                                                    steps, serving):
    old = tmp_path / "old"
    old.mkdir()
    for program in ("brenix-mount", "bmount-service"):
        shutil.copy2(BIN_DIR / program, old / program)
    disk = make_disk(host, "d.raw", "size=8MiB\n", 16 << 20)
    assert host.run("E:", disk, program=str(old / "brenix-mount")).returncode == 0
    old_pid = serving_pid(host)
    if not serving:
        assert host.run_service("--stop").returncode == 0
    shutil.rmtree(old)
    bin_dir = installed / "usr/bin"
    for script, *args in steps:
        if script == "socket":
            unit = (installed / "usr/lib/systemd/system/bmount-service.socket").read_text()
            for line in re.findall(r"^ExecStartPre=/usr/bin/(.*)$", unit, re.M):
                r = subprocess.run([str(bin_dir / line.split()[0]), *line.split()[1:]],
                                   env=host.env, capture_output=True, timeout=60)
                assert (r.returncode, r.stderr) == (0, b"")
            _, p = hand_over(host, str(bin_dir / "bmount-service"))
            assert wait_until(lambda: p.poll() is not None or serving_pid(host) == p.pid)
            assert serving_pid(host) == p.pid, p.communicate(timeout=30)
        else:
            text = (SOURCE_DIR / "debian" / f"brenix-mount.{script}").read_text()
            text = text.replace("/usr/bin/", f"{bin_dir}/").replace("/var/lib/brenix-host",
                                                                      str(host.prefix))
            r = subprocess.run(["sh", "-c", text, script, *args], env=host.env,
                               capture_output=True, timeout=60)
            assert (r.returncode, r.stderr) == (0, b"")
        assert exited(old_pid), script
    r = host.run(program=str(bin_dir / "brenix-mount"))
    assert (r.returncode, r.stdout) == (0, f"E:\\  =>  {disk}\n\n".encode()), r.stderr
    assert os.readlink(f"/proc/{serving_pid(host)}/exe") == str(bin_dir / "bmount-service")
