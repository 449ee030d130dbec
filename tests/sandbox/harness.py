"""Shared by the sandbox's tests: running dev/sandbox and reading what it left."""

import contextlib
import functools
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from zorvitest import run
from zorvitest.service import SOURCE as ROOT, stub_calls
from zorvitest.wait import wait_until

SANDBOX = os.path.join(ROOT, "dev", "sandbox")
PYTHON = sys.executable
LIMIT = 30  # seconds any one sandbox run may take


class SandboxCase(unittest.TestCase):
    def setUp(self):
        self.state = tempfile.mkdtemp(prefix="sandbox-test.")

    def tearDown(self):
        shutil.rmtree(self.state, ignore_errors=True)

    def argv(self, command, *options):
        return [SANDBOX, "--state", self.state, *options, "--", *command]

    def run_in(self, command, *options, env=None):
        """Runs command in a sandbox; returns the CompletedProcess (text)."""
        return subprocess.run(self.argv(command, *options), capture_output=True, text=True,
                              timeout=LIMIT, env=env, stdin=subprocess.DEVNULL)

    def python_in(self, code, *options):
        return self.run_in([PYTHON, "-c", code], *options)

    @contextlib.contextmanager
    def started(self, command, *options):
        """A sandbox running in the background; killed if still there at the end."""
        process = subprocess.Popen(self.argv(command, *options), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)
        try:
            yield process
        finally:
            if process.poll() is None:
                process.kill()
            process.communicate()

    def log(self):
        """The stub calls so far, as (name, args, DEBIAN_FRONTEND field) tuples."""
        return stub_calls(self.state)

    def command_pid(self):
        path = os.path.join(self.state, "pid")
        wait_until(lambda: os.path.exists(path), 10, "the command's pid file")
        with open(path, encoding="ascii") as f:
            return int(f.read())


main = functools.partial(run.main, "the sandbox's tests (namespaces and mounts)")
