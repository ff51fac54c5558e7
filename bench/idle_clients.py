#!/usr/bin/env python3
"""Holds idle connections open against a server: connects N sockets to 127.0.0.1:PORT,
sends nothing, writes "<connected> connected" to READY_FILE, and keeps them until its
standard input ends. Then closes them all.

usage: idle_clients.py PORT N READY_FILE
"""
import resource
import socket
import sys
import time


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    port, count, ready = int(argv[0]), int(argv[1]), argv[2]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < count + 64:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, count + 64), hard))
    held = []
    deadline = time.time() + 60
    for _ in range(count):
        if time.time() > deadline:
            break
        s = socket.socket()
        s.settimeout(10)
        try:
            s.connect(("127.0.0.1", port))
        except OSError as e:
            sys.stderr.write(f"connect failed after {len(held)}: {e}\n")
            s.close()
            break
        held.append(s)
    with open(ready, "w") as f:
        f.write(f"{len(held)} connected\n")
    sys.stdin.read()
    for s in held:
        s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
