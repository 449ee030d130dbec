"""Programs started in namespaces of their own with unshare, so that whatever
they start ends with them and nothing reaches the machine's mounts or network."""
import ctypes
import signal
import subprocess

PR_SET_PDEATHSIG = 1


def die_with_parent():
    """For preexec_fn: unshare gets SIGKILL if the test dies (a CTest timeout,
    say), and takes its namespaces with it."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def unshare(*namespaces, mount_proc=False):
    """The unshare command line that runs what follows it in new `namespaces`
    ("mount", "pid", "net", "uts"), as the child of a process 1 that dies with
    unshare (and with it every process in a new pid namespace)."""
    argv = ["unshare", *("--" + n for n in namespaces), "--fork"]
    if mount_proc:
        argv.append("--mount-proc")
    if "mount" in namespaces:
        argv += ["--propagation", "private"]
    return argv + ["--kill-child=SIGKILL", "--"]


def start(namespaces, argv, mount_proc=False, **popen):
    """Popen of argv in new namespaces; it dies with the test."""
    return subprocess.Popen(unshare(*namespaces, mount_proc=mount_proc) + list(argv),
                            preexec_fn=die_with_parent, **popen)


def run(namespaces, argv, **run_args):
    """subprocess.run of argv in new namespaces; on a timeout unshare gets
    SIGKILL and takes the namespaces with it."""
    return subprocess.run(unshare(*namespaces) + list(argv), preexec_fn=die_with_parent, **run_args)


def child_of(pid):
    """The one child of a waiting unshare --fork, or None."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid), encoding="utf-8") as f:
            kids = f.read().split()
    except OSError:
        return None
    return int(kids[0]) if kids else None


def kill(proc, timeout=30):
    """SIGKILL to unshare: its child, process 1 of the pid namespace, gets SIGKILL
    too (--kill-child), and with it dies every process in the namespace."""
    if proc.poll() is None:
        proc.kill()
    try:
        proc.communicate(timeout=timeout)  # reads what is left on its pipes, if any
    except ValueError:  # pipes already closed
        proc.wait(timeout)
