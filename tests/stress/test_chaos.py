"""Workers killed at random while eight clients keep talking to the service."""
import os
import random
import signal
import socket
import threading
import time
import unittest

from stress import WELL_FORMED, connect, descriptors, round_trip, settle
from zorvitest.pids import children, stat_fields
from zorvitest.service import Service
from zorvitest.wait import SLOW, wait_until

SECONDS = float(os.environ.get("ZORVI_CHAOS_SECONDS", "60"))
CLIENTS = 8
# A request unanswered this long is left for the final reckoning. A worker
# killed within a second of its start is restarted only a second after that
# start, so an answer may take that pause on top.
ANSWER_WAIT = 2.5
# Texts the frontend answers itself, without an identifier.
NO_ID = [b"hello", b"req;0;revert", b"req;;cancel", b"REQ;1;revert", b"\0\0\0", b"req;99999;cancel"]


class ChaosClient(threading.Thread):
    """Sends a steady mix of requests, one at a time, and checks every datagram."""

    def __init__(self, path, seed, deadline):
        super().__init__(daemon=True)
        self.path, self.rng, self.deadline = path, random.Random(seed), deadline
        self.sock = None
        self.next_id = 0
        self.outstanding = []   # [expected answer, time sent]
        self.sent = self.answered = self.notifications = self.reconnects = 0
        self.lost_with_frontend = []  # [expected answer, time sent]
        self.unanswered = []          # the same, for requests the backend never answered
        self.malformed, self.unexpected = [], []

    def request(self):
        kind = self.rng.randrange(4)
        if kind == 3:
            return self.rng.choice(NO_ID), "rsp;;false;invalid request"
        self.next_id = self.next_id % 65535 + 1
        n = self.next_id
        if kind == 2:
            return b"req;%d;bogus" % n, "rsp;%d;false;invalid request" % n
        word = "revert" if kind == 0 else "cancel"
        return ("req;%d;%s" % (n, word)).encode(), "rsp;%d;false;unsupported command" % n

    def connection_lost(self):
        # Only recent requests died with the frontend; older ones had already
        # gone unanswered while the connection was up.
        recent = time.monotonic() - ANSWER_WAIT * SLOW - 0.1
        self.lost_with_frontend += [r for r in self.outstanding if r[1] >= recent]
        self.unanswered += [r for r in self.outstanding if r[1] < recent]
        self.outstanding = []
        self.sock.close()
        self.sock = None

    def take(self, text):
        """Accounts for one datagram; True when it answered the newest request."""
        if not WELL_FORMED.fullmatch(text):
            self.malformed.append(text)
            return False
        if text.startswith("nfy;"):
            self.notifications += 1
            return False
        for i, (expected, _) in enumerate(self.outstanding):
            if expected == text:
                del self.outstanding[i]
                self.answered += 1
                return i == len(self.outstanding)  # it was the last one
        self.unexpected.append(text)
        return False

    def receive(self, until):
        """Reads datagrams until the newest request is answered or `until` passes."""
        while self.sock is not None:
            left = until - time.monotonic()
            if left <= 0:
                return
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                return
            except OSError:
                self.connection_lost()
                return
            if not data:
                self.connection_lost()
                return
            if self.take(data.decode("latin-1")):
                return

    def run(self):
        while time.monotonic() < self.deadline:
            if self.sock is None:
                try:
                    self.sock = connect(self.path, 1.0)
                    self.reconnects += 1
                except OSError:
                    time.sleep(0.01)  # the new frontend is not listening yet
                    continue
            text, expected = self.request()
            try:
                self.sock.send(text)
            except OSError:
                self.connection_lost()  # the frontend is gone; this one never went out
                continue
            self.outstanding.append([expected, time.monotonic()])
            self.sent += 1
            self.receive(time.monotonic() + ANSWER_WAIT * SLOW)

    def drain(self):
        """After the run: late answers (requests the next backend read) still count."""
        if self.sock is not None and self.outstanding:
            self.receive(time.monotonic() + 2 * SLOW)
        if self.sock is not None:
            self.sock.close()
        self.unanswered += self.outstanding
        self.outstanding = []


def misdelivered(clients):
    """Every answer a connection got without having asked, with whose request it was."""
    found = []
    for i, c in enumerate(clients):
        for text in c.unexpected:
            owners = [j for j, other in enumerate(clients)
                      if any(text == expected for expected, _ in other.lost_with_frontend + other.unanswered)]
            whose = ("its own, from before a frontend kill" if owners == [i] else
                     "client %s's, lost at a frontend kill" % owners if owners else "nobody's")
            found.append("client %d got %r: %s" % (i, text, whose))
    return found


class Chaos(unittest.TestCase):
    def test_random_worker_kills_under_load(self):
        s = Service()
        try:
            self.run_chaos(s)
        finally:
            s.close()

    def run_chaos(self, s):
        launcher = s.launcher_pid()
        wait_until(lambda: "client id=1 disconnected." in s.stdout(), 5, "the readiness probe to leave")
        baseline = descriptors(s.live_worker("Frontend"))

        deadline = time.monotonic() + SECONDS
        clients = [ChaosClient(s.socket_path, seed, deadline) for seed in range(CLIENTS)]
        for c in clients:
            c.start()
        kills = {"Frontend": [], "Backend": []}
        rng = random.Random(99)
        while time.monotonic() < deadline:
            time.sleep(rng.uniform(0.05, 0.2))
            name = rng.choice(("Frontend", "Backend"))
            pid = s.live_worker(name)
            if pid is not None:
                os.kill(pid, signal.SIGKILL)
                kills[name].append(time.monotonic())
        for c in clients:
            c.join(ANSWER_WAIT * SLOW + 5)
            self.assertFalse(c.is_alive())
        for c in clients:
            c.drain()

        sent = sum(c.sent for c in clients)
        answered = sum(c.answered for c in clients)
        lost_frontend = [t for c in clients for _, t in c.lost_with_frontend]
        lost_backend = [t for c in clients for _, t in c.unanswered]
        wrong = misdelivered(clients)
        print("chaos: %.0f s, %d frontend and %d backend kills, %d requests: %d answered, "
              "%d in flight at a frontend kill, %d at a backend kill; %d reconnects, %d notifications, "
              "%d answers to a connection that did not ask"
              % (SECONDS, len(kills["Frontend"]), len(kills["Backend"]), sent, answered,
                 len(lost_frontend), len(lost_backend), sum(c.reconnects for c in clients),
                 sum(c.notifications for c in clients), len(wrong)))

        self.assertGreater(len(kills["Frontend"]), 0)
        self.assertGreater(len(kills["Backend"]), 0)
        self.assertEqual([t for c in clients for t in c.malformed], [])
        self.assertEqual(sent, answered + len(lost_frontend) + len(lost_backend))
        # A request may only go unanswered when a kill came while it was in flight.
        window = ANSWER_WAIT * SLOW + 0.1
        for lost, name in ((lost_frontend, "Frontend"), (lost_backend, "Backend")):
            for t in lost:
                self.assertTrue(any(t - 0.01 <= k <= t + window for k in kills[name]),
                                "a request sent at %.3f was lost with no %s kill" % (t, name.lower()))
        self.assertGreater(answered, sent // 2)

        # Afterwards: same launcher, both workers back, answers at once, nothing left over.
        self.assertIsNone(s.proc.poll())
        self.assertEqual(s.launcher_pid(), launcher)
        self.assertNotEqual(stat_fields(launcher)[0], "Z")
        wait_until(lambda: s.live_worker("Frontend") and s.live_worker("Backend"), 5, "both workers")
        time.sleep(0.2)
        elapsed, answer = round_trip(s, "req;1;revert")
        self.assertEqual(answer, "rsp;1;false;unsupported command")
        self.assertLess(elapsed, 0.1 * SLOW)
        print("chaos: answer %.1f ms after the run" % (elapsed * 1000))
        settle(s, baseline)
        wait_until(lambda: "Z" not in s.processes().values(), 2, "no zombie in the sandbox")
        self.assertEqual(len(children(launcher)), 2)
        self.assertEqual(s.stop(), 0)
        # Last, so that a failure here still comes after every other check ran.
        self.assertEqual(wrong, [], "answers to requests this connection did not send")


if __name__ == "__main__":
    unittest.main()
