"""The mounts that give the command its own view of the machine.

Everything here runs in the new mount namespace, whose propagation is private,
so none of it is seen by the host. Files the sandbox adds live in a private
tmpfs and reach the host's directories only through overlays.
"""

import fcntl
import os
import shutil
import socket
import struct
import subprocess
import sys

from programs import BIN_DIRS, SETUP_PATH, STUBBED

MOUNT = shutil.which("mount", path=SETUP_PATH)

# The service's data files, relative to the example directory and to
# /usr/share/verdanta/zorvi-upgrade.
DATA_FILES = ("apt-preferences", "zorvi/verdanta.key.asc", "zorvi/verdanta.list")
DATA_DIR = "verdanta/zorvi-upgrade"
MODEL_DIR = "/usr/local/share/verdanta"
MODEL_FILE = "lumora.model"
APT_DIRS = ("apt.conf.d", "preferences.d", "sources.list.d", "trusted.gpg.d")


def _mount(*args):
    done = subprocess.run([MOUNT, "--no-mtab", *args], stdin=subprocess.DEVNULL).returncode == 0
    if not done:
        print("sandbox: mount " + " ".join(args) + " failed", file=sys.stderr)
    return done


def tmpfs(target):
    return _mount("-t", "tmpfs", "-o", "mode=0755", "sandbox", target)


def bind(source, target):
    return _mount("--bind", source, target)


def _overlay(target, upper, work):
    return _mount("-t", "overlay", "-o",
                  f"lowerdir={target},upperdir={upper},workdir={work}", "sandbox", target)


def _write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), mode=0o755, exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def _overlay_with(target, private, name, files):
    """Overlays target with files {relative path: bytes, mode}."""
    upper = os.path.join(private, name, "upper")
    work = os.path.join(private, name, "work")
    os.makedirs(upper, mode=0o755)
    os.makedirs(work, mode=0o755)
    # The merged directory takes the upper one's mode: keep the host's.
    os.chmod(upper, os.stat(target).st_mode & 0o7777)
    for rel, (data, mode) in files.items():
        _write(os.path.join(upper, rel), data, mode)
    return _overlay(target, upper, work)


def bin_dirs():
    """The existing search directories, each once (/bin is usually /usr/bin)."""
    seen = []
    for d in BIN_DIRS:
        real = os.path.realpath(d)
        if os.path.isdir(real) and real not in seen:
            seen.append(real)
    return seen


def stubs(private, stub):
    """The stubs: in private/bin (first on PATH) and at their real paths."""
    os.mkfifo(os.path.join(private, "idle"), 0o600)
    for name in STUBBED:
        _write(os.path.join(private, "bin", name), stub, 0o755)
    files = {name: (stub, 0o755) for name in STUBBED}
    return all(_overlay_with(d, private, "bin" + d.replace("/", "-"), files)
               for d in bin_dirs())


def data_files(private, example_dir):
    files = {}
    for rel in DATA_FILES:
        with open(os.path.join(example_dir, rel), "rb") as f:
            files[os.path.join(DATA_DIR, rel)] = (f.read(), 0o644)
    return _overlay_with("/usr/share", private, "share", files)


def etc_apt():
    if not tmpfs("/etc/apt"):
        return False
    for d in APT_DIRS:
        os.mkdir(os.path.join("/etc/apt", d), 0o755)
    return True


def model(text):
    if not tmpfs("/usr/local/share"):
        return False
    if text is not None:
        _write(os.path.join(MODEL_DIR, MODEL_FILE), text.encode())
    return True


DPKG_DIR = "/var/lib/dpkg"


def dpkg(seed, bound=None):
    """dpkg's database of the sandbox's own, or the test's own folder bound:
    what the service reads to tell whether dpkg was interrupted is the test's,
    never the host's."""
    if not os.path.isdir(DPKG_DIR):
        os.makedirs(DPKG_DIR, 0o755)
    if bound is not None:
        return bind(bound, DPKG_DIR)
    return tmpfs(DPKG_DIR) and seed_dpkg(DPKG_DIR, seed)


def seed_dpkg(target, seed):
    """An empty status and journal in target, or seed's status and journal."""
    os.makedirs(os.path.join(target, "updates"), 0o755)
    _write(os.path.join(target, "status"), b"")
    if seed is None:
        return True
    if os.path.exists(os.path.join(seed, "status")):
        shutil.copyfile(os.path.join(seed, "status"), os.path.join(target, "status"))
    updates = os.path.join(seed, "updates")
    for name in (os.listdir(updates) if os.path.isdir(updates) else []):
        shutil.copyfile(os.path.join(updates, name), os.path.join(target, "updates", name))
    return True


def runtime(state):
    run = os.path.join(state, "run")
    if not bind(run, "/run"):
        return False
    # On Debian /var/run is a link to /run; elsewhere it needs the same view.
    if os.path.realpath("/var/run") != "/run":
        return bind(run, "/var/run")
    return True


def accounts(state):
    return all(bind(os.path.join(state, "etc", f), os.path.join("/etc", f))
               for f in ("passwd", "group", "nsswitch.conf"))


def proc(target="/proc"):
    return _mount("-t", "proc", "proc", target)


SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
IFF_UP = 0x1
IFREQ = "16sH22x"  # struct ifreq: name, then the flags of the union


def loopback_up():
    """Loopback in the new network namespace; it starts down."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        got = fcntl.ioctl(s, SIOCGIFFLAGS, struct.pack(IFREQ, b"lo", 0))
        flags = struct.unpack(IFREQ, got)[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack(IFREQ, b"lo", flags | IFF_UP))
    return True
