#!/usr/bin/env python3
"""Measures a folder share through the server, against one file of the archive's size:
  - the listing of a folder of many small files as a request finds it: the time of a HEAD
    of its share (listing, layout, Content-Length and tag; no file read), best and median;
  - the rate of the whole archive with curl (MB/s, 10^6 bytes/s), the first download
    (every CRC computed as the bytes go out) apart from the later ones (CRCs cached in
    the share), against the same curl on one file of exactly the archive's length;
for two folders: FILES files of 1 KiB (100 folders of 1,000; 100,000 by default) and
16 files of 64 MiB (1 GiB). The files stay in the page cache: disk speed plays no part.
Every download's size is checked against Content-Length.

usage: bench/folder_http.py [--files N] [--runs N] [--wine] BINARY
  BINARY  a Release build of the native program (build/release/quillcast), or with
          --wine quillcast.exe (the win preset is a Release build), run under wine64 in a
          prefix made in the temporary directory

Everything it starts is ended by PID at exit (the prefix's wineserver with -k); its
temporary directory is removed. It measures; it asserts nothing.
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from stored_files import write_server_files  # noqa: E402

WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver"


def log(text):
    print(f"[bench] {text}", file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_files(work, files):
    many = os.path.join(work, "many")
    block = os.urandom(1024)
    per = 1000
    for d in range((files + per - 1) // per):
        sub = os.path.join(many, f"d{d:03}")
        os.makedirs(sub)
        for i in range(min(per, files - d * per)):
            with open(os.path.join(sub, f"f{i:04}.bin"), "wb") as f:
                f.write(block)
    large = os.path.join(work, "large")
    os.makedirs(large)
    chunk = os.urandom(1 << 20)
    for i in range(16):
        with open(os.path.join(large, f"part{i:02}.bin"), "wb") as f:
            for _ in range(64):
                f.write(chunk)


def make_file(path, size):
    chunk = os.urandom(1 << 20)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            f.write(chunk[:min(left, len(chunk))])
            left -= len(chunk)


def head(port, path):
    """Seconds from the request to the whole head, and the head's Content-Length."""
    started = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=120) as s:
        s.sendall(f"HEAD {path} HTTP/1.1\r\nConnection: close\r\n\r\n".encode())
        answer = b""
        while b"\r\n\r\n" not in answer:
            piece = s.recv(65536)
            if not piece:
                break
            answer += piece
    took = time.perf_counter() - started
    for line in answer.decode("latin-1").split("\r\n"):
        if line.lower().startswith("content-length:"):
            return took, int(line.split(":", 1)[1])
    raise RuntimeError(f"HEAD {path}: {answer[:200]!r}")


def download(port, path, expected):
    """MB/s of one curl download to /dev/null; its size must be `expected`."""
    out = subprocess.run(["curl", "-s", "-S", "-f", "--max-time", "900", "-o", "/dev/null", "-w",
                          "%{size_download} %{time_total}", f"http://127.0.0.1:{port}{path}"],
                         capture_output=True, text=True, timeout=1000, check=True).stdout
    size, seconds = out.split()
    if int(size) != expected:
        raise RuntimeError(f"{path}: {size} bytes, not {expected}")
    return int(size) / float(seconds) / 1e6


class Server:
    def __init__(self, binary, work, wine):
        self.binary, self.work, self.wine = binary, work, wine
        self.dir = os.path.join(work, "server")
        os.makedirs(os.path.join(self.dir, "xdg"), mode=0o700)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(self.dir, "xdg"))
        if wine:
            self.env.update(WINEPREFIX=os.path.join(work, "wineprefix"), WINEDEBUG="-all",
                            WINEDLLOVERRIDES="mscoree,mshtml,winebus.sys=")
            os.makedirs(self.env["WINEPREFIX"])
            subprocess.run([WINESERVER, "-p"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)
            subprocess.run([WINE, "wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=300)
        self.process = None

    def physical(self, name):
        path = os.path.join(self.work, name)
        return "Z:" + path.replace("/", "\\") if self.wine else path

    def start(self, port, shares):
        write_server_files(self.dir, port, [(v, self.physical(p)) for v, p in shares])
        command = [WINE, self.binary] if self.wine else [self.binary]
        self.process = subprocess.Popen(command, cwd=self.dir, env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None:
                    raise RuntimeError("the server ended at start")
                time.sleep(0.1)
        raise RuntimeError("the server never listened")

    def stop(self):
        if self.process and self.process.poll() is None:
            command = [WINE, self.binary, "-stop"] if self.wine else [self.binary, "-stop"]
            subprocess.run(command, cwd=self.dir, env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def close(self):
        self.stop()
        if self.wine:
            subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("binary")
    parser.add_argument("--files", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--wine", action="store_true")
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)

    work = tempfile.mkdtemp(prefix="qc-bench-folder-http-")
    server = None
    try:
        log(f"{args.files} files of 1 KiB and 16 x 64 MiB in {work}; load {os.getloadavg()[0]:.2f}")
        make_files(work, args.files)
        server = Server(binary, work, args.wine)
        port = free_port()
        # The archives' lengths first, so that each file can be made of that length.
        server.start(port, [("/many.zip", "many"), ("/large.zip", "large")])
        sizes = {name: head(port, f"/{name}.zip")[1] for name in ("many", "large")}
        server.stop()
        for name, size in sizes.items():
            make_file(os.path.join(work, f"{name}.bin"), size)
        shares = [("/many.zip", "many"), ("/large.zip", "large"), ("/many.bin", "many.bin"),
                  ("/large.bin", "large.bin")]
        server.start(port, shares)

        heads = [head(port, "/many.zip")[0] for _ in range(args.runs)]
        print(f"listing of {args.files} files (HEAD of its share), s: best {min(heads):.3f}, "
              f"median {statistics.median(heads):.3f}, worst {max(heads):.3f}")
        for name, size in sizes.items():
            # The first download after the start computes every CRC; the later ones have them.
            first = download(port, f"/{name}.zip", size)
            archive, plain = [], []
            for _ in range(args.runs):
                archive.append(download(port, f"/{name}.zip", size))
                plain.append(download(port, f"/{name}.bin", size))
            a, p = statistics.median(archive), statistics.median(plain)
            print(f"{name} ({size:,} bytes), MB/s: archive first {first:.1f}, archive later "
                  f"{a:.1f} ({min(archive):.1f}-{max(archive):.1f}), one file {p:.1f} "
                  f"({min(plain):.1f}-{max(plain):.1f}); ratio first {first / p:.2f}, later {a / p:.2f}")
        print(f"load when done: {os.getloadavg()[0]:.2f}")
    finally:
        if server:
            server.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
