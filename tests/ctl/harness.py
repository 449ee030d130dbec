"""The client against a real service in the sandbox, for the ctl_ tests.

Every wait is bounded and every process a test starts is ended by its pid.
The programs come from CMake: ZORVI_DAEMON, ZORVI_CTL (each may carry an
emulator prefix), ZORVI_SANDBOX, and ZORVI_TIME_SCALE for slow (emulated) runs.
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

# Exit codes, as the manual page documents them; the tests import them from here.
from exit_codes import (BUSY, CODES, DENIED, LOST, NOT_RUNNING, REFUSED, STEP_FAILED,  # noqa: F401
                        SUCCESS, TIMED_OUT, USAGE)
from zorvitest.procedures import ERASE, MIGRATION, step  # noqa: F401

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SANDBOX = os.environ.get("ZORVI_SANDBOX", os.path.join(ROOT, "tools", "sandbox")).split()
DAEMON = os.environ.get("ZORVI_DAEMON", os.path.join(ROOT, "build", "plain", "zorvi-upgrade")).split()
CLIENT = os.environ.get("ZORVI_CTL", os.path.join(
    ROOT, "build", "plain", "tools", "zorvi-upgradectl", "zorvi-upgradectl")).split()
SLOW = float(os.environ.get("ZORVI_TIME_SCALE", "1"))
SKIP = 77  # CTest's SKIP_RETURN_CODE: the sandbox needs root

SOCKET = "run/verdanta/zorvi-upgrade/socket"
# What AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer print.
SANITIZER_REPORT = re.compile(r"^.*(?:ERROR: (?:Address|Leak)Sanitizer|runtime error: ).*$", re.M)
# Every stub call takes this long, so a procedure runs long enough to watch
# (about 30 calls: 1.5 s for the erase procedure).
STEP_DELAY = "0.05"

ERASE_KEYS = [key for key, *_ in ERASE[1:]]


def described(name, row):
    """A step as the client prints it: "erase_upgrade 3.656% Preparing software installation (apt_update)"."""
    key, text, progress, _ = row
    return "%s %s%% %s (%s)" % (name, progress, text, key)


def scaled(seconds):
    return seconds * SLOW


def wait_until(predicate, timeout, what, interval=0.02):
    deadline = time.monotonic() + scaled(timeout)
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out waiting for " + what)


class Service:
    """zorvi-upgrade in the sandbox, with its own state directory."""

    def __init__(self, *options, step_delay=STEP_DELAY):
        """`options` go to tools/sandbox; "{state}" in them is the state directory."""
        self.state = tempfile.mkdtemp(prefix="zorvi-ctl-")
        os.chmod(self.state, 0o755)  # the sandbox's unprivileged accounts reach the socket through it
        self.log_path = os.path.join(self.state, "service.log")
        options = [o.replace("{state}", self.state) for o in options]
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(
                [*SANDBOX, "--state", self.state, "--step-delay", step_delay, *options, "--", *DAEMON],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        self.socket = os.path.join(self.state, SOCKET)
        try:
            self._wait_idle()
        except BaseException:
            self.close()
            raise

    def _wait_idle(self):
        def idle():
            if self.proc.poll() is not None:
                raise AssertionError("the sandbox ended: " + self.log())
            s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            s.settimeout(scaled(2))
            try:
                s.connect(self.socket)
                return s.recv(256) == b"nfy;idle;;;"
            except OSError:
                return False
            finally:
                s.close()
        try:
            wait_until(idle, 20, "the service to announce idle")
        except AssertionError as err:
            raise AssertionError("%s; its log ends:\n%s" % (err, self.log()[-1500:])) from None

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("latin-1")

    def stub_calls(self):
        try:
            with open(os.path.join(self.state, "stub.log"), encoding="utf-8") as f:
                return [line.split("\t")[:2] for line in f]
        except FileNotFoundError:
            return []

    def open_gate(self, name="gate"):
        with open(os.path.join(self.state, name), "w", encoding="ascii"):
            pass

    def wait_for_call(self, call, timeout=15):
        """Waits until a stub was called with exactly `call` ("apt-get update")."""
        wait_until(lambda: any(" ".join(c).strip() == call for c in self.stub_calls()), timeout,
                   "the stub call " + call)

    def wait_connected(self, count, timeout=10):
        """Waits until `count` clients have connected since the start (the readiness probe is one)."""
        wait_until(lambda: self.log().count(" connected.") >= count, timeout, "%d connections" % count)

    def worker_host_pid(self, name):
        """Host pid of the newest worker that logged "<name> pid=N" (N as the sandbox sees it)."""
        ns_pid = int(re.findall(name + r" pid=(\d+)", self.log())[-1])
        sandbox_ns = os.readlink("/proc/%d/ns/pid" % self.launcher_pid())
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/status" % entry) as f:
                    found = re.search(r"^NSpid:\s+(.*)$", f.read(), re.M)
                if found and int(found.group(1).split()[-1]) == ns_pid \
                        and os.readlink("/proc/%s/ns/pid" % entry) == sandbox_ns:
                    return int(entry)
            except (OSError, ValueError):
                continue
        raise AssertionError("no %s worker with pid %d in the sandbox" % (name, ns_pid))

    def launcher_pid(self):
        with open(os.path.join(self.state, "pid"), encoding="ascii") as f:
            return int(f.read())

    def stop(self):
        """SIGTERM to the sandbox, which passes it on; returns its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(scaled(10))
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
            raise AssertionError("the service did not stop on SIGTERM")

    def close(self):
        # SIGTERM, not SIGKILL: the sandbox passes it on and ends everything in
        # its namespace, so nothing writes into the state directory afterwards.
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(scaled(10))
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        # A worker's sanitizer report ends only that worker, which the launcher
        # restarts: read the log for them, or the sanitizer build stays green.
        reports = SANITIZER_REPORT.findall(self.log())
        shutil.rmtree(self.state, ignore_errors=True)
        if reports:
            raise AssertionError("the service's output holds sanitizer reports:\n" + "\n".join(reports))


def client_argv(*args, socket_path=None, prefix=()):
    extra = ["--socket", socket_path] if socket_path else []
    return [*prefix, *CLIENT, *extra, *args]


def run_client(*args, socket_path=None, timeout=30, prefix=()):
    """Runs the client to its end with output on pipes; a CompletedProcess (text)."""
    return subprocess.run(client_argv(*args, socket_path=socket_path, prefix=prefix),
                          capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          timeout=scaled(timeout))


def start_client(*args, socket_path=None):
    return subprocess.Popen(client_argv(*args, socket_path=socket_path), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)


def finish(proc, timeout=30):
    """Output of a started client once it ended; it is killed if it overstays."""
    try:
        out, err = proc.communicate(timeout=scaled(timeout))
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate(timeout=10)
        raise AssertionError("the client did not end within %s s" % timeout)
    return proc.returncode, out, err


def end(*procs):
    """Kills clients a failed test left running."""
    for p in procs:
        if p.poll() is None:
            p.kill()
            p.wait(10)


def json_lines(text):
    return [json.loads(line) for line in text.splitlines()]


class ServiceCase(unittest.TestCase):
    """Starts a service per test; `self.service`, `self.socket`."""
    service_options = ()

    def setUp(self):
        self.service = Service(*self.service_options)
        self.socket = self.service.socket

    def tearDown(self):
        self.service.close()

    def client(self, *args, **kw):
        return run_client(*args, socket_path=self.socket, **kw)

    def assertExit(self, result, code):
        self.assertEqual(result.returncode, code,
                         "exit %d, wanted %d\nstdout: %s\nstderr: %s\nservice: %s"
                         % (result.returncode, code, result.stdout, result.stderr, self.service.log()[-2000:]))


def main():
    if os.geteuid() != 0:
        print("the client's tests run the service in the sandbox, which needs root: skipped")
        sys.exit(SKIP)
    unittest.main(verbosity=2)
