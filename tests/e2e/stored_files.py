"""The bytes of the server's two files, as the end-to-end tests, the load runs and the
benchmarks write them: "common.cfg" (the settings) and "shared.cfg" (the share records).

The settings: magic "QC", then port, hostChoice, flags, domain length and folder length
(each a 16-bit little-endian number), then the domain and the folder texts. A share
record: virtual-path length, physical-path length and flags (16-bit little-endian), then
the two paths.
"""
import os
import struct


def settings_bytes(port, flags=0, host_choice=0, domain=b"", folder=b""):
    return struct.pack("<2sHHHHH", b"QC", port, host_choice, flags, len(domain), len(folder)) + domain + folder


def share_record(virtual, physical, flags=0):
    return struct.pack("<HHH", len(virtual), len(physical), flags) + virtual + physical


def write_server_files(work_dir, port, shares):
    """Writes both files into `work_dir`: the default settings on `port`, and one ordinary
    share for each (virtual, physical) pair of texts in `shares`."""
    with open(os.path.join(work_dir, "common.cfg"), "wb") as f:
        f.write(settings_bytes(port))
    with open(os.path.join(work_dir, "shared.cfg"), "wb") as f:
        f.write(b"".join(share_record(v.encode(), p.encode()) for v, p in shares))
