"""The flasher stand-in against the chip stand-in over a pseudo-terminal: what
the chip holds after each kind of write, and that a garbled line, a refusal or
a silent chip are never reported as a flashed chip."""

import os
import shlex
import subprocess
import tempfile
import termios
import threading
import tty
import unittest

import chip

FLASHER = shlex.split(os.environ.get("ZORVI_FLASHER", "qd-zw-flash"))
NETWORK = b"home id 0xc0ffee, 23 nodes"


class Flashing(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.state = os.path.join(self.folder.name, "chip")
        self.image = os.path.join(self.folder.name, "bridge.bin")
        with open(self.image, "wb") as f:
            f.write(os.urandom(10000))  # 79 frames, the last one short
        self.chip = chip.Chip(self.state)
        self.chip.write("firmware.bin", b"old firmware")
        self.chip.write("nvm.bin", NETWORK)

    def flash(self, *args, serve=True):
        master, slave = os.openpty()
        tty.setraw(slave, termios.TCSANOW)
        server = threading.Thread(target=self.chip.serve, args=(master,), daemon=True)
        if serve:
            server.start()
        try:
            done = subprocess.run([*FLASHER, "--reset-pin", "22", *args, "--", os.ttyname(slave)],
                                  capture_output=True, text=True, timeout=60)
        finally:
            os.close(slave)
            if serve:
                server.join(10)
            os.close(master)
        self.assertFalse(server.is_alive(), "the chip stand-in did not see the line close")
        return done

    def image_bytes(self):
        with open(self.image, "rb") as f:
            return f.read()

    def test_migration_writes_the_image_and_keeps_the_network(self):
        done = self.flash("--image", self.image, "--migrate-nvm")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.chip.read("firmware.bin"), self.image_bytes())
        self.assertEqual(self.chip.read("nvm.bin"), NETWORK)
        self.assertIn("10000 bytes written, network memory kept", done.stdout)
        self.assertIn("reset pin 22 not driven", done.stdout)

    def test_erase_writes_the_image_and_empties_the_network(self):
        done = self.flash("--image", self.image, "--erase-nvm")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.chip.read("firmware.bin"), self.image_bytes())
        self.assertEqual(self.chip.read("nvm.bin"), b"")

    def test_a_factory_reset_alone_keeps_the_firmware(self):
        done = self.flash("--erase-nvm")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.chip.read("firmware.bin"), b"old firmware")
        self.assertEqual(self.chip.read("nvm.bin"), b"")

    def test_garbled_frames_are_sent_again_and_the_image_arrives_whole(self):
        self.chip.garble = 3
        done = self.flash("--image", self.image, "--migrate-nvm")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stderr.count("garbled on the line"), 3, done.stderr)
        self.assertEqual(self.chip.read("firmware.bin"), self.image_bytes())
        self.assertEqual(self.chip.read("nvm.bin"), NETWORK)

    def test_a_line_too_noisy_fails_and_leaves_the_chip_as_it_was(self):
        self.chip.garble = 1000
        done = self.flash("--image", self.image, "--migrate-nvm")
        self.assertEqual(done.returncode, 1)
        self.assertIn("did not take frame 1; giving up", done.stderr)
        self.assertEqual(self.chip.read("firmware.bin"), b"old firmware")
        self.assertEqual(self.chip.read("nvm.bin"), NETWORK)

    def test_a_refused_image_fails_and_leaves_the_chip_as_it_was(self):
        self.chip.refuse = "image not signed for this chip"
        done = self.flash("--image", self.image, "--erase-nvm")
        self.assertEqual(done.returncode, 1)
        self.assertIn("the chip refused: image not signed for this chip", done.stderr)
        self.assertEqual(self.chip.read("firmware.bin"), b"old firmware")
        self.assertEqual(self.chip.read("nvm.bin"), NETWORK)

    def test_a_silent_chip_fails_the_flash_in_bounded_time(self):
        done = self.flash("--image", self.image, "--migrate-nvm", serve=False)
        self.assertEqual(done.returncode, 1)
        self.assertIn("frame 0 not answered", done.stderr)


class Refusals(unittest.TestCase):
    def run_flasher(self, *args):
        return subprocess.run([*FLASHER, *args], capture_output=True, text=True, timeout=30)

    def test_bad_invocations_are_usage_errors(self):
        with tempfile.NamedTemporaryFile() as plain:
            cases = {
                ("--erase-nvm", "--", plain.name): "is not a serial device",
                ("--migrate-nvm", "--erase-nvm", "--", "/dev/null"): "exclude each other",
                ("--", "/dev/null"): "nothing to do",
                ("--erase-nvm",): "no port after --",
                ("--image", "/nonexistent/bridge.bin", "--", "/dev/null"): "No such file",
            }
            for args, message in cases.items():
                with self.subTest(args=args):
                    done = self.run_flasher(*args)
                    self.assertEqual(done.returncode, 2)
                    self.assertIn(message, done.stderr)

    def test_an_image_larger_than_the_flash_is_refused_before_sending(self):
        with tempfile.NamedTemporaryFile() as big:
            big.write(b"\0" * (chip.F["IMAGE_MAX_BYTES"] + 1))
            big.flush()
            done = self.run_flasher("--image", big.name, "--", "/dev/null")
        self.assertEqual(done.returncode, 2)
        self.assertIn("larger than the chip's", done.stderr)


if __name__ == "__main__":
    unittest.main()
