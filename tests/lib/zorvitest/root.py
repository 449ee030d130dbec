"""A throwaway Debian root unpacked into a folder of the build, and the host's
view of it. Paths that lead out of the root are refused, and removing it never
descends through a mount into the machine's own files."""
import os
import subprocess


class Root:
    def __init__(self, path):
        self.path = path

    def extract(self, tarball):
        """A fresh root from tarball (tar finds out itself whether it is compressed)."""
        self.remove()
        os.makedirs(self.path)
        subprocess.run(["tar", "--numeric-owner", "--xattrs", "-C", self.path, "-xf", tarball], check=True)
        return self

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

    def file(self, rel, follow=False):
        """The host's path of rel in the root; refuses paths that lead out of it
        (the root's absolute links, such as /var/run -> /run, would). Without
        follow, a link at rel itself is fine: it is the link that is meant."""
        path = os.path.join(self.path, rel.lstrip("/"))
        real = os.path.realpath(path if follow else os.path.dirname(path))
        if real != self.path and not real.startswith(self.path + "/"):
            raise AssertionError("%s leads out of the root, to %s" % (rel, real))
        return path

    def exists(self, rel):
        return os.path.lexists(self.file(rel))

    def readlink(self, rel):
        return os.readlink(self.file(rel))

    def read(self, rel):
        with open(self.file(rel, follow=True), encoding="utf-8", errors="replace") as f:
            return f.read()

    def write(self, rel, text, mode=0o644):
        path = self.file(rel, follow=True)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(path, mode)

    def pids(self):
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
