"""The amd64 build: packages, lintian, and the data files it ships."""
import os
import tempfile
import unittest

import packagingtest as pt

DATA_FILES = ("apt-preferences", "zorvi/verdanta.key.asc", "zorvi/verdanta.list")
DATA_DEST = "/usr/share/verdanta/zorvi-upgrade/"


class Amd64Build(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = os.path.join(pt.WORK, "amd64")
        # With its tests and Debian's hardening flags, as dpkg-buildpackage -us -uc -b
        # builds it for a maintainer: warnings that only those flags raise fail here.
        status, output = pt.build(cls.out)
        if status != 0:
            raise AssertionError("packaging/build failed (%d):\n%s" % (status, output))
        print(output, end="")
        cls.debs = pt.debs(cls.out)

    def test_both_packages_and_the_source_are_built(self):
        with open(os.path.join(self.out, "build.log"), encoding="utf-8", errors="replace") as f:
            log = f.read()
        self.assertIn("build: dpkg-buildpackage -us -uc -b\n", log)
        self.assertRegex(log, r"\n\d+% tests passed, 0 tests failed")
        self.assertLessEqual({"zorvi-upgrade", "ttyaux-dkms"}, set(self.debs))
        self.assertTrue(any(f.endswith(".dsc") for f in os.listdir(self.out)))

    def test_every_lintian_warning_is_explained_in_the_readme(self):
        self.assertEqual(pt.unexplained_tags(os.path.join(self.out, "lintian.txt")), [])

    def test_default_data_files_are_the_examples_and_the_package_says_so(self):
        deb = self.debs["zorvi-upgrade"]
        for name in DATA_FILES:
            with open(os.path.join(pt.SOURCE, "data", "example", name), "rb") as f:
                self.assertEqual(pt.deb_file(deb, DATA_DEST + name), f.read(), name)
        self.assertIn("EXAMPLE data files only", pt.deb_field(deb, "Description"))


class MissingDataFile(unittest.TestCase):
    def test_a_data_folder_without_all_three_files_fails_the_build(self):
        with tempfile.TemporaryDirectory(dir=pt.WORK) as tmp:
            data = os.path.join(tmp, "data")
            os.makedirs(os.path.join(data, "zorvi"))
            for name in DATA_FILES[:2]:
                with open(os.path.join(data, name), "w", encoding="ascii") as f:
                    f.write("x\n")
            status, output = pt.build(os.path.join(tmp, "out"), "--nocheck", "--data", data, timeout=600)
        self.assertNotEqual(status, 0)
        self.assertIn("zorvi/verdanta.list is missing", output)


if __name__ == "__main__":
    unittest.main()
