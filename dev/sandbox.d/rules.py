"""Stub rules: parsed from 'PATTERN ACTIONS' and stored one per line for the stub.

The stored form is tab-separated: the pattern, the call number the rule is limited
to (0: every call) and one field per action ("delay=0.300", "gate=/abs/path",
"exit=3", "signal=9", "shell-signal=15", "run=/abs/path"). The stub reads it with bash builtins only.
"""

import math
import os
import signal

# Signals whose default action ends a process; a rule that stops or ignores
# would leave the step hanging or let it carry on, which no rule means.
_FATAL = {
    "SIGHUP", "SIGINT", "SIGQUIT", "SIGILL", "SIGTRAP", "SIGABRT", "SIGBUS",
    "SIGFPE", "SIGKILL", "SIGUSR1", "SIGSEGV", "SIGUSR2", "SIGPIPE", "SIGALRM",
    "SIGTERM", "SIGXCPU", "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGSYS",
}
_TERMINAL = ("exit", "signal", "shell-signal")


def parse_signal(text):
    """Signal number for 'TERM', 'SIGTERM' or '15'; ValueError if not fatal."""
    name = text.upper()
    if name.isdigit():
        try:
            name = signal.Signals(int(name)).name
        except ValueError:
            raise ValueError(f"no signal number {text}") from None
    elif not name.startswith("SIG"):
        name = "SIG" + name
    if name not in _FATAL:
        raise ValueError(f"{text} is not a signal that ends a process")
    return int(signal.Signals[name])


def seconds(text):
    """Seconds as the stub takes them: fixed-point text, three decimals."""
    value = float(text)
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"bad number of seconds: {text}")
    return f"{value:.3f}"


def _action(key, value, cwd):
    if key == "exit":
        code = int(value)
        if not 0 <= code <= 255:
            raise ValueError(f"exit code out of range: {value}")
        return f"exit={code}"
    if key in ("signal", "shell-signal"):
        return f"{key}={parse_signal(value)}"
    if key == "delay":
        return f"delay={seconds(value)}"
    if key == "mend-dpkg":
        if value:
            raise ValueError("mend-dpkg takes no value")
        return "mend-dpkg="
    if key in ("gate", "run"):
        if not value or any(c in value for c in "\t\n"):
            raise ValueError(f"{key} needs a path without tabs or newlines")
        return f"{key}=" + os.path.normpath(os.path.join(cwd, value))
    raise ValueError(f"unknown action {key}")


def parse_rule(text, cwd):
    """(pattern, nth, [stored actions]) for one rule; ValueError when malformed."""
    parts = text.strip().rsplit(None, 1)
    if len(parts) != 2:
        raise ValueError("expected 'PATTERN ACTIONS'")
    pattern, actions = parts
    if "\t" in pattern or "\n" in pattern:
        raise ValueError("the pattern may not contain tabs or newlines")
    nth = 0
    stored = []
    for item in actions.split(","):
        key, sep, value = item.partition("=")
        if not sep and key != "mend-dpkg":
            raise ValueError(f"expected KEY=VALUE, got {item!r}")
        try:
            if key == "nth":
                nth = int(value)
                if nth < 1:
                    raise ValueError("nth counts from 1")
                continue
            if stored and stored[-1].partition("=")[0] in _TERMINAL:
                raise ValueError(f"nothing may follow {stored[-1]}")
            stored.append(_action(key, value, cwd))
        except ValueError as err:
            raise ValueError(f"{item}: {err}") from None
    if not stored:
        raise ValueError("no action")
    return pattern, nth, stored


def read_rules_file(path):
    """The rule lines of a rules file: blank lines and '#' comments dropped."""
    with open(path, encoding="utf-8") as f:
        lines = [line.strip() for line in f]
    return [line for line in lines if line and not line.startswith("#")]


def format_rules(rules):
    return "".join("\t".join([p, str(n)] + a) + "\n" for p, n, a in rules)
