"""The service, started in the sandbox, and clients of it, for end-to-end tests.

Every wait is bounded; every process a test starts is ended by pid.
"""
import os
import re
import signal
import socket
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The sandbox, possibly with options ("tools/sandbox --empty-root" for a static build).
SANDBOX = os.environ.get("ZORVI_SANDBOX", os.path.join(ROOT, "tools", "sandbox")).split()
# The empty root has no perl (for the mend-dpkg stub action) and runs only the
# daemon itself, not a shell line around it.
EMPTY_ROOT = "--empty-root" in SANDBOX
# The daemon, possibly behind an emulator ("qemu-arm -cpu arm1176 ... zorvi-upgrade").
DAEMON = os.environ.get("ZORVI_DAEMON", os.path.join(ROOT, "build", "plain", "zorvi-upgrade")).split()
# Emulated runs are slower; every bound scales with this.
SLOW = float(os.environ.get("ZORVI_TIME_SCALE", "1"))

SOCKET = "run/verdanta/zorvi-upgrade/socket"

# What AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer print.
# A worker that reports one aborts and is simply restarted by the launcher, so
# the harness must read the output for it or the sanitizer build stays green.
SANITIZER_REPORT = re.compile(r"^.*(?:ERROR: (?:Address|Leak)Sanitizer|runtime error: ).*$", re.M)


def sanitizer_reports(text):
    return SANITIZER_REPORT.findall(text)


def wait_until(predicate, timeout, what, interval=0.01):
    deadline = time.monotonic() + timeout * SLOW
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out waiting for " + what)


class Client:
    def __init__(self, path, timeout=5.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.sock.settimeout(timeout * SLOW)
        self.sock.connect(path)

    def send(self, text):
        self.sock.send(text.encode() if isinstance(text, str) else text)

    def recv(self, timeout=5.0):
        """The next datagram as text; None when nothing came in time; '' at end of stream."""
        self.sock.settimeout(timeout * SLOW)
        try:
            return self.sock.recv(4096).decode("latin-1")
        except socket.timeout:
            return None

    def pending(self):
        """A datagram already queued, without waiting; None when there is none."""
        try:
            return self.sock.recv(4096, socket.MSG_DONTWAIT).decode("latin-1")
        except (BlockingIOError, TimeoutError):  # the latter when the socket has a timeout
            return None

    def recv_until(self, predicate, timeout=15.0):
        got = []
        deadline = time.monotonic() + timeout * SLOW
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no matching datagram; got %r" % got)
            text = self.recv(left / SLOW)
            if text is None or text == "":
                raise AssertionError("no matching datagram; got %r then %r" % (got, text))
            got.append(text)
            if predicate(text):
                return got

    def close(self):
        self.sock.close()


class Service:
    """zorvi-upgrade in the sandbox; stdout and stderr kept in files."""

    def __init__(self, *options, wait_ready=True, state=None, command=None):
        """`options` go to tools/sandbox; "{state}" in them is the state directory
        (the only host directory that the empty root of a static build holds).
        state: the directory of an earlier run whose /run this one keeps, as a
        restart of the service on the same hub would. command: what runs in the
        sandbox instead of the daemon alone (a shell line; $DAEMON is the
        daemon's command)."""
        self.state = state or tempfile.mkdtemp(prefix="zorvi-e2e-")
        os.chmod(self.state, 0o755)  # so the sandbox's unprivileged accounts can reach the socket
        self.out_path = os.path.join(self.state, "stdout.log")
        self.err_path = os.path.join(self.state, "stderr.log")
        run = DAEMON if command is None else ["/bin/sh", "-c", command.replace("$DAEMON", " ".join(DAEMON))]
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(
                [*SANDBOX, "--state", self.state, *(o.replace("{state}", self.state) for o in options),
                 "--", *run],
                stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        self.exit_status = None
        self.clients = []
        if wait_ready:
            self.wait_ready()

    @property
    def socket_path(self):
        return os.path.join(self.state, SOCKET)

    def launcher_pid(self):
        def read():
            try:
                with open(os.path.join(self.state, "pid")) as f:
                    return int(f.read().strip() or 0)
            except (FileNotFoundError, ValueError):
                return 0
        return wait_until(read, 10, "the sandbox's pid file")

    def wait_ready(self):
        """Both workers up: the frontend listens and the backend announced idle."""
        wait_until(lambda: "Frontend pid=" in self.stdout() and "Backend pid=" in self.stdout(),
                   20, "both workers to start")
        c = wait_until(self._try_connect, 10, "the socket")
        c.recv_until(lambda t: t == "nfy;idle;;;", 10)
        c.close()

    def _try_connect(self):
        try:
            return Client(self.socket_path)
        except OSError:
            return None

    def client(self):
        c = Client(self.socket_path)
        self.clients.append(c)
        return c

    def stdout(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("latin-1")

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("latin-1")

    def stub_calls(self):
        """[(name, args, frontend)] from the stub log."""
        calls = []
        try:
            with open(os.path.join(self.state, "stub.log")) as f:
                for line in f:
                    name, args, frontend = line.rstrip("\n").split("\t")
                    calls.append((name, args, frontend))
        except FileNotFoundError:
            pass
        return calls

    def worker_pids(self, name):
        """Host pids of the workers that logged "<name> pid=", in order of their lines."""
        ns = [int(p) for p in re.findall(name + r" pid=(\d+)", self.stdout())]
        return ns

    def host_pid(self, ns_pid):
        """Maps a pid as the sandbox sees it to the host's pid."""
        launcher = self.launcher_pid()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/status" % entry) as f:
                    status = f.read()
            except OSError:
                continue
            m = re.search(r"^NSpid:\s+(.*)$", status, re.M)
            if not m:
                continue
            ids = [int(x) for x in m.group(1).split()]
            if len(ids) >= 2 and ids[-1] == ns_pid and self._in_sandbox(int(entry), launcher):
                return int(entry)
        return None

    @staticmethod
    def _in_sandbox(pid, launcher):
        try:
            return os.readlink("/proc/%d/ns/pid" % pid) == os.readlink("/proc/%d/ns/pid" % launcher)
        except OSError:
            return False

    def send_signal(self, signum):
        self.proc.send_signal(signum)

    def stop(self, signum=signal.SIGTERM, timeout=10):
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        try:
            self.exit_status = self.proc.wait(timeout * SLOW)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.exit_status = self.proc.wait(5)
            raise AssertionError("the service did not stop within %s s" % timeout)
        return self.exit_status

    def close(self, keep_state=False):
        for c in self.clients:
            c.close()
        self.clients = []
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        reports = sanitizer_reports(self.stdout() + self.stderr())
        if not keep_state:
            subprocess.run(["rm", "-rf", self.state], check=False)
        if reports:
            raise AssertionError("the service's output holds sanitizer reports:\n" + "\n".join(reports))


def command_calls(command_lines):
    """The stub calls a list of step command lines makes: one per simple command."""
    calls = []
    for line in command_lines:
        for part in line.split("; "):
            name, _, args = part.partition(" ")
            calls.append((name, args))
    return calls


def account(state, name):
    """(uid, gid, supplementary gids) of a sandbox account, from its passwd and group files."""
    with open(os.path.join(state, "etc", "passwd")) as f:
        for line in f:
            fields = line.split(":")
            if fields[0] == name:
                uid, gid = int(fields[2]), int(fields[3])
                break
        else:
            raise KeyError(name)
    groups = []
    with open(os.path.join(state, "etc", "group")) as f:
        for line in f:
            fields = line.rstrip("\n").split(":")
            if name in fields[3].split(","):
                groups.append(int(fields[2]))
    return uid, gid, groups
