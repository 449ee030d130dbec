"""The client against a real service in the sandbox, for the ctl_ tests.

Every wait is bounded and every process a test starts is ended by its pid.
The client comes from CMake as ZORVI_CTL (it may carry an emulator prefix);
the service, the sandbox and the time scale are zorvitest's.
"""
import functools
import json
import os
import subprocess
import unittest

# Exit codes, as the manual page documents them; the tests import them from here.
from exit_codes import (BUSY, CODES, DENIED, LOST, NOT_RUNNING, REFUSED, STEP_FAILED,  # noqa: F401
                        SUCCESS, TIMED_OUT, USAGE)
from zorvitest import run
from zorvitest.procedures import ERASE, MIGRATION, step  # noqa: F401
from zorvitest.service import SOURCE, Service
from zorvitest.wait import scaled, wait_until  # noqa: F401

CLIENT = os.environ.get("ZORVI_CTL", os.path.join(
    SOURCE, "build", "plain", "ctl", "zorvi-upgradectl")).split()

# Every stub call takes this long, so a procedure runs long enough to watch
# (about 30 calls: 1.5 s for the erase procedure).
STEP_DELAY = "0.05"

ERASE_KEYS = [key for key, *_ in ERASE[1:]]


def described(name, row):
    """A step as the client prints it: "erase_upgrade 3.656% Preparing software installation (apt_update)"."""
    key, text, progress, _ = row
    return "%s %s%% %s (%s)" % (name, progress, text, key)


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
        self.service = Service(*self.service_options, step_delay=STEP_DELAY)
        self.socket = self.service.socket_path

    def tearDown(self):
        self.service.close()

    def client(self, *args, **kw):
        return run_client(*args, socket_path=self.socket, **kw)

    def assertExit(self, result, code):
        self.assertEqual(result.returncode, code,
                         "exit %d, wanted %d\nstdout: %s\nstderr: %s\nservice: %s"
                         % (result.returncode, code, result.stdout, result.stderr, self.service.log()[-2000:]))


main = functools.partial(run.main, "the client's tests (the service runs in the sandbox)")
