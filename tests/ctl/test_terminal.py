"""The client's output on a terminal (a pseudo-terminal here): one progress bar
redrawn in place; and the plain form where a terminal cannot redraw."""
import fcntl
import os
import pty
import re
import select
import struct
import subprocess
import termios
import time

from harness import ERASE, STEP_FAILED, SUCCESS, ServiceCase, client_argv, described, main, scaled, step

PREPARE = step(ERASE, "prepare")[1]
APT_UPDATE = step(ERASE, "apt_update")[1]

REDRAW = "\r\x1b[K"


class Terminal:
    """The client on a pseudo-terminal of the given width."""

    def __init__(self, *args, socket_path, columns=100, term="xterm"):
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        env = dict(os.environ, TERM=term)
        self.proc = subprocess.Popen(client_argv(*args, socket_path=socket_path), stdin=slave, stdout=slave,
                                     stderr=slave, env=env, start_new_session=True)
        os.close(slave)
        self.master = master

    def read_to_end(self, timeout=30):
        """Everything the client wrote, with the terminal's "\\r\\n" turned back into "\\n"."""
        data = b""
        deadline = time.monotonic() + scaled(timeout)
        try:
            while True:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self.master], [], [], left)[0]:
                    self.proc.kill()
                    raise AssertionError("the client did not finish; it wrote %r" % data)
                try:
                    chunk = os.read(self.master, 4096)
                except OSError:  # EIO: the client's side is closed
                    break
                if not chunk:
                    break
                data += chunk
        finally:
            os.close(self.master)
            self.proc.wait(10)
        return data.decode().replace("\r\n", "\n")


def frames(bar_line):
    """The successive states of a redrawn line."""
    assert bar_line.startswith(REDRAW), repr(bar_line)
    return bar_line.split(REDRAW)[1:]


def percent(frame):
    return float(re.search(r"(\d+\.\d)%", frame).group(1))


class ProgressBar(ServiceCase):
    def test_the_bar_redraws_in_place_and_ends_at_100_percent(self):
        t = Terminal("erase-upgrade", socket_path=self.socket, columns=100)
        out = t.read_to_end()
        self.assertEqual(t.proc.returncode, SUCCESS, out)
        lines = out.split("\n")
        self.assertRegex(lines[0], r"^erase_upgrade accepted \(request \d+\)$")
        shown = frames(lines[1])  # every step, drawn over one another on one line
        self.assertGreaterEqual(len(shown), 26)
        self.assertTrue(all(len(f) <= 99 for f in shown), max(shown, key=len))
        self.assertEqual([percent(f) for f in shown], sorted(percent(f) for f in shown))
        self.assertIn(" 0.0%", shown[0])
        self.assertIn(PREPARE, shown[0])
        self.assertTrue(any(f.endswith(APT_UPDATE) for f in shown))
        self.assertRegex(shown[-1], r"^erase_upgrade \[#+\] 100\.0%  \d+:\d\d  Completed$")
        self.assertRegex(lines[2], r"^erase_upgrade completed in \d+:\d\d$")
        self.assertEqual(lines[3:], [""])

    def test_without_redraw_support_the_output_is_plain(self):
        t = Terminal("erase-upgrade", socket_path=self.socket, term="dumb")
        out = t.read_to_end()
        self.assertEqual(t.proc.returncode, SUCCESS, out)
        self.assertNotIn("\r", out)
        self.assertNotIn("\x1b", out)
        self.assertIn("\n%s\n" % described("erase_upgrade", step(ERASE, "completed")), out)


class SlowStep(ServiceCase):
    service_options = ("--rule", "apt-get update gate={state}/gate")

    def test_elapsed_time_moves_while_a_step_runs(self):
        t = Terminal("erase-upgrade", socket_path=self.socket)
        self.service.wait_for_call("apt-get update")
        time.sleep(scaled(2.5))
        self.service.open_gate()
        out = t.read_to_end()
        self.assertEqual(t.proc.returncode, SUCCESS, out)
        waiting = [f for f in frames(out.split("\n")[1]) if f.endswith(APT_UPDATE)]
        times = [re.search(r"%  (\d+:\d\d)  ", f).group(1) for f in waiting]
        self.assertGreaterEqual(len(set(times)), 3, times)  # redrawn each second, not only per step
        self.assertEqual(times, sorted(times))


class FailedStep(ServiceCase):
    service_options = ("--rule", "apt-get update exit=100")

    def test_the_failure_report_starts_on_a_line_of_its_own(self):
        t = Terminal("erase-upgrade", socket_path=self.socket)
        out = t.read_to_end()
        self.assertEqual(t.proc.returncode, STEP_FAILED, out)
        lines = out.split("\n")
        self.assertTrue(frames(lines[1])[-1].endswith(APT_UPDATE), lines[1])
        self.assertEqual(lines[2:], ["idle", "zorvi-upgradectl: failed at: %s (apt_update)" % APT_UPDATE, ""])


if __name__ == "__main__":
    main()
