"""The cross builds for the hub (armel and armhf): the same static ARMv6
programs in both, with data files chosen at build time."""
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
PT_DYNAMIC = 2
PT_INTERP = 3


def program_headers(elf):
    """The p_type of every program header of a 32-bit little-endian ELF file."""
    phoff, = struct.unpack_from("<I", elf, 28)
    size, count = struct.unpack_from("<HH", elf, 42)
    return [struct.unpack_from("<I", elf, phoff + i * size)[0] for i in range(count)]


class ArmBuild:
    """The checks both hub packages pass; ARCH names the one built."""
    ARCH = None

    @classmethod
    def setUpClass(cls):
        cls.out = os.path.join(pt.WORK, cls.ARCH)
        cls.data = os.path.join(pt.WORK, cls.ARCH + "-data")
        shutil.rmtree(cls.data, ignore_errors=True)
        for name in DATA_FILES:
            path = os.path.join(cls.data, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="ascii") as f:
                f.write("hub data file %s\n" % name)
        status, output = pt.build(cls.out, "--arch", cls.ARCH, "--data", cls.data)
        if status != 0:
            raise AssertionError("packaging/build --arch %s failed (%d):\n%s" % (cls.ARCH, status, output))
        print(output, end="")
        cls.deb = pt.debs(cls.out)["zorvi-upgrade"]

    def test_programs_are_static_32_bit_arm_eabi5_soft_float(self):
        self.assertEqual(pt.deb_field(self.deb, "Architecture"), self.ARCH)
        for path in PROGRAMS:
            with self.subTest(path=path):
                elf = pt.deb_file(self.deb, path)
                self.assertEqual(elf[:5], b"\x7fELF\x01", "not a 32-bit ELF file")
                machine, = struct.unpack_from("<H", elf, 18)
                flags, = struct.unpack_from("<I", elf, 36)
                self.assertEqual(machine, EM_ARM)
                self.assertEqual(flags & 0xFF000000, EF_ARM_EABI_VER5)
                self.assertEqual(flags & EF_ARM_ABI_FLOAT_HARD, 0, "hard-float ABI")
                headers = program_headers(elf)
                self.assertNotIn(PT_INTERP, headers, "needs a program interpreter")
                self.assertNotIn(PT_DYNAMIC, headers, "has a dynamic section")
        # Static: no C library of any version is asked of the hub.
        self.assertEqual(pt.deb_field(self.deb, "Depends"), "adduser")

    def test_programs_fit_the_arm1176_and_linux_3_2(self):
        with tempfile.TemporaryDirectory(dir=pt.WORK) as tmp:
            files = []
            for path in PROGRAMS:
                files.append(os.path.join(tmp, os.path.basename(path)))
                with open(files[-1], "wb") as f:
                    f.write(pt.deb_file(self.deb, path))
                os.chmod(files[-1], 0o755)
            for check in (["check-arch", tmp], ["check-static", *files]):
                with self.subTest(check=check[0]):
                    done = subprocess.run([os.path.join(pt.SOURCE, "dev", "arm", check[0]), *check[1:]],
                                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
                    self.assertEqual(done.returncode, 0, done.stdout)

    def test_client_runs_on_the_hubs_core(self):
        qemu = shutil.which("qemu-arm-static")
        if not qemu:
            self.skipTest("no qemu-arm-static")
        with tempfile.TemporaryDirectory(dir=pt.WORK) as tmp:
            ctl = os.path.join(tmp, "zorvi-upgradectl")
            with open(ctl, "wb") as f:
                f.write(pt.deb_file(self.deb, "/usr/bin/zorvi-upgradectl"))
            os.chmod(ctl, 0o755)
            # Only the client: the service itself never runs outside a sandbox.
            # No library path: the program needs none.
            done = subprocess.run([qemu, "-cpu", "arm1176", ctl, "--version"],
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


class ArmelBuild(ArmBuild, unittest.TestCase):
    ARCH = "armel"


class ArmhfBuild(ArmBuild, unittest.TestCase):
    ARCH = "armhf"


if __name__ == "__main__":
    unittest.main()
