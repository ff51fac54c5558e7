#!/usr/bin/env python3
"""Writes the server's "common.cfg" and "shared.cfg" into a working directory.

usage: qc_config.py DIR PORT FILES_DIR [--windows] NAME...

Each NAME (a file inside FILES_DIR) is shared as "/NAME". With --windows the physical
paths are written as Wine sees the host's root (Z:\\...\\NAME).
"""
import os
import struct
import sys


def main(argv):
    windows = "--windows" in argv
    args = [a for a in argv if a != "--windows"]
    if len(args) < 4:
        sys.stderr.write(__doc__)
        return 2
    work_dir, port, files_dir, names = args[0], int(args[1]), args[2], args[3:]
    files_dir = os.path.abspath(files_dir)

    # Header: magic "QC", port, hostChoice, flags, domainLength, folderLength (all u16 LE),
    # no texts after it.
    with open(os.path.join(work_dir, "common.cfg"), "wb") as f:
        f.write(b"QC" + struct.pack("<HHHHH", port, 0, 0, 0, 0))

    records = bytearray()
    for name in names:
        virtual = ("/" + name).encode()
        physical = os.path.join(files_dir, name)
        if windows:
            physical = "Z:" + physical.replace("/", "\\")
        physical = physical.encode()
        records += struct.pack("<HHH", len(virtual), len(physical), 0) + virtual + physical
    with open(os.path.join(work_dir, "shared.cfg"), "wb") as f:
        f.write(records)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
