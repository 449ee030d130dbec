"""What the stress tests share: the sandboxed service (tests/e2e/service.py), its
processes as the host sees them, and the texts a client may ever receive.

Everything stays bounded: each loop has a count or a deadline, and only the
processes the tests started are signalled, by pid.
"""
import os
import re
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))

import service  # noqa: E402  (after the path is set)
from service import SLOW, Service, wait_until  # noqa: E402,F401

# Every datagram the relay may send while no procedure runs.
WELL_FORMED = re.compile(
    r"rsp;([1-9][0-9]{0,4})?;false;(invalid request|unsupported command)|nfy;idle;;;")


def stat_fields(pid):
    """(state, ppid) of a host pid, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            rest = f.read().rsplit(")", 1)[1].split()
        return rest[0], int(rest[1])
    except (OSError, IndexError, ValueError):
        return None


def children(pid):
    """Host pids whose parent is pid, with their states."""
    found = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            fields = stat_fields(int(entry))
            if fields and fields[1] == pid:
                found[int(entry)] = fields[0]
    return found


def sandbox_processes(s):
    """{host pid: state} of every process in the service's pid namespace."""
    ns = os.readlink("/proc/%d/ns/pid" % s.launcher_pid())
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/ns/pid" % entry) != ns:
                continue
        except OSError:
            continue
        fields = stat_fields(int(entry))
        if fields:
            found[int(entry)] = fields[0]
    return found


def ns_pid(host):
    try:
        with open("/proc/%d/status" % host) as f:
            m = re.search(r"^NSpid:\s+(.*)$", f.read(), re.M)
        return int(m.group(1).split()[-1])
    except (OSError, AttributeError):
        return None


def worker(s, name):
    """Host pid of the live worker that logged "<name> pid=" last, or None."""
    logged = s.worker_pids(name)
    if not logged:
        return None
    for pid, state in children(s.launcher_pid()).items():
        if state != "Z" and ns_pid(pid) == logged[-1]:
            return pid
    return None


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def connect(path, timeout=5.0):
    """A client socket; waits (bounded) while the listen queue is full."""
    deadline = time.monotonic() + timeout * SLOW
    while True:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        sock.settimeout(timeout * SLOW)
        try:
            sock.connect(path)
            return sock
        except BlockingIOError:
            # A full listen queue answers EAGAIN to a socket with a time-out.
            sock.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.001)
        except OSError:
            sock.close()
            raise


def round_trip(s, text="req;1;revert", timeout=5.0):
    """Seconds from send to answer on a fresh client, which also skips the replay."""
    c = connect(s.socket_path, timeout)
    try:
        c.setblocking(False)
        time.sleep(0.05)
        try:
            while True:
                c.recv(4096)  # the replayed notification, if any
        except BlockingIOError:
            pass
        c.settimeout(timeout * SLOW)
        start = time.monotonic()
        c.send(text.encode())
        answer = c.recv(4096).decode("latin-1")
        return time.monotonic() - start, answer
    finally:
        c.close()


def settle(s, baseline, what="the frontend's descriptors to return to their baseline"):
    """Waits until the current frontend holds `baseline` descriptors; returns its pid."""
    def back():
        pid = worker(s, "Frontend")
        return pid if pid and descriptors(pid) == baseline else None
    return wait_until(back, 10, what, interval=0.05)
