"""The test oracle of both procedures, read from tests/oracle/procedures.tsv.

Each plan is a list of (key, text, progress, command) in step order; command is
None for the two steps that run nothing, progress is the text the service
reports ("20.860"). Run as a program it answers the demo's questions.
"""
import os
import sys

ORACLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "oracle", "procedures.tsv")


def _read():
    plans = {}
    with open(ORACLE, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if line.startswith("#") or not line.strip():
                continue
            procedure, step, key, text, progress, command = line.rstrip("\n").split("\t")
            rows = plans.setdefault(procedure, [])
            if int(step) != len(rows):
                raise ValueError("%s:%d: step %s out of order" % (ORACLE, number, step))
            rows.append((key, text, progress, command or None))
    return plans


PLANS = _read()
ERASE = PLANS["erase_upgrade"]
MIGRATION = PLANS["migration_upgrade"]


def notifications(name, plan):
    """What every client sees after each successful step: the step that runs next."""
    return ["nfy;%s;%s;%s;;%s" % (name, progress, key, text) for key, text, progress, _ in plan[1:]]


def notification(name, plan, key):
    """The notification of `key`'s step (its first, for a key that appears twice)."""
    key, text, progress, _ = step(plan, key)
    return "nfy;%s;%s;%s;;%s" % (name, progress, key, text)


def commands(plan):
    return [command for _, _, _, command in plan if command]


def step(plan, key):
    """The first row of `key` in `plan`: (key, text, progress, command)."""
    return next(row for row in plan if row[0] == key)


def step_keys():
    """Every key that runs a command, in either procedure, in step order."""
    keys = list(dict.fromkeys(key for key, _, _, command in ERASE if command))
    for i, (key, _, _, command) in enumerate(MIGRATION):
        if command and key not in keys:
            following = next(k for k, _, _, c in MIGRATION[i + 1:] if k in keys)
            keys.insert(keys.index(following), key)
    return keys


def _demo(argv):
    """`list`: the step keys. `call KEY`: the stub call that decides whether KEY
    succeeds (its command's last call) and the procedures that have it."""
    if argv == ["list"]:
        print("\n".join(step_keys()))
        return 0
    if len(argv) == 2 and argv[0] == "call":
        rows = [(name, row) for name, plan in PLANS.items() for row in plan if row[0] == argv[1] and row[3]]
        if not rows:
            return 1
        print(rows[0][1][3].split("; ")[-1])
        print(" ".join(sorted({name for name, _ in rows})))
        return 0
    print("usage: procedures.py list | call KEY", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(_demo(sys.argv[1:]))
