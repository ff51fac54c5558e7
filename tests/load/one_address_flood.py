"""A measured run, not a CI step: one client address opens far more connections than a
server under `ulimit -n 1024` has descriptors, and leaves them idle. Meanwhile another
address (127.0.0.2: every 127.x.y.z is this machine) must download a file correctly
within seconds, and `-list` must answer. Then the same with the crowd spread over many
addresses, each under its own cap, so that the server's descriptor budget is what holds:
a new connection is then closed at once whoever makes it, `-list` still answers (the
descriptors the server keeps for itself), and the download succeeds as soon as a few of
the crowd have gone.

  python3 tests/load/one_address_flood.py build/release/quillcast [connections]

Native only (127.0.0.2 as a second address, and the descriptor limit, are Linux's).
Prints what the server held, the times, and RESULT: ok or FAILED.
"""
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

SERVER_DESCRIPTORS = 1024


def descriptors_of(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return -1


def open_crowd(port, sources, count):
    """`count` idle connections, from `sources` in turn. Returns the sockets and the
    connects that failed."""
    crowd, failed = [], 0
    for i in range(count):
        s = socket.socket()
        s.settimeout(30)
        try:
            s.bind((sources[i % len(sources)], 0))
            s.connect(("127.0.0.1", port))
            s.setblocking(False)
            crowd.append(s)
        except OSError:
            failed += 1
            s.close()
    return crowd, failed


def closed_at_once(crowd, settle=3.0):
    """The connections the server has closed (end of stream or reset) once nothing more
    has closed for `settle` seconds; the others are still held."""
    selector = selectors.DefaultSelector()
    for s in crowd:
        selector.register(s, selectors.EVENT_READ)
    closed, answered = 0, 0
    held = set(crowd)
    quiet_until = time.monotonic() + settle
    while time.monotonic() < quiet_until:
        for key, _ in selector.select(timeout=0.2):
            try:
                data = key.fileobj.recv(1)
            except (ConnectionResetError, BlockingIOError):
                data = b""
            answered += 1 if data else 0
            closed += 1
            held.discard(key.fileobj)
            selector.unregister(key.fileobj)
            quiet_until = time.monotonic() + settle
    selector.close()
    return closed, answered, [s for s in crowd if s in held]


def timed(cmd, **kw):
    t0 = time.monotonic()
    done = subprocess.run(cmd, capture_output=True, **kw)
    return done, time.monotonic() - t0


def main():
    binary = os.path.abspath(sys.argv[1])
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1100
    # This script holds every connection's other end.
    resource.setrlimit(resource.RLIMIT_NOFILE, (count + 1000, max(count + 1000, resource.getrlimit(resource.RLIMIT_NOFILE)[1])))

    work = tempfile.mkdtemp(prefix="qc-flood-")
    env = dict(os.environ)
    runtime = os.path.join(work, "run")
    os.mkdir(runtime, 0o700)
    env["XDG_RUNTIME_DIR"] = runtime
    port = free_port()
    payload = write_payload(work, "f.bin")
    write_server_files(work, port, [("/f.bin", os.path.join(work, "f.bin"))])
    digest = hashlib.sha256(payload).hexdigest()

    def few_descriptors():
        resource.setrlimit(resource.RLIMIT_NOFILE, (SERVER_DESCRIPTORS, SERVER_DESCRIPTORS))

    server = subprocess.Popen([binary, "-quiet"], cwd=work, env=env, stdin=subprocess.DEVNULL,
                              preexec_fn=few_descriptors)
    wait_until_listening(server, port)
    time.sleep(0.5)
    pid = server.pid
    base = status_of(pid)
    print(f"server pid {pid}, ulimit -n {SERVER_DESCRIPTORS}; at rest: threads {base.get('Threads')}, "
          f"descriptors {descriptors_of(pid)}, VmRSS {base.get('VmRSS')}")

    good = True
    phases = [("one address (127.0.0.1)", ["127.0.0.1"]),
              ("many addresses (127.0.1.1-50), each under its cap",
               [f"127.0.1.{i}" for i in range(1, 51)])]
    for name, sources in phases:
        t0 = time.monotonic()
        crowd, failed = open_crowd(port, sources, count)
        opened = time.monotonic() - t0
        closed, answered, held_sockets = closed_at_once(crowd)
        st = status_of(pid)
        held = len(crowd) - closed
        print(f"{name}: {len(crowd)} connections opened in {opened:.1f} s ({failed} failed); "
              f"closed at once {closed} (answered {answered}), held {held}; server threads "
              f"{st.get('Threads')}, descriptors {descriptors_of(pid)}, VmRSS {st.get('VmRSS')}")
        get = ["curl", "-s", "-S", "--max-time", "60", "--interface", "127.0.0.2",
               f"http://127.0.0.1:{port}/f.bin"]
        listed, took_list = timed([binary, "-list"], env=env, cwd=work, timeout=60)
        list_ok = listed.returncode == 0 and b"/f.bin" in listed.stdout
        print(f"  -list: {'answered' if list_ok else 'FAILED'} in {took_list:.2f} s (exit {listed.returncode})")
        budget_full = len(sources) > 1
        if budget_full:
            refused, took = timed(get)
            print(f"  download from 127.0.0.2 while every connection the server can spare is held: "
                  f"{'closed at once' if refused.returncode != 0 else 'served'} in {took:.2f} s "
                  f"({refused.stderr.decode().strip()})")
            for s in held_sockets[:10]:
                s.close()
            time.sleep(0.5)
            name = "after 10 of the crowd left"
        else:
            name = "beside the crowd"
        fetched, took = timed(get)
        ok = fetched.returncode == 0 and hashlib.sha256(fetched.stdout).hexdigest() == digest
        print(f"  download of {len(payload) >> 20} MiB from 127.0.0.2 {name}: "
              f"{'correct' if ok else 'FAILED'} in {took:.2f} s")
        good = good and ok and list_ok and failed == 0 and answered == 0 and held > 0 and closed > 0
        if budget_full:
            good = good and refused.returncode != 0
        for s in crowd:
            s.close()
        time.sleep(1)

    stop, took_stop = timed([binary, "-stop"], env=env, cwd=work, timeout=60)
    try:
        code = server.wait(timeout=60)
    except subprocess.TimeoutExpired:
        code = None
        server.kill()
        server.wait()
    print(f"-stop: exit {stop.returncode} after {took_stop:.2f} s; server exit {code}")
    shutil.rmtree(work, ignore_errors=True)
    good = good and stop.returncode == 0 and code == 0
    print("RESULT:", "ok" if good else "FAILED")
    sys.exit(0 if good else 1)


if __name__ == "__main__":
    main()
