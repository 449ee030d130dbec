"""The frontend runs as the service account, and only its group reaches the socket."""
import os
import re
import socket
import subprocess
import unittest

from zorvitest.service import Service, account
from zorvitest.wait import SLOW, wait_until


def status_fields(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


CONNECT = "import socket,sys; s=socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET); s.settimeout(5); " \
          "s.connect(sys.argv[1]); print(s.recv(512).decode())"


class DroppedPrivileges(unittest.TestCase):
    def test_frontend_ids_groups_and_capabilities(self):
        s = Service()
        try:
            uid, gid, extra = account(s.state, "zorvi-upgrade")
            self.assertNotEqual(uid, 0)
            frontend = s.host_pid(s.worker_pids("Frontend")[-1])
            st = status_fields(frontend)
            self.assertEqual(st["Uid"].split(), [str(uid)] * 4)  # real, effective, saved, file system
            self.assertEqual(st["Gid"].split(), [str(gid)] * 4)
            self.assertEqual(sorted(int(g) for g in st["Groups"].split()), sorted(set([gid] + extra)))
            for cap in ("CapInh", "CapPrm", "CapEff", "CapAmb"):
                self.assertEqual(int(st[cap], 16), 0, cap)
            # The backend keeps root: it is the one that runs the steps.
            backend = s.host_pid(s.worker_pids("Backend")[-1])
            self.assertEqual(status_fields(backend)["Uid"].split(), ["0"] * 4)
            # The socket and its directory belong to the account.
            st = os.stat(s.socket_path)
            self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o7777), (uid, gid, 0o770))
            d = os.stat(os.path.dirname(s.socket_path))
            self.assertEqual((d.st_uid, d.st_mode & 0o7777), (uid, 0o755))
            base = os.stat(os.path.dirname(os.path.dirname(s.socket_path)))
            self.assertEqual((base.st_uid, base.st_mode & 0o7777), (0, 0o755))
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()

    def connect_as(self, s, name):
        uid, gid, extra = account(s.state, name)
        # /root is not readable by the test accounts: use the system interpreter.
        return subprocess.run(["/usr/bin/python3", "-c", CONNECT, s.socket_path], user=uid, group=gid,
                              extra_groups=extra, capture_output=True, text=True, timeout=20 * SLOW)

    def test_only_members_of_the_group_can_connect(self):
        s = Service()
        try:
            member = self.connect_as(s, "zorvi-client")
            self.assertEqual(member.returncode, 0, member.stderr)
            self.assertEqual(member.stdout.strip(), "nfy;idle;;;")
            outsider = self.connect_as(s, "zorvi-outsider")
            self.assertNotEqual(outsider.returncode, 0)
            self.assertIn("PermissionError", outsider.stderr)
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()

    def test_missing_account_keeps_the_frontend_from_starting(self):
        s = Service("--no-account", wait_ready=False)
        try:
            wait_until(lambda: s.stderr().count("User zorvi-upgrade does not exist.") >= 3, 10,
                       "the frontend to fail repeatedly")
            self.assertRegex(s.stderr(), r"(?m)^[^\n]*zorvi-upgrade: User zorvi-upgrade does not exist\.$")
            self.assertNotIn("Frontend pid=", s.stdout())
            self.assertFalse(os.path.exists(s.socket_path))
            self.assertIn("Backend pid=", s.stdout())  # the backend is not held back by it
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()


class ClientLimit(unittest.TestCase):
    def test_ninth_client_waits_until_a_slot_frees(self):
        s = Service()
        try:
            clients = [s.client() for _ in range(8)]
            for c in clients:
                self.assertEqual(c.recv(), "nfy;idle;;;")
            ninth = s.client()  # queued by the kernel, not accepted
            # Two round trips after its connect: the frontend has been through
            # its loop since then, so an accepted ninth would hold its replay.
            for request in (4, 5):
                clients[3].send("req;%d;cancel" % request)
                self.assertEqual(clients[3].recv(), "rsp;%d;false;unsupported command" % request)
            self.assertIsNone(ninth.pending())
            clients[0].close()
            self.assertEqual(ninth.recv(), "nfy;idle;;;")  # accepted now, with the replay first
            ninth.send("req;9;revert")
            self.assertEqual(ninth.recv(), "rsp;9;false;unsupported command")
            ids = re.findall(r"Client with client id=(\d+) connected\.", s.stdout())
            self.assertEqual(ids[-1], "10")  # ready check took 1; then 2..9 and the ninth is 10
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()


if __name__ == "__main__":
    unittest.main()
