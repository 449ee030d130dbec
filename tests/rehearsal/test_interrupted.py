"""The migration killed outright while dpkg configures a package, then asked for again.

SIGKILL to the whole namespace (launcher, workers, apt, dpkg and the package's
maintainer script) is what a power cut does to a hub. Nothing of a procedure is
kept, so the next request starts again at the first step; what the real tools
make of the package database left behind decides how far it gets.
"""
import os
import unittest

from checks import CompletedProcedure
from rehearsal import PROCEDURES, Rehearsal, plan
from root import wait_until

# Its postinst waits while the hold file exists, so the kill lands inside it.
HELD = "qd-log-mqtt"
HELD_STEP = "install_mqtt_logger"
INTERRUPTED = "E: dpkg was interrupted, you must manually run 'dpkg --configure -a' to correct the problem."


def notification(key):
    name, steps = PROCEDURES["upgrade"]
    return next(n for n in plan.notifications(name, steps) if n.split(";")[3] == key)


class InterruptedRehearsal(CompletedProcedure, unittest.TestCase):
    def setUp(self):
        self.r = Rehearsal("interrupted")
        self.addCleanup(self.r.close)

    def kill_during_configuration(self):
        r = self.r
        hold = "/run/rehearsal/hold-" + HELD
        r.root.write(hold, "")
        r.start()
        c = r.request("upgrade")
        wait_until(lambda: r.root.exists("/run/rehearsal/waiting-" + HELD), 300,
                   "the postinst of " + HELD)
        c.drain()
        c.close()
        r.stop()
        os.unlink(r.root.file(hold))
        return c.seen

    def test_a_killed_upgrade_stops_at_its_first_install_until_dpkg_is_repaired(self):
        r = self.r
        first = self.kill_during_configuration()
        self.assertEqual(first[-1], notification(HELD_STEP))
        self.assertEqual(r.packages()[HELD][1], "iF")  # half-configured
        _, audit = r.root.sh("dpkg --audit")
        self.assertIn("half configured", audit)

        # Asked again: step 1 runs, then apt refuses every install until the
        # interrupted dpkg run is finished by hand.
        r.start()
        second = r.run("upgrade")
        r.stop()
        name = PROCEDURES["upgrade"][0]
        self.assertEqual([t for t in second if t.startswith("nfy;%s;" % name)],
                         [notification("prepare"), notification("install_tunnel")])
        self.assertEqual(second[-1], "nfy;idle;;;")
        self.assertIn(INTERRUPTED, r.service_log())
        self.assertTrue(r.root.exists("/etc/apt/preferences.d/zorvi-upgrade"),
                        "the failed attempt left the pin in force")
        self.assertEqual(r.packages()[HELD][1], "iF")

        # Repaired as the message says, the next request runs to its end.
        r.root.sh("dpkg --configure -a")
        r.start()
        third = r.run("upgrade")
        self.assert_completed("upgrade", third)
        self.r.discard = True


if __name__ == "__main__":
    unittest.main()
