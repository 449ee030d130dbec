"""A whole hub upgraded in emulation: Debian's Pi kernel and root on QEMU's
raspi0, our packages as a hub gets them, the procedure asked for by the client
in the hub, real apt and dpkg against the signed repository on the SD card,
the firmware sent through ttyaux to the chip stand-in, the real reboot, and
the hub checked on its next boot. Each test writes its figures to
WORK/<test>/figures.json (docs/hub.md)."""
import json
import os
import re
import unittest

import archive
import standins
from hub import NETWORK_MEMORY, Hub
from prepare import firmware
from zorvitest import procedures as plan

PROCEDURE_BOOT = 900  # seconds for a boot that runs a procedure (about 2 minutes here)
CHECK_BOOT = 300
PROCEDURES = {"upgrade": ("migration_upgrade", plan.MIGRATION),
              "erase-upgrade": ("erase_upgrade", plan.ERASE)}
FLASHED = re.compile(r"qd-zw-flash: (?:no image, )?(\d+) bytes written, network memory (\w+), in ([\d.]+) s \((\d+) bytes/s\)")
BANNER = re.compile(r"=== (.*) ===$")
REFUSAL = "image not signed for this chip"


def raw(boot):
    return [obj["raw"] for _, obj in boot.json()]


def packages(boot):
    found = {}
    for fields in boot.all("pkg"):
        name, version, status = fields.split()
        found[name] = (version, status)
    return found


def files(boot):
    return {path: state for state, path in (f.split() for f in boot.all("file"))}


class HubTest(unittest.TestCase):
    def setUp(self):
        self.hub = None

    def tearDown(self):
        if self.hub is not None:
            self.hub.close()

    def assertBootClean(self, boot):
        self.assertEqual(boot.trouble(), [], "kernel trouble on the console")
        self.assertEqual(boot.all("error"), [], boot.tail())
        self.assertTrue(boot.all("end"), "the hub's test client did not finish:\n" + boot.tail())
        self.assertTrue(boot.ended, "the hub neither rebooted nor powered off:\n" + boot.tail())

    def request(self, command):
        """Boots the hub, which asks for command and follows it; returns the boot."""
        boot = self.hub.boot(command, PROCEDURE_BOOT)
        self.assertBootClean(boot)
        # The old hub's Z-Wave services ran under svscan when it was asked.
        self.assertEqual(len(boot.all("running")), 2, boot.tail())
        for line in boot.all("running"):
            self.assertRegex(line, r": up \(pid \d+\) \d+ seconds$")
        return boot

    def assertFollowed(self, boot, command, until=None):
        """The client saw the replayed idle, its answer, then every step's
        notification in order (up to until's, the failed step), and exited
        as it should."""
        name, steps = PROCEDURES[command]
        seen = raw(boot)
        self.assertEqual(seen[0], "nfy;idle;;;")
        self.assertRegex(seen[1], r"^rsp;\d+;true;$")
        expected = plan.notifications(name, steps)
        if until is None:
            self.assertEqual(seen[2:], expected)
            self.assertEqual(boot.one("client").split()[1:], ["exit", "0"])
        else:
            stop = expected.index(plan.notification(name, steps, until)) + 1
            self.assertEqual(seen[2:], expected[:stop] + ["nfy;idle;;;"])
            self.assertEqual(boot.one("client").split()[1:], ["exit", "1"])

    def assertServiceAndModule(self, check):
        self.assertEqual(json.loads(check.one("status"))["raw"], "nfy;idle;;;")
        self.assertEqual(check.one("module").split()[0::2], ["ttyaux", "Live"])
        # ttyS0 is ttyaux's (major 205, minor 65), not the 8250's (major 4).
        self.assertEqual(check.one("ttyS"), "ttyS 205 65")
        self.assertRegex(check.one("dkms"), r"^ttyaux/[\d.]+, %s, armv6l: installed$"
                         % re.escape(self.hub.artifacts["release"]))

    def assertUpgraded(self, check, banners_of):
        found = packages(check)
        for name, version in standins.NEW_VERSIONS.items():
            self.assertEqual(found.get(name), (version, "ii"), name)
        for gone in ("qd-flash",):
            self.assertNotIn(found.get(gone, ("", "pn"))[1], ("ii", "rc"), gone + " is not purged")
        self.assertLessEqual(set(standins.MARKED_AUTO), set(check.all("auto")))
        present = files(check)
        self.assertEqual(present["/etc/apt/preferences.d/zorvi-upgrade"], "absent")
        self.assertEqual(present["/etc/apt/trusted.gpg.d/verdanta.gpg"], "present")
        self.assertEqual(present["/etc/verdanta/verdanta.conf"], "absent", "purged with its configuration")
        self.assertEqual(present["/etc/quillet/quillet.conf"], "absent", "purged with its configuration")
        self.assertEqual(check.one("source"), archive.NEW_LIST.strip())
        self.assertEqual(check.one("signer"), self.hub.artifacts["new_key"])
        for line in check.all("svstat"):
            self.assertRegex(line, r": up \(pid \d+\) \d+ seconds$")
        self.assertEqual(len(check.all("svstat")), 2)
        self.assertServiceAndModule(check)
        # What the service ran, from its journal of the boot before.
        banners = [m.group(1) for m in map(BANNER.search, check.all("log")) if m]
        self.assertEqual(banners, plan.commands(banners_of))

    def upgraded(self, command):
        """Asks for command, follows it to the reboot and checks the hub on its
        next boot, the chip holding the new firmware. Returns both boots."""
        boot = self.request(command)
        self.assertFollowed(boot, command)
        check = self.hub.boot("check", CHECK_BOOT)
        self.assertBootClean(check)
        self.assertUpgraded(check, PROCEDURES[command][1])
        self.assertEqual(self.hub.chip("firmware.bin"), firmware())
        return boot, check

    def flashes(self, check):
        return [FLASHED.search(line) for line in check.all("log") if FLASHED.search(line)]

    def figures(self, name, boot, check):
        """Boot to ready, each step, the procedure, the service's CPU share
        and memory, the flasher's rate; written beside the test's SD card."""
        events = [(t, obj) for t, obj in boot.json() if obj["type"] == "progress"]
        steps = [(a["key"], round(tb - ta, 2)) for (ta, a), (tb, _) in zip(events, events[1:])]
        procedure = events[-1][0] - events[0][0]
        before = {f.split()[2]: f.split() for f in boot.all("proc") if f.startswith("before ")}
        during = {f.split()[2]: f.split() for f in boot.all("proc") if f.startswith("during ")}
        self.assertEqual(sorted(before), ["backend", "frontend", "launcher"])
        self.assertEqual(sorted(during), sorted(before))
        # From the request to the start of the reboot step; CPU time from
        # schedstat's nanoseconds (the ticks are 10 ms).
        interval = float(during["launcher"][1]) - float(before["launcher"][1])
        cpu = {role: (int(during[role][9]) - int(before[role][9])) / 1e9 for role in during}
        flashes = self.flashes(check)
        figures = {
            "boot_to_ready_s": float(boot.one("ready").split()[0]),
            "steps_s": steps,
            "procedure_s": round(procedure, 2),
            "service_cpu_s": {k: round(v, 3) for k, v in cpu.items()},
            "service_cpu_share_percent": round(100 * sum(cpu.values()) / interval, 3),
            "rss_pss_kb": {role: [int(during[role][7]), int(during[role][8])] for role in during},
            "ttyaux_bytes_per_s": [int(m.group(4)) for m in flashes if int(m.group(1))],
            "host_seconds": [round(boot.seconds, 1), round(check.seconds, 1)],
        }
        with open(os.path.join(self.hub.work, "figures.json"), "w", encoding="utf-8") as f:
            json.dump(figures, f, indent=1)
        print("hub %s: %s" % (name, json.dumps(figures)), flush=True)


class UpgradeTest(HubTest):
    def test_upgrade_keeps_the_network_and_restarts_the_hub(self):
        self.hub = Hub("upgrade")
        boot, check = self.upgraded("upgrade")
        self.assertEqual(self.hub.chip("nvm.bin"), NETWORK_MEMORY)
        self.assertEqual([(m.group(1), m.group(2)) for m in self.flashes(check)],
                         [(str(len(firmware())), "kept")])
        self.figures("upgrade", boot, check)
        self.hub.discard = True


class EraseUpgradeTest(HubTest):
    def test_erase_upgrade_leaves_the_chip_without_a_network(self):
        self.hub = Hub("erase-upgrade")
        boot, check = self.upgraded("erase-upgrade")
        self.assertEqual(self.hub.chip("nvm.bin"), b"")
        # The bridge image with its memory erased, then the factory reset alone.
        self.assertEqual([(m.group(1), m.group(2)) for m in self.flashes(check)],
                         [(str(len(firmware())), "erased"), ("0", "erased")])
        self.figures("erase-upgrade", boot, check)
        self.hub.discard = True


class RefusedImageTest(HubTest):
    def test_a_refused_image_stops_at_the_flash_and_a_retry_completes(self):
        self.hub = Hub("refused", refuse=REFUSAL)
        old_firmware = self.hub.chip("firmware.bin")
        failed = self.request("upgrade")
        self.assertFollowed(failed, "upgrade", until="flash_migrate_zwave_bridge")
        # The hub as docs/field-safety.md says a failed flash leaves it: the
        # steps before it done, none after it, the chip untouched, the
        # service idle and ready for another request.
        found = packages(failed)
        for name in ("qdtunnel", "mosquitto", "qd-log-mqtt", "python3", "qd-zw-flash"):
            self.assertEqual(found.get(name), (standins.NEW_VERSIONS[name], "ii"), name)
        for name in ("verdanta", "quillet", "qd-flash", "zipgateway", "zlinker", "corastel"):
            self.assertNotIn(found.get(name, ("", "pn"))[1], ("ii", "rc"), name)
        present = files(failed)
        self.assertEqual(present["/etc/apt/preferences.d/zorvi-upgrade"], "present")
        self.assertEqual(failed.one("source"), archive.NEW_LIST.strip())
        for line in failed.all("svstat"):
            self.assertRegex(line, r": down \d+ seconds, normally up$")
        self.assertTrue(any("the chip refused: " + REFUSAL in line for line in failed.all("log")))
        self.assertServiceAndModule(failed)
        self.assertEqual(self.hub.chip("firmware.bin"), old_firmware)
        self.assertEqual(self.hub.chip("nvm.bin"), NETWORK_MEMORY)

        # The chip takes the image now: the same request runs from the first step.
        self.hub.refuse = None
        self.upgraded("upgrade")
        self.assertEqual(self.hub.chip("nvm.bin"), NETWORK_MEMORY)
        self.hub.discard = True


if __name__ == "__main__":
    unittest.main()
