"""Running a suite that needs root (namespaces, mounts) as a CTest program."""
import os
import sys
import unittest

SKIP = 77  # CTest's SKIP_RETURN_CODE


def require_root(why):
    """Ends the program as skipped when it does not run as root."""
    if os.geteuid() != 0:
        print("skipped: %s needs root" % why)
        sys.exit(SKIP)


def main(why):
    require_root(why)
    unittest.main(verbosity=2)
