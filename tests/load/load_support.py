"""What the measured load runs share: the server's state from /proc, and its start."""
import socket
import sys
import time


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
