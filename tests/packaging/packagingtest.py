"""What the packaging tests share: where things are, the package builder, and a
throwaway Debian root that commands run in through ./inroot.

Environment (set by CMakeLists.txt or tests/packaging/run):
  ZORVI_SOURCE         the source tree
  ZORVI_PACKAGING_WORK a folder of the build for packages, roots and logs
"""
import os
import re
import subprocess

from zorvitest import namespaces, root
from zorvitest.wait import wait_until  # noqa: F401  (the tests wait through this module)

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("ZORVI_SOURCE", os.path.dirname(os.path.dirname(HERE)))
WORK = os.environ.get("ZORVI_PACKAGING_WORK", os.path.join(SOURCE, "build-packaging"))
INROOT = os.path.join(HERE, "inroot")
README = os.path.join(SOURCE, "packaging", "README.md")


def build(out, *options, timeout=1500):
    """packaging/build into out; returns (status, output)."""
    done = subprocess.run([os.path.join(SOURCE, "packaging", "build"), "--out", out, *options],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=timeout)
    return done.returncode, done.stdout


def debs(out):
    """{package name: path} of the .deb files in out."""
    found = {}
    for name in sorted(os.listdir(out)):
        if name.endswith(".deb"):
            found[name.split("_")[0]] = os.path.join(out, name)
    return found


def deb_field(deb, field):
    return subprocess.run(["dpkg-deb", "-f", deb, field], check=True, stdout=subprocess.PIPE,
                          text=True).stdout.strip()


def deb_file(deb, path):
    """The bytes of one file inside a .deb."""
    tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], check=True, stdout=subprocess.PIPE).stdout
    return subprocess.run(["tar", "-xO", "./" + path.lstrip("/")], input=tar, check=True,
                          stdout=subprocess.PIPE).stdout


def lintian_tags(path, severities="EW"):
    """The tags of the given severities in a lintian output file."""
    tags = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"([A-Z]): \S+(?: \S+)?: ([a-z0-9][a-z0-9+.-]*)", line)
            if m and m.group(1) in severities:
                tags.add(m.group(2))
    return tags


def unexplained_tags(lintian_txt):
    with open(README, encoding="utf-8") as f:
        readme = f.read()
    return sorted(t for t in lintian_tags(lintian_txt) if "`%s`" % t not in readme)


class Root(root.Root):
    """A Debian root unpacked into a folder, with commands run in it by inroot."""

    def run(self, *command, service_model=None, timeout=300):
        """Runs command in the root; returns (status, output)."""
        return self._finish(self.start(*command, service_model=service_model), timeout)

    def start(self, *command, service_model=None):
        argv = [INROOT]
        if service_model is not None:
            argv += ["--service", service_model]
        argv += [self.path, *command]
        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)

    @staticmethod
    def _finish(proc, timeout):
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            namespaces.kill(proc)
            raise
        return proc.returncode, out

    def sh(self, script, timeout=300):
        status, out = self.run("/bin/sh", "-c", script, timeout=timeout)
        if status != 0:
            raise AssertionError("in the root, %r exited %d:\n%s" % (script, status, out))
        return out

    def account(self, name):
        """The passwd entry as a list of its seven fields, or None."""
        for line in self.read("/etc/passwd").splitlines():
            fields = line.split(":")
            if fields[0] == name:
                return fields
        return None

    def group(self, name):
        for line in self.read("/etc/group").splitlines():
            fields = line.split(":")
            if fields[0] == name:
                return fields
        return None

    def shadow(self, name):
        for line in self.read("/etc/shadow").splitlines():
            fields = line.split(":")
            if fields[0] == name:
                return fields
        return None

    def system_ids(self, kind):
        """The range adduser takes system UIDs or GIDs from: adduser.conf's
        setting, or Debian policy's 100-999 where it keeps the default."""
        bounds = [100, 999]
        for line in self.read("/etc/adduser.conf").splitlines():
            for i, key in enumerate(("FIRST_SYSTEM_%s" % kind, "LAST_SYSTEM_%s" % kind)):
                m = re.match(r"\s*%s\s*=\s*(\d+)" % key, line)
                if m:
                    bounds[i] = int(m.group(1))
        return range(bounds[0], bounds[1] + 1)

    def snapshot(self):
        """{path: (kind, mode, uid, gid, size or link target)} of the root,
        without the kernel's and the test's own folders."""
        skip = {"/proc", "/dev", "/sys", "/tmp"}
        found = {}
        for top, dirs, files in os.walk(self.path):
            rel_top = "/" + os.path.relpath(top, self.path) if top != self.path else ""
            dirs[:] = [d for d in dirs if rel_top + "/" + d not in skip]
            for name in dirs + files:
                rel = rel_top + "/" + name
                st = os.lstat(os.path.join(top, name))
                kind = "l" if os.path.islink(os.path.join(top, name)) else ("d" if name in dirs else "f")
                detail = os.readlink(os.path.join(top, name)) if kind == "l" else (
                    st.st_size if kind == "f" else 0)
                found[rel] = (kind, st.st_mode & 0o7777, st.st_uid, st.st_gid, detail)
        return found

    def processes(self):
        """[{pid, ppid, uid, argv}] of the processes whose root is this root."""
        found = []
        for pid in self.pids():
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    argv = [a.decode(errors="replace") for a in f.read().split(b"\0") if a]
                status = {}
                with open("/proc/%d/status" % pid, encoding="ascii") as f:
                    for line in f:
                        key, _, value = line.partition(":")
                        status[key] = value.split()
            except OSError:
                continue
            found.append({"pid": pid, "ppid": int(status["PPid"][0]),
                          "uid": int(status["Uid"][0]), "argv": argv})
        return found


def changed(before, after):
    """Paths added, removed or changed between two snapshots."""
    return sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))
