"""What the stress tests share beside zorvitest: a raw client socket, the
frontend's descriptors and the texts a client may ever receive.

Everything stays bounded: each loop has a count or a deadline, and only the
processes the tests started are signalled, by pid.
"""
import os
import re
import socket
import time

from zorvitest.wait import scaled, wait_until

# Every datagram the relay may send while no procedure runs.
WELL_FORMED = re.compile(
    r"rsp;([1-9][0-9]{0,4})?;false;(invalid request|unsupported command)|nfy;idle;;;")


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def connect(path, timeout=5.0):
    """A client socket; waits (bounded) while the listen queue is full."""
    deadline = time.monotonic() + scaled(timeout)
    while True:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        sock.settimeout(scaled(timeout))
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
        c.settimeout(scaled(timeout))
        start = time.monotonic()
        c.send(text.encode())
        answer = c.recv(4096).decode("latin-1")
        return time.monotonic() - start, answer
    finally:
        c.close()


def settle(s, baseline, what="the frontend's descriptors to return to their baseline"):
    """Waits until the current frontend holds `baseline` descriptors; returns its pid."""
    def back():
        pid = s.live_worker("Frontend")
        return pid if pid and descriptors(pid) == baseline else None
    return wait_until(back, 10, what, interval=0.05)
