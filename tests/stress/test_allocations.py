"""No heap on the I/O paths: the workers allocate nothing after start-up.

The daemon runs with dev/alloccount preloaded; every process keeps its own
counts. Start-up may allocate (account lookup, privilege drop); from then on
100,000 requests and a whole upgrade procedure must add none in any of the
three processes.
"""
import os
import tempfile
import threading
import unittest

import alloccount
from stress import connect
from zorvitest import service
from zorvitest.service import Service
from zorvitest.wait import wait_until

REQUESTS = int(os.environ.get("ZORVI_ALLOC_REQUESTS", "100000"))
CLIENTS = 4
# Both workers' paths and the frontend's own answer, with what each gets back.
KINDS = (("req;%d;revert", "rsp;%d;false;unsupported command"),
         ("req;%d;cancel", "rsp;%d;false;unsupported command"),
         ("req;%d;bogus", "rsp;%d;false;invalid request"),
         ("hello %d", "rsp;;false;invalid request"))


class Allocations(unittest.TestCase):
    def setUp(self):
        self.counts = tempfile.mkdtemp(prefix="zorvi-alloc-")
        os.chmod(self.counts, 0o777)
        self.saved = service.DAEMON
        service.DAEMON = ["env", "LD_PRELOAD=" + os.environ["ZORVI_ALLOCCOUNT"],
                          "ALLOCCOUNT_DIR=" + self.counts] + self.saved

    def tearDown(self):
        service.DAEMON = self.saved

    def daemon_counts(self, s):
        """{role: record} for the launcher and the workers that logged their pids."""
        records = {pid: r for pid, r in alloccount.read(self.counts).items() if r["comm"] == "zorvi-upgrade"}
        roles = {"launcher": min(records)} if records else {}
        for name in ("Frontend", "Backend"):
            for i, pid in enumerate(s.worker_pids(name)):
                roles["%s %d" % (name.lower(), i + 1)] = pid
        return {role: records[pid] for role, pid in roles.items() if pid in records}

    def talk(self, s, count, errors):
        c = connect(s.socket_path)
        try:
            c.recv(4096)
            for i in range(count):
                text, answer = KINDS[i % len(KINDS)]
                n = i % 65535 + 1
                c.send((text % n).encode())
                got = c.recv(4096).decode("latin-1")
                if got != (answer % n if "%d" in answer else answer):
                    errors.append((text % n, got))
        finally:
            c.close()

    def test_requests_and_a_procedure_allocate_nothing_after_start_up(self):
        s = Service()
        try:
            self.assertIn("launcher", self.daemon_counts(s), "the preloaded library wrote no counts")
            started = self.daemon_counts(s)
            errors = []
            threads = [threading.Thread(target=self.talk, args=(s, REQUESTS // CLIENTS, errors))
                       for _ in range(CLIENTS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(300)
            self.assertEqual(errors, [])
            after_requests = self.daemon_counts(s)

            watcher = s.client()
            watcher.recv()
            watcher.send("req;1;erase_upgrade")
            self.assertEqual(watcher.recv(), "rsp;1;true;")
            watcher.recv_until(lambda t: t == "nfy;erase_upgrade;100.000;completed;;Completed", 120)
            wait_until(lambda: len(s.worker_pids("Backend")) == 2, 10, "the next backend")
            watcher.recv_until(lambda t: t == "nfy;idle;;;", 10)
            after_procedure = self.daemon_counts(s)
            self.assertEqual(s.stop(), 0)
            stopped = self.daemon_counts(s)
        finally:
            s.close()

        report = []
        for role in sorted(stopped):
            first = started.get(role) or after_procedure.get(role) or stopped[role]
            line = "%-10s start-up %3d" % (role, first["allocations"])
            for stage, counts in (("requests", after_requests), ("procedure", after_procedure),
                                  ("stop", stopped)):
                if role in counts:
                    line += ", after %s %3d" % (stage, counts[role]["allocations"])
            report.append(line)
        print("allocations per process (cumulative):\n  " + "\n  ".join(report))

        # The processes that ran through the work: nothing added to what start-up took.
        for role in ("launcher", "frontend 1", "backend 1"):
            self.assertEqual(after_requests[role]["allocations"], started[role]["allocations"],
                             role + " allocated while relaying requests")
            self.assertEqual(after_procedure[role]["allocations"], started[role]["allocations"],
                             role + " allocated during the procedure")
        # The backend that replaced the finished one did no work: zero is start-up.
        self.assertIn("backend 2", after_procedure)


if __name__ == "__main__":
    unittest.main()
