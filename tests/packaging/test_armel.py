"""The cross build for the hub (armel), with data files chosen at build time."""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import packagingtest as pt

DATA_FILES = ("apt-preferences", "zorvi/verdanta.key.asc", "zorvi/verdanta.list")
DATA_DEST = "/usr/share/verdanta/zorvi-upgrade/"
PROGRAMS = ("/usr/sbin/zorvi-upgrade", "/usr/bin/zorvi-upgradectl")
EM_ARM = 40
EF_ARM_EABI_VER5 = 0x05000000
EF_ARM_ABI_FLOAT_HARD = 0x400


class ArmelBuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = os.path.join(pt.WORK, "armel")
        cls.data = os.path.join(pt.WORK, "armel-data")
        shutil.rmtree(cls.data, ignore_errors=True)
        for name in DATA_FILES:
            path = os.path.join(cls.data, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="ascii") as f:
                f.write("hub data file %s\n" % name)
        status, output = pt.build(cls.out, "--arch", "armel", "--data", cls.data)
        if status != 0:
            raise AssertionError("packaging/build --arch armel failed (%d):\n%s" % (status, output))
        print(output, end="")
        cls.deb = pt.debs(cls.out)["zorvi-upgrade"]

    def test_programs_are_32_bit_arm_eabi5_soft_float(self):
        self.assertEqual(pt.deb_field(self.deb, "Architecture"), "armel")
        for path in PROGRAMS:
            with self.subTest(path=path):
                elf = pt.deb_file(self.deb, path)
                self.assertEqual(elf[:5], b"\x7fELF\x01", "not a 32-bit ELF file")
                machine, = struct.unpack_from("<H", elf, 18)
                flags, = struct.unpack_from("<I", elf, 36)
                self.assertEqual(machine, EM_ARM)
                self.assertEqual(flags & 0xFF000000, EF_ARM_EABI_VER5)
                self.assertEqual(flags & EF_ARM_ABI_FLOAT_HARD, 0, "hard-float ABI")
        depends = pt.deb_field(self.deb, "Depends")
        for lib in ("libc6", "libstdc++6"):
            self.assertIn(lib, depends)

    def test_client_runs_on_the_hubs_core(self):
        qemu = shutil.which("qemu-arm")
        if not qemu:
            self.skipTest("no qemu-arm")
        with tempfile.TemporaryDirectory(dir=pt.WORK) as tmp:
            ctl = os.path.join(tmp, "zorvi-upgradectl")
            with open(ctl, "wb") as f:
                f.write(pt.deb_file(self.deb, "/usr/bin/zorvi-upgradectl"))
            os.chmod(ctl, 0o755)
            # Only the client: the service itself never runs outside a sandbox.
            done = subprocess.run([qemu, "-cpu", "arm1176", "-L", "/usr/arm-linux-gnueabi", ctl, "--version"],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
        version = pt.deb_field(self.deb, "Version")
        self.assertEqual((done.returncode, done.stdout.strip()), (0, "zorvi-upgradectl %s" % version))

    def test_data_files_come_from_the_folder_given_at_build_time(self):
        for name in DATA_FILES:
            with open(os.path.join(self.data, name), "rb") as f:
                self.assertEqual(pt.deb_file(self.deb, DATA_DEST + name), f.read(), name)
        self.assertNotIn("EXAMPLE", pt.deb_field(self.deb, "Description"))

    def test_every_lintian_warning_is_explained_in_the_readme(self):
        self.assertEqual(pt.unexplained_tags(os.path.join(self.out, "lintian.txt")), [])


if __name__ == "__main__":
    unittest.main()
