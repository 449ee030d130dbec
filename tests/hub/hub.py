"""One emulated hub: a copy of the suite's SD card, booted in QEMU's raspi0 with
the chip stand-in on the mini UART, and what the test client in the hub
(in-hub/hub-test) reports on the console.

Each boot is bounded; QEMU runs with -no-reboot, so the hub's reboot and its
power-off both end the boot. The chip's state folder outlives the boots.
"""
import json
import os
import re
import selectors
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.environ["ZORVI_HUB_WORK"]
SCALE = float(os.environ.get("ZORVI_TIME_SCALE", "1"))
# What a hub maker puts on the kernel command line (docs/hub.md): the console
# on the PL011, the SD card as root, and ttyS0 left to ttyaux.
CMDLINE = "console=ttyAMA0,115200 root=/dev/mmcblk0 rootfstype=ext4 rootwait rw 8250.nr_uarts=0"
# The chip's network memory before the upgrade: what --migrate-nvm must keep.
NETWORK_MEMORY = b"home network: 23 nodes\n" * 40
# QEMU's raspi0 sometimes stays on after systemd's last step (once in about
# twenty boots, on a loaded machine): once the SD card is unmounted, the boot
# is over; the hub gets this long to end it itself.
SHUTDOWN_DONE = b"systemd-shutdown[1]: All filesystems unmounted."
SHUTDOWN_GRACE = 30
# Records shown as they come, so that a person can follow the hub.
FOLLOWED = ("ready", "json", "client", "error", "end")
RECORD = re.compile(r"HUB (\w[\w-]*)(?: (.*))?$")
# Oops, BUG, panics and stack dumps fail a boot wherever they appear.
TROUBLE = re.compile(r"Oops|BUG:|Kernel panic|Call trace:|Backtrace:|Unable to handle")


class Boot:
    """What one boot reported: the records, in order, and the console."""

    def __init__(self, console, records, seconds, ended):
        self.console = console
        self.records = records  # (host seconds since QEMU started, name, fields text)
        self.seconds = seconds
        self.ended = ended  # rebooted or powered off (QEMU exited, or the card was unmounted)

    def all(self, name):
        return [fields for _, n, fields in self.records if n == name]

    def one(self, name):
        found = self.all(name)
        if len(found) != 1:
            raise AssertionError("expected one %r record, found %r\n%s" % (name, found, self.tail()))
        return found[0]

    def json(self):
        """The client's JSON lines: (hub uptime, object)."""
        out = []
        for fields in self.all("json"):
            uptime, text = fields.split(" ", 1)
            out.append((float(uptime), json.loads(text)))
        return out

    def trouble(self):
        return [line for line in self.console.splitlines() if TROUBLE.search(line)]

    def tail(self, lines=40):
        return "\n".join(self.console.splitlines()[-lines:])


class Hub:
    """A fresh copy of the suite's SD card under WORK/name, and its chip."""

    def __init__(self, name, refuse=None):
        with open(os.path.join(WORK, "shared", "artifacts.json"), encoding="utf-8") as f:
            self.artifacts = json.load(f)
        self.name = name
        self.work = os.path.join(WORK, name)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.image = os.path.join(self.work, "sd.img")
        subprocess.run(["cp", "--sparse=always", self.artifacts["image"], self.image], check=True)
        self.chip_state = os.path.join(self.work, "chip")
        os.makedirs(self.chip_state)
        with open(os.path.join(self.chip_state, "nvm.bin"), "wb") as f:
            f.write(NETWORK_MEMORY)
        with open(os.path.join(self.chip_state, "firmware.bin"), "wb") as f:
            f.write(b"old bridge firmware\n")
        self.refuse = refuse
        self.boots = 0
        self.discard = False  # a test that passed: its SD card is not worth keeping

    def chip(self, name):
        try:
            with open(os.path.join(self.chip_state, name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def boot(self, test, timeout):
        """Boots the hub with hub.test=test until QEMU ends or timeout passes."""
        self.boots += 1
        boot = self.artifacts["boot"]
        aux = os.path.join(self.work, "aux.sock")
        if os.path.exists(aux):
            os.unlink(aux)
        console_path = os.path.join(self.work, "console-%d.log" % self.boots)
        qemu = subprocess.Popen(
            ["qemu-system-arm", "-M", "raspi0",
             "-kernel", os.path.join(boot, "zImage"), "-initrd", os.path.join(boot, "initrd"),
             "-dtb", os.path.join(boot, "hub.dtb"), "-append", "%s hub.test=%s" % (CMDLINE, test),
             "-drive", "file=%s,if=sd,format=raw" % self.image,
             "-display", "none", "-monitor", "none", "-no-reboot",
             "-serial", "stdio", "-serial", "unix:%s,server=on,wait=on" % aux],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        chip = None
        forced = False
        started = time.monotonic()
        deadline = started + timeout * SCALE
        console = bytearray()
        records = []
        try:
            # QEMU holds the hub until the mini UART's socket has its client.
            while not os.path.exists(aux) and qemu.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            chip_args = [sys.executable, os.path.join(HERE, "chip.py"), "--state", self.chip_state,
                         "--connect", aux]
            if self.refuse:
                chip_args += ["--refuse", self.refuse]
            with open(os.path.join(self.work, "chip.log"), "ab") as chip_log:
                chip = subprocess.Popen(chip_args, stdin=subprocess.DEVNULL, stdout=chip_log,
                                        stderr=subprocess.STDOUT)
            sel = selectors.DefaultSelector()
            sel.register(qemu.stdout, selectors.EVENT_READ)
            pending = b""
            unmounted = None  # when the hub's shutdown had its file systems unmounted
            with open(console_path, "wb") as log:
                while time.monotonic() < deadline:
                    if unmounted is not None and time.monotonic() > unmounted + SHUTDOWN_GRACE * SCALE:
                        # Left on at the very end of its shutdown: switch it off.
                        print("%s boot %d: still on %d s after its shutdown unmounted the SD card; switched off"
                              % (self.name, self.boots, SHUTDOWN_GRACE), flush=True)
                        forced = True
                        break
                    if not sel.select(max(0.0, min(1.0, deadline - time.monotonic()))):
                        continue
                    data = os.read(qemu.stdout.fileno(), 65536)
                    if not data:
                        break
                    log.write(data)
                    log.flush()
                    console += data
                    if unmounted is None and SHUTDOWN_DONE in console:
                        unmounted = time.monotonic()
                    pending += data
                    *lines, pending = pending.split(b"\n")
                    for line in lines:
                        text = line.decode("latin-1").rstrip("\r")
                        m = RECORD.search(text)
                        if m:
                            records.append((time.monotonic() - started, m.group(1), m.group(2) or ""))
                            if m.group(1) in FOLLOWED:
                                print("%s boot %d: %s %s" % (self.name, self.boots, m.group(1), m.group(2)),
                                      flush=True)
        finally:
            exited = qemu.poll() is not None or (not forced and self._wait(qemu, 5))
            if not exited:
                qemu.kill()
                qemu.wait()
            ended = exited or forced
            if chip is not None and not self._wait(chip, 5):
                chip.kill()
                chip.wait()
            qemu.stdout.close()
        return Boot(console.decode("latin-1").replace("\r\n", "\n"), records,
                    time.monotonic() - started, ended)

    @staticmethod
    def _wait(proc, seconds):
        try:
            proc.wait(timeout=seconds)
            return True
        except subprocess.TimeoutExpired:
            return False

    def close(self):
        if self.discard:
            os.unlink(self.image)
