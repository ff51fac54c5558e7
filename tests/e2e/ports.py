"""Ports for the servers the tests start."""
import os
import random
import socket

# Below every system's range of ephemeral ports (Linux 32768-60999, Windows 49152-65535):
# a port the system picked is free when asked, yet any client's connection made before
# the server starts (the tests run side by side) may take it again, and the server then
# ends at start.
FIRST, LAST = 20000, 32767


def port_range():
    """FIRST-LAST, or the part of it QC_PORTS ("FIRST-LAST") names: test runs side by side
    (scripts/test.sh runs the native and the Windows tests at once) take disjoint parts,
    so that one's check that a port is free is not undone by the other's server."""
    text = os.environ.get("QC_PORTS", "")
    try:
        first, last = (int(part) for part in text.split("-"))
    except ValueError:
        return FIRST, LAST
    if FIRST <= first <= last <= LAST:
        return first, last
    return FIRST, LAST


_handed_out = set()


def free_port():
    """A port nothing holds just now, outside the ephemeral range, not handed out before
    in this process."""
    first, last = port_range()
    for _ in range(1000):
        port = random.randint(first, last)
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
    raise RuntimeError(f"no free port in {first}-{last} after 1,000 tries")
