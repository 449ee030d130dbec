"""Stand-in for the hub's Z-Wave chip on the far end of the mini UART.

It takes the flasher's frames (flasher/frame.h, read from there), checks each one and
the whole image, and keeps what a chip keeps in a state folder: `firmware.bin`
(the image it runs) and `nvm.bin` (its network memory). `chip.log` gets one
line per write. Failures a hub meets can be asked for: the image refused, or
data frames garbled on the line.

    python3 chip.py --state DIR --connect UNIX-SOCKET [--refuse REASON] [--garble N]
"""

import argparse
import binascii
import os
import re
import socket
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def read_defines(path=os.path.join(HERE, "flasher", "frame.h")):
    defines = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"#define\s+(\w+)\s+(0x[0-9a-fA-F]+|\d+)\b", line)
            if m:
                defines[m.group(1)] = int(m.group(2), 0)
    return defines


F = read_defines()


def crc16(data):
    return binascii.crc_hqx(data, 0xFFFF)


def frame(kind, seq, payload=b""):
    body = bytes([kind]) + seq.to_bytes(2, "big") + len(payload).to_bytes(2, "big") + payload
    return bytes([F["FRAME_SOF"]]) + body + crc16(body).to_bytes(2, "big")


class Chip:
    def __init__(self, state, refuse=None, garble=0):
        self.state = state
        self.refuse = refuse
        self.garble = garble
        self.session = None
        os.makedirs(state, exist_ok=True)

    def path(self, name):
        return os.path.join(self.state, name)

    def read(self, name):
        try:
            with open(self.path(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def write(self, name, data):
        temporary = self.path(name + ".new")
        with open(temporary, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, self.path(name))

    def answer(self, kind, seq, payload, intact):
        """The chip's reply to one frame, as bytes."""
        if not intact:
            return frame(F["FRAME_NAK"], seq)
        if kind == F["FRAME_HELLO"]:
            if len(payload) != 9:
                return frame(F["FRAME_REFUSE"], seq, b"malformed hello")
            size, crc = int.from_bytes(payload[1:5], "big"), int.from_bytes(payload[5:9], "big")
            if size > F["IMAGE_MAX_BYTES"]:
                return frame(F["FRAME_REFUSE"], seq, b"image larger than the flash")
            self.session = {"flags": payload[0], "size": size, "crc": crc, "next": 1, "image": bytearray()}
            return frame(F["FRAME_ACK"], seq)
        s = self.session
        if s is None:
            return frame(F["FRAME_REFUSE"], seq, b"no hello")
        if kind == F["FRAME_DATA"]:
            if seq == s["next"] - 1:
                return frame(F["FRAME_ACK"], seq)  # our acknowledgement got lost: take it once
            if seq != s["next"] or len(s["image"]) + len(payload) > s["size"]:
                return frame(F["FRAME_NAK"], seq)
            s["image"] += payload
            s["next"] += 1
            return frame(F["FRAME_ACK"], seq)
        if kind == F["FRAME_DONE"]:
            if seq == s["next"] - 1 and s.get("done"):
                return frame(F["FRAME_ACK"], seq)
            image = bytes(s["image"])
            if len(image) != s["size"] or zlib.crc32(image) != s["crc"]:
                self.session = None
                return frame(F["FRAME_REFUSE"], seq, b"image checksum mismatch")
            if self.refuse:
                self.session = None
                return frame(F["FRAME_REFUSE"], seq, self.refuse.encode())
            self.commit(s["flags"], image)
            s["next"] += 1
            s["done"] = True
            return frame(F["FRAME_ACK"], seq)
        return frame(F["FRAME_NAK"], seq)

    def commit(self, flags, image):
        if flags & F["FLAG_IMAGE"]:
            self.write("firmware.bin", image)
        keep = flags & F["FLAG_MIGRATE_NVM"] or not flags & (F["FLAG_IMAGE"] | F["FLAG_ERASE_NVM"])
        if not keep:
            self.write("nvm.bin", b"")
        with open(self.path("chip.log"), "a", encoding="utf-8") as f:
            f.write("write image=%s crc=%08x nvm=%s\n" % (
                len(image) if flags & F["FLAG_IMAGE"] else "none", zlib.crc32(image), "kept" if keep else "erased"))

    def serve(self, fd):
        """Answers frames read from `fd` until it reaches its end."""
        buffer = bytearray()
        while True:
            try:
                data = os.read(fd, 4096)
            except OSError:
                return  # a pty's master reads EIO once the other side is closed
            if not data:
                return
            buffer += data
            while True:
                start = buffer.find(bytes([F["FRAME_SOF"]]))
                if start < 0:
                    buffer.clear()
                    break
                del buffer[:start]
                if len(buffer) < F["FRAME_HEADER"]:
                    break
                length = int.from_bytes(buffer[4:6], "big")
                if length > F["FRAME_MAX_PAYLOAD"]:
                    del buffer[:1]
                    continue
                end = F["FRAME_HEADER"] + length + F["FRAME_TRAILER"]
                if len(buffer) < end:
                    break
                raw = bytes(buffer[:end])
                del buffer[:end]
                kind, seq, payload = raw[1], int.from_bytes(raw[2:4], "big"), raw[6:end - 2]
                intact = crc16(raw[1:end - 2]) == int.from_bytes(raw[end - 2:end], "big")
                if intact and kind == F["FRAME_DATA"] and self.garble > 0:
                    self.garble -= 1
                    intact = False  # line noise: the chip sees a bad checksum
                os.write(fd, self.answer(kind, seq, payload, intact))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state", required=True)
    parser.add_argument("--connect", required=True, help="the emulator's serial socket")
    parser.add_argument("--refuse", help="refuse every image with this reason")
    parser.add_argument("--garble", type=int, default=0, help="garble this many data frames")
    args = parser.parse_args()
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        # The emulator makes its socket before it listens on it.
        for attempt in range(100):
            try:
                s.connect(args.connect)
                break
            except (FileNotFoundError, ConnectionRefusedError):
                if attempt == 99:
                    raise
                time.sleep(0.1)
        Chip(args.state, args.refuse, args.garble).serve(s.fileno())


if __name__ == "__main__":
    main()
