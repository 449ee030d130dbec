"""Process 1 of one test hub: its own mount, pid, UTS and network namespaces.

Gives the hub its private /root, /run, model file, package database and boot id,
configures its address once the fleet has handed it a network interface, then
runs an SSH server and the service in dev/sandbox. A reboot that the service's
last step asks for (the stand-in writes /run/reboot-requested) restarts the
service, as a reboot would, with a new boot id. SIGTERM ends the hub.

Argument: the hub's config.json (written by fleet.py).
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import uuid

REBOOT_REQUEST = "reboot-requested"  # in the hub's /run; the stand-in writes it
RESTART_REQUEST = "restart-requested"  # the test's own restart, with no procedure to finish
NIC = "eth0"


def mount(*args):
    subprocess.run(["mount", "--no-mtab", *args], check=True, stdin=subprocess.DEVNULL)


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), mode=0o755, exist_ok=True)
    with open(path + ".new", "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path + ".new", mode)
    os.rename(path + ".new", path)


class Hub:
    def __init__(self, config):
        self.c = config
        self.dir = config["dir"]
        self.run = os.path.join(self.dir, "svc", "run")
        self.stopping = False
        self.children = {}  # pid -> what it is
        signal.signal(signal.SIGTERM, self._stop)
        signal.signal(signal.SIGINT, self._stop)

    def _stop(self, *_):
        self.stopping = True

    def build(self):
        c = self.c
        socket.sethostname(c["name"])
        # The hub's own root account home, with the fleet's key.
        mount("-t", "tmpfs", "-o", "mode=0700", "hub", "/root")
        write("/root/.ssh/authorized_keys", c["authorized_key"], 0o600)
        os.makedirs(os.path.join(self.run, "sshd"), mode=0o755, exist_ok=True)
        os.chmod(self.run, 0o755)
        mount("--bind", self.run, "/run")
        mount("-t", "tmpfs", "-o", "mode=0755", "hub", "/usr/local/share")
        if c["model"] is not None:
            write("/usr/local/share/verdanta/lumora.model", c["model"])
        mount("--bind", os.path.join(self.dir, "dpkg"), "/var/lib/dpkg")
        self.new_boot_id()
        mount("--bind", os.path.join(self.dir, "boot_id"), "/proc/sys/kernel/random/boot_id")
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        deadline = time.monotonic() + 20
        while not self._has_nic():
            if time.monotonic() > deadline or self.stopping:
                raise SystemExit(f"hub {c['name']}: no {NIC} handed over")
            time.sleep(0.02)
        subprocess.run(["ip", "addr", "add", c["address"] + "/24", "dev", NIC], check=True)
        subprocess.run(["ip", "link", "set", NIC, "up"], check=True)

    def new_boot_id(self):
        # In place: the hub's /proc/sys/kernel/random/boot_id is this very file.
        with open(os.path.join(self.dir, "boot_id"), "w", encoding="utf-8") as f:
            f.write(str(uuid.uuid4()) + "\n")

    @staticmethod
    def _has_nic():
        try:
            socket.if_nametoindex(NIC)
            return True
        except OSError:
            return False

    def spawn(self, what, argv, log):
        fd = os.open(os.path.join(self.dir, log), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=[
            (os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
            (os.POSIX_SPAWN_DUP2, fd, 1), (os.POSIX_SPAWN_DUP2, fd, 2)])
        os.close(fd)
        self.children[pid] = what
        return pid

    def start_service(self):
        c = self.c
        model = ["--model", c["model"]] if c["model"] is not None else ["--no-model"]
        return self.spawn("service", [
            c["sandbox"], "--state", os.path.join(self.dir, "svc"), "--step-delay", c["step_delay"],
            "--gate-timeout", c["gate_timeout"],
            *model, "--dpkg-bind", os.path.join(self.dir, "dpkg"), "--rules", os.path.join(self.dir, "rules"),
            *[a for rule in c["standin_rules"] for a in ("--rule", rule)], "--", *c["daemon"]],
            "service.log")

    def backend_exits(self):
        try:
            with open(os.path.join(self.dir, "service.log"), "rb") as f:
                return f.read().count(b"Backend exiting")
        except FileNotFoundError:
            return 0

    def reap(self):
        """Reaps every ended child (orphans too: this is process 1); {pid: what} of the known ones."""
        ended = {}
        while True:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                break
            if not pid:
                break
            if pid in self.children:
                ended[pid] = self.children.pop(pid)
        return ended

    def stop_service(self, pid):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 10
        while pid in self.children and time.monotonic() < deadline:
            self.reap()
            time.sleep(0.02)
        if pid in self.children:
            os.kill(pid, signal.SIGKILL)
            while pid in self.children:
                self.reap()
                time.sleep(0.02)
        self.keep_calls()

    def keep_calls(self):
        """The stub log starts again at every service start; the hub's whole history is kept."""
        try:
            with open(os.path.join(self.dir, "svc", "stub.log"), "r+", encoding="utf-8") as f:
                calls = f.read()
                f.truncate(0)
        except FileNotFoundError:
            return
        with open(os.path.join(self.dir, "calls.log"), "a", encoding="utf-8") as f:
            f.write(calls)

    def reboot(self, service, request):
        if request == REBOOT_REQUEST:
            # As on a hub, the reboot command returns at once and the machine goes
            # down a moment later: the backend gets to announce the completion first.
            exits = self.backend_exits()
            deadline = time.monotonic() + 5
            while self.backend_exits() == exits and time.monotonic() < deadline:
                time.sleep(0.02)
        self.stop_service(service)
        self.new_boot_id()
        # /run is a tmpfs on a hub: the service's runtime state (its socket, the
        # mark of a completed procedure) does not outlive a reboot. The SSH
        # server stands for the hub's network and stays up.
        for name in os.listdir(self.run):
            if name != "sshd":
                path = os.path.join(self.run, name)
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path)
                else:
                    os.unlink(path)
        with open(os.path.join(self.dir, "reboots"), "a", encoding="utf-8") as f:
            f.write("reboot\n")
        return self.start_service()

    def main(self):
        self.build()
        sshd = self.spawn("sshd", ["/usr/sbin/sshd", "-D", "-e", "-f", self.c["sshd_config"]],
                          "sshd.log")
        service = self.start_service()
        write(os.path.join(self.dir, "ready"), "")
        while not self.stopping:
            ended = self.reap()
            if sshd in ended:
                raise SystemExit(f"hub {self.c['name']}: sshd ended")
            if service in ended:  # the sandbox failed; start it again, as init would
                self.keep_calls()
                time.sleep(0.2)
                service = self.start_service()
            for request in (REBOOT_REQUEST, RESTART_REQUEST):
                if os.path.exists(os.path.join(self.run, request)):
                    service = self.reboot(service, request)
            time.sleep(0.05)
        self.stop_service(service)
        os.kill(sshd, signal.SIGTERM)


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        config = json.load(f)
    Hub(config).main()
    return 0


if __name__ == "__main__":
    sys.exit(main())
