"""The bytes of the server's two files, as the end-to-end tests, the load runs and the
benchmarks write them: "common.cfg" (the settings) and "shared.cfg" (the share records).

The settings: magic "QC", then port, hostChoice, flags, domain length and folder length
(each a 16-bit little-endian number), then the domain and the folder texts. A share
record: virtual-path length, physical-path length and flags (16-bit little-endian), then
the two paths.

"downloads.cfg" (each share's completed downloads and limits): "QCD1", then per share the
two paths' lengths (16-bit), the paths, the count (64-bit), the last download's time
(signed 64, Unix seconds) and IPv4 address (32, 127.0.0.1 is 0x7F000001), the download
limit (64) and the end time (signed 64), all little-endian, and a 32-bit FNV-1a sum of the
record's bytes before it.
"""
import os
import struct


def settings_bytes(port, flags=0, host_choice=0, domain=b"", folder=b""):
    return struct.pack("<2sHHHHH", b"QC", port, host_choice, flags, len(domain), len(folder)) + domain + folder


def share_record(virtual, physical, flags=0):
    return struct.pack("<HHH", len(virtual), len(physical), flags) + virtual + physical


def parse_shares(data):
    """The complete records of a "shared.cfg" as (virtual, physical, flags) triples."""
    records, at = [], 0
    while at + 6 <= len(data):
        v, p, flags = struct.unpack_from("<HHH", data, at)
        if at + 6 + v + p > len(data):
            break
        records.append((data[at + 6:at + 6 + v], data[at + 6 + v:at + 6 + v + p], flags))
        at += 6 + v + p
    return records


DOWNLOADS_MARK = b"QCD1"
_DOWNLOADS_FIXED = struct.Struct("<QqIQq")


def fnv1a(data):
    value = 2166136261
    for byte in data:
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return value


def downloads_record(virtual, physical, completed=0, last_time=0, last_address=0, max_downloads=0, until=0):
    """One share's record of "downloads.cfg" (the file is DOWNLOADS_MARK and the records)."""
    body = (struct.pack("<HH", len(virtual), len(physical)) + virtual + physical +
            _DOWNLOADS_FIXED.pack(completed, last_time, last_address, max_downloads, until))
    return body + struct.pack("<I", fnv1a(body))


def parse_downloads(data):
    """The records of a "downloads.cfg" as dicts (virtual, physical, completed, last_time,
    last_address, max_downloads, until); raises ValueError unless `data` is the mark and
    whole records with good sums, nothing more."""
    if not data.startswith(DOWNLOADS_MARK):
        raise ValueError(f"no {DOWNLOADS_MARK!r} mark: {data[:16]!r}")
    records, at = [], len(DOWNLOADS_MARK)
    while at < len(data):
        if len(data) - at < 4:
            raise ValueError(f"{len(data) - at} stray bytes at {at}")
        v, p = struct.unpack_from("<HH", data, at)
        end = at + 4 + v + p + _DOWNLOADS_FIXED.size
        if len(data) < end + 4:
            raise ValueError(f"the record at {at} is cut")
        if struct.unpack_from("<I", data, end)[0] != fnv1a(data[at:end]):
            raise ValueError(f"the record at {at} has a wrong sum")
        fields = _DOWNLOADS_FIXED.unpack_from(data, at + 4 + v + p)
        records.append(dict(zip(("completed", "last_time", "last_address", "max_downloads", "until"), fields),
                            virtual=data[at + 4:at + 4 + v], physical=data[at + 4 + v:at + 4 + v + p]))
        at = end + 4
    return records


def write_server_files(work_dir, port, shares):
    """Writes both files into `work_dir`: the default settings on `port`, and one ordinary
    share for each (virtual, physical) pair of texts in `shares`."""
    with open(os.path.join(work_dir, "common.cfg"), "wb") as f:
        f.write(settings_bytes(port))
    with open(os.path.join(work_dir, "shared.cfg"), "wb") as f:
        f.write(b"".join(share_record(v.encode(), p.encode()) for v, p in shares))
