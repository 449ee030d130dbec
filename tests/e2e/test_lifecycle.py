"""Start-up, stop signals, worker deaths and the launcher's supervision."""
import os
import random
import re
import signal
import time
import unittest

from zorvitest.service import EMPTY_ROOT, Service
from zorvitest.pids import alive
from zorvitest.wait import SLOW, wait_until


class StartUp(unittest.TestCase):
    def test_first_lines_and_idle_replay(self):
        s = Service()
        try:
            lines = s.stdout().splitlines()
            backend = [l for l in lines if l.startswith(("Lumora model=", "Backend pid="))]
            self.assertEqual(backend[0], "Lumora model=arko-3b2-nx, supported=1")
            self.assertRegex(backend[1], r"^Backend pid=\d+$")
            self.assertTrue(any(re.fullmatch(r"Frontend pid=\d+", l) for l in lines))
            c = s.client()
            self.assertEqual(c.recv(), "nfy;idle;;;")  # replayed on connect, before any request
            wait_until(lambda: "Client with client id=2 connected." in s.stdout(), 5, "the connect line")
            c.close()
            wait_until(lambda: "Client with client id=2 disconnected." in s.stdout(), 5, "the disconnect line")
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()

    def test_invalid_requests_are_answered_by_the_frontend(self):
        s = Service()
        try:
            c = s.client()
            c.recv()
            for text, answer in [("hello", "rsp;;false;invalid request"),
                                 ("req;9;reboot", "rsp;9;false;invalid request"),
                                 ("req;0;upgrade", "rsp;;false;invalid request"),
                                 ("req;4294967297;upgrade", "rsp;;false;invalid request"),
                                 ("req;7;revert", "rsp;7;false;unsupported command"),
                                 ("req;8;cancel;x", "rsp;8;false;unsupported command")]:
                c.send(text)
                self.assertEqual(c.recv(), answer, text)
            self.assertEqual(s.stub_calls(), [])
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()

    def test_model_file_variants(self):
        for options, line, supported in [
                (("--model", "arko-3b2-nx\r\n"), "Lumora model=arko-3b2-nx, supported=1", True),
                (("--model", "arko-3b2-nx \t"), "Lumora model=arko-3b2-nx, supported=1", True),
                (("--model", "ARKO-3B2-NX\n"), "Lumora model=ARKO-3B2-NX, supported=0", False),
                (("--model", "arko-3b2-nx-pro\n"), "Lumora model=arko-3b2-nx-pro, supported=0", False),
                (("--no-model",), "Lumora model=, supported=0", False)]:
            s = Service(*options)
            try:
                self.assertIn(line + "\n", s.stdout())
                c = s.client()
                c.recv()
                c.send("req;5;erase_upgrade")
                if supported:
                    self.assertEqual(c.recv(), "rsp;5;true;")
                else:
                    self.assertEqual(c.recv(), "rsp;5;false;upgrade not supported on this lumora model")
                    c.send("req;6;cancel")
                    self.assertEqual(c.recv(), "rsp;6;false;unsupported command")
                    self.assertEqual(s.stub_calls(), [])
                s.stop()
            finally:
                s.close()


class Stopping(unittest.TestCase):
    def stop_idle(self, signum):
        s = Service()
        try:
            started = time.monotonic()
            self.assertEqual(s.stop(signum), 0)
            self.assertLess(time.monotonic() - started, 2.0 * SLOW)
            out = s.stdout()
            self.assertEqual(len(re.findall(r"^Sending SIGTERM to pid=\d+$", out, re.M)), 2)
            self.assertNotIn("Sending SIGKILL", out)
            self.assertIn("Frontend exiting", out)
            self.assertIn("Backend exiting", out)
        finally:
            s.close()

    def test_sigterm_while_idle_stops_both_workers_without_sigkill(self):
        self.stop_idle(signal.SIGTERM)

    def test_sigint_has_the_effect_of_sigterm(self):
        self.stop_idle(signal.SIGINT)

    def test_backend_busy_with_a_step_is_killed_after_the_grace_period(self):
        s = Service("--rule", "apt-get update gate={state}/never")
        try:
            c = s.client()
            c.recv()
            c.send("req;1;erase_upgrade")
            c.recv_until(lambda t: ";apt_update;" in t, 15)
            wait_until(lambda: any(a == "update" for _, a, _ in s.stub_calls()), 10, "the gated step")
            started = time.monotonic()
            self.assertEqual(s.stop(signal.SIGTERM), 0)
            elapsed = time.monotonic() - started
            self.assertGreaterEqual(elapsed, 1.9)
            self.assertLess(elapsed, 4.0 * SLOW)
            out = s.stdout()
            backend = s.worker_pids("Backend")[-1]
            self.assertIn("Sending SIGKILL to pid=%d\n" % backend, out)
            self.assertEqual(out.count("Sending SIGKILL"), 1)  # the idle frontend ended in time
        finally:
            s.close()

    def test_stop_at_random_moments_after_start_always_ends_in_time(self):
        rounds = int(os.environ.get("ZORVI_STOP_ROUNDS", "150"))
        rng = random.Random(1234)
        slow = []
        early = 0
        for i in range(rounds):
            s = Service(wait_ready=False)
            try:
                s.launcher_pid()  # the daemon is about to start
                time.sleep(rng.uniform(0, 0.03))
                started = time.monotonic()
                signum = rng.choice([signal.SIGTERM, signal.SIGINT])
                status = s.stop(signum, timeout=5)
                elapsed = time.monotonic() - started
                if s.stdout() == "":
                    # Landed before the program installed its handlers: the
                    # signal's default action ended it, which is also an end.
                    self.assertIn(status, (0, 128 + signum), "round %d" % i)
                    early += 1
                else:
                    self.assertEqual(status, 0, "round %d: %s" % (i, s.stdout()))
                if elapsed > 2.2 * SLOW:
                    slow.append((i, elapsed))
            finally:
                s.close()
        self.assertEqual(slow, [])
        self.assertLess(early, rounds)  # most rounds must really reach the running service


class Supervision(unittest.TestCase):
    def kill_worker(self, name):
        s = Service()
        try:
            c = s.client()
            c.recv()
            old = s.worker_pids(name)[-1]
            host = s.host_pid(old)
            self.assertIsNotNone(host)
            os.kill(host, signal.SIGKILL)
            wait_until(lambda: len(s.worker_pids(name)) == 2, 10, "a new " + name)
            self.assertNotEqual(s.worker_pids(name)[-1], old)
            return s, c
        except BaseException:
            s.close()
            raise

    def test_killed_backend_is_replaced_and_announces_idle(self):
        s, c = self.kill_worker("Backend")
        try:
            self.assertEqual(c.recv(), "nfy;idle;;;")
            c.send("req;2;revert")
            self.assertEqual(c.recv(), "rsp;2;false;unsupported command")
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()

    def test_killed_frontend_is_replaced_and_clients_reconnect(self):
        s, c = self.kill_worker("Frontend")
        try:
            self.assertEqual(c.recv(), "")  # the old connection is gone
            c2 = wait_until(lambda: s._try_connect(), 10, "the new frontend's socket")
            s.clients.append(c2)
            # A fresh frontend has nothing to replay until the backend speaks
            # again: the answer to a request is the first thing that arrives.
            c2.send("req;3;cancel")
            self.assertEqual(c2.recv(), "rsp;3;false;unsupported command")
            self.assertIn("Client with client id=1 connected.", s.stdout().split("Frontend pid=")[-1])
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()

    def test_answers_for_a_killed_frontends_clients_reach_no_one_else(self):
        s = Service("--rule", "apt-get update gate={state}/gate")
        gate = os.path.join(s.state, "gate")
        try:
            a, b = s.client(), s.client()  # ids 2 and 3 (the readiness probe was 1)
            a.recv(), b.recv()
            a.send("req;10;erase_upgrade")
            a.recv_until(lambda t: ";apt_update;" in t, 15)
            b.send("req;11;cancel")  # waits in the pair for the next backend
            frontend = s.host_pid(s.worker_pids("Frontend")[-1])
            os.kill(frontend, signal.SIGKILL)
            wait_until(lambda: len(s.worker_pids("Frontend")) == 2, 10, "a new frontend")
            # The new frontend numbers its clients from 1 again: 1, 2, 3.
            fresh = [wait_until(lambda: s._try_connect(), 10, "the new socket") for _ in range(3)]
            s.clients.extend(fresh)
            open(gate, "w").close()
            for n, c in enumerate(fresh):
                got = c.recv_until(lambda t: t == "nfy;idle;;;", 30)
                self.assertFalse([t for t in got if t.startswith("rsp;")], got)
                # The backend answers in order: a stray answer to the old
                # request would come before the answer to this one.
                c.send("req;%d;cancel" % (20 + n))
                self.assertEqual(c.recv(), "rsp;%d;false;unsupported command" % (20 + n))
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()

    def test_workers_do_not_outlive_a_killed_launcher(self):
        # The shell keeps the sandbox's namespace alive after the launcher died,
        # so only the workers' own parent-death signal can end them. (The empty
        # root has no shell: there the namespace's end may do it.)
        # (sleep is one of the stubs, which return at once: python waits for real.)
        s = Service(command=None if EMPTY_ROOT else
                    "$DAEMON; exec python3 -c 'import time; time.sleep(60)'")
        try:
            workers = [s.host_pid(s.worker_pids(n)[-1]) for n in ("Frontend", "Backend")]
            with open("/proc/%d/status" % workers[0]) as f:
                launcher = int(re.search(r"^PPid:\s+(\d+)", f.read(), re.M).group(1))
            os.kill(launcher, signal.SIGKILL)
            for pid in workers:
                wait_until(lambda: not alive(pid), 5, "worker %d to end" % pid)
            if not EMPTY_ROOT:
                self.assertIsNone(s.proc.poll(), "the sandbox ended with the launcher")
        finally:
            s.close()


class RestartPacing(unittest.TestCase):
    FAILURE = "User zorvi-upgrade does not exist."

    def test_a_worker_that_cannot_start_is_retried_once_a_second(self):
        s = Service("--no-account", wait_ready=False)
        try:
            wait_until(lambda: self.FAILURE in s.stderr(), 10, "the frontend's first failure")
            started = time.monotonic()
            time.sleep(5)
            attempts = s.stderr().count(self.FAILURE)
            elapsed = time.monotonic() - started
            # The first attempt plus one per second, never a tight loop.
            self.assertLessEqual(attempts, elapsed + 2, "%d attempts in %.1f s" % (attempts, elapsed))
            self.assertGreaterEqual(attempts, 4, "retries stopped")
            # The other worker is still reaped and restarted meanwhile, at once.
            backend = s.host_pid(s.worker_pids("Backend")[-1])
            os.kill(backend, signal.SIGKILL)
            wait_until(lambda: len(s.worker_pids("Backend")) == 2, 1.5, "a new backend")
            # A stop during the pause is prompt.
            stopping = time.monotonic()
            self.assertEqual(s.stop(), 0)
            self.assertLess(time.monotonic() - stopping, 2.0 * SLOW)
            self.assertNotIn("Sending SIGKILL", s.stdout())
        finally:
            s.close()

    def test_a_backend_after_a_long_procedure_is_started_without_delay(self):
        s = Service("--step-delay", "0.05")
        try:
            c = s.client()
            c.recv()
            c.send("req;1;upgrade")
            c.recv_until(lambda t: t.endswith(";completed;;Completed"), 30)
            completed = time.monotonic()
            self.assertEqual(c.recv(5), "nfy;idle;;;")
            # The procedure took well over the restart pause; its successor
            # must not wait for one.
            self.assertLess(time.monotonic() - completed, 0.5 * SLOW)
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()


if __name__ == "__main__":
    unittest.main()
