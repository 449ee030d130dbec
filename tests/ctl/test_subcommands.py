"""Each subcommand against the real service in the sandbox: output and exit code."""
import os
import re
import signal

from harness import (BUSY, ERASE, ERASE_KEYS, MIGRATION, REFUSED, SUCCESS, TIMED_OUT, ServiceCase, described, end,
                     finish, json_lines, main, scaled, start_client, step, wait_until)

GATE = ("--rule", "apt-get update gate={state}/gate")
APT_UPDATE = described("erase_upgrade", step(ERASE, "apt_update"))
COMPLETED = described("erase_upgrade", step(ERASE, "completed"))


class Status(ServiceCase):
    def test_idle_in_plain_and_json_form(self):
        r = self.client("status")
        self.assertExit(r, SUCCESS)
        self.assertEqual((r.stdout, r.stderr), ("idle\n", ""))
        r = self.client("--json", "status")
        self.assertExit(r, SUCCESS)
        self.assertEqual(json_lines(r.stdout), [{"type": "idle", "raw": "nfy;idle;;;"}])

    def test_nothing_to_replay_after_the_frontend_restarted(self):
        # A fresh frontend has no notification to replay until the backend speaks again.
        frontends = self.service.log().count("Frontend pid=")
        os.kill(self.service.worker_host_pid("Frontend"), signal.SIGTERM)
        wait_until(lambda: self.service.log().count("Frontend pid=") > frontends, 10, "a new frontend")
        r = self.client("status", "--timeout", "0.5")
        self.assertExit(r, TIMED_OUT)
        self.assertEqual(r.stdout, "")
        self.assertIn("zorvi-upgradectl: no status yet", r.stderr)
        # A request still goes through: with no replay the client waits a moment, then asks.
        r = self.client("erase-upgrade")
        self.assertExit(r, SUCCESS)
        self.assertEqual(r.stdout.splitlines()[-2], COMPLETED)


class Procedures(ServiceCase):
    def test_erase_upgrade_prints_each_step_once_and_ends_completed(self):
        r = self.client("erase-upgrade")
        self.assertExit(r, SUCCESS)
        lines = r.stdout.splitlines()
        accepted = re.fullmatch(r"erase_upgrade accepted \(request (\d+)\)", lines[0])
        self.assertTrue(accepted, lines[0])
        self.assertTrue(1 <= int(accepted.group(1)) <= 65535)
        steps = lines[1:-1]
        self.assertEqual([re.search(r"\((\w+)\)$", l).group(1) for l in steps], ERASE_KEYS)
        self.assertTrue(all(l.startswith("erase_upgrade ") for l in steps), steps)
        self.assertEqual(steps[6], APT_UPDATE)
        self.assertEqual(steps, [described("erase_upgrade", row) for row in ERASE[1:]])
        self.assertRegex(lines[-1], r"^erase_upgrade completed in \d+:\d\d$")
        self.assertNotIn("\r", r.stdout)
        self.assertNotIn("\x1b", r.stdout)
        self.assertEqual(r.stderr, "")

    def test_upgrade_in_json_form_runs_the_migration_procedure(self):
        r = self.client("--json", "upgrade")
        self.assertExit(r, SUCCESS)
        objects = json_lines(r.stdout)
        self.assertEqual(objects[0]["type"], "idle")  # the replay the client looked at first
        response = objects[1]
        self.assertEqual((response["type"], response["accepted"]), ("response", True))
        self.assertEqual(response["raw"], "rsp;%d;true;" % response["id"])
        progress = objects[2:]
        self.assertEqual(len(progress), len(MIGRATION) - 1)
        self.assertEqual([(o["key"], o["text"], "%.3f" % o["percent"]) for o in progress],
                         [(key, text, percent) for key, text, percent, _ in MIGRATION[1:]])
        self.assertTrue(all(o["procedure"] == "migration_upgrade" for o in progress))
        percents = [o["percent"] for o in progress]
        self.assertEqual(percents, sorted(percents))
        self.assertEqual(progress[12]["key"], MIGRATION[13][0])
        self.assertEqual(progress[-1], {
            "type": "progress", "procedure": "migration_upgrade", "percent": 100.0, "key": "completed",
            "text": "Completed", "completed": True, "raw": "nfy;migration_upgrade;100.000;completed;;Completed"})
        self.assertFalse(any(o["completed"] for o in progress[:-1]))

    def test_revert_and_cancel_are_refused(self):
        for word in ("revert", "cancel"):
            r = self.client(word)
            self.assertExit(r, REFUSED)
            self.assertEqual(r.stdout, "")
            self.assertEqual(r.stderr, "zorvi-upgradectl: %s refused: unsupported command\n" % word)
        r = self.client("--json", "cancel")
        self.assertExit(r, REFUSED)
        response = json_lines(r.stdout)[-1]
        self.assertEqual((response["accepted"], response["reason"]), (False, "unsupported command"))


class WhileAProcedureRuns(ServiceCase):
    service_options = GATE

    def test_status_shows_the_step_and_a_second_request_is_not_sent(self):
        first = start_client("erase-upgrade", socket_path=self.socket)
        try:
            self.service.wait_for_call("apt-get update")
            r = self.client("status")
            self.assertExit(r, SUCCESS)
            self.assertEqual(r.stdout, APT_UPDATE + "\n")
            for word in ("upgrade", "erase-upgrade", "revert"):
                r = self.client(word)
                self.assertExit(r, BUSY)
                self.assertIn("a procedure is already running: " + APT_UPDATE.split("%")[0] + "%", r.stderr)
            self.service.open_gate()
            code, out, err = finish(first)
            self.assertEqual(code, SUCCESS, err)
            # Until the hub restarts, the service itself refuses: the same exit
            # code, with the service's reason.
            r = self.client("upgrade")
            self.assertExit(r, BUSY)
            self.assertIn("upgrade refused: upgrade completed, hub is restarting", r.stderr)
            self.assertEqual(self.service.log().count("Backend received upgrade command"), 1)
        finally:
            end(first)

    def test_watch_follows_someone_elses_procedure_to_the_end(self):
        watcher = start_client("watch", socket_path=self.socket)
        self.service.wait_connected(2)  # the watcher saw idle before anything started
        starter = start_client("erase-upgrade", socket_path=self.socket)
        try:
            self.service.wait_for_call("apt-get update")
            self.service.open_gate()
            code, out, err = finish(watcher)
            self.assertEqual((code, err), (SUCCESS, ""))
            lines = out.splitlines()
            self.assertEqual(lines[0], "idle")
            self.assertEqual(lines[-1], COMPLETED)
            self.assertEqual(len(lines), 1 + len(ERASE_KEYS))
            self.assertEqual(finish(starter)[0], SUCCESS)
        finally:
            end(watcher, starter)

    def test_watch_gives_up_after_its_timeout(self):
        limit = "%g" % scaled(1)
        r = self.client("watch", "--timeout", limit)
        self.assertExit(r, TIMED_OUT)
        self.assertEqual(r.stdout, "idle\n")
        self.assertIn("no notification from the service (waited %s s)" % limit, r.stderr)


if __name__ == "__main__":
    main()
