#!/usr/bin/env python3
"""Reads the records that liballoccount.so keeps, one file per process.

    dev/alloccount/alloccount.py DIR     prints one line per process
"""
import os
import struct
import sys

MAGIC = 0x616C6C63
LAYOUT = struct.Struct("=II16s6Q")
FIELDS = ("malloc", "calloc", "realloc", "aligned", "new", "free")


def read(directory):
    """{pid: {"comm": name, "malloc": n, ..., "allocations": total}} for every complete record."""
    records = {}
    for name in os.listdir(directory):
        try:
            with open(os.path.join(directory, name), "rb") as f:
                data = f.read(LAYOUT.size)
        except OSError:
            continue
        if len(data) != LAYOUT.size:
            continue
        magic, pid, comm, *counts = LAYOUT.unpack(data)
        if magic != MAGIC:
            continue
        entry = dict(zip(FIELDS, counts))
        entry["comm"] = comm.split(b"\0")[0].decode("latin-1")
        entry["allocations"] = sum(counts[:5])
        records[pid] = entry
    return records


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip())
    for pid, e in sorted(read(sys.argv[1]).items()):
        print("%7d %-16s allocations=%d (%s)" % (
            pid, e["comm"], e["allocations"], " ".join("%s=%d" % (k, e[k]) for k in FIELDS)))


if __name__ == "__main__":
    main()
