#!/usr/bin/env python3
"""What apt-get install, dpkg -P and reboot do to a test hub, run by the sandbox's
stubs (rule action run=): package changes land in the hub's own package database
(its /var/lib/dpkg/status), and reboot asks the hub's process 1 to restart the
service. Only python here: inside the sandbox cp, rm and sleep are stubs."""
import os
import sys

STATUS = "/var/lib/dpkg/status"
REBOOT_REQUEST = "/run/reboot-requested"


def stanza(package):
    return (f"Package: {package}\nStatus: install ok installed\nPriority: optional\n"
            f"Section: misc\nMaintainer: Fleet Test <fleet@localhost>\nArchitecture: all\n"
            f"Version: 2.0\nDescription: {package} (stand-in)\n")


def read_status():
    with open(STATUS, encoding="utf-8") as f:
        blocks = [b for b in f.read().split("\n\n") if b.strip()]
    return {b.split("\n", 1)[0].removeprefix("Package: "): b.strip("\n") + "\n" for b in blocks}


def write_status(packages):
    with open(STATUS + ".new", "w", encoding="utf-8") as f:
        f.write("\n".join(packages[name] for name in sorted(packages)))
    os.rename(STATUS + ".new", STATUS)


def operands(args):
    return [a for a in args if not a.startswith("-")]


def main(name, *args):
    if name == "reboot":
        with open(REBOOT_REQUEST, "w", encoding="utf-8") as f:
            f.write("reboot\n")
        return 0
    packages = read_status()
    words = operands(args)
    if name == "apt-get" and words[:1] == ["install"]:
        for package in words[1:]:
            packages[package] = stanza(package)
    elif name == "dpkg" and "-P" in args:
        for package in words:
            packages.pop(package, None)
    else:
        print(f"standin: nothing to do for {name} {' '.join(args)}", file=sys.stderr)
        return 2
    write_status(packages)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
