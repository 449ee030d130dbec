"""What a completed procedure must have left in the root, asked of the root's
own dpkg, apt, gpgv and daemontools, and of the test's pseudo-terminal."""
import time

import archive
import standins
from rehearsal import PROCEDURES, SERVICES, flasher_calls, plan

OLD_CONFFILES = ("/etc/verdanta/verdanta.conf", "/etc/quillet/quillet.conf")
KEYRING = "/etc/apt/trusted.gpg.d/verdanta.gpg"
PREFERENCES = "/etc/apt/preferences.d/zorvi-upgrade"


class CompletedProcedure:
    """Mixin for unittest.TestCase; self.r is the Rehearsal."""

    def assert_notifications(self, command, seen):
        name, steps = PROCEDURES[command]
        got = [t for t in seen if t.startswith("nfy;%s;" % name)]
        tail = "\n".join(self.r.service_log().splitlines()[-25:])
        self.assertEqual(got, plan.notifications(name, steps), "the service's output ended:\n" + tail)
        self.assertEqual(got[-1], plan.notification(name, steps, "completed"))

    def assert_services_stopped(self):
        """Checked while the service's namespace, with its supervise, still runs."""
        _, out = self.r.root.sh("svstat " + " ".join(SERVICES))
        for line in out.splitlines():
            self.assertRegex(line, r": down \d+ seconds, normally up$")
        self.assertEqual(len(out.splitlines()), len(SERVICES), out)

    def assert_packages(self):
        found = self.r.packages()
        for name, version in standins.NEW_VERSIONS.items():
            self.assertEqual(found.get(name), (version, "ii"), name)
        self.assertIn(found.get("qd-flash", ("", "pn"))[1], ("pn", "un"), "qd-flash is not purged")
        for path in OLD_CONFFILES:
            self.assertFalse(self.r.root.exists(path), path + " survived the purge")
        self.assertLessEqual(set(standins.MARKED_AUTO), self.r.auto_marked())

    def assert_pin_mattered(self):
        """Debian's newer python3 and mosquitto were candidates too: only the pin
        made the stand-ins win."""
        for name in ("python3", "mosquitto"):
            _, out = self.r.root.sh("apt-cache madison " + name)
            versions = [line.split("|")[1].strip() for line in out.splitlines() if "|" in line]
            self.assertIn(standins.NEW_VERSIONS[name], versions, out)
            newer = [v for v in versions if self.r.root.sh(
                "dpkg --compare-versions %s gt %s" % (v, standins.NEW_VERSIONS[name]), check=False)[0] == 0]
            self.assertTrue(newer, "no newer %s than the stand-in's to pin against:\n%s" % (name, out))

    def assert_sources(self):
        r = self.r.root
        self.assertEqual(r.read("/etc/apt/sources.list.d/verdanta.list"), archive.NEW_LIST)
        self.assertFalse(r.exists(PREFERENCES), PREFERENCES + " is still there")
        _, out = r.sh("gpgv --keyring %s %s/dists/stable/InRelease 2>&1"
                      % (KEYRING, archive.REPOSITORY_IN_ROOT))
        self.assertIn(self.r.artifacts["new_key"], out)
        # apt itself, with nothing but the new source, must trust the repository.
        status, out = r.sh("apt-get update -o Dir::Etc::SourceList=/dev/null "
                           "-o APT::Get::List-Cleanup=0 2>&1", check=False)
        self.assertEqual(status, 0, out)
        for bad in ("NO_PUBKEY", "is not signed", "GPG error"):
            self.assertNotIn(bad, out)

    def assert_flashed_and_rebooted(self, command):
        calls = flasher_calls(command)
        self.assertEqual(self.r.root.read("/var/log/rehearsal/qd-zw-flash.log").splitlines(), calls)
        self.assertEqual([line for line in self.r.tty().splitlines() if line],
                         ["QD-ZW-FLASH " + args for args in calls])
        self.assertEqual([line.strip() for line in self.r.root.read("/var/log/rehearsal/reboot.log").splitlines()],
                         ["reboot"])

    def assert_completed(self, command, seen):
        """Every check of a procedure that ran to its end; the service is stopped
        here, after the checks that need its namespace."""
        started = time.monotonic()
        self.assert_notifications(command, seen)
        self.assert_services_stopped()
        self.r.stop()
        self.assert_packages()
        self.assert_sources()
        self.assert_pin_mattered()
        self.assert_flashed_and_rebooted(command)
        self.r.timed("checking the root", started)
