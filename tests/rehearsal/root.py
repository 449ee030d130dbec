"""A throwaway Debian root in the build folder, and programs run inside it.

Everything that runs in the root runs chrooted into it in new mount, pid and
network namespaces (inroot.py is their process 1), so the real apt and dpkg
there cannot touch the machine nor reach the network. Every wait is bounded.
"""
import json
import os
import subprocess
import sys

from zorvitest import namespaces, root

HERE = os.path.dirname(os.path.abspath(__file__))
ENV = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
       "HOME": "/root", "LANG": "C.UTF-8"}
NAMESPACES = ("mount", "pid", "net")  # inroot.py is process 1 of them


class Root(root.Root):
    def _config(self, name, command, tty=None, services=()):
        path = os.path.join(os.path.dirname(self.path), name + ".json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump({"root": self.path, "tty": tty, "services": list(services),
                       "command": command, "env": ENV}, f)
        return [sys.executable, os.path.join(HERE, "inroot.py"), path]

    def sh(self, script, timeout=300, check=True):
        """Runs a shell script in the root; returns (status, output)."""
        done = namespaces.run(NAMESPACES, self._config("sh", ["/bin/sh", "-c", script]),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=timeout)
        if check and done.returncode != 0:
            raise AssertionError("in the root, %r exited %d:\n%s" % (script, done.returncode, done.stdout))
        return done.returncode, done.stdout

    def start(self, command, log, tty=None, services=()):
        """Starts a long-running command in the root; its output goes to log."""
        with open(log, "ab") as out:
            return namespaces.start(NAMESPACES, self._config("service", command, tty, services),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
