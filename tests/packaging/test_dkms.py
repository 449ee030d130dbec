"""ttyaux-dkms: the module builds from the package's source the way its
dkms.conf tells DKMS to, against the kernel headers found on the machine."""
import glob
import os
import shutil
import subprocess
import unittest

import packagingtest as pt


def dkms_conf(path):
    """dkms.conf's settings, read by the shell as DKMS reads them."""
    script = ('. "$1"; printf "%s\\n" "$PACKAGE_NAME" "$PACKAGE_VERSION" "${BUILT_MODULE_NAME[0]}" '
              '"$AUTOINSTALL" "$BUILD_EXCLUSIVE_ARCH"')
    out = subprocess.run(["bash", "-c", script, "-", path], check=True, stdout=subprocess.PIPE,
                         text=True).stdout.split("\n")
    return dict(zip(("name", "version", "module", "autoinstall", "exclusive_arch"), out))


def dkms_builds_for(exclusive_arch, machine):
    """Whether DKMS builds for a kernel of this machine (uname -m), by the test it makes."""
    script = '[[ ! $1 || $2 =~ $1 ]]'
    return subprocess.run(["bash", "-c", script, "-", exclusive_arch, machine]).returncode == 0


class TtyauxDkms(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        debs = pt.debs(os.path.join(pt.WORK, "amd64"))
        if "ttyaux-dkms" not in debs:
            raise unittest.SkipTest("no ttyaux-dkms package (packaging_build_amd64 makes it)")
        cls.deb = debs["ttyaux-dkms"]
        cls.tree = os.path.join(pt.WORK, "dkms")
        shutil.rmtree(cls.tree, ignore_errors=True)
        os.makedirs(cls.tree)
        subprocess.run(["dpkg-deb", "-x", cls.deb, os.path.join(cls.tree, "pkg")], check=True)
        confs = glob.glob(os.path.join(cls.tree, "pkg", "usr", "src", "*", "dkms.conf"))
        assert len(confs) == 1, confs
        cls.source = os.path.dirname(confs[0])
        cls.conf = dkms_conf(confs[0])

    def test_source_folder_and_version_are_what_dkms_expects(self):
        version = pt.deb_field(self.deb, "Version")
        self.assertEqual((self.conf["name"], self.conf["version"]), ("ttyaux", version))
        self.assertEqual(os.path.basename(self.source), "ttyaux-" + version)
        self.assertEqual(self.conf["autoinstall"], "yes")

    def test_dkms_builds_only_for_arm_kernels(self):
        # The mini UART exists only on the BCM283x; the fixed addresses of the
        # hub's kernel mean nothing elsewhere.
        for machine in ("armv6l", "armv7l", "aarch64"):
            self.assertTrue(dkms_builds_for(self.conf["exclusive_arch"], machine), machine)
        for machine in ("x86_64", "i686", "riscv64", "ppc64le"):
            self.assertFalse(dkms_builds_for(self.conf["exclusive_arch"], machine), machine)

    def test_device_tree_overlay_ships_with_the_source(self):
        with open(os.path.join(self.source, "ttyaux-overlay.dts")) as f:
            overlay = f.read()
        self.assertIn('compatible = "verdanta,ttyaux";', overlay)
        self.assertIn('status = "okay";', overlay)

    # The compile check stays for amd64: DKMS's own MAKE line, run directly.
    def test_module_builds_for_an_installed_kernel(self):
        kernels = sorted(glob.glob("/lib/modules/*/build/Makefile"))
        if not kernels:
            self.skipTest("no kernel headers under /lib/modules")
        kernel_dir = os.path.dirname(kernels[-1])
        release = kernel_dir.split("/")[3]
        dkms_tree = os.path.join(self.tree, "var")
        build = os.path.join(dkms_tree, self.conf["name"], self.conf["version"], "build")
        shutil.copytree(self.source, build)
        script = '. ./dkms.conf; eval "${MAKE[0]}"'
        done = subprocess.run(["bash", "-c", script], cwd=build, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=600,
                              env={**os.environ, "kernel_source_dir": kernel_dir, "dkms_tree": dkms_tree,
                                   "kernelver": release})
        self.assertEqual(done.returncode, 0, done.stdout[-3000:])
        module = os.path.join(build, self.conf["module"] + ".ko")
        self.assertTrue(os.path.exists(module), "no %s" % module)
        # The .modinfo section holds "vermagic=<release> ..." for the kernel built against.
        with open(module, "rb") as f:
            info = f.read()
        start = info.find(b"vermagic=")
        self.assertGreaterEqual(start, 0, "no vermagic in the module")
        vermagic = info[start + len("vermagic="):info.index(b"\0", start)].decode()
        self.assertTrue(vermagic.startswith(release + " "), vermagic)


if __name__ == "__main__":
    unittest.main()
