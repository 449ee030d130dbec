"""A throwaway Debian root in the build folder, and programs run inside it.

Everything that runs in the root runs chrooted into it in new mount, pid and
network namespaces (inroot.py is their process 1), so the real apt and dpkg
there cannot touch the machine nor reach the network. Every wait is bounded.
"""
import ctypes
import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
UNSHARE = ["unshare", "--mount", "--pid", "--net", "--fork", "--propagation", "private",
           "--kill-child=SIGKILL", "--"]
ENV = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
       "HOME": "/root", "LANG": "C.UTF-8"}


PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """unshare gets SIGKILL if the test dies (a CTest timeout, say), and takes
    its namespace with it."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def wait_until(predicate, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out after %s s waiting for %s" % (timeout, what))


class Root:
    def __init__(self, path):
        self.path = path

    @classmethod
    def extract(cls, tarball, path):
        root = cls(path)
        root.remove()
        os.makedirs(path)
        # tar finds out itself whether the archive is compressed.
        subprocess.run(["tar", "--numeric-owner", "--xattrs", "-C", path, "-xf", tarball],
                       check=True)
        return root

    def remove(self):
        if not os.path.lexists(self.path):
            return
        # Mounts belong to the namespaces; one seen here would mean a leak, and
        # rm must never descend through it into the machine's own files.
        with open("/proc/self/mountinfo", encoding="utf-8") as f:
            for line in f:
                point = line.split()[4]
                if point == self.path or point.startswith(self.path + "/"):
                    raise AssertionError("%s is still mounted; not removing %s" % (point, self.path))
        subprocess.run(["rm", "-rf", "--one-file-system", self.path], check=True)

    def file(self, rel):
        """The host's path of a file in the root. The root's absolute symbolic
        links (/var/run -> /run) would lead the host out of it: refused."""
        path = os.path.join(self.path, rel.lstrip("/"))
        real = os.path.realpath(path)
        if real != self.path and not real.startswith(self.path + "/"):
            raise AssertionError("%s leads out of the root, to %s" % (rel, real))
        return path

    def exists(self, rel):
        return os.path.lexists(self.file(rel))

    def read(self, rel):
        with open(self.file(rel), encoding="utf-8", errors="replace") as f:
            return f.read()

    def write(self, rel, text, mode=0o644):
        path = self.file(rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(path, mode)

    def _config(self, name, command, tty=None, services=()):
        path = os.path.join(os.path.dirname(self.path), name + ".json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump({"root": self.path, "tty": tty, "services": list(services),
                       "command": command, "env": ENV}, f)
        return [*UNSHARE, sys.executable,
                os.path.join(HERE, "inroot.py"), path]

    def sh(self, script, timeout=300, check=True):
        """Runs a shell script in the root; returns (status, output)."""
        done = subprocess.run(self._config("sh", ["/bin/sh", "-c", script]),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=timeout,
                              preexec_fn=_die_with_parent)
        if check and done.returncode != 0:
            raise AssertionError("in the root, %r exited %d:\n%s" % (script, done.returncode, done.stdout))
        return done.returncode, done.stdout

    def start(self, command, log, tty=None, services=()):
        """Starts a long-running command in the root; its output goes to log."""
        with open(log, "ab") as out:
            return subprocess.Popen(self._config("service", command, tty, services),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                    preexec_fn=_die_with_parent)

    def processes(self):
        """Host pids of the processes whose root directory is this root."""
        found = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/root" % entry) == self.path:
                        found.append(int(entry))
                except OSError:
                    pass
        return found


def kill_namespace(proc, timeout=30):
    """SIGKILL to unshare: its child, process 1 of the pid namespace, gets SIGKILL
    too (--kill-child), and with it dies every process in the namespace."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGKILL)
    proc.wait(timeout)
