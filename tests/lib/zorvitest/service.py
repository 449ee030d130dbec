"""zorvi-upgrade started in the sandbox (dev/sandbox), and clients of it.

The programs come from CMake: ZORVI_DAEMON (may carry an emulator prefix,
"qemu-arm ... zorvi-upgrade") and ZORVI_SANDBOX (may carry options,
"dev/sandbox --empty-root" for a static build). Every wait is bounded and
every process a test starts is ended by its pid.
"""
import os
import re
import signal
import socket
import subprocess
import tempfile
import time

from . import pids, wait
from .wait import wait_until

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
SANDBOX = os.environ.get("ZORVI_SANDBOX", os.path.join(SOURCE, "dev", "sandbox")).split()
# The empty root has no perl (for the mend-dpkg stub action) and runs only the
# daemon itself, not a shell line around it.
EMPTY_ROOT = "--empty-root" in SANDBOX
# Read when a Service starts: the stress tests put a preload or valgrind before it.
DAEMON = os.environ.get("ZORVI_DAEMON", os.path.join(SOURCE, "build", "plain", "zorvi-upgrade")).split()

SOCKET = "run/verdanta/zorvi-upgrade/socket"

# What AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer print.
# A worker that reports one aborts and is simply restarted by the launcher, so
# the harness must read the output for it or the sanitizer build stays green.
SANITIZER_REPORT = re.compile(r"^.*(?:ERROR: (?:Address|Leak)Sanitizer|runtime error: ).*$", re.M)


def sanitizer_reports(text):
    return SANITIZER_REPORT.findall(text)


class Client:
    """One connection to the service's socket; datagrams as text."""

    def __init__(self, path, timeout=5.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            self.sock.settimeout(wait.scaled(timeout))
            self.sock.connect(path)
        except OSError:
            self.sock.close()
            raise

    def send(self, text):
        self.sock.send(text.encode() if isinstance(text, str) else text)

    def recv(self, timeout=5.0):
        """The next datagram as text; None when nothing came in time; '' at end of stream."""
        self.sock.settimeout(wait.scaled(timeout))
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
        deadline = time.monotonic() + wait.scaled(timeout)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no matching datagram; got %r" % got)
            text = self.recv(left / wait.SLOW)
            if text is None or text == "":
                raise AssertionError("no matching datagram; got %r then %r" % (got, text))
            got.append(text)
            if predicate(text):
                return got

    def close(self):
        self.sock.close()


class Service:
    """zorvi-upgrade in the sandbox with a state directory of its own; its
    stdout and stderr kept in files there."""

    def __init__(self, *options, wait_ready=True, state=None, command=None, step_delay=None):
        """`options` go to dev/sandbox; "{state}" in them is the state directory
        (the only host directory that the empty root of a static build holds).
        state: the directory of an earlier run whose /run this one keeps, as a
        restart of the service on the same hub would. command: what runs in the
        sandbox instead of the daemon alone (a shell line; $DAEMON is the
        daemon's command). step_delay: how long every stub call takes."""
        self.state = state or tempfile.mkdtemp(prefix="zorvi-test-")
        os.chmod(self.state, 0o755)  # the sandbox's unprivileged accounts reach the socket through it
        self.out_path = os.path.join(self.state, "stdout.log")
        self.err_path = os.path.join(self.state, "stderr.log")
        run = DAEMON if command is None else ["/bin/sh", "-c", command.replace("$DAEMON", " ".join(DAEMON))]
        delay = ["--step-delay", step_delay] if step_delay is not None else []
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(
                [*SANDBOX, "--state", self.state, *delay, *(o.replace("{state}", self.state) for o in options),
                 "--", *run],
                stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        self.exit_status = None
        self.clients = []
        if wait_ready:
            try:
                self.wait_ready()
            except BaseException:
                self.close()
                raise

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
        """Both workers up: the frontend listens and the backend announced idle.
        Exactly one connection, the readiness probe, is made."""
        def started():
            if self.proc.poll() is not None:
                raise AssertionError("the sandbox ended with status %d; its output ends:\n%s"
                                     % (self.proc.returncode, self.log()[-1500:]))
            return "Frontend pid=" in self.stdout() and "Backend pid=" in self.stdout()
        try:
            wait_until(started, 20, "both workers to start")
            c = wait_until(self._try_connect, 10, "the socket")
            try:
                c.recv_until(lambda t: t == "nfy;idle;;;", 10)
            finally:
                c.close()
        except AssertionError as err:
            raise AssertionError("%s; the service's output ends:\n%s" % (err, self.log()[-1500:])) from None

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

    def log(self):
        """Both outputs, stdout first."""
        return self.stdout() + self.stderr()

    def stub_calls(self):
        return stub_calls(self.state)

    def wait_for_call(self, call, timeout=15):
        """Waits until a stub was called with exactly `call` ("apt-get update")."""
        wait_until(lambda: any(("%s %s" % c[:2]).strip() == call for c in self.stub_calls()), timeout,
                   "the stub call " + call)

    def open_gate(self, name="gate"):
        """Lets a stub held by "gate={state}/NAME" return."""
        with open(os.path.join(self.state, name), "w", encoding="ascii"):
            pass

    def wait_connected(self, count, timeout=10):
        """Waits until `count` clients have connected since the start (the readiness probe is one)."""
        wait_until(lambda: self.stdout().count(" connected.") >= count, timeout, "%d connections" % count)

    def worker_pids(self, name):
        """Pids (as the sandbox sees them) of the workers that logged "<name> pid=", in order."""
        return [int(p) for p in re.findall(name + r" pid=(\d+)", self.stdout())]

    def host_pid(self, ns_pid):
        """The host's pid of the process with pid ns_pid in the sandbox, or None."""
        return pids.host_pid(ns_pid, self.launcher_pid())

    def worker_host_pid(self, name):
        """Host pid of the newest worker that logged "<name> pid="."""
        logged = self.worker_pids(name)
        pid = self.host_pid(logged[-1]) if logged else None
        if pid is None:
            raise AssertionError("no live %s worker %s in the sandbox" % (name, logged[-1:]))
        return pid

    def live_worker(self, name):
        """Host pid of the live (not zombie) child of the launcher that logged
        "<name> pid=" last, or None."""
        logged = self.worker_pids(name)
        if not logged:
            return None
        for pid, state in pids.children(self.launcher_pid()).items():
            if state != "Z" and pids.ns_pid(pid) == logged[-1]:
                return pid
        return None

    def processes(self):
        """{host pid: state} of every process in the service's pid namespace."""
        return pids.in_namespace_of(self.launcher_pid())

    def send_signal(self, signum):
        self.proc.send_signal(signum)

    def stop(self, signum=signal.SIGTERM, timeout=10):
        """`signum` to the sandbox, which passes it on; the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        try:
            self.exit_status = self.proc.wait(wait.scaled(timeout))
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.exit_status = self.proc.wait(5)
            raise AssertionError("the service did not stop within %s s" % timeout)
        return self.exit_status

    def close(self, keep_state=False):
        """Ends the service, if still running, and fails on a sanitizer report in
        its output."""
        for c in self.clients:
            c.close()
        self.clients = []
        # SIGTERM, not SIGKILL: the sandbox passes it on and ends everything in
        # its namespace, so nothing writes into the state directory afterwards.
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(wait.scaled(10))
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        reports = sanitizer_reports(self.log())
        if not keep_state:
            subprocess.run(["rm", "-rf", "--one-file-system", self.state], check=False)
        if reports:
            raise AssertionError("the service's output holds sanitizer reports:\n" + "\n".join(reports))


def stub_calls(state):
    """[(name, args, DEBIAN_FRONTEND field)] from the stub log of a sandbox's state directory."""
    try:
        with open(os.path.join(state, "stub.log"), encoding="utf-8") as f:
            return [tuple(line.rstrip("\n").split("\t")) for line in f]
    except FileNotFoundError:
        return []


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
