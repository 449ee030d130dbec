"""The sandbox's /etc/passwd and /etc/group: the host's, plus the service's accounts."""

SERVICE = "zorvi-upgrade"
MEMBER = "zorvi-client"      # in the service's group: may use the socket
OUTSIDER = "zorvi-outsider"  # not in it: must be refused
ACCOUNTS = (SERVICE, MEMBER, OUTSIDER)

NOLOGIN = "/usr/sbin/nologin"
HOME = "/nonexistent"


def _entries(path):
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def _free_ids(passwd, group, count):
    """The highest system ids (below 1000) free as both uid and gid, so the
    accounts' files never look like some host user's on the host side."""
    used = {int(e.split(":")[2]) for e in passwd + group if e.count(":") >= 3}
    free = [i for i in range(999, 99, -1) if i not in used]
    return free[:count]


def build(host_passwd, host_group, with_service):
    """(passwd text, group text, {name: id}) for the sandbox."""
    passwd = [e for e in _entries(host_passwd) if e.split(":")[0] not in ACCOUNTS]
    group = [e for e in _entries(host_group) if e.split(":")[0] not in ACCOUNTS]
    ids = dict(zip(ACCOUNTS, _free_ids(passwd, group, len(ACCOUNTS))))
    for name in ACCOUNTS:
        if name == SERVICE and not with_service:
            continue
        passwd.append(f"{name}:x:{ids[name]}:{ids[name]}:{name}:{HOME}:{NOLOGIN}")
    # The group stays even without its account: membership is the client's
    # property, and only the account's absence is under test then.
    group.append(f"{SERVICE}:x:{ids[SERVICE]}:{MEMBER}")
    group.append(f"{MEMBER}:x:{ids[MEMBER]}:")
    group.append(f"{OUTSIDER}:x:{ids[OUTSIDER]}:")
    return "\n".join(passwd) + "\n", "\n".join(group) + "\n", ids


# Only the local files answer inside: a host that also asks systemd or a
# directory service must not add or hide accounts.
NSSWITCH = "passwd: files\ngroup: files\nshadow: files\nhosts: files\n"
