"""What every rehearsal shares, made once per run of the suite (CTest fixture).

  - the cached Debian root (tests/rehearsal/build-root);
  - the signing keys, the stand-in packages and the signed local repository;
  - the service's data files generated to match, and the service itself: our
    own package built with those data files (packaging/build --data), or the
    built program where the tree has no package builder.

Writes WORK/shared/artifacts.json, which rehearsal.py reads.
"""
import json
import os
import shutil
import subprocess
import sys
import time

import archive
import standins

WORK = os.environ["ZORVI_REHEARSAL_WORK"]
SOURCE = os.environ["ZORVI_REHEARSAL_SOURCE"]
SHARED = os.path.join(WORK, "shared")
CACHE = os.environ.get("ZORVI_REHEARSAL_CACHE", "/var/cache/zorvi-upgrade")


def log(text):
    print("prepare: " + text, flush=True)


def build_all(packages, out, scratch):
    os.makedirs(out, exist_ok=True)
    return [p.build(out, scratch) for p in packages]


def build_repository(keys, scratch):
    repo = os.path.join(SHARED, "repo")
    pool = os.path.join(repo, "pool")
    arch = subprocess.run(["dpkg", "--print-architecture"], check=True, stdout=subprocess.PIPE,
                          text=True).stdout.strip()
    new = build_all(standins.NEW_REPOSITORY, pool, scratch)
    legacy = [os.path.join(pool, p.filename) for p in standins.LEGACY_REPOSITORY]
    archive.publish(repo, "stable", archive.ORIGIN_NEW, new, arch, keys, keys.new)
    archive.publish(repo, "legacy", archive.ORIGIN_OLD, legacy, arch, keys, keys.old)
    return repo


def build_service(data):
    """Our package with the rehearsal's data files, or None without a builder."""
    builder = os.path.join(SOURCE, "packaging", "build")
    if os.environ.get("ZORVI_REHEARSAL_INSTALL", "package") != "package" or not os.access(builder, os.X_OK):
        return None
    out = os.path.join(SHARED, "package")
    done = subprocess.run([builder, "--nocheck", "--data", data, "--out", out],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=1200)
    sys.stdout.write(done.stdout)
    if done.returncode != 0:
        raise SystemExit("prepare: packaging/build failed (%d)" % done.returncode)
    debs = [os.path.join(out, f) for f in sorted(os.listdir(out))
            if f.startswith("zorvi-upgrade_") and f.endswith(".deb")]
    if len(debs) != 1:
        raise SystemExit("prepare: expected one zorvi-upgrade package in %s, found %s" % (out, debs))
    return debs[0]


def main():
    start = time.monotonic()
    tarball = subprocess.run([os.path.join(SOURCE, "tests", "rehearsal", "build-root"), "--cache", CACHE],
                             check=True, stdout=subprocess.PIPE, text=True).stdout.strip().splitlines()[-1]
    log("root %s" % tarball)
    shutil.rmtree(SHARED, ignore_errors=True)
    os.makedirs(SHARED)
    made = archive.make_sources(SHARED, build_repository)
    package = build_service(made["data"])
    log("service from %s" % (package or "the built program " + os.environ["ZORVI_REHEARSAL_DAEMON"]))
    artifacts = dict(made, tarball=tarball, package=package, daemon=os.environ["ZORVI_REHEARSAL_DAEMON"])
    with open(os.path.join(SHARED, "artifacts.json"), "w", encoding="utf-8") as f:
        json.dump(artifacts, f, indent=1)
    log("done in %.0f s" % (time.monotonic() - start))


if __name__ == "__main__":
    main()
