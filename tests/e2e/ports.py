"""Ports for the servers the tests start."""
import random
import socket

# Below every system's range of ephemeral ports (Linux 32768-60999, Windows 49152-65535):
# a port the system picked is free when asked, yet any client's connection made before
# the server starts (the tests run side by side) may take it again, and the server then
# ends at start.
FIRST, END = 20000, 32768

_handed_out = set()


def free_port():
    """A port nothing holds just now, outside the ephemeral range, not handed out before
    in this process."""
    while True:
        port = random.randrange(FIRST, END)
        if port in _handed_out:
            continue
        with socket.socket() as s:
            try:
                # Without SO_REUSEADDR: a port some connection still waits on is not free.
                s.bind(("0.0.0.0", port))
            except OSError:
                continue
        _handed_out.add(port)
        return port
