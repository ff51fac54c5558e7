"""Hostile and malformed requests, sent through real sockets to the real program (native
or quillcast.exe under Wine). Each answer is checked byte for byte, or that the server
closed without answering; afterwards the server still serves normally and stops cleanly.

Two slow clients run alongside the table the whole time: one that sends half a head and
then nothing, and one that connects and says nothing. Both must be closed, unanswered, by
the head time limit: not before it, and soon after it. The server runs with a limit of
HEAD_TIME_LIMIT seconds (QUILLCAST_HEAD_LIMIT) instead of its minute, which the unit
tests hold it to, so that the table does not wait a minute out.

Beside them: one address (127.0.0.3) holds more connections than its cap, and datagrams
go to the server's own loopback UDP ports (Windows wakes its listener through one)."""
import email.utils
import json
import os
import random
import re
import selectors
import shutil
import socket
import stat
import subprocess
import threading
import time
import unittest

from harness import (DATE_LINE, PAGE_400, PAGE_404, PAGE_412, PAGE_503, WINE_MODE, Message, Sandbox, dated, free_port,
                     head_of, page_416, settings_bytes, share_record, to_program_path)

HEAD_TIME_LIMIT = 15
SIZE = 1000
BODY = bytes((i * 7 + 3) % 256 for i in range(SIZE))
CLOSED = "closed without an answer"
ANY = "anything (the client does not read)"



# A range outside the 1000-byte file.
PAGE_416 = page_416(SIZE)
PAGE_404_HEAD = head_of(PAGE_404)
PAGE_400_HEAD = head_of(PAGE_400)

# The Last-Modified and ETag lines of /f.bin, known once the server runs: the date comes
# from the file's own time, the entity tag (which names the file as the system knows it)
# from the server's first answer.
VALIDATORS = {}


def file_answer(first=None, last=None, head_only=False):
    """The exact answer for /f.bin: whole (no range) or bytes first..last; its head alone
    for HEAD. Made when it is compared, once the validators are known."""
    def answer():
        head = b"HTTP/1.1 200 OK\r\n" if first is None else b"HTTP/1.1 206 Partial Content\r\n"
        head += b"Server: Quillcast/1.0.0\r\n" + DATE_LINE
        head += b"Accept-Ranges: bytes\r\nContent-Type: application/octet-stream\r\n"
        head += VALIDATORS["lines"]
        if first is None:
            head += b"Content-Length: %d\r\n" % SIZE
            body = BODY
        else:
            head += b"Content-Range: bytes %d-%d/%d\r\n" % (first, last, SIZE)
            head += b"Content-Length: %d\r\n" % (last - first + 1)
            body = BODY[first:last + 1]
        head += b"Connection: close\r\n"
        return head + b"\r\n" + (b"" if head_only else body)
    return answer


def learn_validators(box, port):
    """Reads the validators of /f.bin off a first answer, checking the date against the
    file's modification time and the tag's form."""
    mtime = os.stat(box.path("f.bin")).st_mtime_ns // 1_000_000_000
    date = email.utils.formatdate(mtime, usegmt=True).encode()
    answer = exchange(port, [get()], False)
    dated(answer)
    found = re.search(rb"\r\nContent-Type: application/octet-stream\r\n"
                      rb"(Last-Modified: ([^\r]*)\r\nETag: (\"[!#-~]+\")\r\n)Content-Length: ", answer)
    if found is None or found.group(2) != date:
        raise AssertionError(f"no validators dated {date!r} in {answer[:400]!r}")
    VALIDATORS["lines"] = found.group(1)
    VALIDATORS["tag"] = found.group(3)


def get(target=b"/f.bin", *headers, end=b"\r\n"):
    lines = [b"GET " + target + b" HTTP/1.1", b"Host: 127.0.0.1"] + list(headers)
    return end.join(lines) + end + end


def ranged(value):
    return get(b"/f.bin", b"Range: " + value)


garbage = random.Random(11)
BINARY = bytes(garbage.randrange(256) for _ in range(700)).replace(b"\n", b"\x01").replace(b"\r", b"\x01")

# (name, chunks sent one by one with a pause, half-close afterwards?, expected)
CASES = [
    # The request line
    ("plain GET", [get()], False, file_answer()),
    ("lower-case get, bare line feeds", [get(end=b"\n").replace(b"GET", b"get")], False, file_answer()),
    ("HEAD", [get().replace(b"GET", b"HEAD")], False, file_answer(head_only=True)),
    ("lower-case head with a range", [get(b"/f.bin", b"Range: bytes=-10").replace(b"GET", b"head")], False,
     file_answer(990, 999, head_only=True)),
    ("HEAD of a missing share", [get(b"/none").replace(b"GET", b"HEAD")], False, PAGE_404_HEAD),
    ("HEAD with a range of neither number", [ranged(b"bytes=-").replace(b"GET", b"HEAD")], False,
     PAGE_400_HEAD),
    ("HEAD with a range past the end", [ranged(b"bytes=1000-").replace(b"GET", b"HEAD")], False, head_of(PAGE_416)),
    ("POST with a body announced", [b"POST /f.bin HTTP/1.1\r\nContent-Length: 5\r\n\r\n"], False, PAGE_400),
    ("OPTIONS *", [b"OPTIONS * HTTP/1.1\r\n\r\n"], False, PAGE_400),
    ("a request line alone, no version", [b"GET /f.bin\r\n\r\n"], False, PAGE_400),
    ("a request line alone, then the client closes", [b"GET /f.bin HTTP/1.1"], True, CLOSED),
    ("two blanks: empty target", [b"GET  /f.bin HTTP/1.1\r\n\r\n"], False, PAGE_400),
    ("absolute URI", [get(b"http://127.0.0.1/f.bin")], False, PAGE_404),
    ("empty line before the request line", [b"\r\n" + get()], False, PAGE_404),
    # Only the first line is the request line; a GET further down is a header line.
    ("Range line before the request line", [b"Range: bytes=0-9\r\n" + get()], False, PAGE_400),
    ("PUT with a later GET line", [b"PUT /f.bin HTTP/1.1\r\nGET /f.bin HTTP/1.1\r\n\r\n"], False, PAGE_400),
    ("tab inside the request line", [b"GET /f.bin\tHTTP/1.1\r\n\r\n"], False, PAGE_400),
    ("8-bit byte in the target", [get(b"/f\xe9.bin")], False, PAGE_400),
    ("NUL byte in the target", [get(b"/f\x00.bin")], False, PAGE_400),
    ("NUL byte in a header line", [get(b"/f.bin", b"X-Nul: a\x00b")], False, file_answer()),
    # A header begins only after a line feed: what a value holds stays in it.
    ("tab then a Range in one line", [get(b"/f.bin", b"X: a\tRange: bytes=0-1")], False, file_answer()),
    ("NUL then a Range in one line", [get(b"/f.bin", b"X: a\x00Range: bytes=0-1")], False, file_answer()),
    ("8-bit byte then a Range in one line", [get(b"/f.bin", b"X: a\xe9Range: bytes=0-1")], False, file_answer()),
    ("CR then a Range in one line", [get(b"/f.bin", b"X: a\rRange: bytes=0-1")], False, file_answer()),
    ("NUL bytes only", [b"\x00\x00\x00\n\n"], False, PAGE_400),
    ("empty lines only", [b"\r\n\r\n"], False, PAGE_400),
    # The target
    # A decoded zero byte never cuts the path: the path names no share.
    ("%00 does not cut the path", [get(b"/f.bin%00.exe")], False, PAGE_404),
    ("%00 at the end", [get(b"/f.bin%00")], False, PAGE_404),
    ("%00 alone", [get(b"/%00")], False, PAGE_404),
    ("%zz does not cut the path", [get(b"/f.bin%zz")], False, PAGE_404),
    # A character the code page lacks is not mapped to a look-alike: a full-width dot.
    ("full-width dot", [get(b"/f%EF%BC%8Ebin")], False, PAGE_404),
    ("invalid UTF-8", [get(b"/f%FF.bin")], False, PAGE_404),
    ("escaped dot", [get(b"/f%2ebin")], False, file_answer()),
    ("..%2f.. to /etc/passwd", [get(b"/..%2f..%2f..%2fetc%2fpasswd")], False, PAGE_404),
    ("../ to /etc/passwd", [get(b"/../../../etc/passwd")], False, PAGE_404),
    ("..%2f back onto the share", [get(b"/x/..%2ff.bin")], False, PAGE_404),
    ("%2e%2e%5c on Windows separators", [get(b"/%2e%2e%5c%2e%2e%5cwindows%5cwin.ini")], False, PAGE_404),
    ("query part", [get(b"/f.bin?x=1")], False, PAGE_404),
    ("fragment", [get(b"/f.bin#top")], False, PAGE_404),
    ("other letter case", [get(b"/F.BIN")], False, PAGE_404),
    ("UTF-8 escapes", [get(b"/%D0%B0%D0%B1")], False, PAGE_404),
    ("a target of 8000 bytes", [get(b"/" + b"a" * 8000)], False, PAGE_404),
    # Line ends and head ends
    ("bare CR line ends never end the head", [b"GET /f.bin HTTP/1.1\rHost: x\r\r"], True, CLOSED),
    ("three CRs end it", [b"GET /f.bin HTTP/1.1\r\r\r"], False, file_answer()),
    ("LF CR LF", [b"GET /f.bin HTTP/1.1\n\r\n"], False, file_answer()),
    ("final CR LF split after the CR", [b"GET /f.bin HTTP/1.1\r\n\r", b"\n"], False, file_answer()),
    # The head ends at its first empty line, wherever it lies: what follows is not read.
    ("pipelined in one piece: one answer", [get() + get(b"/other")], False, file_answer()),
    ("pipelined, the second with a range", [get() + ranged(b"bytes=0-9")], False, file_answer()),
    ("pipelined, the second incomplete", [get() + b"GET /f.bin HT"], False, file_answer()),
    ("a body in the head's packet", [b"GET /f.bin HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"], False,
     file_answer()),
    # Every answer says the connection closes, as it does.
    ("keep-alive, then a second request", [get(b"/f.bin", b"Connection: keep-alive"), get()], False,
     file_answer()),
    ("Connection: closed", [get(b"/f.bin", b"Connection: closed")], False, file_answer()),
    ("Connection: Upgrade", [get(b"/f.bin", b"Connection: Upgrade")], False, file_answer()),
    ("10000 header lines", [b"GET /f.bin HTTP/1.1\r\n" + b"X: y\r\n" * 10000 + b"\r\n"], False, file_answer()),
    # Every later request line once made the target be scanned and decoded again: a
    # 32 KB target of escapes and 6,500 "GET " lines cost the server a CPU second.
    ("a 32 KB escaped target and 6,500 GET lines",
     [b"GET /" + b"%41" * 10900 + b" HTTP/1.1\n" + b"GET \n" * 6500 + b"\n"], False, PAGE_404),
    ("the same after a short target",
     [b"GET /f.bin HTTP/1.1\n" + b"GET /" + b"%41" * 10900 + b" \n" + b"GET \n" * 6500 + b"\n"], False,
     file_answer()),
    ("head of 64 KiB - 1 bytes that has not ended",
     [b"GET /f.bin HTTP/1.1\r\n" + b"X" * (65535 - 21)], False, PAGE_400),
    ("head of 64 KiB + 1 bytes",
     [b"GET /f.bin HTTP/1.1\r\n" + b"X" * (65537 - 25) + b"\r\n\r\n"], False, PAGE_400),
    # Ranges
    ("bytes=0-499", [ranged(b"bytes=0-499")], False, file_answer(0, 499)),
    ("bytes=500-", [ranged(b"bytes=500-")], False, file_answer(500, 999)),
    ("bytes=-100", [ranged(b"bytes=-100")], False, file_answer(900, 999)),
    ("bytes=0-0", [ranged(b"bytes=0-0")], False, file_answer(0, 0)),
    ("bytes=999-999", [ranged(b"bytes=999-999")], False, file_answer(999, 999)),
    ("bytes=-0", [ranged(b"bytes=-0")], False, PAGE_416),
    ("end past the file", [ranged(b"bytes=500-5000")], False, file_answer(500, 999)),
    ("bytes=-", [ranged(b"bytes=-")], False, PAGE_400),
    ("start at the end", [ranged(b"bytes=1000-")], False, PAGE_416),
    ("explicit range past the end", [ranged(b"bytes=1000-1001")], False, PAGE_416),
    ("reversed range", [ranged(b"bytes=600-500")], False, PAGE_416),
    ("suffix longer than the file", [ranged(b"bytes=-1001")], False, file_answer(0, 999)),
    ("negative start", [ranged(b"bytes=-5-10")], False, PAGE_400),
    ("double minus", [ranged(b"bytes=--5")], False, PAGE_400),
    ("30-digit start", [ranged(b"bytes=" + b"9" * 30 + b"-")], False, PAGE_400),
    ("30-digit end", [ranged(b"bytes=0-" + b"9" * 30)], False, PAGE_400),
    ("30-digit suffix", [ranged(b"bytes=-" + b"9" * 30)], False, PAGE_400),
    ("30 digits, mostly leading zeros", [ranged(b"bytes=" + b"0" * 29 + b"5-")], False, file_answer(5, 999)),
    ("largest 64-bit start", [ranged(b"bytes=9223372036854775807-")], False, PAGE_416),
    ("one past the largest 64-bit start", [ranged(b"bytes=9223372036854775808-")], False, PAGE_400),
    ("two Range lines: the later wins",
     [get(b"/f.bin", b"Range: bytes=0-9", b"Range: bytes=10-19")], False, file_answer(10, 19)),
    ("two ranges in one line", [ranged(b"bytes=0-99,200-299")], False, file_answer(0, 999)),
    ("trailing blank after the range", [ranged(b"bytes=0-9 ")], False, file_answer(0, 999)),
    ("no blank after the colon", [get(b"/f.bin", b"Range:bytes=0-9")], False, file_answer()),
    ("two blanks after the colon", [get(b"/f.bin", b"Range:  bytes=0-9")], False, PAGE_400),
    ("other unit", [ranged(b"items=0-9")], False, PAGE_400),
    ("no equals sign", [ranged(b"bytes 0-9")], False, PAGE_400),
    ("letters for the start", [ranged(b"bytes=x-1")], False, PAGE_400),
    ("range on a missing share", [get(b"/none", b"Range: bytes=0-9")], False, PAGE_404),
    # Preconditions.
    ("If-Match of another tag", [get(b"/f.bin", b'If-Match: "x"')], False, PAGE_412),
    ("If-Match of another tag, a range past the end", [get(b"/f.bin", b'If-Match: "x"', b"Range: bytes=5000-")],
     False, PAGE_412),
    ("If-Unmodified-Since long ago", [get(b"/f.bin", b"If-Unmodified-Since: Sun, 06 Nov 1994 08:49:37 GMT")], False,
     PAGE_412),
    ("If-Unmodified-Since not a date", [get(b"/f.bin", b"If-Unmodified-Since: soon")], False, file_answer()),
    # Shares whose file is no longer a regular file: answered at once, never waited on.
    ("a share whose file is now a FIFO", [get(b"/fifo")], False, PAGE_404),
    ("a share whose file is now a folder", [get(b"/folder")], False, PAGE_404),
    ("a share of a device", [get(b"/device")], False, PAGE_404),
    # Garbage and rude clients
    ("binary garbage with a head end", [BINARY + b"\n\n"], False, PAGE_400),
    ("binary garbage, then the client closes", [BINARY], True, CLOSED),
    ("connects and closes at once", [], True, CLOSED),
    ("closes mid-head without reading", [b"GET /f.bin HTTP/1"], "abort", ANY),
    ("resets mid-head", [b"GET /f.bin HTTP/1.1\r\nHost"], "reset", ANY),
]


# The server's cap of simultaneous connections from one client address.
PER_ADDRESS_CAP = 64


def connect_from(source, port):
    s = socket.socket()
    s.settimeout(30)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def closed_by_server(sockets, expected, wait=10):
    """The sockets the server closes (end of stream or reset) within `wait` seconds; once
    `expected` are, one more second for any further ones."""
    selector = selectors.DefaultSelector()
    for s in sockets:
        selector.register(s, selectors.EVENT_READ)
    closed = []
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        for key, _ in selector.select(timeout=0.2):
            try:
                data = key.fileobj.recv(1)
            except OSError:
                data = b""
            if data == b"":
                closed.append(key.fileobj)
            selector.unregister(key.fileobj)
        if len(closed) >= expected:
            deadline = min(deadline, time.monotonic() + 1)
    selector.close()
    return closed


def wine_servers():
    """The wineserver of this test's prefix: under Wine it holds every socket of the
    program. It works in a directory named after the prefix's device and inode."""
    prefix = os.stat(os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")))
    name = f"server-{prefix.st_dev:x}-{prefix.st_ino:x}"
    found = []
    for pid in os.listdir("/proc"):
        try:
            if pid.isdigit() and os.path.basename(os.readlink(f"/proc/{pid}/cwd")) == name:
                found.append(int(pid))
        except OSError:
            pass
    return found


def loopback_udp_ports(pids):
    """The 127.0.0.1 UDP ports of the sockets these processes hold (and no one else's:
    other programs on this machine are not disturbed)."""
    inodes = set()
    for pid in pids:
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(target[len("socket:["):-1])
    ports = set()
    with open("/proc/net/udp") as table:
        next(table)
        for line in table:
            fields = line.split()
            address, port = fields[1].split(":")
            if address == "0100007F" and fields[9] in inodes:
                ports.add(int(port, 16))
    return ports


def exchange(port, chunks, half_close, timeout=30):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        for i, chunk in enumerate(chunks):
            if i:
                time.sleep(0.15)
            try:
                s.sendall(chunk)
            except (BrokenPipeError, ConnectionResetError):
                break  # the server has answered and closed; its answer is still readable
        if half_close == "abort":
            return None
        if half_close == "reset":
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            return None
        if half_close:
            s.shutdown(socket.SHUT_WR)
        out = bytearray()
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            out += chunk
        return bytes(out)
    finally:
        s.close()


class HostileInputTest(unittest.TestCase):
    def test_hostile_requests_table(self):
        self.assertGreaterEqual(len(CASES), 50)
        box = Sandbox()
        self.addCleanup(box.close)
        box.env["QUILLCAST_HEAD_LIMIT"] = str(HEAD_TIME_LIMIT)
        port = free_port()
        box.write("common.cfg", settings_bytes(port))
        box.write("f.bin", BODY)
        with open(box.path("big.bin"), "wb") as f:
            f.truncate(64 << 20)
        os.mkfifo(box.path("fifo"))
        device = "NUL" if WINE_MODE else "/dev/null"
        box.write("shared.cfg",
                  share_record(b"/f.bin", to_program_path(box.path("f.bin")).encode()) +
                  share_record(b"/big.bin", to_program_path(box.path("big.bin")).encode()) +
                  share_record(b"/fifo", to_program_path(box.path("fifo")).encode()) +
                  share_record(b"/folder", to_program_path(box.path("folder")).encode()) +
                  share_record(b"/device", device.encode()))
        holders_before = wine_servers() if WINE_MODE else []
        udp_before = loopback_udp_ports(holders_before)
        server = box.start_server(port)
        # Made once the share list is loaded: the share of a file that became a folder stays
        # a file share (a folder there at the load would be a folder share, its archive).
        os.mkdir(box.path("folder"))
        learn_validators(box, port)

        # Datagrams to the server's loopback UDP ports change nothing.
        strays = loopback_udp_ports(holders_before + [server.proc.pid]) - udp_before
        if WINE_MODE:
            self.assertTrue(strays, "the listener's wake socket was not found")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for stray in sorted(strays):
                for payload in (b"\0", b"w" * 2000):
                    sender.sendto(payload, ("127.0.0.1", stray))
        time.sleep(0.2)
        self.assertEqual(dated(exchange(port, [get()], False, timeout=10)), file_answer()())

        # One address's crowd: past its cap each new connection is closed at once, and the
        # table (from 127.0.0.1) is served meanwhile.
        crowd = [connect_from("127.0.0.3", port) for _ in range(PER_ADDRESS_CAP + 10)]
        self.addCleanup(lambda: [s.close() for s in crowd])
        self.assertEqual(len(closed_by_server(crowd, 10)), 10)

        # The slow clients, side by side with the table.
        opened = time.monotonic()
        never_ends = socket.create_connection(("127.0.0.1", port), timeout=HEAD_TIME_LIMIT + 30)
        never_ends.sendall(b"GET /f.bin HTTP/1.1\r\nHost: x\r\n")
        silent = socket.create_connection(("127.0.0.1", port), timeout=HEAD_TIME_LIMIT + 30)
        # Each waits on a thread of its own, so that the moment of its close is known however
        # long the table takes.
        slow_ends = {}

        def wait_for_close(name, slow):
            try:
                data = slow.recv(1024)
            except ConnectionResetError:
                data = b""
            except OSError as e:
                data = repr(e).encode()
            slow_ends[name] = (data, time.monotonic() - opened)

        waiters = [threading.Thread(target=wait_for_close, args=pair)
                   for pair in (("half a head", never_ends), ("silent", silent))]
        for waiter in waiters:
            waiter.start()
        # A client that stops reading in the middle of a body.
        stalled = socket.create_connection(("127.0.0.1", port), timeout=30)
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.sendall(b"GET /big.bin HTTP/1.1\r\n\r\n")
        self.assertTrue(stalled.recv(4096).startswith(b"HTTP/1.1 200 OK\r\n"))

        for name, chunks, half_close, expected in CASES:
            with self.subTest(name):
                got = exchange(port, chunks, half_close)
                if expected is ANY:
                    continue
                if expected is CLOSED:
                    self.assertEqual(got, b"")
                else:
                    self.assertEqual(dated(got), expected() if callable(expected) else expected)

        if not WINE_MODE:
            # The control channel too, while the crowd still holds its connections.
            lister = box.run("-list")
            self.assertEqual(lister.wait(), 0)
        for s in crowd:
            s.close()

        # The server still serves, and while the stalled client holds its download.
        self.assertEqual(dated(exchange(port, [get()], False)), file_answer()())
        stalled.close()
        self.assertEqual(dated(exchange(port, [ranged(b"bytes=-10")], False)), file_answer(990, 999)())

        # Both slow clients are closed, unanswered, once the head time limit has passed.
        for waiter in waiters:
            waiter.join(HEAD_TIME_LIMIT + 30)
        for slow in (never_ends, silent):
            slow.close()
        self.assertEqual(sorted(slow_ends), ["half a head", "silent"])
        for name, (data, waited) in slow_ends.items():
            with self.subTest(name):
                self.assertEqual(data, b"")
                self.assertGreater(waited, HEAD_TIME_LIMIT - 1)
                self.assertLess(waited, HEAD_TIME_LIMIT + 10)

        self.assertEqual(dated(exchange(port, [get()], False)), file_answer()())
        self.assertEqual(server.proc.poll(), None)
        # Nobody ever opened the FIFO's other end: no request is left waiting on it.
        self.assertTrue(stat.S_ISFIFO(os.stat(box.path("fifo")).st_mode))
        stopper = box.run("-stop")
        # Windows keeps exit code 1 on every path; the native command says 0 for done.
        done = 1 if WINE_MODE else 0
        self.assertEqual(stopper.wait(), done)
        self.assertEqual(server.wait(), done)
        if not WINE_MODE:
            time.sleep(0.2)  # the pump thread drains standard error
            # Nothing to tell the user but the start line, and no sanitizer report.
            lines = list(server.stderr_lines.queue)
            self.assertEqual([l for l in lines if "serving on port" not in l], [], lines)


NODE_READER = r"""
// Every answer of the list with fetch and with http.get (Node's default agent, which keeps
// connections for reuse): the status and the body's length each. Then 100 requests in a
// row on that agent, which reuses a connection the server said it would close only if the
// answer had not said so. A reset or an answer cut short rejects and ends with 1.
const http = require('http');
const [base, list] = process.argv.slice(1);
const requests = JSON.parse(list);
function viaGet(r) {
  return new Promise((resolve, reject) => {
    const req = http.request(base + r.path, {method: r.method, headers: r.headers}, (res) => {
      let n = 0;
      res.on('data', (c) => { n += c.length; });
      res.on('end', () => resolve([res.statusCode, n]));
      res.on('error', reject);
    });
    req.on('error', reject);
    req.end();
  });
}
async function viaFetch(r) {
  const res = await fetch(base + r.path, {method: r.method, headers: r.headers});
  return [res.status, Buffer.from(await res.arrayBuffer()).length];
}
(async () => {
  const answers = [];
  for (const r of requests) answers.push({fetch: await viaFetch(r), get: await viaGet(r)});
  let failures = 0;
  for (let i = 0; i < 100; i++) {
    try {
      const [status, length] = await viaGet(requests[0]);
      if (status !== 200 || length !== requests[0].length) failures++;
    } catch (e) {
      failures++;
    }
  }
  console.log(JSON.stringify({answers, failures}));
})().catch((e) => { console.error(e); process.exit(1); });
"""


class ClientsReadEveryAnswerWholeTest(unittest.TestCase):
    """Real clients (curl, wget, aria2c, Node.js's fetch and http.get) read every kind of
    answer whole: status, head and every byte of the body, without a reset or a missing end
    of head."""

    def test_every_kind_of_answer_with_every_client(self):
        box = Sandbox()
        self.addCleanup(box.close)
        port = free_port()
        box.write("common.cfg", settings_bytes(port))
        box.write("f.bin", BODY)
        # A one-shot share whose first download stalls for the whole test: the 503.
        with open(box.path("once.bin"), "wb") as f:
            f.truncate(64 << 20)
        box.write("shared.cfg", share_record(b"/f.bin", to_program_path(box.path("f.bin")).encode()) +
                  share_record(b"/once.bin", to_program_path(box.path("once.bin")).encode(), 1))
        server = box.start_server(port)
        learn_validators(box, port)
        stalled = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.addCleanup(stalled.close)
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.sendall(b"GET /once.bin HTTP/1.1\r\n\r\n")
        self.assertTrue(stalled.recv(4096).startswith(b"HTTP/1.1 200 OK\r\n"))

        body = lambda page: len(page) - len(head_of(page))  # noqa: E731
        # (name, method, path, headers, status, body length)
        answers = [
            ("whole file", "GET", "/f.bin", {}, 200, SIZE),
            ("a range", "GET", "/f.bin", {"Range": "bytes=10-19"}, 206, 10),
            ("a suffix longer than the file", "GET", "/f.bin", {"Range": "bytes=-5000"}, 206, SIZE),
            ("a range past the end", "GET", "/f.bin", {"Range": "bytes=1000-"}, 416, body(PAGE_416)),
            ("bytes=-0", "GET", "/f.bin", {"Range": "bytes=-0"}, 416, body(PAGE_416)),
            ("a range of neither number", "GET", "/f.bin", {"Range": "bytes=-"}, 400, body(PAGE_400)),
            ("not shared", "GET", "/none", {}, 404, body(PAGE_404)),
            ("If-Match, another tag", "GET", "/f.bin", {"If-Match": '"x"'}, 412, body(PAGE_412)),
            ("If-None-Match, our tag", "GET", "/f.bin", {"If-None-Match": VALIDATORS["tag"].decode()}, 304, 0),
            ("a one-shot link being downloaded", "GET", "/once.bin", {}, 503, body(PAGE_503)),
            ("HEAD", "HEAD", "/f.bin", {}, 200, 0),
            ("HEAD, not shared", "HEAD", "/none", {}, 404, 0),
            ("HEAD, a range past the end", "HEAD", "/f.bin", {"Range": "bytes=1000-"}, 416, 0),
        ]
        url = f"http://127.0.0.1:{port}"
        for name, method, path, headers, status, length in answers:
            with self.subTest(name, client="curl"):
                args = ["curl", "-s", "-S", "-i", "--max-time", "30", url + path]
                args += ["-I"] if method == "HEAD" else []
                for key, value in headers.items():
                    args += ["-H", f"{key}: {value}"]
                run = subprocess.run(args, capture_output=True, timeout=60)
                self.assertEqual(run.returncode, 0, run.stderr)
                head, _, got = run.stdout.partition(b"\r\n\r\n")
                self.assertEqual(head.split(b" ")[1], str(status).encode())
                self.assertEqual(len(got), length)
            # wget asks for ranges itself, and only from an offset to the end.
            start = re.fullmatch(r"bytes=(\d+)-", headers.get("Range", "bytes=0-"))
            if not start:
                continue
            with self.subTest(name, client="wget"):
                out = box.path("wget.out")
                if os.path.exists(out):
                    os.remove(out)
                args = ["wget", "-S", "-t", "1", "-T", "30", "--content-on-error", "-O", out, url + path]
                args += ["--method=HEAD"] if method == "HEAD" else []
                args += [f"--start-pos={start.group(1)}"] if "Range" in headers else []
                for key, value in headers.items():
                    if key != "Range":
                        args += [f"--header={key}: {value}"]
                run = subprocess.run(args, capture_output=True, timeout=60)
                # 0 for a success, 8 for an error answer the server gave: never a read error.
                self.assertIn(run.returncode, (0, 8), run.stderr)
                self.assertIn(b"HTTP/1.1 %d " % status, run.stderr)
                self.assertNotIn(b"Read error", run.stderr)
                self.assertNotIn(b"reset", run.stderr.lower())
                if os.path.exists(out) and status not in (304, 416):
                    self.assertEqual(os.path.getsize(out), length)
        # A download manager: the whole file over several ranged connections, and a missing
        # share.
        aria = subprocess.run(["aria2c", "-q", "-x4", "-s4", "-k1M", "--max-tries=1", "--allow-overwrite=true",
                               "--auto-file-renaming=false", "-d", box.path(""), "-o", "aria.bin", url + "/f.bin"],
                              capture_output=True, timeout=60)
        self.assertEqual(aria.returncode, 0, aria.stdout + aria.stderr)
        self.assertEqual(box.read("aria.bin"), BODY)
        aria = subprocess.run(["aria2c", "-q", "--max-tries=1", "-d", box.path(""), "-o", "none.bin", url + "/none"],
                              capture_output=True, timeout=60)
        self.assertEqual(aria.returncode, 3, aria.stdout + aria.stderr)  # resource not found
        # Node.js.
        node = shutil.which("node") or shutil.which("nodejs")
        self.assertIsNotNone(node, "Node.js is missing: scripts/deps.sh installs it")
        requests = [{"method": m, "path": p, "headers": h, "length": n} for _, m, p, h, _, n in answers]
        run = subprocess.run([node, "-e", NODE_READER, url, json.dumps(requests)], capture_output=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace"))
        result = json.loads(run.stdout)
        for (name, _, _, _, status, length), got in zip(answers, result["answers"]):
            with self.subTest(name, client="node"):
                self.assertEqual(got["fetch"], [status, length])
                self.assertEqual(got["get"], [status, length])
        self.assertEqual(result["failures"], 0)

        stalled.close()
        stopper = box.run("-stop")
        done = 1 if WINE_MODE else 0
        self.assertEqual(stopper.wait(), done)
        self.assertEqual(server.wait(), done)


class HostileSettingsTest(unittest.TestCase):
    def test_stored_port_0_is_refused_at_start(self):
        # Port 0 would have the system pick a random port while every link names port 0.
        box = Sandbox()
        self.addCleanup(box.close)
        box.write("common.cfg", settings_bytes(0, domain=b"localhost"))
        server = box.run()
        refused = Message("Error", "Can't run server. The port in common.cfg is 0; choose a port from 1 to 65535",
                          "error")
        self.assertEqual(box.messages(server, 1), [refused])
        if WINE_MODE:
            # As after a failed bind, the panel opens so the port can be set, and the
            # process ends with it.
            panel = ("WndClassQuillcastMain", "Quillcast Control Panel")
            deadline = time.time() + 30
            while panel not in box.windows() and time.time() < deadline:
                time.sleep(0.2)
            self.assertIn(panel, box.windows())
            self.assertIsNone(server.proc.poll())
            self.assertTrue(box.close_window("Quillcast Control Panel"))
        else:
            self.assertEqual(box.messages(server, 1),
                             [Message("quillcast", "choose the port with: quillcast -config port=8080")])
        self.assertEqual(server.wait(), 1)
        self.assertEqual(box.read("common.cfg"), settings_bytes(0, domain=b"localhost"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
