"""The step programs are stubs on PATH and at their real paths, and log each call."""

import os
import stat

from harness import PYTHON, SandboxCase, main

STEP_PROGRAMS = ("apt-get", "apt-key", "apt-mark", "dpkg", "svc", "qd-zw-flash",
                 "cp", "rm", "sleep", "reboot")
USUAL_DIRS = ("/usr/bin", "/usr/sbin", "/bin", "/sbin")

# Runs every step program by name and by each usual absolute path, as the
# service's shell would, and prints where PATH finds each name. The arguments
# are ones every real program would refuse, should a stub ever be missing.
CALL_ALL = """
import os, shutil, subprocess, sys
env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
for name in sys.argv[1:]:
    print("which", name, shutil.which(name))
    for path in [name] + [d + "/" + name for d in %r]:
        status = subprocess.run([path, "--from", path], env=env).returncode
        if status:
            sys.exit(f"{path} exited {status}")
""" % (USUAL_DIRS,)


class Stubs(SandboxCase):
    def test_every_step_program_is_a_logging_stub_first_on_path_and_at_its_paths(self):
        victim = os.path.join(self.state, "victim")
        with open(victim, "w", encoding="ascii") as f:
            f.write("keep\n")
        script = os.path.join(self.state, "call_all.py")
        with open(script, "w", encoding="utf-8") as f:
            f.write(CALL_ALL)
        result = self.run_in(["/bin/bash", "-c", f"""
            {PYTHON} {script} {' '.join(STEP_PROGRAMS)} || exit 1
            rm -f {victim} && cp /etc/hostname {victim}.copy || exit 1
            start=$EPOCHREALTIME; sleep 5; echo slept $start $EPOCHREALTIME"""])
        self.assertEqual(result.returncode, 0, result.stderr)

        lines = [line.split() for line in result.stdout.splitlines()]
        private_bin = os.path.join(self.state, ".private", "bin")
        self.assertEqual({w[1]: w[2] for w in lines if w[0] == "which"},
                         {n: os.path.join(private_bin, n) for n in STEP_PROGRAMS})
        expected = [(n, f"--from {p}", "DEBIAN_FRONTEND=noninteractive")
                    for n in STEP_PROGRAMS for p in [n] + [f"{d}/{n}" for d in USUAL_DIRS]]
        log = self.log()
        self.assertEqual(log[:len(expected)], expected)
        self.assertEqual(log[len(expected):], [
            ("rm", f"-f {victim}", "DEBIAN_FRONTEND unset"),
            ("cp", f"/etc/hostname {victim}.copy", "DEBIAN_FRONTEND unset"),
            ("sleep", "5", "DEBIAN_FRONTEND unset"),
        ])
        # The stubs did nothing but log.
        self.assertTrue(os.path.exists(victim))
        self.assertFalse(os.path.exists(victim + ".copy"))
        slept = [w for w in lines if w[0] == "slept"][0]
        self.assertLess(float(slept[2]) - float(slept[1]), 1.0)

    def test_log_quotes_arguments_and_shows_the_frontend_the_call_saw(self):
        # The caller's DEBIAN_FRONTEND must not leak in: the log has to show
        # what the service itself set.
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        result = self.run_in(["/bin/bash", "-c", """
            apt-get -y 'two words' '' 'tab\there'
            DEBIAN_FRONTEND= dpkg -P x
            DEBIAN_FRONTEND=noninteractive svc -d /etc/service/zlinker"""], env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.log(), [
            ("apt-get", "-y two\\ words '' $'tab\\there'", "DEBIAN_FRONTEND unset"),
            ("dpkg", "-P x", "DEBIAN_FRONTEND=''"),
            ("svc", "-d /etc/service/zlinker", "DEBIAN_FRONTEND=noninteractive"),
        ])

    def test_refuses_to_run_when_a_stubbed_name_leads_to_a_real_program(self):
        fake_bin = os.path.join(self.state, "fake-bin")
        os.mkdir(fake_bin)
        ran = os.path.join(self.state, "ran")
        fake = os.path.join(fake_bin, "dpkg")
        with open(fake, "w", encoding="ascii") as f:
            f.write(f"#!/bin/sh\necho dpkg >>{ran}\n")
        os.chmod(fake, stat.S_IRWXU)
        env = dict(os.environ, PATH=os.environ["PATH"] + ":" + fake_bin)
        result = self.run_in(["/bin/bash", "-c", f"echo command >>{ran}; dpkg -l"], env=env)
        self.assertEqual(result.returncode, 125)
        self.assertIn(f"refusing to run: {fake} is a real program", result.stderr)
        self.assertFalse(os.path.exists(ran))


if __name__ == "__main__":
    main()
