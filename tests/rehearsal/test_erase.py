"""The erase procedure ("erase_upgrade") on a fresh old-hub root, against the real tools."""
import unittest

from checks import CompletedProcedure
from rehearsal import Rehearsal


class EraseRehearsal(CompletedProcedure, unittest.TestCase):
    def setUp(self):
        self.r = Rehearsal("erase")
        self.addCleanup(self.r.close)

    def test_erase_upgrade_moves_the_hub_and_erases_the_chip(self):
        self.r.start()
        seen = self.r.run("erase_upgrade")
        self.assert_completed("erase_upgrade", seen)
        self.r.discard = True


if __name__ == "__main__":
    unittest.main()
