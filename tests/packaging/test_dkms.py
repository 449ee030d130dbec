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
              '"$AUTOINSTALL"')
    out = subprocess.run(["bash", "-c", script, "-", path], check=True, stdout=subprocess.PIPE,
                         text=True).stdout.split("\n")
    return dict(zip(("name", "version", "module", "autoinstall"), out))


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
