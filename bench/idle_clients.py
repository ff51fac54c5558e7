#!/usr/bin/env python3
"""Holds idle connections open against a server: connects N sockets to 127.0.0.1:PORT,
PER_ADDRESS of them from each of the loopback addresses 127.0.0.2, 127.0.0.3, ... (as
idle clients on a network come from many machines, and the server caps the connections
of one address), sends nothing, writes "<connected> connected" to READY_FILE, and keeps them until its
standard input ends. Then closes them all.

usage: idle_clients.py PORT N READY_FILE
"""
import resource
import socket
import sys
import time

# Below the server's cap on one address's connections, so that every one is held.
PER_ADDRESS = 50


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
    for i in range(count):
        if time.time() > deadline:
            break
        s = socket.socket()
        s.settimeout(10)
        try:
            s.bind((f"127.0.{i // PER_ADDRESS // 254}.{2 + i // PER_ADDRESS % 254}", 0))
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
