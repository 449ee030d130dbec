"""Tiny stand-ins for the hub's packages, with the names the upgrade steps use.

Each is built with dpkg-deb. Every stand-in logs its configuration to
/var/log/rehearsal/postinst.log and, while /run/rehearsal/hold-<name> exists,
stays in its postinst (so a test can catch an installation in progress).
The versions of the new "python3" and "mosquitto" are lower than Debian's own:
they are installed only if the apt pin of the new repository works.
"""
import os
import subprocess

MAINTAINER = "Rehearsal <rehearsal@verdanta.example>"

# Longest a held postinst waits, in tenths of a second.
HOLD_LIMIT = 1800
# Files in the stand-in that the power-cut tests cut off while dpkg unpacks it.
BULK = 400

POSTINST = """#!/bin/sh
set -e
if [ "$1" = configure ]; then
	if [ -e /run/rehearsal/hold-{name} ]; then
		touch /run/rehearsal/waiting-{name}
		n=0
		while [ -e /run/rehearsal/hold-{name} ] && [ $n -lt {limit} ]; do
			sleep 0.1
			n=$((n + 1))
		done
	fi
	mkdir -p /var/log/rehearsal
	echo "{name} {version}" >> /var/log/rehearsal/postinst.log
fi
"""

# The flasher records its arguments and writes a marker to the port it is given,
# refusing (as the real one would) a port that is not a character device.
FLASHER = """#!/bin/sh
args="$*"
mkdir -p /var/log/rehearsal
echo "$args" >> /var/log/rehearsal/qd-zw-flash.log
port=
while [ $# -gt 0 ]; do
	if [ "$1" = -- ]; then port=$2; break; fi
	shift
done
if [ ! -c "$port" ]; then
	echo "qd-zw-flash: $port is not a serial device" >&2
	exit 2
fi
printf 'QD-ZW-FLASH %s\\n' "$args" > "$port"
"""

PROGRAM = """#!/bin/sh
echo "{name} {version} (stand-in)"
"""


class Standin:
    def __init__(self, name, version, depends=(), conffiles=None, program=None, bulk=0):
        self.name = name
        self.version = version
        self.depends = depends
        self.conffiles = conffiles or {}
        self.program = program
        self.bulk = bulk  # files of its own, so that unpacking it takes a while

    @property
    def filename(self):
        return "%s_%s_all.deb" % (self.name, self.version.replace(":", "%3a"))

    def files(self):
        """{path: (text, mode)} of the package's contents."""
        files = {"usr/share/doc/%s/standin" % self.name:
                 ("Stand-in for the upgrade rehearsal.\n", 0o644)}
        if self.program:
            files["usr/bin/" + self.name] = (self.program, 0o755)
        for path, text in self.conffiles.items():
            files[path.lstrip("/")] = (text, 0o644)
        for n in range(self.bulk):
            files["usr/lib/%s-standin/part%04d" % (self.name, n)] = ("%s part %d\n" % (self.name, n) * 64, 0o644)
        return files

    def first_bulk_file(self):
        return "/usr/lib/%s-standin/part0000" % self.name

    def control(self):
        lines = ["Package: " + self.name, "Version: " + self.version, "Architecture: all",
                 "Maintainer: " + MAINTAINER, "Section: misc", "Priority: optional"]
        if self.depends:
            lines.append("Depends: " + ", ".join(self.depends))
        lines.append("Description: %s stand-in for the upgrade rehearsal" % self.name)
        return "\n".join(lines) + "\n"

    def build(self, out_dir, scratch):
        tree = os.path.join(scratch, "%s_%s" % (self.name, self.version))
        subprocess.run(["rm", "-rf", tree], check=True)
        write(os.path.join(tree, "DEBIAN", "control"), self.control(), 0o644)
        write(os.path.join(tree, "DEBIAN", "postinst"),
              POSTINST.format(name=self.name, version=self.version, limit=HOLD_LIMIT), 0o755)
        if self.conffiles:
            write(os.path.join(tree, "DEBIAN", "conffiles"),
                  "".join("/" + p.lstrip("/") + "\n" for p in self.conffiles), 0o644)
        for path, (text, mode) in self.files().items():
            write(os.path.join(tree, path), text, mode)
        deb = os.path.join(out_dir, self.filename)
        subprocess.run(["dpkg-deb", "--root-owner-group", "-Zgzip", "-z1", "--build", tree, deb],
                       check=True, stdout=subprocess.DEVNULL)
        return deb


def write(path, text, mode):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path, mode)


def _program(name, version):
    return PROGRAM.format(name=name, version=version)


# Installed with dpkg before the run: the hub's old stack.
OLD_STACK = [
    Standin("verdanta", "1.0", conffiles={"/etc/verdanta/verdanta.conf": "stack=old\n"}),
    Standin("quillet", "1.0", conffiles={"/etc/quillet/quillet.conf": "channel=old\n"},
            program=_program("quillet", "1.0")),
    Standin("qd-flash", "1.0", program=_program("qd-flash", "1.0")),
]

# The old vendor's repository, configured before the run: the tunnel is installed
# (step "install_tunnel") before the new package source replaces it.
LEGACY_REPOSITORY = [
    Standin("qdtunnel", "2.0", program=_program("qdtunnel", "2.0")),
]

# The new stack's repository.
NEW_REPOSITORY = [
    Standin("qdtunnel", "2.0", program=_program("qdtunnel", "2.0")),
    Standin("mosquitto", "2.0.0-zorvi1", program=_program("mosquitto", "2.0.0-zorvi1")),
    Standin("qd-log-mqtt", "2.0", depends=("mosquitto", "python3")),
    Standin("python3", "3.11.0-zorvi1"),
    Standin("qd-zw-flash", "2.0", program=FLASHER),
    # Installed on its own by its step, and big enough for a power cut to land
    # while dpkg unpacks it.
    Standin("zipgateway", "2.0", bulk=BULK),
    Standin("zlinker", "2.0", depends=("zipgateway",)),
    Standin("qd-selftest", "2.0"),
    Standin("qd-hardware", "2.0"),
    Standin("corastel", "2.0", depends=("zlinker", "mosquitto")),
    Standin("quillet", "2.0", program=_program("quillet", "2.0")),
    Standin("verdanta", "2.0"),
]

# What the procedures must leave installed, at these versions.
NEW_VERSIONS = {p.name: p.version for p in NEW_REPOSITORY}

# Marked automatically installed by the step "mark_packages".
MARKED_AUTO = ("zipgateway", "zlinker", "corastel", "quillet", "mosquitto", "python3", "qdtunnel")
