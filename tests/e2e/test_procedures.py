"""Full procedures, failures and requests that arrive while a procedure runs."""
import os
import unittest

from plan import ERASE, MIGRATION, commands, notifications
from service import Service, command_calls, wait_until


class FullProcedures(unittest.TestCase):
    def run_procedure(self, command, name, plan):
        s = Service()
        try:
            requester, watcher = s.client(), s.client()
            self.assertEqual(requester.recv(), "nfy;idle;;;")
            self.assertEqual(watcher.recv(), "nfy;idle;;;")
            requester.send("req;41;" + command)
            expected = notifications(name, plan)
            got = requester.recv_until(lambda t: t.endswith(";completed;;Completed"), 30)
            self.assertEqual(got, ["rsp;41;true;"] + expected)  # the response reaches the requester only
            got = watcher.recv_until(lambda t: t.endswith(";completed;;Completed"), 30)
            self.assertEqual(got, expected)
            # The finished backend exits and a fresh one announces idle to everyone.
            self.assertEqual(requester.recv(10), "nfy;idle;;;")
            self.assertEqual(watcher.recv(10), "nfy;idle;;;")

            calls = s.stub_calls()
            self.assertEqual([(n, a) for n, a, _ in calls], command_calls(commands(plan)))
            self.assertTrue(all(f == "DEBIAN_FRONTEND=noninteractive" for _, _, f in calls), calls)

            out = s.stdout()
            for line in commands(plan):
                self.assertIn("\n=== %s ===\n\n" % line, out)
            self.assertEqual(out.count("Backend received upgrade command, starting..."), 1)
            backends = s.worker_pids("Backend")
            self.assertEqual(len(backends), 2)
            self.assertNotEqual(backends[0], backends[1])
            first_exit = out.index("Backend exiting")
            self.assertLess(out.index("=== sleep 10; reboot ==="), first_exit)
            self.assertLess(first_exit, out.rindex("Backend pid="))
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()

    def test_erase_upgrade_runs_every_step_and_reports_each(self):
        self.run_procedure("erase_upgrade", "erase_upgrade", ERASE)

    def test_upgrade_runs_the_migration_procedure(self):
        self.run_procedure("upgrade", "migration_upgrade", MIGRATION)


class FailedSteps(unittest.TestCase):
    def fail_at(self, rule, step_key):
        s = Service("--rule", rule)
        try:
            c = s.client()
            self.assertEqual(c.recv(), "nfy;idle;;;")
            c.send("req;3;erase_upgrade")
            got = c.recv_until(lambda t: t == "nfy;idle;;;", 30)
            # The last progress before the new idle names the step that failed.
            self.assertEqual(got[0], "rsp;3;true;")
            self.assertTrue(got[-2].startswith("nfy;erase_upgrade;"), got)
            self.assertEqual(got[-2].split(";")[3], step_key)
            self.assertFalse(any(";completed;" in t for t in got))
            names = [n for n, _, _ in s.stub_calls()]
            self.assertNotIn("reboot", names)
            self.assertEqual(s.stop(), 0)
            return got, s.stub_calls()
        finally:
            s.close()

    def test_failing_apt_update_stops_at_its_step(self):
        got, calls = self.fail_at("apt-get update exit=100", "apt_update")
        self.assertEqual(got[-2], "nfy;erase_upgrade;3.656;apt_update;;Preparing software installation")
        self.assertEqual(calls[-1][:2], ("apt-get", "update"))  # nothing after the failed command

    def test_step_whose_shell_is_killed_by_a_signal_fails(self):
        got, calls = self.fail_at("qd-zw-flash * shell-signal=KILL", "flash_erase_zwave_bridge")
        self.assertEqual(calls[-1][0], "qd-zw-flash")

    def test_a_new_request_after_a_failure_starts_from_the_first_step(self):
        s = Service("--rule", "dpkg -P qd-flash nth=1,exit=1")
        try:
            c = s.client()
            c.recv()
            c.send("req;1;upgrade")
            c.recv_until(lambda t: t == "nfy;idle;;;", 30)
            c.send("req;2;upgrade")
            got = c.recv_until(lambda t: t.endswith(";completed;;Completed"), 30)
            self.assertEqual(got[:2], ["rsp;2;true;", "nfy;migration_upgrade;0.000;prepare;;Preparing update"])
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()


class RequestsDuringAProcedure(unittest.TestCase):
    def test_requests_wait_for_the_next_backend(self):
        s = Service("--rule", "apt-get update gate={state}/gate")
        gate = os.path.join(s.state, "gate")
        try:
            a, b = s.client(), s.client()
            a.recv(), b.recv()
            a.send("req;10;erase_upgrade")
            a.recv_until(lambda t: ";apt_update;" in t, 15)
            wait_until(lambda: any(a == "update" for _, a, _ in s.stub_calls()), 10, "the gated step")
            b.send("req;11;cancel")
            b.send("req;12;upgrade")
            self.assertEqual(b.recv_until(lambda t: ";apt_update;" in t, 5)[-1].split(";")[3], "apt_update")
            self.assertIsNone(b.recv(0.5))  # nothing answers while the procedure runs
            open(gate, "w").close()
            got = b.recv_until(lambda t: t == "rsp;11;false;unsupported command", 30)
            self.assertIn("nfy;erase_upgrade;100.000;completed;;Completed", got)
            self.assertEqual(got[-2:], ["nfy;idle;;;", "rsp;11;false;unsupported command"])
            # The queued upgrade is carried out by that next backend.
            got = b.recv_until(lambda t: t.endswith(";completed;;Completed"), 30)
            self.assertEqual(got[0], "rsp;12;true;")
            self.assertTrue(got[-1].startswith("nfy;migration_upgrade;"))
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()


if __name__ == "__main__":
    unittest.main()
