"""Kept only for bench/run, which still imports the service harness from here:
this module is zorvitest.service itself, so what bench/run sets on it (DAEMON)
applies. The tests import zorvitest directly; drop this once bench/run does."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "lib"))
from zorvitest import service  # noqa: E402

sys.modules[__name__] = service
