# Waits until the hub answers with a boot id other than `previous`: it went down
# and came back. The engine's own loops (until/retries) stop at the first
# connection that fails, which is exactly what a restarting hub gives, so this
# loop tolerates failed connections until its timeout.
import time

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase

BOOT_ID = "cat /proc/sys/kernel/random/boot_id"


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("previous", "timeout", "sleep"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        previous = str(self._task.args.get("previous", "")).strip()
        try:
            timeout = float(self._task.args.get("timeout", 900))
            sleep = float(self._task.args.get("sleep", 5))
        except (TypeError, ValueError):
            return dict(result, failed=True, msg="timeout and sleep are numbers of seconds")
        if not previous or timeout <= 0 or sleep <= 0:
            return dict(result, failed=True, msg="needs previous (a boot id), and positive timeout and sleep")
        start = time.monotonic()
        last = "no answer yet"
        while True:
            try:
                got = self._low_level_execute_command(BOOT_ID, sudoable=False)
                now = got.get("stdout", "").strip()
                if got.get("rc") == 0 and now and now != previous:
                    return dict(result, changed=False, boot_id=now,
                                elapsed=round(time.monotonic() - start, 3))
                last = "boot id unchanged" if got.get("rc") == 0 else got.get("stderr", "").strip()
            except AnsibleError as err:  # down, or on its way down or up
                last = str(err).strip()
                try:
                    self._connection.reset()
                except AnsibleError:
                    pass
            if time.monotonic() - start + sleep > timeout:
                return dict(result, failed=True, elapsed=round(time.monotonic() - start, 3),
                            msg="the hub did not come back within %g s (last: %s)" % (timeout, last))
            time.sleep(sleep)
