"""The migration procedure ("upgrade") on a fresh old-hub root, against the real tools."""
import unittest

from checks import CompletedProcedure
from rehearsal import Rehearsal


class MigrationRehearsal(CompletedProcedure, unittest.TestCase):
    def setUp(self):
        self.r = Rehearsal("migration")
        self.addCleanup(self.r.close)

    def test_upgrade_moves_the_hub_to_the_new_stack(self):
        self.r.start()
        seen = self.r.run("upgrade")
        self.assert_completed("upgrade", seen)
        self.r.discard = True


if __name__ == "__main__":
    unittest.main()
