"""What goes wrong, and what the client says then: a failing step, a refused
model, the service stopping mid-watch, no service, no permission, Ctrl-C, a bad
command line."""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from harness import (CLIENT, CODES, DENIED, ERASE, LOST, NOT_RUNNING, REFUSED, STEP_FAILED, SUCCESS, USAGE,
                     ServiceCase, described, end, finish, json_lines, main, run_client, start_client, step)

APT_UPDATE_ROW = step(ERASE, "apt_update")
APT_UPDATE = "%s (%s)" % (APT_UPDATE_ROW[1], APT_UPDATE_ROW[0])  # as failure reports name a step


class FailingStep(ServiceCase):
    service_options = ("--rule", "apt-get update exit=100")

    def test_the_failed_step_is_named_and_the_exit_is_non_zero(self):
        watcher = start_client("watch", socket_path=self.socket)
        try:
            self.service.wait_connected(2)
            r = self.client("erase-upgrade")
            self.assertExit(r, STEP_FAILED)
            self.assertEqual(r.stderr, "zorvi-upgradectl: failed at: %s\n" % APT_UPDATE)
            lines = r.stdout.splitlines()
            self.assertEqual(lines[-2:], [described("erase_upgrade", APT_UPDATE_ROW), "idle"])
            # Someone merely watching learns the same.
            code, out, err = finish(watcher)
            self.assertEqual(code, STEP_FAILED)
            self.assertEqual(err, "zorvi-upgradectl: failed at: %s\n" % APT_UPDATE)
            self.assertEqual(out.splitlines()[-1], "idle")
        finally:
            end(watcher)

    def test_json_form_of_a_failure(self):
        r = self.client("--json", "upgrade")
        self.assertExit(r, STEP_FAILED)
        objects = json_lines(r.stdout)
        self.assertEqual([o["type"] for o in objects[-2:]], ["progress", "idle"])
        self.assertEqual((objects[-2]["key"], objects[-2]["procedure"]), (APT_UPDATE_ROW[0], "migration_upgrade"))
        self.assertIn("failed at: " + APT_UPDATE, r.stderr)


class UnsupportedModel(ServiceCase):
    service_options = ("--model", "arko-2a\n")

    def test_both_procedures_are_refused_with_the_services_reason(self):
        for word in ("upgrade", "erase-upgrade"):
            r = self.client(word)
            self.assertExit(r, REFUSED)
            self.assertEqual(r.stdout, "")
            self.assertEqual(r.stderr, "zorvi-upgradectl: %s refused: upgrade not supported on this lumora model\n"
                             % word.replace("-", "_"))


class ServiceStops(ServiceCase):
    service_options = ("--rule", "apt-get update gate={state}/gate")

    def test_clients_that_follow_learn_where_the_procedure_was(self):
        starter = start_client("erase-upgrade", socket_path=self.socket)
        watcher = start_client("watch", socket_path=self.socket)
        try:
            self.service.wait_for_call("apt-get update")
            self.service.wait_connected(3)
            self.service.stop()
            for proc in (starter, watcher):
                code, out, err = finish(proc, 15)
                self.assertEqual(code, LOST, err)
                self.assertEqual(err, "zorvi-upgradectl: the upgrade service closed the connection while at: %s\n"
                                 % APT_UPDATE)
        finally:
            end(starter, watcher)

    def test_ctrl_c_stops_following_but_not_the_procedure(self):
        follower = start_client("erase-upgrade", socket_path=self.socket)
        try:
            self.service.wait_for_call("apt-get update")
            follower.send_signal(signal.SIGINT)
            code, out, err = finish(follower, 10)
            self.assertEqual(code, -signal.SIGINT)  # ended by the signal, as the shell expects
            self.assertIn("stopped following; the procedure goes on in the service", err)
            self.service.open_gate()
            self.service.wait_for_call("reboot")  # the last step ran without anyone following
        finally:
            end(follower)


class NoService(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zorvi-ctl-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_no_socket_and_a_stale_socket_both_mean_not_running(self):
        missing = os.path.join(self.dir, "socket")
        r = run_client("status", socket_path=missing)
        self.assertEqual(r.returncode, NOT_RUNNING)
        self.assertIn("zorvi-upgradectl: the upgrade service is not running", r.stderr)
        # The file of a service that died: bound once, nobody listening.
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        stale.bind(missing)
        stale.close()
        r = run_client("erase-upgrade", socket_path=missing)
        self.assertEqual(r.returncode, NOT_RUNNING)
        self.assertIn("the upgrade service is not running", r.stderr)


class CommandLine(unittest.TestCase):
    def test_a_usage_error_says_where_to_look(self):
        r = run_client("status", "--verbose")
        self.assertEqual(r.returncode, USAGE)
        self.assertEqual(r.stderr, "zorvi-upgradectl: unknown option '--verbose'\n"
                                   "Try 'zorvi-upgradectl --help' for more information.\n")

    def test_help_lists_the_exit_codes_the_manual_page_documents(self):
        r = run_client("--help")
        self.assertEqual(r.returncode, SUCCESS, r.stderr)
        listed = r.stdout.split("\nExit status:\n", 1)[1]
        self.assertEqual([int(c) for c in re.findall(r"^  (\d+)  \S", listed, re.M)], sorted(CODES))


class Permissions(ServiceCase):
    def ids(self, name):
        with open(os.path.join(self.service.state, "etc", "group"), encoding="utf-8") as f:
            groups = {line.split(":")[0]: int(line.split(":")[2]) for line in f if line.count(":") >= 3}
        with open(os.path.join(self.service.state, "etc", "passwd"), encoding="utf-8") as f:
            users = {line.split(":")[0]: int(line.split(":")[2]) for line in f if line.count(":") >= 3}
        return users[name], groups

    def as_account(self, name, *extra_groups):
        uid, groups = self.ids(name)
        wanted = ",".join(str(groups[g]) for g in extra_groups)
        return ["setpriv", "--reuid=%d" % uid, "--regid=%d" % groups[name],
                ("--groups=" + wanted) if wanted else "--clear-groups", "--"]

    def test_only_members_of_the_group_may_connect(self):
        # A clone under /root is not readable by other accounts: the outsider
        # runs a copy of the client from a folder anybody may read.
        with tempfile.TemporaryDirectory() as folder:
            os.chmod(folder, 0o755)
            copy = os.path.join(folder, "zorvi-upgradectl")
            shutil.copy(CLIENT[-1], copy)
            os.chmod(copy, 0o755)
            outsider = self.as_account("zorvi-outsider") + CLIENT[:-1] + [copy]
            probe = subprocess.run([*outsider, "--version"], capture_output=True, text=True,
                                   stdin=subprocess.DEVNULL, timeout=30)
            self.assertEqual(probe.returncode, SUCCESS, probe.stderr)
            r = subprocess.run([*outsider, "--socket", self.socket, "status"], capture_output=True,
                               text=True, stdin=subprocess.DEVNULL, timeout=30)
        self.assertEqual(r.returncode, DENIED, r.stderr)
        self.assertEqual(r.stderr, "zorvi-upgradectl: permission denied: the user must be in group zorvi-upgrade\n")
        r = run_client("status", socket_path=self.socket, prefix=self.as_account("zorvi-client", "zorvi-upgrade"))
        self.assertEqual((r.returncode, r.stdout), (SUCCESS, "idle\n"), r.stderr)


if __name__ == "__main__":
    main()
