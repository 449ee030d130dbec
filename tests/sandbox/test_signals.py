"""The command's exit status comes back, and stop signals reach the command."""

import os
import random
import signal
import time

from harness import PYTHON, SandboxCase, main
from zorvitest.wait import wait_until

# Stops in an orderly way, like the service: exit status 0 and a line saying why.
ORDERLY = """
import signal, sys, time
def stop(sig, _):
    print("stopped by", signal.Signals(sig).name, flush=True)
    sys.exit(0)
signal.signal(signal.SIGTERM, stop)
signal.signal(signal.SIGINT, stop)
print("ready", flush=True)
time.sleep(30)
sys.exit(9)
"""
# Has no handlers: as any process but a namespace's first, SIGTERM ends it.
NO_HANDLER = [PYTHON, "-c", "print('ready', flush=True); import time; time.sleep(30)"]


class ExitStatus(SandboxCase):
    def test_status_of_the_command_is_passed_on(self):
        cases = [(["/bin/bash", "-c", "exit 3"], 3),
                 (["/bin/bash", "-c", "kill -KILL $$"], 128 + signal.SIGKILL),
                 (["/nonexistent/program"], 127),
                 (["/etc/hostname"], 126)]
        for command, status in cases:
            with self.subTest(command=command):
                self.assertEqual(self.run_in(command).returncode, status)


class Signals(SandboxCase):
    def stop(self, command, sig, target):
        """Sends sig to the sandbox or the command once it is ready."""
        with self.started(command) as process:
            self.assertEqual(process.stdout.readline(), "ready\n")
            os.kill(process.pid if target == "sandbox" else self.command_pid(), sig)
            status = process.wait(timeout=10)
            return status, process.stdout.read()

    def test_stop_signals_to_the_sandbox_reach_the_command(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                status, out = self.stop([PYTHON, "-c", ORDERLY], sig, "sandbox")
                self.assertEqual((status, out), (0, f"stopped by {sig.name}\n"))

    def test_command_without_handlers_is_ended_by_sigterm_sent_to_either_pid(self):
        # Would hang if the command were its namespace's first process.
        for target in ("sandbox", "command"):
            with self.subTest(target=target):
                start = time.monotonic()
                status, _ = self.stop(NO_HANDLER, signal.SIGTERM, target)
                self.assertEqual(status, 128 + signal.SIGTERM)
                self.assertLess(time.monotonic() - start, 5)

    def test_a_stop_signal_at_any_moment_of_start_up_ends_the_run(self):
        rng = random.Random(4)
        for delay in [rng.uniform(0, 0.4) for _ in range(12)]:
            with self.subTest(delay=round(delay, 3)), self.started(NO_HANDLER) as process:
                time.sleep(delay)
                process.send_signal(signal.SIGTERM)
                # Before its handlers exist the sandbox itself dies of it.
                self.assertIn(process.wait(timeout=5), (128 + signal.SIGTERM, -signal.SIGTERM))

    def test_killing_the_sandbox_ends_everything_inside(self):
        with self.started([PYTHON, "-c", ORDERLY]) as process:
            self.assertEqual(process.stdout.readline(), "ready\n")
            command = self.command_pid()
            process.kill()
            process.wait(timeout=5)
            wait_until(lambda: not os.path.exists(f"/proc/{command}"), 5, "the command to end")


if __name__ == "__main__":
    main()
