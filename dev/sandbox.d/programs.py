"""What the sandbox replaces, and where programs are looked up."""

# Every outside program the upgrade steps run. Each becomes a stub, first on PATH
# and at its usual path, so that no real package change or reboot can happen.
STEP_PROGRAMS = (
    "apt-get", "apt-key", "apt-mark", "dpkg", "svc", "qd-zw-flash",
    "cp", "rm", "sleep", "reboot",
)

# Not run by any step, but each could change packages or power the machine off
# if a step line were ever mistyped; stubbing them costs nothing.
GUARD_PROGRAMS = ("apt", "halt", "poweroff", "shutdown", "systemctl")

STUBBED = STEP_PROGRAMS + GUARD_PROGRAMS

# The directories a shell searches on Debian. Each is overlaid with the stubs, so
# a program is replaced at its real path even where the host has none (svc) or
# a symlink (reboot -> systemctl, which a bind mount would follow).
BIN_DIRS = ("/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin")

# Tools the setup itself runs, looked up before anything is replaced.
SETUP_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"

# Signals dev/sandbox passes on to the command.
FORWARDED_SIGNALS = ("SIGTERM", "SIGINT", "SIGHUP", "SIGQUIT", "SIGUSR1", "SIGUSR2")

# Status of dev/sandbox when it failed itself (bad option, setup, safety
# check) and never ran the command; the same value env(1) and timeout(1) use.
EXIT_SETUP_FAILED = 125
