"""Rules make chosen stub calls fail, die, take time or wait for a gate."""

import os
import signal
import time

from harness import PYTHON, SandboxCase, main
from zorvitest.wait import wait_until

# Runs each argument through "sh -c", as system() does, and prints how it ended.
RUN_EACH = """
import os, sys, time
for line in sys.argv[1:]:
    start = time.monotonic()
    status = os.system(line)
    how = (f"exit {os.WEXITSTATUS(status)}" if os.WIFEXITED(status)
           else f"signal {os.WTERMSIG(status)}")
    print(f"{how} {time.monotonic() - start:.2f}")
"""


class Rules(SandboxCase):
    def outcomes(self, calls, rules, *options):
        """How each call ended and how long it took, with these rules."""
        options += tuple(arg for rule in rules for arg in ("--rule", rule))
        result = self.run_in([PYTHON, "-c", RUN_EACH, *calls], *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return [(w[0] + " " + w[1], float(w[2]))
                for w in (line.split() for line in result.stdout.splitlines())]

    def test_first_matching_rule_decides_exit_code_or_signal(self):
        got = self.outcomes(
            ["apt-get update", "apt-get -qy install mosquitto", "dpkg -P qd-flash",
             "qd-zw-flash --reset-pin 22 --bridge --erase-nvm -- /dev/ttyS0",
             "apt-key del 7C31D0B9; apt-key --keyring /k add /a", "reboot"],
            ["apt-get update exit=100",
             "apt-get * exit=0",
             "dpkg -P* signal=SEGV",
             "qd-zw-flash *--erase-nvm* shell-signal=TERM",
             "apt-key del * exit=3",
             "* exit=1"])
        self.assertEqual([o for o, _ in got], [
            "exit 100", "exit 0",
            f"exit {128 + signal.SIGSEGV}",  # the shell reports its child's death
            f"signal {signal.SIGTERM}",      # the shell itself was killed
            "exit 1",                        # the second apt-key decides
            "exit 1"])
        self.assertEqual(len(self.log()), 7)

    def test_nth_limits_a_rule_to_one_call_and_file_rules_come_first(self):
        # Both service stops of the erase procedure run the very same line.
        stop = "svc -d /etc/service/zlinker"
        rules = os.path.join(self.state, "rules.in")
        with open(rules, "w", encoding="utf-8") as f:
            f.write(f"# the second stop fails\n\n{stop} exit=111,nth=2\n")
        got = self.outcomes([stop, stop, stop], ["svc * exit=5"], "--rules", rules)
        self.assertEqual([o for o, _ in got], ["exit 5", "exit 111", "exit 5"])

    def test_delays_take_their_time(self):
        got = self.outcomes(["apt-get update", "dpkg -P x"],
                            ["apt-get update delay=0.6,exit=100"], "--step-delay", "0.2")
        (first, t1), (second, t2) = got
        self.assertEqual((first, second), ("exit 100", "exit 0"))
        # Upper bounds leave room for a loaded machine.
        self.assertGreaterEqual(t1, 0.8)
        self.assertLess(t1, 2.5)
        self.assertGreaterEqual(t2, 0.2)
        self.assertLess(t2, 1.8)

    def test_gate_holds_the_call_until_its_file_appears(self):
        gate = os.path.join(self.state, "open")
        with self.started([PYTHON, "-c", RUN_EACH, "qd-zw-flash -- /dev/ttyS0"],
                          "--rule", f"qd-zw-flash * gate={gate},exit=4") as process:
            wait_until(lambda: len(self.log()) == 1, 10, "the call to reach the gate")
            time.sleep(0.5)
            self.assertIsNone(process.poll(), "the call went through a closed gate")
            with open(gate, "w", encoding="ascii"):
                pass
            self.assertEqual(process.wait(timeout=5), 0)
            self.assertTrue(process.stdout.read().startswith("exit 4 "))

    def test_a_gate_that_never_opens_fails_the_call_in_bounded_time(self):
        got = self.outcomes(["svc -d /x"], [f"svc * gate={self.state}/never,exit=0"],
                            "--gate-timeout", "0.4")
        self.assertEqual(got[0][0], "exit 124")
        self.assertGreaterEqual(got[0][1], 0.4)
        self.assertLess(got[0][1], 3.0)

    def test_run_hands_the_call_to_a_program_whose_failure_is_the_stubs(self):
        seen = os.path.join(self.state, "seen")
        hook = os.path.join(self.state, "hook")
        with open(hook, "w", encoding="utf-8") as f:
            f.write(f"#!{PYTHON}\nimport sys\n"
                    f"open({seen!r}, 'a').write(' '.join(sys.argv[1:]) + '\\n')\n"
                    "sys.exit(7 if 'bad' in sys.argv else 0)\n")
        os.chmod(hook, 0o755)
        got = self.outcomes(["apt-get -qy install 'two words'", "dpkg -P bad", "dpkg -P good"],
                            [f"apt-get * run={hook},exit=3", f"dpkg * run={hook}"])
        self.assertEqual([o for o, _ in got], ["exit 3", "exit 7", "exit 0"])
        with open(seen, encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines(),
                             ["apt-get -qy install two words", "dpkg -P bad", "dpkg -P good"])

    def test_malformed_rules_are_refused_before_anything_runs(self):
        marker = os.path.join(self.state, "ran")
        for rule in ("exit=1", "x exit=256", "x signal=CHLD", "x signal=STOP", "x exit=1,delay=1",
                     "x frob=1", "x delay=-1", "x run=", "x nth=0,exit=1", "x nth=2"):
            with self.subTest(rule=rule):
                result = self.run_in(["/bin/bash", "-c", f": >{marker}"], "--rule", rule)
                self.assertEqual(result.returncode, 125)
                self.assertIn("sandbox:", result.stderr)
                self.assertFalse(os.path.exists(marker))


if __name__ == "__main__":
    main()
