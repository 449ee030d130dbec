"""The emulated hub's SD card, made once per run of the suite (CTest fixture).

  - the hub's Debian root (tests/hub/build-image, cached);
  - the signing keys, the old stack, the signed local repository with the new
    stack (the rehearsal's stand-ins, tests/rehearsal/standins.py) and the
    flasher stand-in built for the hub (flasher/qd-zw-flash.c) with its
    firmware image;
  - our packages for armel, built with the repository's data files
    (packaging/build --arch armel --data);
  - the old hub: its stack, source and key, its Z-Wave services under svscan,
    our packages installed with dpkg (DKMS builds ttyaux for the hub's
    kernel), the test client's unit; then written to an ext4 image.

Writes WORK/shared/artifacts.json, which hub.py reads.
"""
import json
import os
import random
import shutil
import subprocess
import sys
import time

import archive
import standins

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
WORK = os.environ["ZORVI_HUB_WORK"]
SHARED = os.path.join(WORK, "shared")
ARCH = "armel"
MODEL = ("/usr/local/share/verdanta/lumora.model", "arko-3b2-nx\n")
SERVICES = ("/etc/service/zlinker", "/etc/service/zipgateway")
STAGING = "/var/cache/hub-test"
# The bridge firmware the flasher package ships: a fixed pseudo-random image.
FIRMWARE_BYTES = 192 * 1024  # about a Z-Wave bridge image's size
FIRMWARE_SEED = 17
FLASHER_VERSION = standins.NEW_VERSIONS["qd-zw-flash"]
IMAGE_SIZE = "2G"  # QEMU's SD card: a power of two


def log(text):
    print("hub prepare: " + text, flush=True)


def run(argv, **kw):
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, **kw)
    if done.returncode != 0:
        sys.stdout.write(done.stdout)
        raise SystemExit("hub prepare: %s exited %d" % (argv[0], done.returncode))
    return done.stdout


def firmware():
    return random.Random(FIRMWARE_SEED).randbytes(FIRMWARE_BYTES)


def build_flasher(out, scratch):
    """qd-zw-flash for the hub: static, with its bridge image, as a package."""
    tree = os.path.join(scratch, "qd-zw-flash")
    os.makedirs(os.path.join(tree, "DEBIAN"))
    os.makedirs(os.path.join(tree, "usr", "bin"))
    run(["arm-linux-gnueabi-gcc", "-static", "-O2", "-Wall", "-Wextra", "-Werror",
         "-o", os.path.join(tree, "usr", "bin", "qd-zw-flash"),
         os.path.join(HERE, "flasher", "qd-zw-flash.c")])
    standins.write(os.path.join(tree, "usr", "share", "doc", "qd-zw-flash", "standin"),
                   "Stand-in for the hub test.\n", 0o644)
    image = os.path.join(tree, "usr", "share", "qd-zw-flash", "bridge.bin")
    os.makedirs(os.path.dirname(image))
    with open(image, "wb") as f:
        f.write(firmware())
    standins.write(os.path.join(tree, "DEBIAN", "control"),
                   "Package: qd-zw-flash\nVersion: %s\nArchitecture: %s\nMaintainer: %s\n"
                   "Section: misc\nPriority: optional\n"
                   "Description: Z-Wave flasher stand-in for the hub test\n"
                   % (FLASHER_VERSION, ARCH, standins.MAINTAINER), 0o644)
    deb = os.path.join(out, "qd-zw-flash_%s_%s.deb" % (FLASHER_VERSION, ARCH))
    run(["dpkg-deb", "--root-owner-group", "--build", tree, deb])
    return deb


def build_repository(keys, scratch):
    repo = os.path.join(SHARED, "repo")
    pool = os.path.join(repo, "pool")
    os.makedirs(pool)
    new = [p.build(pool, scratch) for p in standins.NEW_REPOSITORY if p.name != "qd-zw-flash"]
    new.append(build_flasher(pool, scratch))
    legacy = [os.path.join(pool, p.filename) for p in standins.LEGACY_REPOSITORY]
    archive.publish(repo, "stable", archive.ORIGIN_NEW, new, ARCH, keys, keys.new)
    archive.publish(repo, "legacy", archive.ORIGIN_OLD, legacy, ARCH, keys, keys.old)
    return repo


def build_ours(data):
    out = os.path.join(SHARED, "ours")
    run([os.path.join(SOURCE, "packaging", "build"), "--arch", ARCH, "--nocheck", "--data", data,
         "--out", out], timeout=1800)
    debs = sorted(os.path.join(out, f) for f in os.listdir(out)
                  if f.endswith(".deb") and f.startswith(("zorvi-upgrade_", "ttyaux-dkms_")))
    if len(debs) != 2:
        raise SystemExit("hub prepare: expected our two packages in %s, found %s" % (out, debs))
    return debs


def make_old_hub(base, repo, old, ours, legacy_key):
    """The hub as it is in the field before the upgrade, in WORK/shared/root."""
    root = os.path.join(SHARED, "root")
    run(["cp", "-a", base, root])

    def path(p):
        return os.path.join(root, p.lstrip("/"))

    shutil.copytree(repo, path(archive.REPOSITORY_IN_ROOT))
    staging = path(STAGING)
    os.makedirs(staging)
    for deb in old + ours:
        shutil.copy(deb, staging)
    shutil.copy(legacy_key, os.path.join(staging, "legacy.asc"))
    standins.write(path(MODEL[0]), MODEL[1], 0o644)
    for service in SERVICES:
        standins.write(path(service + "/run"), "#!/bin/sh\nexec sleep 100000\n", 0o755)
    standins.write(path("/etc/apt/sources.list.d/verdanta.list"), archive.LEGACY_LIST, 0o644)
    shutil.copy(os.path.join(HERE, "in-hub", "hub-test"), path("/usr/local/sbin/hub-test"))
    shutil.copy(os.path.join(HERE, "in-hub", "hub-test.service"), path("/etc/systemd/system/"))
    names = " ".join(os.path.basename(d) for d in old)
    script = ("set -e\ncd %(s)s\n"
              "dpkg -i %(old)s\n"
              "dpkg -i zorvi-upgrade_*.deb ttyaux-dkms_*.deb\n"
              "apt-key add legacy.asc\n"
              "apt-get update\n"
              "systemctl enable hub-test.service\n"
              "cd /\nrm -rf %(s)s\n"
              "dkms status ttyaux\n" % {"s": STAGING, "old": names})
    out = run([os.path.join(HERE, "armroot"), root, "/bin/sh", "-c", script], timeout=1800)
    with open(os.path.join(SHARED, "old-hub.log"), "w", encoding="utf-8") as f:
        f.write(out)
    status = out.strip().splitlines()[-1]
    if "installed" not in status:
        raise SystemExit("hub prepare: DKMS did not install ttyaux for the hub's kernel: " + status)
    log("dkms: " + status)
    return root


def boot_files(root):
    """The kernel, its initramfs and the device tree QEMU is given."""
    boot = os.path.join(SHARED, "boot")
    os.makedirs(boot)
    kernels = [f for f in os.listdir(os.path.join(root, "boot")) if f.startswith("vmlinuz-")]
    if len(kernels) != 1:
        raise SystemExit("hub prepare: expected one kernel in the root, found %s" % kernels)
    release = kernels[0][len("vmlinuz-"):]
    shutil.copy(os.path.join(root, "boot", kernels[0]), os.path.join(boot, "zImage"))
    shutil.copy(os.path.join(root, "boot", "initrd.img-" + release), os.path.join(boot, "initrd"))
    kdir = os.path.join(boot, "kernel")
    os.makedirs(os.path.join(kdir, "dtbs"))
    shutil.copy(os.path.join(root, "usr", "lib", "linux-image-" + release, "bcm2835-rpi-zero.dtb"),
                os.path.join(kdir, "dtbs"))
    run([os.path.join(SOURCE, "tests", "guest", "build-dtb"), kdir, os.path.join(boot, "hub.dtb")])
    return release


def main():
    start = time.monotonic()
    base = run([os.path.join(HERE, "build-image")], timeout=3600).strip().splitlines()[-1]
    log("root %s (%.0f s)" % (base, time.monotonic() - start))
    subprocess.run(["rm", "-rf", "--one-file-system", SHARED], check=True)
    os.makedirs(SHARED)
    made = archive.make_sources(SHARED, build_repository)
    step = time.monotonic()
    ours = build_ours(made["data"])
    log("our packages %s (%.0f s)" % (" ".join(map(os.path.basename, ours)), time.monotonic() - step))
    step = time.monotonic()
    root = make_old_hub(base, made["repo"], made["old"], ours, made["legacy_key"])
    release = boot_files(root)
    log("old hub (%.0f s)" % (time.monotonic() - step))
    step = time.monotonic()
    # The hub has no clock that runs while it is off: systemd starts it at this
    # file's time, not before the repository was signed.
    epoch = os.path.join(root, "usr", "lib", "clock-epoch")
    open(epoch, "w").close()
    image = os.path.join(SHARED, "sd.img")
    run(["mke2fs", "-q", "-t", "ext4", "-L", "hub", "-d", root, image, IMAGE_SIZE])
    subprocess.run(["rm", "-rf", "--one-file-system", root], check=True)
    log("SD card image (%.0f s)" % (time.monotonic() - step))
    artifacts = {"image": image, "boot": os.path.join(SHARED, "boot"), "release": release,
                 "new_key": made["new_key"]}
    with open(os.path.join(SHARED, "artifacts.json"), "w", encoding="utf-8") as f:
        json.dump(artifacts, f, indent=1)
    log("done in %.0f s" % (time.monotonic() - start))


if __name__ == "__main__":
    main()
