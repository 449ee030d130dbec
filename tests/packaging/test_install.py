"""The amd64 package installed into a throwaway Debian root, as on a hub that
daemontools supervises, then on one that systemd supervises.

The service runs only inside the root, in its own namespaces, with stubs first
on its PATH and a model file naming no supported hub; the only request sent is
"revert", which no procedure answers. Steps run in order, each on the state
the previous one left; after a failure the rest are skipped.
"""
import os
import shutil
import socket
import subprocess
import unittest

import packagingtest as pt
from zorvitest import namespaces

ACCOUNT = "zorvi-upgrade"
MODEL = "packaging-test"
SOCKET = "/run/verdanta/zorvi-upgrade/socket"
DAEMON = "/usr/sbin/zorvi-upgrade"
STAGING = "/tmp/packages"

# (path, kind, mode, owner, group); owner and group None: root.
INSTALLED = [
    ("/usr/sbin/zorvi-upgrade", "f", 0o755, None, None),
    ("/usr/bin/zorvi-upgradectl", "f", 0o755, None, None),
    ("/usr/share/verdanta/zorvi-upgrade/apt-preferences", "f", 0o644, None, None),
    ("/usr/share/verdanta/zorvi-upgrade/zorvi/verdanta.key.asc", "f", 0o644, None, None),
    ("/usr/share/verdanta/zorvi-upgrade/zorvi/verdanta.list", "f", 0o644, None, None),
    ("/etc/sv/zorvi-upgrade/run", "f", 0o755, None, None),
    ("/etc/sv/zorvi-upgrade/log/run", "f", 0o755, None, None),
    ("/lib/systemd/system/zorvi-upgrade.service", "f", 0o644, None, None),
    ("/var/log/zorvi-upgrade", "d", 0o750, ACCOUNT, "adm"),
]

# What a change to the accounts, dpkg's records and its log leaves anywhere.
BOOKKEEPING = ("/etc/passwd", "/etc/group", "/etc/shadow", "/etc/gshadow", "/etc/passwd-",
               "/etc/group-", "/etc/shadow-", "/etc/gshadow-", "/var/log/dpkg.log", "/run/adduser")

# Left by "dpkg -r" on purpose: the conffiles, the log, and systemd's record
# that the unit is enabled (deb-systemd-helper drops it on purge).
KEPT_ON_REMOVE = {
    "/etc/sv", "/etc/sv/zorvi-upgrade", "/etc/sv/zorvi-upgrade/run",
    "/etc/sv/zorvi-upgrade/log", "/etc/sv/zorvi-upgrade/log/run",
    "/etc/systemd/system/multi-user.target.wants/zorvi-upgrade.service",
}
KEPT_ON_REMOVE_UNDER = ("/var/log/zorvi-upgrade", "/var/lib/systemd/deb-systemd-helper-enabled")


def bookkeeping(path):
    return path in BOOKKEEPING or path.startswith("/var/lib/dpkg/")


class Ordered(unittest.TestCase):
    failed = False

    def setUp(self):
        if type(self).failed:
            self.skipTest("an earlier step failed")

    def run(self, result=None):
        # Only this step's own failure counts, not those of other tests in the run.
        before = (len(result.failures), len(result.errors)) if result is not None else (0, 0)
        result = super().run(result)
        if result is not None and (len(result.failures), len(result.errors)) != before:
            type(self).failed = True
        return result


class DaemontoolsHub(Ordered):
    @classmethod
    def setUpClass(cls):
        cls.work = os.path.join(pt.WORK, "install")
        cls.debs = pt.debs(os.path.join(pt.WORK, "amd64"))
        if "zorvi-upgrade" not in cls.debs:
            raise unittest.SkipTest("no amd64 package in %s/amd64 (packaging_build_amd64 makes it)" % pt.WORK)
        tarball = subprocess.run([os.path.join(pt.SOURCE, "tests", "rehearsal", "build-root")], check=True,
                                 stdout=subprocess.PIPE, text=True, timeout=1500).stdout.split()[-1]
        cls.root = pt.Root(os.path.join(cls.work, "root"))
        cls.root.extract(tarball)
        # What daemontools-run makes on a hub: the folder svscan watches.
        os.makedirs(cls.root.file("/etc/service"))
        staging = cls.root.file(STAGING)
        os.makedirs(staging)
        shutil.copy(cls.debs["zorvi-upgrade"], staging)
        cls.deb = STAGING + "/" + os.path.basename(cls.debs["zorvi-upgrade"])
        cls.before = cls.root.snapshot()

    @classmethod
    def tearDownClass(cls):
        if not cls.failed and hasattr(cls, "root"):
            cls.root.remove()

    def owner_ids(self, owner, group):
        uid = int(self.root.account(owner)[2]) if owner else 0
        gid = int(self.root.group(group)[2]) if group else 0
        return uid, gid

    def test_1_install_creates_a_system_account_without_login_or_home(self):
        self.root.sh("dpkg -i %s" % self.deb)
        entry = self.root.account(ACCOUNT)
        self.assertIsNotNone(entry, "no account %s" % ACCOUNT)
        _, _, uid, gid, _, home, shell = entry
        uid, gid = int(uid), int(gid)
        self.assertIn(uid, self.root.system_ids("UID"))
        self.assertIn(gid, self.root.system_ids("GID"))
        self.assertNotEqual(uid, 0)
        self.assertNotEqual(gid, 0)
        self.assertEqual(self.root.group(ACCOUNT)[2], str(gid), "the account's own group is its primary group")
        self.assertEqual(shell, "/usr/sbin/nologin")
        self.assertEqual(home, "/nonexistent")
        self.assertFalse(self.root.exists(home), "the home folder was made")
        self.assertIn(self.root.shadow(ACCOUNT)[1][:1], ("!", "*"), "the account has a password")
        type(self).uid = uid

    def test_2_installed_files_have_their_owners_and_modes(self):
        for path, kind, mode, owner, group in INSTALLED:
            with self.subTest(path=path):
                st = os.lstat(self.root.file(path, follow=True))
                self.assertEqual("d" if os.path.isdir(self.root.file(path, follow=True)) else "f", kind)
                self.assertEqual(oct(st.st_mode & 0o7777), oct(mode))
                self.assertEqual((st.st_uid, st.st_gid), self.owner_ids(owner, group))
        # Everything else dpkg put there belongs to root and is no set-id file.
        for path in self.root.read("/var/lib/dpkg/info/zorvi-upgrade.list").split():
            with self.subTest(path=path):
                st = os.lstat(self.root.file(path))
                self.assertEqual((st.st_uid, st.st_gid), (0, 0))
                self.assertEqual(st.st_mode & 0o6000, 0)
        self.assertEqual(self.root.readlink("/etc/service/zorvi-upgrade"), "/etc/sv/zorvi-upgrade")

    def test_3_reinstalling_keeps_the_account_and_the_service_link(self):
        self.root.sh("dpkg -i %s" % self.deb)
        self.assertEqual(int(self.root.account(ACCOUNT)[2]), self.uid)
        self.assertEqual(sum(1 for l in self.root.read("/etc/passwd").splitlines() if l.startswith(ACCOUNT + ":")), 1)
        self.assertEqual(self.root.readlink("/etc/service/zorvi-upgrade"), "/etc/sv/zorvi-upgrade")

    def test_4_svscan_runs_the_service_which_answers_and_stops_on_remove(self):
        script = """
            svscan /etc/service >/tmp/svscan.out 2>&1 &
            n=0; until [ -S %(socket)s ] || [ $n -ge 300 ]; do sleep 0.1; n=$((n+1)); done
            zorvi-upgradectl status >/tmp/ctl.out 2>&1; echo $? >/tmp/ctl.status
            n=0; until [ -e /tmp/remove-now ] || [ $n -ge 600 ]; do sleep 0.1; n=$((n+1)); done
            dpkg -r zorvi-upgrade >/tmp/remove.out 2>&1; echo $? >/tmp/remove.status
            n=0; until [ -e /tmp/finish ] || [ $n -ge 600 ]; do sleep 0.1; n=$((n+1)); done
        """ % {"socket": SOCKET}
        proc = self.root.start("/bin/sh", "-c", script, service_model=MODEL)
        try:
            self.check_running_service()
            open(self.root.file("/tmp/remove-now"), "w").close()
            pt.wait_until(lambda: self.root.exists("/tmp/remove.status"), 60, "dpkg -r")
            self.assertEqual(self.root.read("/tmp/remove.status").strip(), "0", self.root.read("/tmp/remove.out"))
            # prerm waits for the launcher; multilog ends when its input does.
            left = pt.wait_until(lambda: not self.supervised(), 10, "the supervised processes to end",
                                 interval=0.1) and self.supervised()
            self.assertEqual(left, [])
            open(self.root.file("/tmp/finish"), "w").close()
            proc.communicate(timeout=60)
        finally:
            namespaces.kill(proc)
        self.assertFalse(self.root.exists("/tmp/stub-calls"), "an upgrade step ran")

    def supervised(self):
        names = (DAEMON, "supervise", "multilog")
        return [p for p in self.root.processes() if p["argv"] and p["argv"][0] in names]

    def check_running_service(self):
        pt.wait_until(lambda: self.root.exists(SOCKET), 30, "the socket")

        # The frontend drops to the account only after its fork: a look taken
        # before that sees it still as root.
        def settled():
            procs = self.root.processes()
            daemons = [p for p in procs if p["argv"][:1] == [DAEMON]]
            return len(daemons) == 3 and any(p["uid"] == self.uid for p in daemons) and (procs, daemons)
        procs, daemons = pt.wait_until(settled, 30, "three service processes, one of them the account's",
                                       interval=0.1)
        by_pid = {p["pid"]: p for p in procs}
        launcher = [p for p in daemons if by_pid.get(p["ppid"], {}).get("argv", [])[:1] != [DAEMON]]
        self.assertEqual(len(launcher), 1, daemons)
        launcher = launcher[0]
        # The run script exec'd the launcher: supervise is its parent.
        self.assertEqual(by_pid[launcher["ppid"]]["argv"], ["supervise", "zorvi-upgrade"])
        workers = sorted(p["uid"] for p in daemons if p["ppid"] == launcher["pid"])
        self.assertEqual((launcher["uid"], workers), (0, sorted([0, self.uid])))
        multilog = pt.wait_until(lambda: [p for p in self.root.processes() if p["argv"][:1] == ["multilog"]],
                                 10, "multilog")
        self.assertEqual([(p["uid"], p["argv"][-1]) for p in multilog], [(self.uid, "/var/log/zorvi-upgrade")])

        gid = int(self.root.group(ACCOUNT)[2])
        for path, mode, owner in (("/run/verdanta", 0o755, (0, 0)),
                                  ("/run/verdanta/zorvi-upgrade", 0o755, (self.uid, gid)),
                                  (SOCKET, 0o770, (self.uid, gid))):
            st = os.lstat(self.root.file(path))
            self.assertEqual((oct(st.st_mode & 0o7777), (st.st_uid, st.st_gid)), (oct(mode), owner), path)

        self.assertEqual(self.ask(b"req;1;revert"), b"rsp;1;false;unsupported command")
        pt.wait_until(lambda: self.root.exists("/tmp/ctl.status"), 30, "zorvi-upgradectl status")
        self.assertEqual(self.root.read("/tmp/ctl.status").strip(), "0", self.root.read("/tmp/ctl.out"))
        self.assertIn("idle", self.root.read("/tmp/ctl.out").lower())

        log = "/var/log/zorvi-upgrade/current"
        wanted = ("Frontend pid=", "Backend pid=", "Lumora model=%s, supported=0" % MODEL)
        pt.wait_until(lambda: self.root.exists(log) and all(w in self.root.read(log) for w in wanted),
                      10, "the service's lines in %s" % log)

    def ask(self, request):
        with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as s:
            s.settimeout(10)
            s.connect(self.root.file(SOCKET))
            s.send(request)
            # A notification ("nfy;idle;;;") may come first.
            for _ in range(4):
                message = s.recv(512)
                if not message.startswith(b"nfy;"):
                    return message
        return None

    def test_5_remove_leaves_only_conffiles_log_and_account(self):
        after = self.root.snapshot()
        left = [p for p in pt.changed(self.before, after) if not bookkeeping(p)]
        unexpected = [p for p in left if p not in KEPT_ON_REMOVE and not p.startswith(KEPT_ON_REMOVE_UNDER)]
        self.assertEqual(unexpected, [])
        self.assertTrue(set(KEPT_ON_REMOVE) <= set(left), sorted(set(KEPT_ON_REMOVE) - set(left)))
        self.assertIsNotNone(self.root.account(ACCOUNT))

    def test_6_purge_leaves_only_the_account(self):
        self.root.sh("dpkg -P zorvi-upgrade")
        left = [p for p in pt.changed(self.before, self.root.snapshot()) if not bookkeeping(p)]
        self.assertEqual(left, [])
        # Kept on purge, as Debian packages usually do: see postrm.
        self.assertEqual(int(self.root.account(ACCOUNT)[2]), self.uid)
        self.assertIsNotNone(self.root.group(ACCOUNT))
        self.assertNotIn("zorvi-upgrade", self.root.sh("dpkg-query -W -f '${Package}\\n'").split())

    def test_7_on_a_systemd_hub_the_unit_alone_supervises(self):
        # What systemd makes at boot; the root has no /run/systemd of its own.
        os.makedirs(self.root.file("/run/systemd/system"))
        try:
            self.root.sh("dpkg -i %s" % self.deb)
            self.assertFalse(self.root.exists("/etc/service/zorvi-upgrade"), "daemontools would start it too")
            self.assertTrue(self.root.exists("/etc/systemd/system/multi-user.target.wants/zorvi-upgrade.service"))
            self.assertEqual(int(self.root.account(ACCOUNT)[2]), self.uid, "the kept account is used again")
            self.root.sh("dpkg -P zorvi-upgrade")
        finally:
            os.rmdir(self.root.file("/run/systemd/system"))
            os.rmdir(self.root.file("/run/systemd"))
        left = [p for p in pt.changed(self.before, self.root.snapshot()) if not bookkeeping(p)]
        self.assertEqual(left, [])

    def test_8_an_image_made_in_a_chroot_for_systemd_gets_no_daemontools_link(self):
        # A hub maker's image: systemd is the init that will boot it, but it
        # does not run where the package is installed.
        made = [p for p in ("/lib/systemd", "/lib/systemd/systemd") if not self.root.exists(p)]
        if "/lib/systemd" in made:
            os.makedirs(self.root.file("/lib/systemd"))
        if "/lib/systemd/systemd" in made:
            self.root.write("/lib/systemd/systemd", "", 0o755)
        os.symlink("/lib/systemd/systemd", self.root.file("/sbin/init"))
        try:
            self.root.sh("dpkg -i %s" % self.deb)
            self.assertFalse(self.root.exists("/etc/service/zorvi-upgrade"), "svscan would start it beside the unit")
            self.assertTrue(self.root.exists("/etc/systemd/system/multi-user.target.wants/zorvi-upgrade.service"))
            self.root.sh("dpkg -P zorvi-upgrade")
        finally:
            os.unlink(self.root.file("/sbin/init"))
            for path in reversed(made):
                (os.rmdir if path == "/lib/systemd" else os.unlink)(self.root.file(path))
        left = [p for p in pt.changed(self.before, self.root.snapshot()) if not bookkeeping(p)]
        self.assertEqual(left, [])


if __name__ == "__main__":
    unittest.main()
