"""Valgrind memcheck over a whole run: requests of every kind, hostile input,
many connects, a complete procedure and a stop. Every process of the daemon
must end with no memory error and no leak (definite, indirect or possible)."""
import os
import re
import shutil
import tempfile
import unittest

from stress import connect
from zorvitest import service, wait
from zorvitest.service import Service
from zorvitest.wait import wait_until

VALGRIND = shutil.which("valgrind")
SLOWDOWN = 5  # memcheck runs the daemon this many times slower, roughly


@unittest.skipIf(VALGRIND is None, "valgrind is not installed")
class Memcheck(unittest.TestCase):
    def setUp(self):
        self.logs = tempfile.mkdtemp(prefix="zorvi-memcheck-")
        os.chmod(self.logs, 0o777)
        self.saved = service.DAEMON, wait.SLOW
        # Workers are forked, not executed, so memcheck follows them by itself;
        # the step commands that the shell runs are not the daemon's and stay out.
        service.DAEMON = [VALGRIND, "--tool=memcheck", "--leak-check=full",
                          "--show-leak-kinds=definite,indirect,possible",
                          "--errors-for-leak-kinds=definite,indirect,possible",
                          "--log-file=%s/memcheck.%%p" % self.logs] + service.DAEMON
        wait.SLOW = self.saved[1] * SLOWDOWN

    def tearDown(self):
        service.DAEMON, wait.SLOW = self.saved
        shutil.rmtree(self.logs, ignore_errors=True)

    def exercise(self, s):
        c = s.client()
        self.assertEqual(c.recv(), "nfy;idle;;;")
        for n in range(1, 101):
            for text, answer in (("req;%d;revert", "rsp;%d;false;unsupported command"),
                                 ("req;%d;bogus", "rsp;%d;false;invalid request")):
                c.send(text % n)
                self.assertEqual(c.recv(), answer % n)
        for text in (b"x" * 65536, b"\0" * 100, b"req;1;cancel\0"):
            c.send(text)
            self.assertIsNotNone(c.recv())
        for _ in range(50):
            connect(s.socket_path).close()
        empty = connect(s.socket_path)
        empty.send(b"")
        empty.close()
        c.send("req;7;erase_upgrade")
        self.assertEqual(c.recv(), "rsp;7;true;")
        c.recv_until(lambda t: t.endswith(";completed;;Completed"), 120)
        wait_until(lambda: len(s.worker_pids("Backend")) == 2, 20, "the next backend")
        c.recv_until(lambda t: t == "nfy;idle;;;", 20)

    def test_a_whole_run_has_no_memory_errors_and_no_leaks(self):
        s = Service()
        try:
            self.exercise(s)
            self.assertEqual(s.stop(timeout=30), 0)
            roles = {pid: "frontend" for pid in s.worker_pids("Frontend")}
            roles.update({pid: "backend" for pid in s.worker_pids("Backend")})
        finally:
            s.close()

        logs = {}
        for name in os.listdir(self.logs):
            with open(os.path.join(self.logs, name)) as f:
                text = f.read()
            parent = re.search(r"Parent PID: (\d+)", text)
            errors = re.search(r"ERROR SUMMARY: (\d+) errors", text)
            logs[int(name.split(".")[1])] = (int(parent.group(1)) if parent else None,
                                             int(errors.group(1)) if errors else None, text)
        # The launcher's parent is the sandbox; the other logs without a worker's
        # pid are the shells of the steps, which memcheck leaves at their exec.
        launcher = [pid for pid, (parent, _, _) in logs.items() if parent not in logs]
        self.assertEqual(len(launcher), 1)
        roles[launcher[0]] = "launcher"
        daemon = {pid: (roles[pid], errors, text) for pid, (_, errors, text) in logs.items() if pid in roles}
        steps = [pid for pid in logs if pid not in roles]
        print("memcheck: " + ", ".join("%s %d: %s" % (role, pid, "no summary" if errors is None
                                                      else "%d errors" % errors)
                                       for pid, (role, errors, _) in sorted(daemon.items()))
              + "; %d step shells left at exec" % len(steps))
        self.assertEqual(sorted(role for role, _, _ in daemon.values()),
                         ["backend", "backend", "frontend", "launcher"])
        for pid, (role, errors, text) in daemon.items():
            self.assertEqual(errors, 0, "%s %d:\n%s" % (role, pid, text[-3000:]))
        for pid in steps:
            self.assertIn(logs[pid][0], [p for p, (r, _, _) in daemon.items() if r == "backend"])


if __name__ == "__main__":
    unittest.main()
