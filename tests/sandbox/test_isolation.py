"""What the command sees and changes stays inside; the host is left as it was."""

import hashlib
import os
import socket
import time

from harness import PYTHON, ROOT, SandboxCase, main
from zorvitest.wait import wait_until

MODEL = "/usr/local/share/verdanta/lumora.model"
DATA = "/usr/share/verdanta/zorvi-upgrade"
DATA_FILES = ("apt-preferences", "zorvi/verdanta.key.asc", "zorvi/verdanta.list")

# Everything the service or its steps would write, and where programs live.
WRITES = (
    "/run/verdanta/zorvi-upgrade/socket",
    "/etc/apt/preferences.d/zorvi-upgrade",
    "/etc/apt/sources.list.d/verdanta.list",
    "/etc/apt/trusted.gpg.d/verdanta.gpg",
    MODEL,
    DATA + "/added",
    "/usr/bin/qd-zw-flash",
    "/usr/sbin/zorvi-sandbox-test",
)
STUBBED = ("apt-get", "apt-key", "apt-mark", "dpkg", "svc", "qd-zw-flash", "cp", "rm",
           "sleep", "reboot", "zorvi-sandbox-test")
BIN_DIRS = ("/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin")
# Only what the sandbox could touch: other work on this machine may install
# packages or mount things meanwhile.
WATCHED = ("/run/verdanta", "/run/mount/utab", "/etc/apt", "/usr/local/share", "/usr/share/verdanta", "/etc/passwd",
           "/etc/group", "/etc/nsswitch.conf") + tuple(f"{d}/{n}" for d in BIN_DIRS for n in STUBBED)


def snapshot():
    """Names, types and contents under the watched host paths."""
    seen = {}
    for top in WATCHED:
        if not os.path.isdir(top) or os.path.islink(top):
            seen[top] = _describe(top)
            continue
        for base, dirs, files in os.walk(top):
            for name in dirs + files:
                path = os.path.join(base, name)
                seen[path] = _describe(path)
    return seen


def _describe(path):
    if os.path.islink(path):
        return "link " + os.readlink(path)
    if os.path.isfile(path) and os.path.getsize(path) < 1 << 20:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    return "exists" if os.path.lexists(path) else None


class Isolation(SandboxCase):
    def read_inside(self, path, *options):
        result = self.python_in(
            f"import os\nprint(repr(os.path.exists('{path}') and open('{path}', 'rb').read()))",
            *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def test_model_file_follows_the_options(self):
        self.assertEqual(self.read_inside(MODEL), "b'arko-3b2-nx\\n'\n")
        self.assertEqual(self.read_inside(MODEL, "--model", " ARKO-3B2-NX\r\n"),
                         "b' ARKO-3B2-NX\\r\\n'\n")
        self.assertEqual(self.read_inside(MODEL, "--no-model"), "False\n")

    def test_data_files_are_the_examples(self):
        result = self.python_in(
            f"import sys\nfor f in {DATA_FILES!r}: sys.stdout.write(open('{DATA}/' + f).read())")
        self.assertEqual(result.returncode, 0, result.stderr)
        expected = ""
        for name in DATA_FILES:
            with open(os.path.join(ROOT, "data", "example", name), encoding="utf-8") as f:
                expected += f.read()
        self.assertEqual(result.stdout, expected)

    def test_writes_inside_leave_the_host_unchanged(self):
        before = snapshot()
        writes = "\n".join(f"mkdir -p {os.path.dirname(p)} && echo x >{p} || exit 1"
                           for p in WRITES)
        result = self.run_in(["/bin/bash", "-c", writes])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(snapshot(), before)
        # /run inside is the state directory's run/, reachable from the host.
        self.assertTrue(os.path.exists(
            os.path.join(self.state, "run/verdanta/zorvi-upgrade/socket")))

    def test_package_database_is_a_copy_or_the_bound_folder(self):
        db = os.path.join(self.state, "db")
        os.makedirs(os.path.join(db, "updates"))
        with open(os.path.join(db, "status"), "w", encoding="utf-8") as f:
            f.write("Package: old\n")
        append = ["/bin/bash", "-c", "cat /var/lib/dpkg/status && echo 'Package: new' >>/var/lib/dpkg/status"]
        copied = self.run_in(append, "--dpkg", db)
        self.assertEqual((copied.returncode, copied.stdout), (0, "Package: old\n"), copied.stderr)
        bound = self.run_in(append, "--dpkg-bind", db)
        self.assertEqual((bound.returncode, bound.stdout), (0, "Package: old\n"), bound.stderr)
        with open(os.path.join(db, "status"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "Package: old\nPackage: new\n")  # only the bound run wrote
        refused = self.run_in(["/bin/true"], "--dpkg-bind", db, "--empty-root")
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn("--dpkg-bind", refused.stderr)

    def test_socket_inside_is_reachable_through_the_state_directory(self):
        server = (
            "import socket\n"
            "s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)\n"
            "import os; os.makedirs('/run/verdanta/zorvi-upgrade')\n"
            "s.bind('/run/verdanta/zorvi-upgrade/socket'); s.listen()\n"
            "print('ready', flush=True)\n"
            "c, _ = s.accept(); c.send(b'nfy;idle;;;')\n")
        with self.started([PYTHON, "-c", server]) as process:
            self.assertEqual(process.stdout.readline(), "ready\n")
            with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as c:
                c.settimeout(5)
                c.connect(os.path.join(self.state, "run/verdanta/zorvi-upgrade/socket"))
                self.assertEqual(c.recv(64), b"nfy;idle;;;")
            self.assertEqual(process.wait(timeout=5), 0)

    def test_network_is_only_a_loopback_of_its_own(self):
        with socket.socket() as host_listener:
            host_listener.bind(("127.0.0.1", 0))
            host_listener.listen()
            port = host_listener.getsockname()[1]
            result = self.python_in(
                "import socket\n"
                "try:\n"
                f"    socket.create_connection(('127.0.0.1', {port}), timeout=2); print('host')\n"
                "except OSError: print('no host')\n"
                "s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen()\n"
                "socket.create_connection(s.getsockname(), timeout=2); print('own loopback')\n")
        self.assertEqual(result.stdout, "no host\nown loopback\n", result.stderr)

    def test_nothing_outlives_the_command(self):
        token = f"sandbox-test-stray-{os.getpid()}-{time.monotonic_ns()}"
        gate = os.path.join(self.state, "done")
        command = (
            "import os, subprocess, time\n"
            f"subprocess.Popen(['{PYTHON}', '-c', 'import time; time.sleep(60)', '{token}'])\n"
            "print('started', flush=True)\n"
            f"while not os.path.exists('{gate}'): time.sleep(0.02)\n")
        with self.started([PYTHON, "-c", command]) as process:
            self.assertEqual(process.stdout.readline(), "started\n")
            wait_until(lambda: host_processes_with(token), 10, "the stray process")
            open(gate, "w", encoding="ascii").close()
            self.assertEqual(process.wait(timeout=10), 0)
        wait_until(lambda: not host_processes_with(token), 5, "the stray to end")


def host_processes_with(token):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if token.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


if __name__ == "__main__":
    main()
