"""--empty-root: the command runs chrooted in a new root that holds no shared
library at all, as a statically linked service sees an unknown hub's userland
it takes nothing from.

The root, in the sandbox's private tmpfs, holds only: the account files; an old
hub's nsswitch.conf (Debian 9's "compat", which only a program that loads NSS
modules would act on); /bin/sh and /bin/bash, both Debian's statically linked
bash; the stubs in every search directory; the data files, the model file and
the empty /etc/apt; the state directory at its own path; /run (the state's
run/); /proc and /dev; and the command's own files (every absolute path in it
that names a file), which must be statically linked. No /lib, no /usr/lib.
"""

# Loaded now: after the chroot no module can be found. The pid file is
# written in ascii there.
import encodings.ascii  # noqa: F401
import os
import struct

import mounts
from programs import BIN_DIRS, STUBBED

SHELL = "/bin/bash-static"
SHELL_NAMES = ("/bin/sh", "/bin/bash")
NSSWITCH = "passwd: compat\ngroup: compat\nshadow: compat\n"
# Where the stubs' idle FIFO lives inside the root.
FIFO = "/sandbox/idle"
# Searched first inside; every search directory holds the stubs.
PATH = ":".join(BIN_DIRS)
LIBRARY_DIRS = ("/lib", "/lib32", "/lib64", "/libx32", "/usr/lib", "/usr/lib32", "/usr/lib64", "/usr/libx32")

PT_DYNAMIC = 2
PT_INTERP = 3
DT_NEEDED = 1
DT_SONAME = 14


def _dynamic_use(path):
    """Why the file at path needs a loader or is a shared library; None if it
    is no ELF file or a statically linked one (static-pie included)."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if data[:4] != b"\x7fELF" or len(data) < 52:
        return None
    wide = data[4] == 2
    end = "<" if data[5] == 1 else ">"
    if wide:
        phoff, = struct.unpack_from(end + "Q", data, 32)
        phentsize, phnum = struct.unpack_from(end + "HH", data, 54)
        dyn_format = end + "qQ"
    else:
        phoff, = struct.unpack_from(end + "I", data, 28)
        phentsize, phnum = struct.unpack_from(end + "HH", data, 42)
        dyn_format = end + "iI"
    for i in range(phnum):
        at = phoff + i * phentsize
        p_type, = struct.unpack_from(end + "I", data, at)
        if p_type == PT_INTERP:
            return "needs a program interpreter (dynamically linked)"
        if p_type != PT_DYNAMIC:
            continue
        if wide:
            offset, = struct.unpack_from(end + "Q", data, at + 8)
            size, = struct.unpack_from(end + "Q", data, at + 32)
        else:
            offset, = struct.unpack_from(end + "I", data, at + 4)
            size, = struct.unpack_from(end + "I", data, at + 16)
        step = struct.calcsize(dyn_format)
        tags = {struct.unpack_from(dyn_format, data, entry)[0]
                for entry in range(offset, min(offset + size, len(data)) - step + 1, step)}
        if DT_SONAME in tags:
            return "is a shared library"
        if DT_NEEDED in tags:
            return "needs shared libraries"
    return None


def _put(root, path, data, mode):
    target = root + path
    os.makedirs(os.path.dirname(target), mode=0o755, exist_ok=True)
    with open(target, "wb") as f:
        f.write(data)
    os.chmod(target, mode)


def _bind_at_same_path(root, source):
    target = root + source
    if os.path.isdir(source):
        os.makedirs(target, mode=0o755, exist_ok=True)
    else:
        os.makedirs(os.path.dirname(target), mode=0o755, exist_ok=True)
        if not os.path.lexists(target):
            _put(root, source, b"", 0o644)
    return mounts.bind(source, target)


def command_files(command):
    """The command's own files: every absolute path in it that names a file."""
    return [arg for arg in command if arg.startswith("/") and os.path.isfile(arg)]


def refusals(command):
    """Why the command cannot run in the empty root; empty if it can."""
    found = []
    if not command[0].startswith("/"):
        found.append(f"{command[0]}: the command needs an absolute path in the empty root")
    for path in command_files(command):
        why = _dynamic_use(path)
        if why:
            found.append(f"{path} {why}: it cannot run in the empty root")
    if not os.path.isfile(SHELL) or _dynamic_use(SHELL):
        found.append(f"{SHELL} (Debian's bash-static) is missing or not statically linked")
    return found


def build(config, stub):
    """The root, ready to chroot into; its path, or None if a mount failed."""
    root = os.path.join(config["private"], "root")
    state = config["state"]
    os.makedirs(root, mode=0o755)
    for d in BIN_DIRS:
        for name in STUBBED:
            _put(root, os.path.join(d, name), stub, 0o755)
    with open(SHELL, "rb") as f:
        shell = f.read()
    for name in SHELL_NAMES:
        _put(root, name, shell, 0o755)
    for name in ("passwd", "group"):
        with open(os.path.join(state, "etc", name), "rb") as f:
            _put(root, "/etc/" + name, f.read(), 0o644)
    _put(root, "/etc/nsswitch.conf", NSSWITCH.encode(), 0o644)
    for d in mounts.APT_DIRS:
        os.makedirs(os.path.join(root, "etc/apt", d), mode=0o755)
    for rel in mounts.DATA_FILES:
        with open(os.path.join(config["data"], rel), "rb") as f:
            _put(root, os.path.join("/usr/share", mounts.DATA_DIR, rel), f.read(), 0o644)
    os.makedirs(root + mounts.MODEL_DIR, mode=0o755)
    if config["model"] is not None:
        _put(root, os.path.join(mounts.MODEL_DIR, mounts.MODEL_FILE), config["model"].encode(), 0o644)
    os.makedirs(root + os.path.dirname(FIFO), mode=0o755)
    os.mkfifo(root + FIFO, 0o600)
    os.makedirs(root + "/var", mode=0o755)
    os.symlink("/run", root + "/var/run")
    mounts.seed_dpkg(root + mounts.DPKG_DIR, config.get("dpkg"))
    for d in ("/run", "/proc", "/dev"):
        os.makedirs(root + d, mode=0o755)
    done = (mounts.bind(os.path.join(state, "run"), root + "/run")
            and mounts.bind("/dev", root + "/dev")
            and mounts.proc(root + "/proc")
            and _bind_at_same_path(root, state))
    for path in command_files(config["command"]):
        done = done and _bind_at_same_path(root, path)
    return root if done else None


def problems(root="/"):
    """Every shared library, dynamically linked program or library directory
    in the root (seen from inside it); empty if none."""
    found = [f"{d} exists" for d in LIBRARY_DIRS if os.path.lexists(os.path.join(root, d.lstrip("/")))]
    skip = {os.path.join(root, d) for d in ("proc", "dev")}
    for top, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(top, d) not in skip]
        for name in files:
            path = os.path.join(top, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            why = _dynamic_use(path)
            if why:
                found.append(f"{path} {why}")
            elif ".so" in name and (name.endswith(".so") or ".so." in name):
                found.append(f"{path} is named as a shared library")
    return found
