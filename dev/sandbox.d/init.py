"""Process 1 of the sandbox's pid namespace.

Builds the sandbox's view of the machine, checks it, then runs the command as
its child and waits. The command is not process 1 itself: process 1 of a pid
namespace drops every signal it has no handler for, so a SIGTERM that came before
the service had installed its handlers would be lost here but not on a hub; and
orphans would become the service's children, not init's. When the command ends,
this process exits with its status and the kernel kills whatever else is left in
the namespace.

Arguments: the run's config.json and the read end of the pipe through which
dev/sandbox forwards signals (one byte per signal; end of file: it is gone).
"""

import json
import os
import select
import shlex
import signal
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import emptyroot  # noqa: E402
import mounts  # noqa: E402
import safety  # noqa: E402
from programs import EXIT_SETUP_FAILED, FORWARDED_SIGNALS  # noqa: E402

FORWARDED = [signal.Signals[name] for name in FORWARDED_SIGNALS]


class Init:
    def __init__(self, control):
        self.control = control
        self.command = 0
        self.early = []  # signals that came before the command was started
        for sig in FORWARDED:
            signal.signal(sig, self._forward)
        self.wake_r, wake_w = os.pipe()
        os.set_blocking(wake_w, False)
        signal.signal(signal.SIGCHLD, lambda *_: None)
        signal.set_wakeup_fd(wake_w)

    def _forward(self, sig, _frame=None):
        if not self.command:
            self.early.append(sig)
            return
        try:
            os.kill(self.command, sig)
        except ProcessLookupError:
            pass  # ended already; its status is on the way

    def _read_control(self):
        """Forwards what dev/sandbox sent; False once it is gone."""
        data = os.read(self.control, 64)
        for sig in data:
            self._forward(sig)
        return bool(data)

    def stopped_before_start(self):
        os.set_blocking(self.control, False)
        try:
            self._read_control()
        except BlockingIOError:
            pass
        os.set_blocking(self.control, True)
        return self.early[0] if self.early else 0

    def start(self, argv, pid_file, host_proc):
        # Blocked across the fork, so a signal that lands meanwhile is neither
        # handled by the child's copy of this object nor lost in the parent.
        signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals())
        pid = os.fork()
        if pid:
            self.command = pid
            for sig in self.early:
                self._forward(sig)
            signal.pthread_sigmask(signal.SIG_SETMASK, [])
            return
        try:
            signal.set_wakeup_fd(-1)
            # The command starts as it would under any service manager.
            for sig in signal.valid_signals():
                try:
                    signal.signal(sig, signal.SIG_DFL)
                except (OSError, ValueError):
                    pass  # SIGKILL, SIGSTOP and the C library's own
            # Seen from the host this process has another pid; tests signal that one.
            host_pid = os.readlink("self", dir_fd=host_proc)
            with open(pid_file + ".new", "w", encoding="ascii") as f:
                f.write(host_pid + "\n")
            os.rename(pid_file + ".new", pid_file)
            os.close(self.control)
            signal.pthread_sigmask(signal.SIG_SETMASK, [])
            os.execvp(argv[0], argv)
        except OSError as err:
            print(f"sandbox: {argv[0]}: {err.strerror}", file=sys.stderr)
            os._exit(127 if isinstance(err, FileNotFoundError) else 126)

    def wait(self):
        """Reaps everything until the command ends; returns its exit status."""
        watched = [self.control, self.wake_r]
        while True:
            while True:
                try:
                    pid, status = os.waitpid(-1, os.WNOHANG)
                except ChildProcessError:
                    pid = 0
                if not pid:
                    break
                if pid == self.command:
                    code = os.waitstatus_to_exitcode(status)
                    return code if code >= 0 else 128 - code
            ready = select.select(watched, [], [])[0]
            if self.wake_r in ready:
                os.read(self.wake_r, 512)
            if self.control in ready and not self._read_control():
                # Nobody is left to stop the command or read its status.
                os.kill(self.command, signal.SIGKILL)
                watched.remove(self.control)


def build(config, stub):
    private = config["private"]
    return (mounts.tmpfs(private)
            and mounts.stubs(private, stub)
            and mounts.data_files(private, config["data"])
            and mounts.etc_apt()
            and mounts.model(config["model"])
            and mounts.dpkg(config.get("dpkg"), config.get("dpkg_bind"))
            and mounts.runtime(config["state"])
            and mounts.accounts(config["state"])
            and mounts.proc()
            and mounts.loopback_up())


def empty_root(config, stub):
    """Builds the empty root and enters it, for good; what is wrong with it."""
    found = emptyroot.refusals(config["command"])
    if found:
        return found
    root = mounts.tmpfs(config["private"]) and emptyroot.build(config, stub)
    if not root or not mounts.loopback_up():
        return ["the empty root could not be built"]
    os.chroot(root)
    os.chdir("/")
    os.environ["PATH"] = emptyroot.PATH
    return emptyroot.problems() + safety.problems(stub, emptyroot.PATH, emptyroot.BIN_DIRS[0],
                                                  mounts.bin_dirs())


def stub_script(config):
    empty = config["empty_root"]
    settings = {
        "STUB_LOG": os.path.join(config["state"], "stub.log"),
        "STUB_RULES": os.path.join(config["state"], "rules"),
        "STUB_COUNTS": os.path.join(config["state"], "counts"),
        "STUB_FIFO": emptyroot.FIFO if empty else os.path.join(config["private"], "idle"),
        "STUB_STEP_DELAY": config["step_delay"],
        "STUB_GATE_TIMEOUT_MS": str(config["gate_timeout_ms"]),
        # No perl in the empty root: dev/sandbox refuses signal= rules there.
        "STUB_PERL": "" if empty else config["perl"],
    }
    with open(config["stub_body"], encoding="utf-8") as f:
        body = f.read()
    head = "".join(f"{k}={shlex.quote(v)}\n" for k, v in settings.items())
    return ("#!/bin/bash\n" + head + body).encode()


def run():
    os.umask(0o022)  # what the sandbox creates must be readable by the accounts
    with open(sys.argv[1], encoding="utf-8") as f:
        config = json.load(f)
    init = Init(int(sys.argv[2]))
    # The host's /proc, kept to learn the command's pid as the host sees it.
    host_proc = os.open("/proc", os.O_RDONLY | os.O_DIRECTORY)
    stub = stub_script(config)
    if config["empty_root"]:
        found = empty_root(config, stub)
    elif build(config, stub):
        found = safety.problems(stub, os.environ["PATH"],
                                os.path.join(config["private"], "bin"), mounts.bin_dirs())
    else:
        return EXIT_SETUP_FAILED
    for problem in found:
        print(f"sandbox: refusing to run: {problem}", file=sys.stderr)
    if found:
        return EXIT_SETUP_FAILED
    early = init.stopped_before_start()
    if early:
        return 128 + early
    init.start(config["command"], os.path.join(config["state"], "pid"), host_proc)
    os.close(host_proc)
    return init.wait()


def main():
    try:
        return run()
    except OSError as err:
        print(f"sandbox: setup failed: {err}", file=sys.stderr)
        return EXIT_SETUP_FAILED


if __name__ == "__main__":
    sys.exit(main())
