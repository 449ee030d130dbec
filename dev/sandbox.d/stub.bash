# shellcheck shell=bash
# Body of the stand-in for every program the upgrade steps run. The sandbox puts
# a "#!/bin/bash" line and the STUB_* settings in front of it. Only builtins and
# absolute paths here: inside the sandbox cp, rm and sleep are stubs themselves.
set -u

name=${0##*/}
args=
for arg in "$@"; do
  printf -v quoted '%q' "$arg"
  args+=${args:+ }$quoted
done
line=$name${args:+ $args}
if [[ -v DEBIAN_FRONTEND ]]; then
  printf -v frontend 'DEBIAN_FRONTEND=%q' "$DEBIAN_FRONTEND"
else
  frontend='DEBIAN_FRONTEND unset'
fi
printf '%s\t%s\t%s\n' "$name" "$args" "$frontend" >>"$STUB_LOG"

# Fractional waits without the sleep stub: read from a FIFO nobody writes to.
exec {idle}<>"$STUB_FIFO"
pause() {
  read -r -t "$1" -u "$idle" _ || true
}

wait_for_gate() {
  local now=${EPOCHREALTIME/[.,]/} deadline
  deadline=$((10#$now + STUB_GATE_TIMEOUT_MS * 1000))
  until [[ -e $1 ]]; do
    now=${EPOCHREALTIME/[.,]/}
    ((10#$now < deadline)) || return 1
    pause 0.02
  done
}

die_by() {
  # A signal that is blocked or ignored in this process would not end it, so
  # reset both, then send it; perl keeps this process's pid for the shell to see.
  # shellcheck disable=SC2016 # perl's variables, not the shell's
  exec "$STUB_PERL" -MPOSIX -e '
    my $s = shift;
    sigaction($s, POSIX::SigAction->new("DEFAULT"));
    sigprocmask(SIG_UNBLOCK, POSIX::SigSet->new($s));
    kill $s, $$;
    exit 128 + $s;' "$1"
}

kill_shell() {
  # Only ever the "sh -c" that ran this step, never the service itself.
  local comm=
  read -r comm <"/proc/$PPID/comm" || true
  case $comm in
    sh | dash | bash) kill -s "$1" "$PPID" && exit $((128 + $1)) ;;
  esac
  printf '%s: shell-signal: parent %s is "%s", not a shell\n' "$name" "$PPID" "$comm" >&2
  exit 125
}

# The first rule whose pattern matches the logged command line decides.
actions=()
rule=0
while IFS=$'\t' read -r -a field; do
  rule=$((rule + 1))
  ((${#field[@]} >= 3)) || continue
  # shellcheck disable=SC2053 # the pattern is a glob on purpose
  [[ $line == ${field[0]} ]] || continue
  if ((field[1] > 0)); then
    count=0
    [[ -r $STUB_COUNTS/$rule ]] && read -r count <"$STUB_COUNTS/$rule"
    count=$((count + 1))
    printf '%d\n' "$count" >"$STUB_COUNTS/$rule"
    ((count == field[1])) || continue
  fi
  actions=("${field[@]:2}")
  break
done <"$STUB_RULES"

pause "$STUB_STEP_DELAY"
for action in "${actions[@]}"; do
  value=${action#*=}
  case $action in
    delay=*) pause "$value" ;;
    gate=*)
      wait_for_gate "$value" || {
        printf '%s: gate %s did not open in time\n' "$name" "$value" >&2
        exit 124
      }
      ;;
    run=*) "$value" "$name" "$@" || exit ;;
    exit=*) exit "$value" ;;
    signal=*) die_by "$value" ;;
    shell-signal=*) kill_shell "$value" ;;
    mend-dpkg=*)
      # What a dpkg run that succeeds leaves: nothing pending, nothing half done.
      # shellcheck disable=SC2016 # perl's variables, not the shell's
      "$STUB_PERL" -e '
        unlink glob("/var/lib/dpkg/updates/*");
        local @ARGV = ("/var/lib/dpkg/status"); local $^I = "";
        while (<>) { s/^Status: .*/Status: install ok installed/; print; }' ;;
  esac
done
exit 0
