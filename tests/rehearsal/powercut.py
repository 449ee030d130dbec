"""Power cuts at chosen points of a procedure, against the real tools.

A cut is SIGKILL to every process in the root's namespaces (launcher, workers,
apt, dpkg, a maintainer script) at the point named; then the hub "boots" (new
namespaces, an empty /run) and the same procedure is requested again. It must
complete, and leave the root as an uninterrupted run does.
"""
import os
import signal
import time

import standins
from rehearsal import PROCEDURES, plan
from zorvitest.wait import wait_until

# How a point's moment is found, after the step's command was announced:
#   start        at once
#   dpkg         once dpkg runs (inside the step's apt-get or dpkg itself)
#   postinst:P   while P's postinst is held at its gate
#   unpack:P     while dpkg has P's files half unpacked (".dpkg-new" on disk)
APT_PROGRAMS = ("apt-get", "dpkg")
QUIET = ("supervise", "zorvi-upgrade", "readproctitle")


class Point:
    def __init__(self, command, step, moment):
        self.command = command
        self.step = step
        self.moment = moment
        name, steps = PROCEDURES[command]
        self.key = steps[step][0]
        self.line = steps[step][3]
        kind = "m" if command == "upgrade" else "e"
        detail = "" if moment in ("start", "dpkg") else "-" + moment.replace(":", "-")
        self.name = "%s%02d-%s%s" % (kind, step, self.key, detail)

    def __repr__(self):
        return self.name


def _moment(line):
    program = line.split()[0]
    return "dpkg" if program in APT_PROGRAMS and line != "apt-get update" else "start"


def all_points():
    """Every command step of the migration, the erase procedure's own steps,
    and cuts inside dpkg's unpack and inside a maintainer script."""
    points = []
    steps = PROCEDURES["upgrade"][1]
    for i, (_, _, _, line) in enumerate(steps):
        if line:
            points.append(Point("upgrade", i, _moment(line)))
    erase = PROCEDURES["erase_upgrade"][1]
    migration_keys = {row[0] for row in steps}
    for i, (key, _, _, line) in enumerate(erase):
        # Its flash, its second service stop and its chip erase: what the
        # migration does not have or does otherwise.
        if line and (key not in migration_keys or (key == "stop_zwave_services" and i > 6)):
            points.append(Point("erase_upgrade", i, _moment(line)))
    points.append(Point("upgrade", step_of("upgrade", "install_zip_gateway"), "unpack:zipgateway"))
    points.append(Point("upgrade", step_of("upgrade", "install_mqtt_logger"), "postinst:qd-log-mqtt"))
    return points


def step_of(command, key):
    return next(i for i, row in enumerate(PROCEDURES[command][1]) if row[0] == key)


# A fixed, representative subset: inside an unpack, inside a maintainer
# script, and in the erase procedure's own flash.
CI_POINTS = ("m14-install_zip_gateway-unpack-zipgateway", "m09-install_mqtt_logger-postinst-qd-log-mqtt",
             "e13-flash_erase_zwave_bridge")


def selected():
    wanted = os.environ.get("ZORVI_POWERCUT_POINTS", "ci")
    points = all_points()
    if wanted == "all":
        return points
    names = CI_POINTS if wanted == "ci" else wanted.split(",")
    by_name = {p.name: p for p in points}
    unknown = [n for n in names if n not in by_name]
    if unknown:
        raise SystemExit("unknown kill points %s; known: %s" % (unknown, ", ".join(by_name)))
    return [by_name[n] for n in names]


def arm(r, point):
    """Sets the trap before the service starts."""
    kind, _, package = point.moment.partition(":")
    if kind == "postinst":
        r.root.write("/run/rehearsal/hold-" + package, "")


def disarm(r, point):
    kind, _, package = point.moment.partition(":")
    if kind == "postinst" and r.root.exists("/run/rehearsal/hold-" + package):
        os.unlink(r.root.file("/run/rehearsal/hold-" + package))


def wait_for_moment(r, point, timeout=300):
    """Returns what ran in the root when the moment came."""
    wait_until(lambda: len(r.banners()) >= point.step, timeout, "the command of step %d" % point.step)
    banner = r.banners()[point.step - 1]
    assert banner == point.line, "step %d announced %r, not %r" % (point.step, banner, point.line)
    kind, _, package = point.moment.partition(":")
    if kind == "dpkg":
        # Up to the step's end: a quick one may finish before dpkg is seen.
        wait_until(lambda: any(a[0] == "dpkg" for a in r.running()) or len(r.banners()) > point.step,
                   timeout, "dpkg", 0.005)
    elif kind == "postinst":
        wait_until(lambda: r.root.exists("/run/rehearsal/waiting-" + package), timeout,
                   "the postinst of " + package)
    elif kind == "unpack":
        catch_unpacking(r, package, timeout)
    seen = []
    for argv in r.running():
        what = describe(argv)
        if what and what not in seen:
            seen.append(what)
    return seen


DPKG_ACTIONS = ("--unpack", "--configure", "--remove", "--purge", "--triggers-only", "--install")


def describe(argv):
    """A running program as the table shows it: "dpkg --unpack", "apt-get install"."""
    name = argv[0]
    if name in QUIET or argv[:2] == ["sleep", "100000"] or (name in ("sh", "dash", "bash") and "-c" in argv):
        return None
    if name == "dpkg":
        return " ".join(["dpkg"] + [a for a in argv if a in DPKG_ACTIONS][:1])
    words = [a for a in argv[1:] if not a.startswith("-")]
    if name in ("apt-get", "apt-key", "apt-mark", "svc", "sleep") and words:
        return name + " " + words[0]
    return name


def catch_unpacking(r, package, timeout):
    """Holds dpkg while it has the package's files half unpacked: once the
    dpkg that unpacks it appears, it is stopped and let on in short slices
    until the first of its files stands on disk under its temporary name."""
    standin = next(p for p in standins.NEW_REPOSITORY if p.name == package)

    def unpacker():
        for pid in r.root.pids():
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    argv = f.read().decode("latin-1").split("\0")
            except OSError:
                continue
            # apt hands dpkg its packages directly or in a directory of links.
            if os.path.basename(argv[0]) == "dpkg" and "--unpack" in argv:
                return pid
        return None

    pid = wait_until(unpacker, timeout, "dpkg unpacking " + package, 0.001)
    os.kill(pid, signal.SIGSTOP)
    half = r.root.file(standin.first_bulk_file() + ".dpkg-new")
    deadline = time.monotonic() + 60
    while not os.path.exists(half):
        if time.monotonic() > deadline:
            raise AssertionError("dpkg never had %s half unpacked" % package)
        os.kill(pid, signal.SIGCONT)
        time.sleep(0.0002)
        os.kill(pid, signal.SIGSTOP)


def cut_and_boot(r, point):
    """Runs the point's procedure up to the cut; returns (what ran, seconds)."""
    arm(r, point)
    r.start()
    started = time.monotonic()
    c = r.request(point.command)
    running = wait_for_moment(r, point)
    r.stop()  # the power cut
    elapsed = time.monotonic() - started
    c.close()
    disarm(r, point)
    r.boot()
    return running, elapsed


def repairs(r):
    """The commands the service ran before the procedure's first step."""
    first = plan.commands(PROCEDURES["upgrade"][1])[0]
    announced = r.banners()
    return announced[:announced.index(first)] if first in announced else announced
