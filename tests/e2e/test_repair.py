"""A dpkg run cut off by a power failure must not be a dead end: the next
procedure finishes it before its first command, or stops at its first step."""
import os
import shutil
import tempfile
import unittest

from zorvitest.procedures import ERASE, commands, notification
from zorvitest.service import EMPTY_ROOT, Service, command_calls

CONFIGURE = ("dpkg", "--force-confdef --force-confold --configure -a")
KEEP = "-o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold"


def stanza(name, status):
    return "Package: %s\nStatus: %s\nVersion: 1.0\nArchitecture: all\n\n" % (name, status)


class InterruptedDpkg(unittest.TestCase):
    def dpkg_dir(self, status, journal=()):
        d = tempfile.mkdtemp(prefix="zorvi-dpkg-")
        self.addCleanup(shutil.rmtree, d, True)
        with open(os.path.join(d, "status"), "w") as f:
            f.write(status)
        os.mkdir(os.path.join(d, "updates"))
        for name in journal:
            with open(os.path.join(d, "updates", name), "w") as f:
                f.write(stanza("qd-log-mqtt", "install ok unpacked"))
        return d

    def run_erase(self, *options):
        s = Service(*options)
        try:
            c = s.client()
            c.recv()
            c.send("req;5;erase_upgrade")
            got = c.recv_until(lambda t: t.endswith(";completed;;Completed") or t == "nfy;idle;;;", 30)
            calls = [(n, a) for n, a, _ in s.stub_calls()]
            frontends = {f for _, _, f in s.stub_calls()}
            self.assertEqual(s.stop(), 0)
            return got, calls, frontends, s.stdout()
        finally:
            s.close()

    @unittest.skipIf(EMPTY_ROOT, "the stubs' mend-dpkg needs perl, which the empty root does not have")
    def test_repaired_before_the_first_command_then_the_procedure_runs(self):
        d = self.dpkg_dir(stanza("quillet", "install ok installed")
                          + stanza("qd-log-mqtt", "install ok half-configured")
                          + stanza("python3", "install reinstreq half-installed"), journal=("0000",))
        got, calls, frontends, out = self.run_erase(
            "--dpkg", d, "--rule", "apt-get -qy install --reinstall* mend-dpkg")
        self.assertTrue(got[-1].endswith(";completed;;Completed"), got)
        reinstall = ("apt-get", "-qy install --reinstall python3 " + KEEP)
        self.assertEqual(calls, [CONFIGURE, reinstall] + command_calls(commands(ERASE)))
        self.assertEqual(frontends, {"DEBIAN_FRONTEND=noninteractive"})
        # Announced like every step's command, after the procedure started.
        self.assertLess(out.index("Backend received upgrade command"), out.index("\n=== dpkg --force-confdef"))
        self.assertIn("\n=== apt-get -qy install --reinstall python3 %s ===\n" % KEEP, out)

    def test_a_failed_repair_stops_the_procedure_at_its_first_step(self):
        d = self.dpkg_dir(stanza("python3", "install reinstreq half-installed"))
        got, calls, _, out = self.run_erase("--dpkg", d)  # the stubs mend nothing
        self.assertEqual(got[-2:], [notification("erase_upgrade", ERASE, "prepare"), "nfy;idle;;;"])
        self.assertEqual(calls, [CONFIGURE, ("apt-get", "-qy install --reinstall python3 " + KEEP)])
        self.assertIn("dpkg is still not consistent", out)

    @unittest.skipIf(EMPTY_ROOT, "the stubs' mend-dpkg needs perl, which the empty root does not have")
    def test_a_journal_alone_needs_only_configure(self):
        d = self.dpkg_dir(stanza("quillet", "install ok installed"), journal=("0001", "0002"))
        got, calls, _, _ = self.run_erase("--dpkg", d, "--rule", "dpkg --force-confdef* mend-dpkg")
        self.assertTrue(got[-1].endswith(";completed;;Completed"), got)
        self.assertEqual(calls, [CONFIGURE] + command_calls(commands(ERASE)))


if __name__ == "__main__":
    unittest.main()
