"""The check the sandbox makes on itself before it runs anything."""

import os
import shutil

from programs import BIN_DIRS, STUBBED


def _is_stub(path, stub):
    real = os.path.realpath(path)
    if not os.path.isfile(real):
        return False
    with open(real, "rb") as f:
        return f.read() == stub


def problems(stub, search_path, private_bin, overlaid):
    """Every way a stubbed name could still reach a real program; empty if none."""
    found = []
    dirs = []
    for d in search_path.split(":") + list(BIN_DIRS):
        d = d or "."
        if d not in dirs:
            dirs.append(d)
    for name in STUBBED:
        for d in dirs:
            path = os.path.join(d, name)
            if os.path.lexists(path) and not _is_stub(path, stub):
                found.append(f"{path} is a real program ({os.path.realpath(path)})")
        for d in overlaid:
            if not os.path.isfile(os.path.join(d, name)):
                found.append(f"{name} is missing from {d}")
        first = shutil.which(name, path=search_path)
        if first != os.path.join(private_bin, name):
            found.append(f"{name} is found first at {first}, not in {private_bin}")
    return found
