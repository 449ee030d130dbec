"""One rehearsal: a fresh root made to look like an old hub, the service in it,
a client on its socket, and what the root's own dpkg and apt say afterwards."""
import json
import os
import select
import shutil
import socket
import subprocess
import time

import archive
import standins
from root import Root
from zorvitest import namespaces
from zorvitest.wait import wait_until
from zorvitest import procedures as plan

WORK = os.environ["ZORVI_REHEARSAL_WORK"]
SOCKET = "/run/verdanta/zorvi-upgrade/socket"
MODEL = "/usr/local/share/verdanta/lumora.model"
SERVICES = ("/etc/service/zlinker", "/etc/service/zipgateway")
STAGING = "/var/cache/rehearsal"
# A procedure takes about a minute here (ten seconds of it the reboot step's sleep).
PROCEDURE_TIMEOUT = 600

PROCEDURES = {
    "upgrade": ("migration_upgrade", plan.MIGRATION),
    "erase_upgrade": ("erase_upgrade", plan.ERASE),
}

REBOOT = """#!/bin/sh
# Stand-in: the rehearsal's hub only records that it was asked to reboot.
mkdir -p /var/log/rehearsal
echo "reboot $*" >> /var/log/rehearsal/reboot.log
"""

SERVICE_RUN = """#!/bin/sh
exec sleep 100000
"""


def flasher_calls(command):
    """The arguments each of the procedure's flashing steps gives qd-zw-flash."""
    prefix = "qd-zw-flash "
    return [c[len(prefix):] for c in plan.commands(PROCEDURES[command][1]) if c.startswith(prefix)]


class Client:
    def __init__(self, path, timeout):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.sock.settimeout(timeout)
        # A socket's address holds 108 bytes, less than a root deep in a build
        # folder needs: connect through the directory's descriptor instead.
        directory = None
        try:
            directory = os.open(os.path.dirname(path), os.O_PATH | os.O_DIRECTORY)
            self.sock.connect("/proc/self/fd/%d/%s" % (directory, os.path.basename(path)))
        except OSError:
            self.sock.close()
            raise
        finally:
            if directory is not None:
                os.close(directory)
        self.seen = []

    def next(self, deadline):
        self.sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            text = self.sock.recv(4096).decode("latin-1")
        except socket.timeout:
            return None
        self.seen.append(text)
        return text

    def drain(self, quiet=0.5):
        """Reads until nothing came for quiet seconds."""
        while self.next(time.monotonic() + quiet) not in (None, ""):
            pass

    def until(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = self.next(deadline)
            if text == "":
                raise AssertionError("the service closed the connection; saw %r" % self.seen)
            if text is not None and predicate(text):
                return text
        raise AssertionError("timed out waiting for %s; saw %r" % (what, self.seen))

    def close(self):
        self.sock.close()


class Rehearsal:
    """A fresh old-hub root under WORK/name."""

    def __init__(self, name):
        with open(os.path.join(WORK, "shared", "artifacts.json"), encoding="utf-8") as f:
            self.artifacts = json.load(f)
        self.work = os.path.join(WORK, name)
        self.root = Root(os.path.join(self.work, "root"))
        self.root.remove()
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.master, self.slave = os.openpty()
        self.tty_seen = b""
        self.proc = None
        self.attempts = 0
        self.discard = False  # set by a test that passed: its root is not worth keeping
        # Every rehearsal starts from the same old hub: made once per run of
        # the suite, then unpacked.
        snapshot = os.path.join(WORK, "shared", "old-hub.tar")
        started = time.monotonic()
        if os.path.exists(snapshot):
            self.root.extract(snapshot)
            self.timed("unpacking the old hub", started)
            return
        self.root.extract(self.artifacts["tarball"])
        self.timed("unpacking the root", started)
        started = time.monotonic()
        self.prepare()
        subprocess.run(["tar", "--numeric-owner", "--xattrs", "-C", self.root.path, "-cf", snapshot + ".new", "."],
                       check=True)
        os.rename(snapshot + ".new", snapshot)
        self.timed("making it an old hub", started)

    @staticmethod
    def timed(what, started):
        print("rehearsal: %s took %.1f s" % (what, time.monotonic() - started), flush=True)

    def prepare(self):
        """The old hub: its stack, its package source and key, its services."""
        r = self.root
        a = self.artifacts
        shutil.copytree(a["repo"], r.file(archive.REPOSITORY_IN_ROOT))
        os.makedirs(r.file(STAGING + "/old"))
        for deb in a["old"]:
            shutil.copy(deb, r.file(STAGING + "/old"))
        shutil.copy(a["legacy_key"], r.file(STAGING + "/legacy.asc"))
        r.write(MODEL, "arko-3b2-nx\n")
        r.write("/usr/sbin/reboot", REBOOT, 0o755)
        for service in SERVICES:
            r.write(service + "/run", SERVICE_RUN, 0o755)
        r.write("/etc/apt/sources.list.d/verdanta.list", archive.LEGACY_LIST)
        if a["package"]:
            shutil.copy(a["package"], r.file(STAGING))
            install = "dpkg -i %s/%s" % (STAGING, os.path.basename(a["package"]))
        else:
            self._copy_program()
            install = ("useradd --system --user-group --no-create-home --home-dir /nonexistent "
                       "--shell /usr/sbin/nologin zorvi-upgrade")
        script = ("set -e\n"
                  "dpkg -i %(s)s/old/*.deb\n"
                  "%(install)s\n"
                  "apt-key add %(s)s/legacy.asc\n"
                  # Only the old vendor's source: Debian's stays as debootstrap left it.
                  "apt-get update -o Dir::Etc::SourceList=/dev/null -o APT::Get::List-Cleanup=0\n"
                  "rm -rf %(s)s\n" % {"s": STAGING, "install": install})
        _, out = r.sh(script)
        with open(os.path.join(self.work, "prepare.log"), "w", encoding="utf-8") as f:
            f.write(out)

    def _copy_program(self):
        r = self.root
        shutil.copy(self.artifacts["daemon"], r.file("/usr/sbin/zorvi-upgrade"))
        for rel in ("apt-preferences", "zorvi/verdanta.key.asc", "zorvi/verdanta.list"):
            dest = r.file("/usr/share/verdanta/zorvi-upgrade/" + rel)
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            shutil.copy(os.path.join(self.artifacts["data"], rel), dest)

    # -- the service -------------------------------------------------------

    def log_path(self, attempt=None):
        return os.path.join(self.work, "service-%d.log" % (attempt or self.attempts))

    def start(self):
        """The service in fresh namespaces, with the Z-Wave services supervised."""
        self.attempts += 1
        self.proc = self.root.start(["/usr/sbin/zorvi-upgrade"], self.log_path(),
                                    tty=os.ttyname(self.slave), services=SERVICES)

    def _connect(self):
        try:
            return Client(self.root.file(SOCKET), 5)
        except OSError:
            if self.proc.poll() is not None:
                raise AssertionError("the service ended (%s):\n%s" % (self.proc.returncode, self.service_log()))
            return None

    def request(self, command, request_id=1):
        """A client, once the backend has announced idle, that sent command and
        got its response."""
        c = wait_until(self._connect, 30, "the service's socket")
        c.until(lambda t: t == "nfy;idle;;;", 30, "the idle notification")
        c.sock.send(("req;%d;%s" % (request_id, command)).encode())
        c.until(lambda t: t.startswith("rsp;%d;" % request_id), 30, "the response")
        return c

    def run(self, command):
        """Requests a procedure and follows it until it completes or a step fails
        (the next backend then announces idle). Returns the client's texts."""
        c = self.request(command)
        started = time.monotonic()
        completed = plan.notification(*PROCEDURES[command], "completed")
        c.until(lambda t: t == completed or t == "nfy;idle;;;",
                PROCEDURE_TIMEOUT, "the end of the procedure")
        c.close()
        self.timed("%s (attempt %d)" % (command, self.attempts), started)
        return c.seen

    def stop(self):
        """Kills the whole namespace: launcher, workers and whatever they run."""
        if self.proc is not None:
            namespaces.kill(self.proc)
            wait_until(lambda: not self.root.pids(), 30, "the namespace's processes to end")
            self.proc = None

    def boot(self):
        """After a power cut: /run is empty again (a tmpfs on a hub), and what
        the first power cycle logged is set aside, so the checks see only what
        the next one does."""
        subprocess.run(["rm", "-rf", "--one-file-system", self.root.file("/run")], check=True)
        os.makedirs(self.root.file("/run/lock"), mode=0o755)
        os.chmod(self.root.file("/run"), 0o755)
        os.chmod(self.root.file("/run/lock"), 0o1777)
        for log in ("qd-zw-flash.log", "reboot.log"):
            path = self.root.file("/var/log/rehearsal/" + log)
            if os.path.exists(path):
                os.rename(path, path + ".before-cut")
        self.tty()
        self.tty_seen = b""

    def running(self):
        """The programs running in the root: each a list of its arguments, the
        first being the program's name (a maintainer script's, not its shell's)."""
        found = []
        for pid in self.root.pids():
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    argv = [a.decode("latin-1") for a in f.read().split(b"\0") if a]
            except OSError:
                continue
            if not argv:
                continue
            argv[0] = os.path.basename(argv[0])
            if argv[0] in ("sh", "bash", "dash") and len(argv) > 1 and not argv[1].startswith("-"):
                argv = [os.path.basename(argv[1])] + argv[2:]
            found.append(argv)
        return found

    def banners(self, attempt=None):
        """The command lines the service announced, in order."""
        return [line[4:-4] for line in self.service_log(attempt).splitlines()
                if line.startswith("=== ") and line.endswith(" ===")]

    def service_log(self, attempt=None):
        with open(self.log_path(attempt), encoding="utf-8", errors="replace") as f:
            return f.read()

    def tty(self):
        """Everything written to the root's /dev/ttyS0 so far."""
        while select.select([self.master], [], [], 0.2)[0]:
            self.tty_seen += os.read(self.master, 4096)
        return self.tty_seen.decode("latin-1").replace("\r\n", "\n")

    def close(self):
        self.stop()
        os.close(self.master)
        os.close(self.slave)
        if self.discard:
            self.root.remove()

    # -- what the root's own tools say -------------------------------------

    def packages(self):
        """{name: (version, status abbreviation)} from the root's dpkg."""
        _, out = self.root.sh("dpkg-query -W -f '${Package} ${Version} ${db:Status-Abbrev}\\n'")
        found = {}
        for line in out.splitlines():
            fields = line.split()
            if len(fields) == 3:
                found[fields[0]] = (fields[1], fields[2])
        return found

    def auto_marked(self):
        return set(self.root.sh("apt-mark showauto")[1].split())
