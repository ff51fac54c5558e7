"""A measured run, not a CI step: opens many connections at once to the real program and
leaves them idle. Checks that the server stays up, that a download in the middle of it
succeeds, and that the head time limit closes every idle connection; prints the server's
memory and the times.

  python3 tests/load/idle_connections.py native build/release/quillcast [count]
      [--addresses N] [--server-limits SOFT:HARD] [--beside-load N]
  python3 tests/load/idle_connections.py wine build/win/quillcast.exe [count] [--addresses N]
     (under Wine: WINEPREFIX, DISPLAY as scripts/test.sh sets them; a running wineserver)

Both processes need a descriptor per connection: the script raises its own limit to twice
the count and more, and the server inherits it, unless --server-limits starts it with
other ones (a desktop session's soft limit of 1,024 under a higher hard one: the native
server raises its soft limit to the hard one). The connections come from many addresses
(127.0.x.y, all this machine; --addresses spreads them over that many, else 60 each),
each under the server's cap per address. The download in the middle comes from an
address of its own (127.1.0.1). When the crowd fills the server's connection budget
(natively half of what its descriptors leave, and at most an eighth of the memory at
80 KiB each; on Windows the memory alone), each new connection
takes the place of the oldest one still waiting for its head, so the download gets
through and some of the crowd is closed before the head time limit.

--beside-load N runs `ab -n N -c 1` for 4 KiB answers (a range of the payload) while the
crowd is held, and prints its rate and the server's memory right after it, the crowd
still held.
"""
import argparse
import hashlib
import os
import resource
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from load_support import free_port, status_of, wait_until_listening, write_payload  # noqa: E402
from stored_files import write_server_files  # noqa: E402

HEAD_TIME_LIMIT = 60
PER_ADDRESS = 60  # connections from each client address, under the server's cap of 64
# The address the download in the middle comes from: none of the crowd's.
DOWNLOADER = "127.1.0.1"


def open_files_limit(pid):
    """The soft and hard limits of open files of process `pid`, as /proc tells them."""
    with open(f"/proc/{pid}/limits") as f:
        for line in f:
            if line.startswith("Max open files"):
                return line.split()[3:5]
    return ["?", "?"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["native", "wine"])
    parser.add_argument("binary")
    parser.add_argument("count", type=int, nargs="?", default=10000)
    parser.add_argument("--addresses", type=int, default=0)
    parser.add_argument("--server-limits", default="")
    parser.add_argument("--beside-load", type=int, default=0)
    args = parser.parse_args()
    mode, binary, count = args.mode, os.path.abspath(args.binary), args.count
    per_address = -(-count // args.addresses) if args.addresses else PER_ADDRESS
    wine = os.environ.get("QC_WINE", shutil.which("wine64") or "/usr/lib/wine/wine64")
    server_limits = None
    if args.server_limits:
        server_limits = tuple(int(n) for n in args.server_limits.split(":"))
    # This process holds a descriptor per connection; a server that inherits its limits
    # must be able to hold them too, and its files beside them.
    want = count + 1000 if server_limits else 2 * count + 1000
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < want:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, want))  # root may raise it
            hard = want
        except (ValueError, OSError):
            want = hard
    resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))

    work = tempfile.mkdtemp(prefix="qc-load-")
    env = dict(os.environ)
    if mode == "native":
        runtime = os.path.join(work, "run")
        os.mkdir(runtime, 0o700)
        env["XDG_RUNTIME_DIR"] = runtime
    port = free_port()
    payload = write_payload(work, "load.bin")
    physical = os.path.join(work, "load.bin")
    if mode == "wine":
        physical = "Z:" + physical.replace("/", "\\")
    write_server_files(work, port, [("/load.bin", physical)])

    cmd = [wine, binary] if mode == "wine" else [binary]
    limits = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, server_limits)) if server_limits else None
    server = subprocess.Popen(cmd, cwd=work, env=env, stdin=subprocess.DEVNULL, preexec_fn=limits)
    wait_until_listening(server, port)
    time.sleep(1)
    pid = server.pid
    base = status_of(pid)
    print(f"{mode}: server pid {pid}, at rest: VmRSS {base.get('VmRSS')}, threads {base.get('Threads')}, "
          f"open files soft/hard {'/'.join(open_files_limit(pid))} (started with "
          f"{'%d/%d' % server_limits if server_limits else 'the script own'})")

    started = time.monotonic()
    sockets = []
    failures = 0
    for i in range(count):
        # Fewer than the server's cap per address from each.
        source = f"127.0.{2 + i // (per_address * 250)}.{1 + (i // per_address) % 250}"
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(source, 0))
            s.setblocking(False)
            sockets.append(s)
        except OSError:
            failures += 1
    opened = time.monotonic() - started
    print(f"opened {len(sockets)} connections from {-(-count // per_address)} addresses in {opened:.1f} s "
          f"({failures} failed)")

    # Wait until the server holds (nearly) every one: a thread each (Windows), or a
    # descriptor each that stopped growing (natively: no thread waits for a head), or 40 s.
    peak_threads, peak = 0, {}
    until = time.time() + 40
    last_fds, steady = -1, 0
    while time.time() < until:
        st = status_of(pid)
        threads = int(st.get("Threads", "0"))
        if threads >= peak_threads:
            peak_threads, peak = threads, st
        if threads >= len(sockets):
            break
        try:
            fds = len(os.listdir(f"/proc/{pid}/fd")) if mode == "native" else -1
        except OSError:
            fds = -1
        steady = steady + 1 if fds == last_fds and fds >= len(sockets) * 9 // 10 else 0
        last_fds = fds
        if steady >= 4:
            peak = st
            break
        time.sleep(0.5)
    print(f"with them: VmRSS {peak.get('VmRSS')}, VmHWM {peak.get('VmHWM')}, "
          f"VmSize {peak.get('VmSize')}, threads {peak.get('Threads')}")

    if args.beside_load:
        ab = subprocess.run(["ab", "-q", "-n", str(args.beside_load), "-c", "1", "-H", "Range: bytes=0-4095",
                             f"http://127.0.0.1:{port}/load.bin"], capture_output=True, text=True)
        rate = failed = "?"
        for line in ab.stdout.splitlines():
            if line.startswith("Requests per second:"):
                rate = line.split()[3]
            elif line.startswith("Failed requests:"):
                failed = line.split()[2]
        st = status_of(pid)
        print(f"beside a 4 KiB load (ab -n {args.beside_load} -c 1): {rate} req/s, {failed} failed "
              f"(ab exit {ab.returncode}); then VmRSS {st.get('VmRSS')}, VmHWM {st.get('VmHWM')}, "
              f"threads {st.get('Threads')}")

    # A download in the middle of it, from an address of its own.
    t0 = time.monotonic()
    got = subprocess.run(["curl", "-s", "-S", "--max-time", "60", "--interface", DOWNLOADER,
                          f"http://127.0.0.1:{port}/load.bin"], capture_output=True)
    ok = got.returncode == 0 and hashlib.sha256(got.stdout).digest() == hashlib.sha256(payload).digest()
    print(f"download of {len(payload) >> 20} MiB during the load: {'ok' if ok else 'FAILED'} "
          f"in {time.monotonic() - t0:.2f} s"
          + ("" if ok else f" (curl exit {got.returncode}: {got.stderr.decode(errors='replace').strip()}; "
                           f"{len(got.stdout)} bytes)"))

    # Every idle connection must be closed by the server, without an answer.
    selector = selectors.DefaultSelector()
    for s in sockets:
        selector.register(s, selectors.EVENT_READ)
    open_left = len(sockets)
    answered = 0
    first_close = last_close = None
    # Counted from the last connect, not the first: under Wine accepting runs at about 140
    # a second, so the last of 10,000 connections starts its head limit a minute or more
    # after the first.
    give_up = started + opened + HEAD_TIME_LIMIT + 120
    while open_left and time.monotonic() < give_up:
        for key, _ in selector.select(timeout=1):
            s = key.fileobj
            try:
                data = s.recv(1024)
            except (ConnectionResetError, BlockingIOError):
                data = b""
            if data:
                answered += 1
            selector.unregister(s)
            s.close()
            open_left -= 1
            now = time.monotonic() - started
            first_close = now if first_close is None else first_close
            last_close = now
    print(f"closed by the server: {len(sockets) - open_left} of {len(sockets)}, answered {answered}; "
          f"first at {first_close:.1f} s, last at {last_close:.1f} s after the first connect")
    alive = server.poll() is None
    after = status_of(pid)
    print(f"server still up: {alive}; after: VmRSS {after.get('VmRSS')}, threads {after.get('Threads')}")
    check = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                            f"http://127.0.0.1:{port}/load.bin"], capture_output=True)
    print(f"request after the load: {check.stdout.decode()}")
    # The threads a crowd made the server start (on Windows its extra loops for waiting
    # heads, natively its senders) end once idle: looked at for 45 s, past the loops' 30 s.
    rest_started = time.monotonic()
    while time.monotonic() - rest_started < 45:
        time.sleep(1)
        rest = status_of(pid)
        if int(rest.get("Threads", "0")) <= int(base.get("Threads", "0")) + 2:
            break
    print(f"{time.monotonic() - rest_started:.0f} s later: VmRSS {rest.get('VmRSS')}, "
          f"threads {rest.get('Threads')} (at rest before the crowd: {base.get('Threads')})")
    t0 = time.monotonic()
    stop = subprocess.run(([wine, binary] if mode == "wine" else [binary]) + ["-stop"], cwd=work, env=env)
    try:
        code = server.wait(timeout=120)
    except subprocess.TimeoutExpired:
        code = None
        server.kill()
        server.wait()
    print(f"-stop: {stop.returncode}, server exit {code} after {time.monotonic() - t0:.1f} s")
    shutil.rmtree(work, ignore_errors=True)
    # Windows keeps exit code 1 on every path; the native command says 0 for done.
    done = 1 if mode == "wine" else 0
    good = ok and alive and open_left == 0 and answered == 0 and code == done and failures == 0
    print("RESULT:", "ok" if good else "FAILED")
    sys.exit(0 if good else 1)


if __name__ == "__main__":
    main()
