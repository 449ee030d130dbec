# The rollout's summary, printed when the playbook ends, halted or not.
DOCUMENTATION = """
    name: zorvi_fleet_summary
    type: aggregate
    short_description: summary of a hub rollout
    description:
      - Collects the per-hub records of fleet/rollout.yml (the fact zorvi_fleet_record)
        and prints, at the end of the run, the hubs per outcome and per failed step, the
        slowest hubs, the hubs the rollout did not reach, and where the JSON records are.
"""

from ansible.plugins.callback import CallbackBase

# The outcomes in the order they are reported; "failed" is the only one that
# counts towards the failure threshold.
OUTCOMES = ("upgraded", "already_upgraded", "failed", "busy", "unsupported", "unreachable",
            "unavailable")
SLOWEST = 5


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "zorvi_fleet_summary"
    CALLBACK_NEEDS_ENABLED = False

    def __init__(self):
        super().__init__()
        self.records = {}
        self.targets = []
        self.run_dir = None

    def v2_runner_on_ok(self, result):
        facts = result._result.get("ansible_facts") or {}
        if "zorvi_fleet_run_dir" in facts:
            self.run_dir = facts["zorvi_fleet_run_dir"]
        for name in facts.get("zorvi_fleet_targets") or []:
            if name not in self.targets:
                self.targets.append(name)
        record = facts.get("zorvi_fleet_record")
        if isinstance(record, dict) and "hub" in record:
            self.records[record["hub"]] = record

    def v2_playbook_on_stats(self, stats):
        if self.run_dir is None and not self.records:
            return  # not a rollout
        out = self._display.display
        out("")
        out("ROLLOUT SUMMARY " + "*" * 63)
        by_outcome = {}
        for record in self.records.values():
            by_outcome.setdefault(record.get("outcome") or "unknown", []).append(record["hub"])
        not_reached = [h for h in self.targets if h not in self.records]
        for outcome in list(OUTCOMES) + sorted(set(by_outcome) - set(OUTCOMES)):
            hubs = sorted(by_outcome.get(outcome, []))
            if hubs:
                out("%-17s %4d  %s" % (outcome, len(hubs), _names(hubs)))
        if not_reached:
            out("%-17s %4d  %s" % ("not reached", len(not_reached), _names(not_reached)))
        steps = {}
        for record in self.records.values():
            if record.get("outcome") == "failed":
                step = record.get("failed_step") or {}
                label = "%s (%s)" % (step.get("key") or "-", step.get("text") or "-")
                steps.setdefault(label, []).append(record["hub"])
        if steps:
            out("failed upgrades per step:")
            for label, hubs in sorted(steps.items(), key=lambda item: (-len(item[1]), item[0])):
                out("  %4d  %s: %s" % (len(hubs), label, _names(sorted(hubs))))
        timed = [r for r in self.records.values() if (r.get("seconds") or {}).get("procedure")]
        timed.sort(key=lambda r: -float(r["seconds"]["total"]))
        if timed:
            out("slowest hubs (whole turn / the procedure itself):")
            for record in timed[:SLOWEST]:
                out("  %-20s %8.1f s / %6.1f s  %s" % (
                    record["hub"], float(record["seconds"]["total"]),
                    float(record["seconds"]["procedure"]), record.get("outcome")))
        if self.run_dir:
            out("records: %s/<hub>.json" % self.run_dir)


def _names(hubs, most=12):
    shown = ", ".join(hubs[:most])
    return shown + (", ... (%d more)" % (len(hubs) - most) if len(hubs) > most else "")
