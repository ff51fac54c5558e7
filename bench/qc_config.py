#!/usr/bin/env python3
"""Writes the server's "common.cfg" and "shared.cfg" into a working directory.

usage: qc_config.py DIR PORT FILES_DIR [--windows] NAME...

Each NAME (a file inside FILES_DIR) is shared as "/NAME". With --windows the physical
paths are written as Wine sees the host's root (Z:\\...\\NAME).
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from stored_files import write_server_files  # noqa: E402


def main(argv):
    windows = "--windows" in argv
    args = [a for a in argv if a != "--windows"]
    if len(args) < 4:
        sys.stderr.write(__doc__)
        return 2
    work_dir, port, files_dir, names = args[0], int(args[1]), args[2], args[3:]
    files_dir = os.path.abspath(files_dir)

    shares = []
    for name in names:
        physical = os.path.join(files_dir, name)
        if windows:
            physical = "Z:" + physical.replace("/", "\\")
        shares.append(("/" + name, physical))
    write_server_files(work_dir, port, shares)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
