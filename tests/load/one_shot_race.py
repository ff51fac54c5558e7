"""A measured run, not a CI step: many clients at the same moment at each of many fresh
one-shot shares of the real program, counting how often a share went out whole to more
than one client (it must never).

  python3 tests/load/one_shot_race.py native build/release/quillcast [shares] [clients] [size]
  python3 tests/load/one_shot_race.py wine build/win/quillcast.exe [shares] [clients] [size]
     (under Wine: WINEPREFIX, DISPLAY as scripts/test.sh sets them; a running wineserver)

Defaults: 200 shares, 40 clients each, 3000 bytes. Prints one line per outcome and ends
"RESULT: ok" when no share went out whole twice and every share went out once.
"""
import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
os.environ["QC_E2E_MODE"] = sys.argv[1] if len(sys.argv) > 1 else "native"
os.environ["QC_BIN"] = sys.argv[2] if len(sys.argv) > 2 else "build/release/quillcast"

from harness import WINE_MODE, Sandbox, free_port, settings_bytes, share_record, to_program_path  # noqa: E402


def fetch(port, request, ready, go, out, index):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
    except OSError:
        ready.release()
        out[index] = b""
        return
    ready.release()
    go.wait()
    data = b""
    try:
        s.sendall(request)
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    finally:
        s.close()
    out[index] = data


def main():
    shares = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    clients = int(sys.argv[4]) if len(sys.argv) > 4 else 40
    size = int(sys.argv[5]) if len(sys.argv) > 5 else 3000
    box = Sandbox()
    try:
        port = free_port()
        box.write("common.cfg", settings_bytes(port))
        records = b""
        payload = os.urandom(size)
        for n in range(shares):
            box.write(f"f{n}.bin", payload)
            records += share_record(f"/f{n}.bin".encode(), to_program_path(box.path(f"f{n}.bin")).encode(), 1)
        box.write("shared.cfg", records)
        server = box.start_server(port)
        started = time.monotonic()
        twice = never = 0
        outcomes = {}
        for n in range(shares):
            request = f"GET /f{n}.bin HTTP/1.1\r\n\r\n".encode()
            ready = threading.Semaphore(0)
            go = threading.Event()
            out = [None] * clients
            threads = [threading.Thread(target=fetch, args=(port, request, ready, go, out, i)) for i in range(clients)]
            for t in threads:
                t.start()
            for _ in threads:
                ready.acquire()
            go.set()
            for t in threads:
                t.join()
            whole = 0
            for answer in out:
                # Every head line ends in CR LF.
                head, _, body = answer.partition(b"\r\n\r\n")
                if head.startswith(b"HTTP/1.1 200") and body == payload:
                    whole += 1
                    kind = "whole"
                elif head.startswith(b"HTTP/1.1 404"):
                    kind = "404 page"
                elif not answer:
                    kind = "no answer"
                else:
                    kind = "cut short"
                outcomes[kind] = outcomes.get(kind, 0) + 1
            twice += whole > 1
            never += whole == 0
        elapsed = time.monotonic() - started
        stop = box.run("-stop")
        stop.wait(timeout=60)
        server.wait(timeout=60)
        stored = box.read("shared.cfg")
        withdrawn = sum(1 for n in range(shares)
                        if share_record(f"/f{n}.bin".encode(), to_program_path(box.path(f"f{n}.bin")).encode(), 3) in stored)
        print(f"{shares} one-shot shares of {size} bytes, {clients} clients at once each, "
              f"{'Wine' if WINE_MODE else 'native'}: {elapsed:.1f} s")
        for kind, count in sorted(outcomes.items()):
            print(f"  answers {kind}: {count}")
        print(f"  shares that went out whole twice or more: {twice}")
        print(f"  shares that never went out whole: {never}")
        print(f"  shares stored withdrawn (flags 3) in shared.cfg after the stop: {withdrawn}")
        print("RESULT: ok" if twice == 0 and never == 0 and withdrawn == shares else "RESULT: FAILED")
    finally:
        box.close()


if __name__ == "__main__":
    main()
