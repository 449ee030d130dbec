"""A fleet of test hubs on this machine, and the rollout playbook run against it.

The test runs inside a network namespace of its own (see enter_own_network): a
bridge there, 10.77.0.1/24, joins one veth pair per hub; each hub (hub.py) has
its own mount, pid, UTS and network namespaces with the other end of its pair.
The addresses exist only in these namespaces, which have no route anywhere else.
Every wait is bounded; every process is ended by pid; nothing is left behind.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from zorvitest import namespaces
from zorvitest.namespaces import child_of, die_with_parent
from zorvitest.service import DAEMON, SOURCE as ROOT
from zorvitest.wait import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
SANDBOX = os.environ.get("ZORVI_SANDBOX", os.path.join(ROOT, "dev", "sandbox"))
CTL = os.environ.get("ZORVI_CTL", os.path.join(
    ROOT, "build", "plain", "ctl", "zorvi-upgradectl"))
PLAYBOOK = os.path.join(ROOT, "fleet", "rollout.yml")

NET = "10.77.0."
BRIDGE = "zf0"
STEP_DELAY = "0.02"  # a procedure of about 35 stub calls then takes under a second

# The hub before the upgrade: the old stack's packages.
OLD_STACK = ("verdanta", "quillet", "qd-flash", "qd-hardware", "qd-selftest", "corastel")
STANDIN = os.path.join(HERE, "standin.py")
STANDIN_RULES = (f"apt-get *install* run={STANDIN}", f"dpkg -P* run={STANDIN}",
                 f"reboot run={STANDIN}")


def enter_own_network(argv):
    """Runs argv again in a new network namespace; returns its exit status, or
    None when this already is that run. SIGTERM and SIGINT reach the inner run
    (unshare itself ignores them) as KeyboardInterrupt, so it cleans up."""
    if os.environ.get("ZORVI_FLEET_NETNS") == "1":
        signal.signal(signal.SIGTERM, signal.default_int_handler)
        return None
    env = dict(os.environ, ZORVI_FLEET_NETNS="1",
               ZORVI_FLEET_OUTER_NET=os.readlink("/proc/self/ns/net"))
    proc = namespaces.start(["net"], [sys.executable, *argv], env=env)

    def pass_on(sig, _frame):
        inner = child_of(proc.pid)
        if inner:
            os.kill(inner, signal.SIGTERM)
    signal.signal(signal.SIGTERM, pass_on)
    signal.signal(signal.SIGINT, pass_on)
    return proc.wait()


def ip(*args):
    subprocess.run(["ip", *args], check=True, stdin=subprocess.DEVNULL)


class TestHub:
    def __init__(self, fleet, index, model):
        self.name = "hub%02d" % index
        self.address = NET + str(10 + index)
        self.dir = os.path.join(fleet.dir, self.name)
        self.model = model
        self.proc = None
        os.makedirs(os.path.join(self.dir, "dpkg", "updates"))
        os.makedirs(os.path.join(self.dir, "dpkg", "info"))
        open(os.path.join(self.dir, "dpkg", "available"), "w").close()
        self.reset_packages()
        self.set_rules([])
        config = {
            "name": self.name, "dir": self.dir, "address": self.address, "model": model,
            "authorized_key": fleet.public_key, "sshd_config": fleet.sshd_config,
            "sandbox": SANDBOX, "daemon": DAEMON, "step_delay": STEP_DELAY,
            # A procedure held at a gate stays held through several rollouts.
            "gate_timeout": "1200",
            "standin_rules": STANDIN_RULES,
        }
        with open(os.path.join(self.dir, "config.json"), "w", encoding="utf-8") as f:
            json.dump(config, f)

    def start(self, index):
        self.init = None
        with open(os.path.join(self.dir, "hub.log"), "wb") as log:
            self.proc = namespaces.start(
                ["mount", "uts", "net", "pid"],
                [sys.executable, os.path.join(HERE, "hub.py"), os.path.join(self.dir, "config.json")],
                mount_proc=True, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        # The pair's hub end goes into the hub's network namespace: that of its process 1.
        self.init = wait_until(lambda: child_of(self.proc.pid), 10, self.name + "'s process 1")
        ip("link", "add", "zv%02d" % index, "type", "veth", "peer", "name", "eth0",
           "netns", str(self.init))
        ip("link", "set", "zv%02d" % index, "master", BRIDGE, "up")

    def wait_ready(self):
        def ready():
            if self.proc.poll() is not None:
                raise AssertionError(self.name + " ended: " + self.log("hub.log"))
            return os.path.exists(os.path.join(self.dir, "ready")) and self.service_idle()
        wait_until(ready, 30, self.name + " to be ready")

    def service_idle(self):
        got = subprocess.run([CTL, "--socket", self.socket, "--json", "status"],
                             capture_output=True, text=True, timeout=10)
        return got.returncode == 0 and '"type":"idle"' in got.stdout

    @property
    def socket(self):
        return os.path.join(self.dir, "svc", "run", "verdanta", "zorvi-upgrade", "socket")

    def log(self, name):
        try:
            with open(os.path.join(self.dir, name), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def reset_packages(self):
        with open(os.path.join(self.dir, "dpkg", "status"), "w", encoding="utf-8") as f:
            f.write("\n".join(
                f"Package: {p}\nStatus: install ok installed\nPriority: optional\nSection: misc\n"
                f"Maintainer: Fleet Test <fleet@localhost>\nArchitecture: all\nVersion: 1.0\n"
                f"Description: {p} (old stack)\n" for p in OLD_STACK))

    def packages(self):
        with open(os.path.join(self.dir, "dpkg", "status"), encoding="utf-8") as f:
            return sorted(line.split(": ", 1)[1].strip() for line in f if line.startswith("Package: "))

    def set_rules(self, rules):
        """Rules for this hub's stubs; they apply from the service's next start."""
        with open(os.path.join(self.dir, "rules"), "w", encoding="utf-8") as f:
            f.write("".join(r + "\n" for r in rules))

    def restart_service(self):
        """As an operator's reboot: the service starts again and reads its rules.
        Returns a wait for its end."""
        before = self.log("reboots").count("reboot")
        with open(os.path.join(self.dir, "svc", "run", "restart-requested"), "w") as f:
            f.write("restart\n")

        def wait():
            wait_until(lambda: self.log("reboots").count("reboot") > before, 15,
                       self.name + " to restart")
            wait_until(self.service_idle, 30, self.name + "'s service")
        return wait

    def reboots(self):
        """Restarts the hub's own reboot step asked for (not the test's restarts)."""
        return sum(1 for line in self.calls().splitlines() if line.startswith("reboot\t"))

    def calls(self):
        """Every stub call the hub's service made, over all its restarts."""
        return self.log("calls.log") + self.log(os.path.join("svc", "stub.log"))

    def procedures_run(self):
        """How many procedures got as far as their first step here."""
        return sum(1 for line in self.calls().splitlines()
                   if line.startswith("cp\t") and "apt-preferences" in line)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            # unshare ignores SIGTERM while it waits; the hub's process 1 stops
            # its service and SSH server, and the kernel ends the rest of the hub.
            if self.init:
                os.kill(self.init, signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)


class Fleet:
    """count hubs; models[i] replaces the model of hub i+1 (None: no model file)."""

    def __init__(self, count, models=None):
        self.dir = tempfile.mkdtemp(prefix="zf-")
        os.chmod(self.dir, 0o755)
        self.hubs = []
        self.runs = 0
        try:
            self._keys()
            ip("link", "set", "lo", "up")
            ip("link", "add", BRIDGE, "type", "bridge")
            ip("addr", "add", NET + "1/24", "dev", BRIDGE)
            ip("link", "set", BRIDGE, "up")
            models = models or {}
            for i in range(1, count + 1):
                hub = TestHub(self, i, models.get(i, "arko-3b2-nx\n"))
                self.hubs.append(hub)
                hub.start(i)
            for hub in self.hubs:
                hub.wait_ready()
        except BaseException:
            self.close()
            raise

    def _keys(self):
        self.key = os.path.join(self.dir, "id_ed25519")
        host_key = os.path.join(self.dir, "host_ed25519")
        for path in (self.key, host_key):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", path], check=True)
        with open(self.key + ".pub", encoding="utf-8") as f:
            self.public_key = f.read()
        self.sshd_config = os.path.join(self.dir, "sshd_config")
        with open(self.sshd_config, "w", encoding="utf-8") as f:
            f.write(f"HostKey {host_key}\nPidFile none\nPermitRootLogin prohibit-password\n"
                    "PasswordAuthentication no\nKbdInteractiveAuthentication no\nUsePAM no\n"
                    "StrictModes no\nUseDNS no\nPrintMotd no\nMaxStartups 100\nMaxSessions 100\n"
                    "LogLevel ERROR\nSubsystem sftp internal-sftp\n")

    def hub(self, name):
        return next(h for h in self.hubs if h.name == name)

    def inventory(self, extra=(), order=None):
        """An inventory of every hub and `extra` (name, address) entries, in
        `order` (names) if given."""
        path = os.path.join(self.dir, "hubs.ini")
        entries = [(h.name, h.address) for h in self.hubs] + list(extra)
        if order:
            entries.sort(key=lambda e: order.index(e[0]))
        with open(path, "w", encoding="utf-8") as f:
            f.write("[hubs]\n")
            for name, address in entries:
                f.write(f"{name} ansible_host={address}\n")
            f.write("\n[hubs:vars]\nansible_user=root\nansible_python_interpreter=/usr/bin/python3\n")
        return path

    def rollout(self, inventory, *extra_args, timeout=600, **variables):
        """Runs the playbook; (exit status, output, {hub: record}) of this run."""
        home = os.path.join(self.dir, "home")
        os.makedirs(os.path.join(home, "cp"), exist_ok=True)
        records = os.path.join(self.dir, "records")
        settings = {"zorvi_fleet_ctl": CTL, "zorvi_fleet_records": records,
                    "zorvi_fleet_poll_seconds": 1, **variables}
        env = dict(os.environ, HOME=home, ANSIBLE_CONFIG=os.path.join(ROOT, "fleet", "ansible.cfg"), ANSIBLE_LOCAL_TEMP=os.path.join(home, "tmp"),
                   ANSIBLE_PRIVATE_KEY_FILE=self.key, ANSIBLE_HOST_KEY_CHECKING="False",
                   ANSIBLE_SSH_ARGS=(f"-o ControlMaster=auto -o ControlPersist=60s "
                                     f"-o ControlPath={home}/cp/%C -o ConnectTimeout=5 "
                                     "-o UserKnownHostsFile=/dev/null -o LogLevel=ERROR"),
                   ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="False")
        before = set(os.listdir(records)) if os.path.isdir(records) else set()
        started = time.monotonic()
        self.runs += 1
        log = os.path.join(self.dir, "ansible-%d.log" % self.runs)
        with open(log, "w", encoding="utf-8") as out:
            got = subprocess.run(["ansible-playbook", "-i", inventory, PLAYBOOK,
                                  "-e", json.dumps(settings), *extra_args],
                                 stdout=out, stderr=subprocess.STDOUT, env=env, timeout=timeout,
                                 stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
        with open(log, encoding="utf-8", errors="replace") as f:
            output = f.read()
        self.last_seconds = time.monotonic() - started
        runs = sorted(set(os.listdir(records)) - before) if os.path.isdir(records) else []
        found = {}
        for run in runs:
            for name in os.listdir(os.path.join(records, run)):
                with open(os.path.join(records, run, name), encoding="utf-8") as f:
                    record = json.load(f)
                found[record["hub"]] = record
        return got.returncode, output, found

    def close(self):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # a second stop must not cut the cleanup short
        for hub in self.hubs:
            hub.stop()
        self._end_strays()
        keep = os.environ.get("ZORVI_FLEET_KEEP")  # a directory for the engine's logs and the records
        if keep:
            shutil.copytree(self.dir, keep, dirs_exist_ok=True,
                            ignore=lambda d, names: [] if d != self.dir else [
                                n for n in names if n.startswith(("hub", "home", "id_", "host_"))])
        shutil.rmtree(self.dir, ignore_errors=True)

    @staticmethod
    def _end_strays():
        """SSH connection masters the engine left behind: every process in this
        network namespace but this one was started by this test."""
        mine = os.readlink("/proc/self/ns/net")
        if mine == os.environ.get("ZORVI_FLEET_OUTER_NET", mine):
            return  # not in a namespace of its own: nothing here is only this test's
        strays = []
        for entry in filter(str.isdigit, os.listdir("/proc")):
            pid = int(entry)
            try:
                if pid != os.getpid() and os.readlink(f"/proc/{pid}/ns/net") == mine \
                        and pid not in (os.getppid(),):
                    strays.append(pid)
            except OSError:
                continue
        for pid in strays:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
