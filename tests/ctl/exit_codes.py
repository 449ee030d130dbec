"""The client's exit codes as its manual page documents them.

The page is what scripts rely on, so the tests take the numbers from it and
check the program against it: a code renumbered in the program, or one that
the page does not document, fails them.
"""
import os
import re

MAN_PAGE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                        "ctl", "zorvi-upgradectl.1")


def documented(path=MAN_PAGE):
    """{code: meaning} from the page's EXIT STATUS section, meanings on one line."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    section = re.search(r"^\.SH EXIT STATUS\n(.*?)(?=^\.SH)", text, re.M | re.S).group(1)
    entries = re.findall(r"^\.TP\n\.B (\d+)\n(.*?)(?=^\.TP|^\.PP|\Z)", section, re.M | re.S)
    return {int(code): " ".join(meaning.split()) for code, meaning in entries}


CODES = documented()


def _code(start):
    """The one documented code whose meaning starts with `start`."""
    found = [code for code, meaning in CODES.items() if meaning.startswith(start)]
    if len(found) != 1:
        raise LookupError("%d exit codes documented as '%s...' in %s" % (len(found), start, MAN_PAGE))
    return found[0]


SUCCESS = _code("Success")
STEP_FAILED = _code("The procedure stopped at a failed step")
USAGE = _code("Usage error")
REFUSED = _code("The service refused the request")
NOT_RUNNING = _code("The upgrade service is not running")
DENIED = _code("Permission denied on the socket")
LOST = _code("The connection closed")
TIMED_OUT = _code("Nothing came from the service in time")
BUSY = _code("A procedure is already running")
