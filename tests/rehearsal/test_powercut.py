"""Power cuts against the real tools: cut, boot, ask again, and the hub ends
where an uninterrupted run leaves it.

Which points run: ZORVI_POWERCUT_POINTS ("ci", the default: a fixed subset;
"all": the whole matrix; or names separated by commas). Each test prints one
line "powercut: POINT | cut while: ... | second run: ... | N s".
"""
import time
import unittest

import powercut
from checks import CompletedProcedure
from rehearsal import Rehearsal

CONFIGURE = "dpkg --force-confdef --force-confold --configure -a"
REINSTALL = "apt-get -qy install --reinstall"


class PowerCut(CompletedProcedure, unittest.TestCase):
    def cut(self, point):
        self.r = Rehearsal("cut-" + point.name)
        self.addCleanup(self.r.close)
        started = time.monotonic()
        running, _ = powercut.cut_and_boot(self.r, point)
        self.r.start()
        seen = self.r.run(point.command)
        repaired = powercut.repairs(self.r)
        self.assert_completed(point.command, seen)
        did = ("repaired dpkg (%s), then completed" % "; ".join(repaired)) if repaired else "completed"
        print("powercut: %s | cut while: %s | second run: %s | %.0f s"
              % (point.name, ", ".join(running) or "between commands", did, time.monotonic() - started),
              flush=True)
        self.check_repair(point, repaired)
        self.r.discard = True

    def check_repair(self, point, repaired):
        """What the cut left decides the repair: inside dpkg one is needed;
        elsewhere the hub runs exactly the commands it always ran."""
        if point.moment.startswith("unpack:"):
            # configure -a alone leaves a half-installed package behind.
            package = point.moment.split(":")[1]
            self.assertEqual(repaired[0], CONFIGURE)
            self.assertTrue(any(c.startswith("%s %s " % (REINSTALL, package)) for c in repaired), repaired)
        elif point.moment.startswith("postinst:"):
            self.assertEqual(repaired, [CONFIGURE])
        elif point.line.split()[0] not in powercut.APT_PROGRAMS:
            self.assertEqual(repaired, [])


for _point in powercut.selected():
    setattr(PowerCut, "test_" + _point.name.replace("-", "_"), lambda self, p=_point: self.cut(p))


if __name__ == "__main__":
    unittest.main()
