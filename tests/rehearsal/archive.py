"""Signing keys, the local apt repository and the service's data files.

The repository is a plain file: archive with two suites: "legacy" (the old
vendor's, signed by an old key the hub trusts before the run) and "stable" (the
new stack, signed by the key the service's data files carry). Keys are made for
the test by gpg in batch mode, without passphrase, in a home inside the work
directory; its agent is stopped afterwards.
"""
import email.utils
import gzip
import hashlib
import os
import shutil
import subprocess
import tempfile

import standins

# Where the repository lives inside the root.
REPOSITORY_IN_ROOT = "/srv/rehearsal/repo"
ORIGIN_NEW = "Verdanta Rehearsal"
ORIGIN_OLD = "Verdanta Legacy"

# The old hub's package source, replaced by the step "replace_apt_sources".
LEGACY_LIST = "deb file:%s legacy main\n" % REPOSITORY_IN_ROOT
# The new one. No signed-by: the step "replace_apt_keys" puts the key into
# trusted.gpg.d, which apt consults for every source.
NEW_LIST = "deb file:%s stable main\n" % REPOSITORY_IN_ROOT
# Pins the new repository above Debian's, whose lists stay in the root.
PREFERENCES = """Explanation: Rehearsal: the new stack's repository wins, even over Debian's
Explanation: newer python3 and mosquitto.
Package: *
Pin: release o=%s
Pin-Priority: 1001
""" % ORIGIN_NEW


class Keys:
    """Two signing keys in a private gpg home, under /tmp: gpg puts its agent's
    socket in the home, and a home deep in a build folder passes the 108 bytes
    a socket address holds."""

    def __init__(self):
        self.home = tempfile.mkdtemp(prefix="zorvi-gpg-")
        self.new = self._generate("Verdanta Rehearsal <rehearsal@verdanta.example>")
        self.old = self._generate("Verdanta Legacy Rehearsal <legacy@verdanta.example>")

    def _gpg(self, *args, **kw):
        return subprocess.run(["gpg", "--homedir", self.home, "--batch", "--quiet", *args],
                              check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw).stdout

    def _generate(self, uid):
        self._gpg("--passphrase", "", "--quick-gen-key", uid, "ed25519", "sign", "never")
        listing = self._gpg("--with-colons", "--list-keys", uid).decode()
        return next(line.split(":")[9] for line in listing.splitlines() if line.startswith("fpr:"))

    def export(self, fingerprint, armor):
        return self._gpg(*(["--armor"] if armor else []), "--export", fingerprint)

    def sign(self, fingerprint, release):
        directory = os.path.dirname(release)
        self._gpg("--yes", "--local-user", fingerprint, "--clearsign",
                  "-o", os.path.join(directory, "InRelease"), release)
        self._gpg("--yes", "--local-user", fingerprint, "--armor", "--detach-sign",
                  "-o", os.path.join(directory, "Release.gpg"), release)

    def close(self):
        """Stops the agent gpg started for this home."""
        subprocess.run(["gpgconf", "--homedir", self.home, "--kill", "all"], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.home, ignore_errors=True)


def _digests(path):
    with open(path, "rb") as f:
        data = f.read()
    return hashlib.md5(data).hexdigest(), hashlib.sha256(data).hexdigest(), len(data)


def _stanza(repo, deb):
    control = subprocess.run(["dpkg-deb", "-f", deb], check=True, stdout=subprocess.PIPE,
                             text=True).stdout.rstrip("\n")
    md5, sha256, size = _digests(deb)
    rel = os.path.relpath(deb, repo)
    return "%s\nFilename: %s\nSize: %d\nMD5sum: %s\nSHA256: %s\n" % (control, rel, size, md5, sha256)


def publish(repo, suite, origin, debs, arch, keys, fingerprint):
    """Writes dists/<suite> for the packages debs (already under repo/pool) and signs it."""
    dist = os.path.join(repo, "dists", suite)
    binary = os.path.join(dist, "main", "binary-" + arch)
    os.makedirs(binary, exist_ok=True)
    packages = "\n".join(_stanza(repo, deb) for deb in debs)
    with open(os.path.join(binary, "Packages"), "w", encoding="utf-8") as f:
        f.write(packages)
    with gzip.open(os.path.join(binary, "Packages.gz"), "wt", encoding="utf-8") as f:
        f.write(packages)
    sums = []
    for name in ("Packages", "Packages.gz"):
        _, sha256, size = _digests(os.path.join(binary, name))
        sums.append(" %s %d main/binary-%s/%s" % (sha256, size, arch, name))
    release = os.path.join(dist, "Release")
    with open(release, "w", encoding="utf-8") as f:
        f.write("Origin: %s\nLabel: %s\nSuite: %s\nCodename: %s\nDate: %s\n"
                "Architectures: %s\nComponents: main\nSHA256:\n%s\n"
                % (origin, origin, suite, suite, email.utils.formatdate(usegmt=True), arch,
                   "\n".join(sums)))
    keys.sign(fingerprint, release)


def write_data_files(directory, keys):
    """The three files the steps read from /usr/share/verdanta/zorvi-upgrade."""
    files = {
        "apt-preferences": PREFERENCES.encode(),
        "zorvi/verdanta.key.asc": keys.export(keys.new, armor=True),
        "zorvi/verdanta.list": NEW_LIST.encode(),
    }
    for rel, data in files.items():
        path = os.path.join(directory, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o644)


def make_sources(shared, build_repository):
    """What the rehearsals and the emulated hub make first, under shared: the
    keys, the repository (build_repository(keys, scratch) returns its folder),
    the old stack's packages, the service's data files and the old key.
    Returns {"repo", "old", "data", "legacy_key", "new_key"}."""
    scratch = os.path.join(shared, "scratch")
    old_dir = os.path.join(shared, "old")
    os.makedirs(old_dir)
    keys = Keys()
    try:
        made = {"repo": build_repository(keys, scratch),
                "old": [p.build(old_dir, scratch) for p in standins.OLD_STACK],
                "data": os.path.join(shared, "data"),
                "legacy_key": os.path.join(shared, "legacy.asc"),
                "new_key": keys.new}
        write_data_files(made["data"], keys)
        with open(made["legacy_key"], "wb") as f:
            f.write(keys.export(keys.old, armor=True))
    finally:
        keys.close()
    shutil.rmtree(scratch)
    return made
