"""Process 1 of a rehearsal's namespaces: runs a command chrooted into the root.

Started by unshare in new mount, pid and network namespaces. It gives the root
its own /proc and a small /dev (with the test's pseudo-terminal as /dev/ttyS0),
starts daemontools' supervise for the listed services, runs the command and
exits with its status; the kernel then kills whatever is left in the pid
namespace. Every mount is private to the namespace and goes away with it.

Argument: a JSON file {"root", "tty" (a path or null), "services", "command", "env"}.
"""
import json
import os
import subprocess
import sys

DEVICES = ("null", "zero", "full", "random", "urandom", "tty")
LINKS = {"fd": "/proc/self/fd", "stdin": "/proc/self/fd/0", "stdout": "/proc/self/fd/1",
         "stderr": "/proc/self/fd/2", "ptmx": "pts/ptmx"}


def mount(*args):
    subprocess.run(["mount", "--no-mtab", *args], check=True)


def touch(path):
    with open(path, "a", encoding="ascii"):
        pass


def build_dev(root, tty):
    dev = os.path.join(root, "dev")
    mount("-t", "tmpfs", "-o", "mode=0755,nosuid", "rehearsal-dev", dev)
    for name in DEVICES:
        touch(os.path.join(dev, name))
        mount("--bind", os.path.join("/dev", name), os.path.join(dev, name))
    for name, target in LINKS.items():
        os.symlink(target, os.path.join(dev, name))
    # apt logs through a pseudo-terminal of its own.
    os.mkdir(os.path.join(dev, "pts"))
    mount("-t", "devpts", "-o", "newinstance,ptmxmode=0666,mode=0620", "devpts", os.path.join(dev, "pts"))
    os.mkdir(os.path.join(dev, "shm"))
    if tty:
        touch(os.path.join(dev, "ttyS0"))
        mount("--bind", tty, os.path.join(dev, "ttyS0"))


def spawn(root, argv, env):
    pid = os.fork()
    if pid == 0:
        try:
            os.chroot(root)
            os.chdir("/")
            os.execve(argv[0], argv, env)
        except OSError as err:
            print("inroot: %s: %s" % (argv[0], err.strerror), file=sys.stderr)
        os._exit(127)
    return pid


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        config = json.load(f)
    root = config["root"]
    mount("-t", "proc", "proc", os.path.join(root, "proc"))
    build_dev(root, config["tty"])
    env = config["env"]
    for service in config["services"]:
        spawn(root, ["/usr/bin/supervise", service], env)
    command = spawn(root, config["command"], env)
    while True:
        pid, status = os.wait()
        if pid == command:
            code = os.waitstatus_to_exitcode(status)
            return code if code >= 0 else 128 - code


if __name__ == "__main__":
    sys.exit(main())
