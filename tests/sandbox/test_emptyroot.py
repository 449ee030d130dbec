"""--empty-root: a root without any shared library, for statically linked programs."""

import glob
import os

import emptyroot
from harness import PYTHON, ROOT, SandboxCase, main

SHELL = emptyroot.SHELL


class EmptyRoot(SandboxCase):
    def setUp(self):
        super().setUp()
        if not os.path.isfile(SHELL):
            self.skipTest(f"{SHELL} is not installed (dev/deps/sandbox.list)")

    def shell_in(self, script, *options):
        return self.run_in([SHELL, "-c", script], "--empty-root", *options)

    def test_the_root_holds_no_library_and_only_static_programs(self):
        done = self.shell_in(
            'for d in /lib /lib64 /usr/lib /usr/lib64; do [[ -e $d ]] && echo "has $d"; done;'
            ' shopt -s globstar nullglob; for f in /**/*.so /**/*.so.*; do echo "has $f"; done;'
            ' echo "top: $(echo /*)"')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertNotIn("has ", done.stdout)
        self.assertIn("top: /bin /dev /etc /proc /run /sandbox /sbin /tmp /usr /var", done.stdout)

    def test_accounts_stubs_and_runtime_directory_are_those_of_the_sandbox(self):
        done = self.shell_in(
            'read -r line </etc/nsswitch.conf; echo "$line";'
            ' while IFS=: read -r name _; do [[ $name == zorvi-upgrade ]] && echo account; done </etc/passwd;'
            ' echo "$(type -P apt-get) $(type -P reboot)"; apt-get -qy install x;'
            ' echo here >/run/mark; [[ -L /var/run ]] && echo "var/run -> $(cd /var/run && pwd -P)"')
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[:3], ["passwd: compat", "account", "/usr/local/sbin/apt-get /usr/local/sbin/reboot"])
        self.assertEqual(lines[3:], ["var/run -> /run"])
        self.assertEqual(self.log(), [("apt-get", "-qy install x", "DEBIAN_FRONTEND unset")])
        with open(os.path.join(self.state, "run", "mark"), encoding="ascii") as f:
            self.assertEqual(f.read(), "here\n")

    def test_the_shells_stubs_pause_and_gate_without_any_other_program(self):
        gate = os.path.join(self.state, "gate")
        open(gate, "w").close()
        done = self.shell_in("sh -c 'dpkg -P a; svc -d b'; echo $?",
                             "--rule", f"dpkg * delay=0.1,gate={gate}", "--rule", "svc * exit=3")
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "3\n", ""))
        self.assertEqual([c[0] for c in self.log()], ["dpkg", "svc"])

    def test_a_dynamically_linked_command_is_refused(self):
        done = self.run_in([PYTHON, "-c", "print('ran')"], "--empty-root")
        self.assertEqual(done.returncode, 125)
        self.assertNotIn("ran", done.stdout)
        self.assertIn("needs a program interpreter (dynamically linked): it cannot run in the empty root",
                      done.stderr)

    def test_a_relative_command_is_refused(self):
        done = self.run_in(["bash-static", "-c", "true"], "--empty-root")
        self.assertEqual(done.returncode, 125)
        self.assertIn("needs an absolute path", done.stderr)

    def test_rules_that_cannot_work_there_are_refused(self):
        cases = (("dpkg * signal=TERM", "signal= rules need perl"),
                 ("dpkg * gate=/tmp/zorvi-outside-gate", "must be inside the state directory"))
        for rule, why in cases:
            with self.subTest(rule=rule):
                done = self.run_in([SHELL, "-c", "echo ran"], "--empty-root", "--rule", rule)
                self.assertEqual((done.returncode, done.stdout), (125, ""))
                self.assertIn(why, done.stderr)


class LinkageCheck(SandboxCase):
    def test_static_programs_pass_and_libraries_and_dynamic_programs_do_not(self):
        libraries = glob.glob("/lib/x86_64-linux-gnu/libm.so.6") + glob.glob("/usr/lib/x86_64-linux-gnu/libm.so.6")
        cases = [(SHELL, None), ("/usr/bin/env", "needs a program interpreter (dynamically linked)"),
                 (os.path.join(ROOT, "README.md"), None)]
        cases += [(path, "is a shared library") for path in libraries[:1]]
        for path, why in cases:
            if not os.path.isfile(path):
                continue
            with self.subTest(path=path):
                self.assertEqual(emptyroot._dynamic_use(path), why)


if __name__ == "__main__":
    main()
