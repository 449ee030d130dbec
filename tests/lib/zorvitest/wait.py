"""Bounded waiting. Every bound scales with ZORVI_TIME_SCALE, which an emulated
(slower) run sets above 1."""
import os
import time

SLOW = float(os.environ.get("ZORVI_TIME_SCALE", "1"))


def scaled(seconds):
    return seconds * SLOW


def wait_until(predicate, timeout, what, interval=0.01):
    """predicate's first true value, asked every `interval` s for at most
    `timeout` s (scaled); an AssertionError naming `what` when none came."""
    deadline = time.monotonic() + scaled(timeout)
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out after %s s waiting for %s" % (scaled(timeout), what))
