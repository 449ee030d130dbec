"""Slow and hostile clients must not disturb the others, nor leave anything behind."""
import socket
import threading
import time
import unittest

from stress import connect, descriptors, settle
from zorvitest.service import Service
from zorvitest.wait import SLOW, wait_until


class Observer:
    """A well-behaved client: one request at a time, every answer timed and checked."""

    def __init__(self, s):
        self.sock = connect(s.socket_path)
        self.sock.recv(4096)  # the replayed idle notification
        self.times, self.wrong = [], []
        self.n = 0

    def ask(self, count):
        for _ in range(count):
            self.n = self.n % 65535 + 1
            start = time.monotonic()
            self.sock.send(b"req;%d;cancel" % self.n)
            answer = self.sock.recv(4096).decode("latin-1")
            self.times.append(time.monotonic() - start)
            if answer != "rsp;%d;false;unsupported command" % self.n:
                self.wrong.append(answer)

    def worst(self):
        return max(self.times)

    def close(self):
        self.sock.close()


class HostileClients(unittest.TestCase):
    def setUp(self):
        self.s = Service()
        wait_until(lambda: "client id=1 disconnected." in self.s.stdout(), 5, "the readiness probe to leave")
        self.frontend = self.s.live_worker("Frontend")
        self.baseline = descriptors(self.frontend)

    def tearDown(self):
        self.s.close()

    def finish(self):
        """Nothing left behind: same frontend, descriptors at baseline, clean stop."""
        self.assertEqual(settle(self.s, self.baseline), self.frontend)
        self.assertEqual(self.s.stop(), 0)

    def test_a_client_that_never_reads_does_not_delay_the_others(self):
        slow = connect(self.s.socket_path)
        slow.setblocking(False)
        # Fill the slow client's receive queue with answers it never reads.
        sent = self.send_for(slow, 10.0, lambda: "send: Resource temporarily unavailable" in self.s.stderr())
        # Let the relay catch up with the flood, then keep the slow client asking
        # at a steady pace: each of its answers now fails at once, never waits.
        time.sleep(0.5)
        o = Observer(self.s)
        done = threading.Event()
        pace = threading.Thread(target=self.send_for, args=(slow, 30.0, done.is_set, 0.002), daemon=True)
        pace.start()
        o.ask(2000)
        done.set()
        pace.join()
        print("never-reading client: %d requests to fill its queue; observer worst round trip "
              "%.1f ms over %d" % (sent, o.worst() * 1000, len(o.times)))
        self.assertEqual(o.wrong, [])
        self.assertLess(o.worst(), 0.1 * SLOW)
        slow.close()
        o.close()
        self.finish()

    @staticmethod
    def send_for(sock, seconds, stop, pause=0.0):
        """Sends requests until stop() or the time is up; returns how many went out."""
        end = time.monotonic() + seconds * SLOW
        sent = 0
        while not stop() and time.monotonic() < end:
            try:
                sock.send(b"req;%d;cancel" % (sent % 65535 + 1))
                sent += 1
            except BlockingIOError:
                time.sleep(0.001)
            if pause:
                time.sleep(pause)
        return sent

    def test_ten_thousand_connects_leave_no_descriptor_behind(self):
        o = Observer(self.s)
        count = 10000
        for _ in range(count):
            c = connect(self.s.socket_path)
            c.close()
        last = count + 2  # the readiness probe and the observer came first
        wait_until(lambda: "client id=%d disconnected." % last in self.s.stdout(), 20,
                   "the last of the short connections to be gone")
        o.ask(100)
        self.assertEqual(o.wrong, [])
        o.close()
        self.finish()
        stdout = self.s.stdout()
        self.assertEqual(stdout.count(" connected."), count + 2)
        self.assertEqual(stdout.count(" disconnected."), count + 2)

    def test_huge_nul_and_empty_datagrams_change_nothing_for_the_others(self):
        o = Observer(self.s)
        o.ask(50)
        hostile = connect(self.s.socket_path)
        hostile.recv(4096)
        cases = [
            (b"req;5;revert" + b"x" * 65524, "rsp;5;false;invalid request"),   # 64 KiB, cut at 512
            (b"req;6;revert;" + b"\0" * 65523, "rsp;6;false;unsupported command"),
            (b"\0" * 65536, "rsp;;false;invalid request"),
            (b"req;7;revert\0", "rsp;7;false;invalid request"),
            (b"req;8\0;cancel", "rsp;;false;invalid request"),
            (b"\0", "rsp;;false;invalid request"),
        ]
        for text, answer in cases:
            hostile.send(text)
            self.assertEqual(hostile.recv(4096).decode("latin-1"), answer, text[:16])
            o.ask(20)
        # An empty datagram reads like the end of the stream.
        hostile.send(b"")
        o.ask(50)
        hostile.close()
        for _ in range(20):  # and the same from many connections at once
            others = [connect(self.s.socket_path) for _ in range(6)]
            for c in others:
                c.send(b"\0" * 65536)
                c.send(b"")
            o.ask(10)
            for c in others:
                c.close()
        self.assertEqual(o.wrong, [])
        self.assertLess(o.worst(), 0.1 * SLOW)
        o.close()
        self.finish()


if __name__ == "__main__":
    unittest.main()
