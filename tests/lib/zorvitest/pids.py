"""Processes as the host sees them, and pids as a pid namespace sees them."""
import os
import re


def stat_fields(pid):
    """(state, ppid) of a host pid, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            rest = f.read().rsplit(")", 1)[1].split()
        return rest[0], int(rest[1])
    except (OSError, IndexError, ValueError):
        return None


def alive(pid):
    """Whether a host pid runs (exists and is no zombie)."""
    fields = stat_fields(pid)
    return fields is not None and fields[0] != "Z"


def host_pids():
    return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]


def children(pid):
    """{host pid: state} of the processes whose parent is pid."""
    found = {}
    for child in host_pids():
        fields = stat_fields(child)
        if fields and fields[1] == pid:
            found[child] = fields[0]
    return found


def pid_namespace(pid):
    """The pid namespace of a host pid, or None when it is gone."""
    try:
        return os.readlink("/proc/%d/ns/pid" % pid)
    except OSError:
        return None


def ns_pid(host):
    """The pid a host pid has in its innermost pid namespace, or None."""
    try:
        with open("/proc/%d/status" % host) as f:
            found = re.search(r"^NSpid:\s+(.*)$", f.read(), re.M)
        return int(found.group(1).split()[-1])
    except (OSError, AttributeError, ValueError):
        return None


def in_namespace_of(pid):
    """{host pid: state} of every process in the pid namespace of `pid`."""
    namespace = pid_namespace(pid)
    found = {}
    for other in host_pids():
        if namespace and pid_namespace(other) == namespace:
            fields = stat_fields(other)
            if fields:
                found[other] = fields[0]
    return found


def host_pid(inner, beside):
    """The host pid of the process that has pid `inner` in the pid namespace of
    host pid `beside`, or None."""
    for pid in in_namespace_of(beside):
        if ns_pid(pid) == inner:
            return pid
    return None
