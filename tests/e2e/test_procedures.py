"""Full procedures, failures and requests that arrive while a procedure runs."""
import os
import re
import signal
import subprocess
import unittest

from zorvitest.procedures import ERASE, MIGRATION, commands, notification, notifications
from zorvitest.service import EMPTY_ROOT, Service, command_calls
from zorvitest.wait import wait_until


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
        self.assertEqual(got[-2], notification("erase_upgrade", ERASE, "apt_update"))
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
            self.assertEqual(got[:2], ["rsp;2;true;", notification("migration_upgrade", MIGRATION, "prepare")])
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()


class RequestsDuringAProcedure(unittest.TestCase):
    """A second client, a double click or a retrying script must never start a
    procedure behind the running one: the reboot would cut it off half way."""

    GATE = ("--rule", "apt-get update gate={state}/gate")

    def procedures_run(self, s):
        """How many procedures the stubs saw through to the end: each ends with its reboot step."""
        return [n for n, a, _ in s.stub_calls()].count("reboot")

    def test_requests_are_refused_at_once_and_never_carried_out_later(self):
        s = Service(*self.GATE)
        gate = os.path.join(s.state, "gate")
        try:
            a, b = s.client(), s.client()
            a.recv(), b.recv()
            a.send("req;10;erase_upgrade")
            a.recv_until(lambda t: ";apt_update;" in t, 15)
            b.recv_until(lambda t: ";apt_update;" in t, 15)
            for text, answer in [("req;11;cancel", "rsp;11;false;unsupported command"),
                                 ("req;12;upgrade", "rsp;12;false;upgrade already in progress"),
                                 ("req;13;erase_upgrade", "rsp;13;false;upgrade already in progress"),
                                 ("req;14;revert", "rsp;14;false;unsupported command")]:
                b.send(text)
                self.assertEqual(b.recv(), answer, text)  # while the step is still held
            self.assertFalse(os.path.exists(gate))
            open(gate, "w").close()
            got = b.recv_until(lambda t: t == "nfy;idle;;;", 30)
            self.assertEqual(got[-2:], [notification("erase_upgrade", ERASE, "completed"), "nfy;idle;;;"])
            # Until the hub has restarted, nothing more starts.
            for text, answer in [("req;15;upgrade", "rsp;15;false;upgrade completed, hub is restarting"),
                                 ("req;16;erase_upgrade", "rsp;16;false;upgrade completed, hub is restarting"),
                                 ("req;17;cancel", "rsp;17;false;unsupported command")]:
                b.send(text)
                self.assertEqual(b.recv(), answer, text)
            self.assertEqual(self.procedures_run(s), 1)
            self.assertEqual(s.stdout().count("Backend received upgrade command"), 1)
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()

    def test_requests_that_reach_a_busy_backend_are_refused_when_it_ends(self):
        # A frontend restarted during the procedure has no state to refuse
        # from: its requests wait in the pair, and the backend answers them.
        s = Service(*self.GATE)
        gate = os.path.join(s.state, "gate")
        try:
            a = s.client()
            a.recv()
            a.send("req;10;upgrade")
            a.recv_until(lambda t: ";apt_update;" in t, 15)
            os.kill(s.host_pid(s.worker_pids("Frontend")[-1]), signal.SIGKILL)
            wait_until(lambda: len(s.worker_pids("Frontend")) == 2, 10, "a new frontend")
            c = wait_until(lambda: s._try_connect(), 10, "the new frontend's socket")
            s.clients.append(c)
            c.send("req;21;erase_upgrade")
            c.send("req;22;cancel")
            c.send("req;23;upgrade")
            open(gate, "w").close()
            got = c.recv_until(lambda t: t.startswith("rsp;23;"), 30)
            # Refused as running or, once the reboot step has returned, as
            # restarting: either way, never carried out.
            refused = ";false;(upgrade already in progress|upgrade completed, hub is restarting)$"
            answers = [t for t in got if t.startswith("rsp;")]
            self.assertEqual(len(answers), 3, got)
            self.assertRegex(answers[0], "^rsp;21" + refused)
            self.assertEqual(answers[1], "rsp;22;false;unsupported command")
            self.assertRegex(answers[2], "^rsp;23" + refused)
            # All three were answered before the procedure's backend exited.
            self.assertNotIn("nfy;idle;;;", got)
            c.recv_until(lambda t: t == "nfy;idle;;;", 10)
            self.assertEqual(self.procedures_run(s), 1)
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()

    def test_only_a_reboot_clears_the_completed_state(self):
        s = Service()
        try:
            c = s.client()
            c.recv()
            c.send("req;1;upgrade")
            c.recv_until(lambda t: t.endswith(";completed;;Completed"), 30)
            self.assertEqual(s.stop(), 0)
        finally:
            s.close(keep_state=True)
        # The service alone restarted: /run is kept.
        s = Service(state=s.state)
        try:
            c = s.client()
            self.assertEqual(c.recv(), "nfy;idle;;;")
            c.send("req;2;erase_upgrade")
            self.assertEqual(c.recv(), "rsp;2;false;upgrade completed, hub is restarting")
            self.assertEqual(s.stub_calls(), [])
            self.assertEqual(s.stop(), 0)
        finally:
            s.close(keep_state=True)
        # A reboot empties /run.
        subprocess.run(["rm", "-rf", os.path.join(s.state, "run")], check=True)
        s = Service(state=s.state)
        try:
            c = s.client()
            c.recv()
            c.send("req;3;upgrade")
            self.assertEqual(c.recv(), "rsp;3;true;")
            c.recv_until(lambda t: t.endswith(";completed;;Completed"), 30)
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()


class OneProcedurePerMachine(unittest.TestCase):
    @unittest.skipIf(EMPTY_ROOT, "the empty root runs the daemon alone, without a shell to start it again")
    def test_a_killed_launchers_procedure_keeps_the_restarted_service_from_starting_another(self):
        # Like a supervisor: when the launcher dies, start the service again.
        s = Service("--rule", "apt-get update gate={state}/gate", command="$DAEMON; exec $DAEMON")
        gate = os.path.join(s.state, "gate")
        try:
            c = s.client()
            c.recv()
            c.send("req;1;erase_upgrade")
            c.recv_until(lambda t: ";apt_update;" in t, 15)
            old_backend = s.host_pid(s.worker_pids("Backend")[-1])
            with open("/proc/%d/status" % s.host_pid(s.worker_pids("Frontend")[-1])) as f:
                launcher = int(re.search(r"^PPid:\s+(\d+)", f.read(), re.M).group(1))
            os.kill(launcher, signal.SIGKILL)
            wait_until(lambda: len(s.worker_pids("Backend")) == 2 and len(s.worker_pids("Frontend")) == 2,
                       20, "the restarted service's workers")
            self.assertTrue(os.path.exists("/proc/%d" % old_backend), "the running procedure went on")
            c2 = wait_until(lambda: s._try_connect(), 10, "the restarted service's socket")
            s.clients.append(c2)
            c2.recv_until(lambda t: t == "nfy;idle;;;", 10)
            c2.send("req;2;upgrade")
            self.assertEqual(c2.recv(), "rsp;2;false;upgrade already in progress")
            open(gate, "w").close()
            wait_until(lambda: not os.path.exists("/proc/%d" % old_backend), 30, "the old procedure to end")
            # It completed, reboot included: the hub is about to restart.
            c2.send("req;3;upgrade")
            self.assertEqual(c2.recv(), "rsp;3;false;upgrade completed, hub is restarting")
            self.assertEqual([n for n, _, _ in s.stub_calls()].count("reboot"), 1)
            self.assertEqual(s.stop(), 0)
        finally:
            s.close()


if __name__ == "__main__":
    unittest.main()
