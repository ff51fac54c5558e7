"""What the measured load runs share: the file they serve, the server's state from /proc,
and its start."""
import os
import socket
import sys
import time


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from ports import free_port  # noqa: E402,F401 (the runs take it from here)


def write_payload(work, name, size=32 << 20):
    """Writes SIZE random bytes as WORK/NAME; returns them."""
    payload = os.urandom(size)
    with open(os.path.join(work, name), "wb") as f:
        f.write(payload)
    return payload


def status_of(pid):
    """The fields of /proc/PID/status (VmRSS, Threads, ...); empty once the process is gone."""
    fields = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, value = line.partition(":")
                fields[key] = value.strip()
    except OSError:
        pass
    return fields


def wait_until_listening(server, port, limit=60):
    """Returns once 127.0.0.1:PORT takes a connection; ends the run when the server process
    `server` exits first or LIMIT seconds pass."""
    deadline = time.time() + limit
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if time.time() > deadline or server.poll() is not None:
                sys.exit("server did not start")
            time.sleep(0.1)
