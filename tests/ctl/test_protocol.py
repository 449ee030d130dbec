"""The client against a scripted stand-in for the service on a Unix socket: the
datagrams the real service never sends (malformed, too long, empty, meant for
another request) and answers that never come. Needs neither root nor the sandbox."""
import os
import re
import shutil
import socket
import tempfile
import threading
import unittest

from harness import BUSY, LOST, REFUSED, SUCCESS, TIMED_OUT, run_client, scaled


class FakeService:
    """Accepts one client and plays `script`: ("send", bytes), ("recv",) or ("wait",),
    which holds the connection open until the test ends it."""

    def __init__(self, path, script):
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.listener.bind(path)
        self.listener.listen(1)
        self.listener.settimeout(scaled(10))
        self.script = script
        self.received = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._play, daemon=True)
        self.thread.start()

    def _play(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(scaled(10))
            for step in self.script:
                if step[0] == "send":
                    conn.send(step[1])
                elif step[0] == "recv":
                    self.received.append(conn.recv(4096).decode("latin-1"))
                elif step[0] == "wait":
                    self.done.wait(scaled(20))

    def close(self):
        self.done.set()
        self.thread.join(scaled(10))
        self.listener.close()


class Protocol(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zorvi-ctl-")
        self.path = os.path.join(self.dir, "socket")
        self.fake = None

    def tearDown(self):
        if self.fake:
            self.fake.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def play(self, *script):
        self.fake = FakeService(self.path, list(script))

    def client(self, *args, timeout=15):
        return run_client(*args, socket_path=self.path, timeout=timeout)

    def test_malformed_datagrams_are_reported_and_skipped(self):
        self.play(("send", b"hello"), ("send", b"nfy;idle;;"), ("send", b""), ("send", b"nfy;" + b"x" * 2000),
                  ("send", b"nfy;erase_upgrade;1.000;step;;Text\x1b[2J"),
                  ("send", b"nfy;erase_upgrade;26.237;install_python;;Installing Python"), ("wait",))
        r = self.client("status")
        self.assertEqual(r.returncode, SUCCESS, r.stderr)
        self.assertEqual(r.stdout, "erase_upgrade 26.237% Installing Python (install_python)\n")
        reports = r.stderr.splitlines()
        self.assertEqual(len(reports), 5, r.stderr)
        self.assertTrue(all(l.startswith("zorvi-upgradectl: skipped a malformed message from the service: ")
                            for l in reports), reports)
        self.assertIn('"hello"', reports[0])
        self.assertIn('""', reports[2])
        self.assertTrue(reports[3].endswith('..."'), reports[3])  # long datagrams are cut in the report
        self.assertIn("\\x1b[2J", reports[4])  # control bytes never reach the terminal raw

    def test_json_lists_malformed_datagrams_too(self):
        self.play(("send", b"nfy;bogus"), ("send", b"nfy;idle;;;"), ("wait",))
        r = self.client("--json", "status")
        self.assertEqual(r.returncode, SUCCESS, r.stderr)
        self.assertEqual(r.stdout.splitlines(), ['{"type":"malformed","raw":"nfy;bogus"}',
                                                 '{"type":"idle","raw":"nfy;idle;;;"}'])

    def test_a_request_is_one_datagram_and_only_its_own_answer_counts(self):
        self.play(("send", b"nfy;idle;;;"), ("recv",), ("send", b"rsp;1;true;"), ("send", b"rsp;65535;true;"),
                  ("send", b"rsp;;false;invalid request"), ("wait",))
        r = self.client("cancel")
        request = self.fake.received[0]
        match = re.fullmatch(r"req;([1-9]\d*);cancel", request)
        self.assertTrue(match, request)
        self.assertTrue(1 <= int(match.group(1)) <= 65535)
        if int(match.group(1)) in (1, 65535):
            self.skipTest("the drawn id happened to be one of the decoys")
        # Responses to other ids are passed over; one without an id is ours.
        self.assertEqual(r.returncode, REFUSED, r.stderr)
        self.assertEqual(r.stderr, "zorvi-upgradectl: cancel refused: invalid request\n")

    def test_both_refusals_of_a_running_or_finished_procedure_are_busy(self):
        # Another client's request got in between the replay (idle) and ours:
        # the service refuses ours, and the client must not call that a plain refusal.
        for i, reason in enumerate(("upgrade already in progress", "upgrade completed, hub is restarting")):
            with self.subTest(reason=reason):
                if self.fake:
                    self.fake.close()
                self.path = os.path.join(self.dir, "socket%d" % i)
                self.play(("send", b"nfy;idle;;;"), ("recv",), ("send", b"rsp;;false;" + reason.encode()),
                          ("wait",))
                r = self.client("upgrade")
                self.assertEqual(r.returncode, BUSY, r.stderr)
                self.assertEqual(r.stderr, "zorvi-upgradectl: upgrade refused: %s\n" % reason)

    def test_an_answer_that_never_comes_times_out(self):
        self.play(("send", b"nfy;idle;;;"), ("recv",), ("wait",))
        r = self.client("revert", "--timeout", "0.5")
        self.assertEqual(r.returncode, TIMED_OUT)
        self.assertIn("no answer to revert; the service may still carry it out later (waited 0.5 s)", r.stderr)

    def test_connection_closing_in_the_reboot_step(self):
        # On a hub the reboot may stop the service before it can say "completed".
        self.play(("send", b"nfy;idle;;;"), ("recv",), ("send", b"rsp;;true;"),
                  ("send", b"nfy;erase_upgrade;100.000;reboot;;Rebooting"))
        r = self.client("erase-upgrade")
        self.assertEqual(r.returncode, LOST)
        self.assertIn("closed the connection during the reboot step: the hub is probably restarting", r.stderr)

    def test_a_silent_service_still_gets_the_request(self):
        # A frontend that just restarted has nothing to replay: after a moment the client asks anyway.
        self.play(("recv",), ("send", b"rsp;;true;"), ("send", b"nfy;erase_upgrade;100.000;completed;;Completed"),
                  ("wait",))
        r = self.client("erase-upgrade")
        self.assertEqual(r.returncode, SUCCESS, r.stderr)
        self.assertRegex(self.fake.received[0], r"^req;\d+;erase_upgrade$")


if __name__ == "__main__":
    unittest.main(verbosity=2)
