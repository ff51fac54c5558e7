#!/usr/bin/env python3
"""Prints run.sh's results (lines "server<TAB>metric<TAB>value") as a table with ratios.

A metric recorded once per run shows its median; counts of failures and requests show
their sum over the runs.

usage: table.py RESULTS.tsv
"""
import statistics
import sys

SERVERS = [
    ("native", "quillcast"),
    ("nativebase", "older quillcast"),
    ("wine", "quillcast.exe/Wine"),
    ("winbase", "older quillcast.exe/Wine"),
    ("winref", "Win32 loop/Wine"),
    ("nginx", "nginx"),
    ("python", "python http.server"),
]

# (metric key, label, decimals)
ROWS = [
    ("dl_1g_MBps", "1 GiB download, MB/s", 1),
    ("dl_1g_failed", "1 GiB download, failed (status, size, SHA-256)", 0),
    ("s4k_c1_rps", "4 KiB, c=1 (ab), req/s", 0),
    ("s4k_c1_p50_ms", "4 KiB, c=1 (ab), p50 ms", 3),
    ("s4k_c1_p99_ms", "4 KiB, c=1 (ab), p99 ms", 3),
    ("s4k_c1_non2xx", "4 KiB, c=1 (ab), non-2xx answers", 0),
    ("s4k_c1_failed", "4 KiB, c=1 (ab), failed", 0),
    ("m1_c1_rps", "1 MiB, c=1 (ab), req/s", 1),
    ("m1_c1_p50_ms", "1 MiB, c=1 (ab), p50 ms", 3),
    ("m1_c1_p99_ms", "1 MiB, c=1 (ab), p99 ms", 3),
    ("m1_c1_non2xx", "1 MiB, c=1 (ab), non-2xx answers", 0),
    ("m1_c1_failed", "1 MiB, c=1 (ab), failed", 0),
    ("s4k_c8_rps", "4 KiB, c=8 x 8 files (wrk), 200s/s", 0),
    ("s4k_c8_p50_ms", "4 KiB, c=8 x 8 files (wrk), p50 ms", 3),
    ("s4k_c8_p99_ms", "4 KiB, c=8 x 8 files (wrk), p99 ms", 3),
    ("s4k_c8_non2xx", "4 KiB, c=8 x 8 files (wrk), non-2xx answers", 0),
    ("s4k_c8_failed", "4 KiB, c=8 x 8 files (wrk), socket errors", 0),
    ("m1_c8_rps", "1 MiB, c=8 x 8 files (wrk), 200s/s", 1),
    ("m1_c8_p50_ms", "1 MiB, c=8 x 8 files (wrk), p50 ms", 3),
    ("m1_c8_p99_ms", "1 MiB, c=8 x 8 files (wrk), p99 ms", 3),
    ("m1_c8_non2xx", "1 MiB, c=8 x 8 files (wrk), non-2xx answers", 0),
    ("m1_c8_failed", "1 MiB, c=8 x 8 files (wrk), socket errors", 0),
    ("same64_c8_MBps", "64 MiB, 8 clients on the same file (curl), MB/s", 1),
    ("same64_c8_failed", "64 MiB, 8 clients on the same file, failed", 0),
    ("d16m_c64_MBps", "16 MiB, 64 clients x 64 files (curl), MB/s", 1),
    ("d16m_c64_failed", "16 MiB, 64 clients x 64 files, failed", 0),
    ("idle_held", "idle connections held during the next rows", 0),
    ("s4k_idle_rps", "4 KiB, c=1 beside the idle ones (ab), req/s", 0),
    ("s4k_idle_p99_ms", "4 KiB, c=1 beside the idle ones (ab), p99 ms", 3),
    ("s4k_idle_non2xx", "4 KiB, c=1 beside the idle ones (ab), non-2xx", 0),
    ("s4k_idle_failed", "4 KiB, c=1 beside the idle ones (ab), failed", 0),
    ("idle_rss_MiB", "memory while the idle ones are held (VmRSS), MiB", 1),
    ("peak_rss_MiB", "peak memory (VmHWM), MiB", 1),
]

# Summed over the runs; everything else is a median.
SUMMED = ("_non2xx", "_failed", "_requests")

LOAD_ROWS = [("dl_1g", "1 GiB download"), ("s4k_c1", "4 KiB c=1"), ("m1_c1", "1 MiB c=1"),
             ("s4k_c8", "4 KiB c=8"), ("m1_c8", "1 MiB c=8"), ("same64_c8", "8 x same 64 MiB"),
             ("d16m_c64", "64 x 16 MiB"), ("s4k_idle", "4 KiB beside idle")]

RATIOS = [("native", "nginx"), ("native", "nativebase"), ("native", "python"), ("wine", "nginx"),
          ("wine", "python"), ("wine", "winref"), ("wine", "winbase"), ("wine", "native")]


def load(path):
    samples = {}
    with open(path) as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) != 3:
                continue
            try:
                samples.setdefault((parts[0], parts[1]), []).append(float(parts[2]))
            except ValueError:
                pass
    values = {}
    for key, xs in samples.items():
        values[key] = sum(xs) if key[1].endswith(SUMMED) else statistics.median(xs)
    return values


def print_table(header, rows):
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    out = []
    for n, r in enumerate([header] + rows):
        cells = [r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:], widths[1:])]
        out.append("| " + " | ".join(cells) + " |")
        if n == 0:
            out.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    print("\n".join(out))


def fmt(value, decimals):
    return "-" if value is None else f"{value:.{decimals}f}"


def main(argv):
    if len(argv) != 1:
        sys.stderr.write(__doc__)
        return 2
    values = load(argv[0])
    present = [s for s in SERVERS if any(k[0] == s[0] for k in values)]
    ratios = [r for r in RATIOS if all(any(k[0] == s for k in values) for s in r)]
    header = ["measurement"] + [label for _, label in present] + [f"{a}/{b}" for a, b in ratios]
    rows = []
    for key, label, decimals in ROWS:
        if not any((s, key) in values for s, _ in present):
            continue
        row = [label]
        for server, _ in present:
            row.append(fmt(values.get((server, key)), decimals))
        if key.endswith(SUMMED) or key == "idle_held":
            row += [""] * len(ratios)
        else:
            for a, b in ratios:
                va, vb = values.get((a, key)), values.get((b, key))
                row.append("-" if va is None or not vb else f"{va / vb:.2f}")
        rows.append(row)
    print_table(header, rows)
    print("\nRatios are plain quotients a/b: above 1 is better for MB/s and req/s, worse for"
          " latency and memory.")
    load_rows = []
    for key, label in LOAD_ROWS:
        if any((s, key + "_load1") in values for s, _ in present):
            load_rows.append([label] + [fmt(values.get((s, key + "_load1")), 2) for s, _ in present])
    if load_rows:
        print("\nLoad average (1 min) as each row began, per server:\n")
        print_table(["row"] + [label for _, label in present], load_rows)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
