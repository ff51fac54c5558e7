"""Runs the real executables for the end-to-end tests: the native build directly, the
Windows build under Wine, with the user's messages read back from standard error or from
the message boxes on the (Xvfb) desktop."""
import email.utils
import os
import queue
import shutil
import socket
import subprocess
import tempfile
import threading
import time

from ports import free_port  # noqa: F401 (the tests take it from here)
from stored_files import settings_bytes, share_record  # noqa: F401 (the tests take them from here)

MODE = os.environ.get("QC_E2E_MODE", "native")  # native | wine
BIN = os.path.abspath(os.environ.get("QC_BIN", ""))
TOOLS = os.path.abspath(os.environ.get("QC_TOOLS", "."))
WINE = os.environ.get("QC_WINE", "/usr/lib/wine/wine64")
WINE_MODE = MODE == "wine"
TIMEOUT = 30


def taken_port(test):
    """A port another socket listens on until `test` ends (closed at its cleanup), for a
    server that must find its port in use: the system picks it, so no other test's server
    can be given it meanwhile."""
    holder = socket.socket()
    holder.bind(("0.0.0.0", 0))
    holder.listen(1)
    test.addCleanup(holder.close)
    return holder.getsockname()[1]


def to_program_path(path):
    """The path the program sees: a Windows path under Wine (drive Z: is the root)."""
    if WINE_MODE:
        return "Z:" + path.replace("/", "\\")
    return path


# What http_get keeps of an answer at most: a wrong range that sends a whole big file
# fails the comparison instead of filling the memory.
HTTP_KEEP = 64 << 20

# Every answer carries the time it was sent. The expected answers hold this line in its
# place; dated() checks the real one and puts this there instead.
DATE_LINE = b"Date: (checked)\r\n"
# How far an answer's date may lie from this machine's clock (Wine's is the same clock).
DATE_SLACK = 30


def dated(answer):
    """`answer` with the Date line of its head checked (an IMF-fixdate within DATE_SLACK
    seconds of now) and replaced by DATE_LINE. Bytes without a whole head (nothing: a
    close without an answer) are returned as they are; a head without a good date fails."""
    head_end = answer.find(b"\r\n\r\n")
    if head_end < 0:
        return answer
    at = answer.find(b"\r\nDate: ")
    if at < 0 or at > head_end:
        raise AssertionError(f"no Date line in the head of {answer[:300]!r}")
    end = answer.index(b"\r\n", at + 2)
    value = answer[at + 8:end].decode("latin-1")
    try:
        when = email.utils.parsedate_to_datetime(value).timestamp()
    except (TypeError, ValueError):
        raise AssertionError(f"Date {value!r} is not a date") from None
    if email.utils.formatdate(when, usegmt=True) != value or abs(when - time.time()) > DATE_SLACK:
        raise AssertionError(f"Date {value!r} is not now in the IMF-fixdate form")
    return answer[:at + 2] + DATE_LINE + answer[end + 2:]


def page(status, lines, body):
    """One of the server's pages: status line, date, `lines`, length, connection, body."""
    return (status + b"\r\n" + DATE_LINE + lines + b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body) +
            body)


def head_of(answer):
    """An answer's head alone, as HEAD gets it."""
    return answer[:answer.index(b"\r\n\r\n") + 4]


def headers_of(message):
    """The first line of a request's or an answer's head and its fields, names in lower
    case."""
    lines = head_of(message).decode("latin-1").split("\r\n")
    return lines[0], {k.lower(): v for k, _, v in (line.partition(": ") for line in lines[1:] if line)}


ADDRESS = b"<hr><address>Quillcast/1.0.0 (Win32) Server</address>\n</body>\n</html>"
PAGE_400 = page(b"HTTP/1.1 400 Bad Request", b"",
                b"<html><head><title>400 Bad Request</title></head>\n<body>\n<h1>Not Found</h1>\n"
                b"<p>Invalid request or syntax error</p>\n" + ADDRESS)
PAGE_404 = page(b"HTTP/1.1 404 Not Found", b"",
                b"<html><head><title>404 Not Found</title></head>\n<body>\n<h1>Not Found</h1>\n"
                b"<p>The requested URL was not found on this server.</p>\n" + ADDRESS)
PAGE_412 = page(b"HTTP/1.1 412 Precondition Failed", b"",
                b"<html><head><title>412 Precondition Failed</title></head>\n<body>\n<h1>Precondition Failed</h1>\n"
                b"<p>The file is not the version the request names.</p>\n" + ADDRESS)
PAGE_503 = page(b"HTTP/1.1 503 Service Unavailable", b"Retry-After: 30\r\n",
                b"<html><head><title>503 Service Unavailable</title></head>\n<body>\n<h1>Service Unavailable</h1>\n"
                b"<p>This link is being downloaded right now. It can be downloaded once only; try again later "
                b"in case that download does not finish.</p>\n" + ADDRESS)


def page_416(size):
    """The answer to a range outside a file of `size` bytes."""
    return page(b"HTTP/1.1 416 Range Not Satisfiable", b"Content-Range: bytes */%d\r\n" % size,
                b"<html><head><title>416 Range Not Satisfiable</title></head>\n<body>\n<h1>Range Not Satisfiable</h1>\n"
                b"<p>The requested range lies outside the file.</p>\n" + ADDRESS)


def read_to_close(sock, received=b""):
    """`received` and everything `sock` brings until the server closes it."""
    out = bytearray(received)
    while True:
        chunk = sock.recv(1 << 20)
        if not chunk:
            return bytes(out)
        out += chunk


def http_get(port, head, read_limit=None, timeout=TIMEOUT):
    """Sends one raw head and returns every byte until the server closes (at most
    `read_limit`, or HTTP_KEEP), its Date checked and marked (dated). Fails when the
    answer has not ended within `timeout` seconds, saying what arrived."""
    limit = HTTP_KEEP if read_limit is None else min(read_limit, HTTP_KEEP)
    deadline = time.monotonic() + timeout
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(head)
        # A bytearray: bytes grow by copying, and 40 MB read in 64 KiB pieces took a minute.
        out = bytearray()
        while len(out) < limit:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no end of the answer within {timeout} s; "
                                     f"{len(out)} bytes so far: {out[:200]!r}")
            s.settimeout(left)
            try:
                chunk = s.recv(min(65536, limit - len(out)))
            except socket.timeout:
                continue
            if not chunk:
                break
            out += chunk
        return dated(bytes(out))


class Message:
    def __init__(self, caption, text, icon=None):
        self.caption, self.text, self.icon = caption, text, icon

    def __eq__(self, other):
        same = (self.caption, self.text) == (other.caption, other.text)
        if self.icon is not None and other.icon is not None:
            same = same and self.icon == other.icon
        return same

    def __repr__(self):
        return f"Message({self.caption!r}, {self.text!r}, {self.icon!r})"


def parse_native_line(line):
    caption, _, text = line.partition(": ")
    return Message(caption, text.replace("\\n", "\n").replace("\\r", "\r"))


class Process:
    """One run of the program in `cwd`; standard error (native messages) and standard
    output (the native clipboard) are collected line by line."""

    def __init__(self, env, cwd, args, preexec_fn=None):
        cmd = ([WINE, BIN] if WINE_MODE else [BIN]) + list(args)
        self.proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     preexec_fn=preexec_fn)
        self.stderr_lines = queue.Queue()
        self.stdout_lines = queue.Queue()
        for stream, sink in ((self.proc.stderr, self.stderr_lines), (self.proc.stdout, self.stdout_lines)):
            threading.Thread(target=self._pump, args=(stream, sink), daemon=True).start()

    @staticmethod
    def _pump(stream, sink):
        for raw in iter(stream.readline, b""):
            sink.put(raw.decode("latin-1").rstrip("\n"))
        stream.close()

    def wait(self, timeout=TIMEOUT):
        return self.proc.wait(timeout=timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stdout_line(self, timeout=TIMEOUT):
        return self.stdout_lines.get(timeout=timeout)


def remove_leftover_sandboxes():
    """Sandboxes of test runs that died (killed at a time limit, interrupted) go at the
    next start; those of runs still going are left alone."""
    base = tempfile.gettempdir()
    for name in os.listdir(base):
        parts = name.split("-")
        if len(parts) != 4 or parts[:2] != ["qc", "e2e"] or not parts[2].isdigit():
            continue
        pid = int(parts[2])
        if pid == os.getpid():
            continue
        try:
            os.kill(pid, 0)
            continue
        except ProcessLookupError:
            pass
        except PermissionError:
            continue
        shutil.rmtree(os.path.join(base, name), ignore_errors=True)


class Sandbox:
    """A temporary working directory (the server's current directory) with its own
    runtime directory, so that servers of different tests never meet."""

    def __init__(self):
        remove_leftover_sandboxes()
        self.dir = tempfile.mkdtemp(prefix=f"qc-e2e-{os.getpid()}-")
        self.env = dict(os.environ)
        if not WINE_MODE:
            runtime = os.path.join(self.dir, "run")
            os.mkdir(runtime, 0o700)
            self.env["XDG_RUNTIME_DIR"] = runtime
        self.processes = []

    def close(self):
        for p in self.processes:
            p.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run(self, *args, cwd=None, preexec_fn=None):
        p = Process(self.env, cwd or self.dir, args, preexec_fn)
        self.processes.append(p)
        return p

    def start_server(self, port, preexec_fn=None):
        server = self.run(preexec_fn=preexec_fn)
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            if server.proc.poll() is not None:
                raise AssertionError(f"server ended at start with {server.proc.returncode}")
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        else:
            raise AssertionError("server never listened")
        self.wait_channel()
        return server

    def wait_channel(self):
        """The control channel comes up right after the listener; give it a moment."""
        time.sleep(0.3 if WINE_MODE else 0.1)

    def messages(self, process, count, timeout=TIMEOUT):
        """The next `count` messages that `process` shows the user."""
        if WINE_MODE:
            reader = subprocess.Popen([WINE, os.path.join(TOOLS, "dialog_reader.exe"), str(count),
                                       str(timeout * 1000)], stdout=subprocess.PIPE, env=self.env)
            try:
                stdout, _ = reader.communicate(timeout=timeout + 30)
            except subprocess.TimeoutExpired:
                reader.kill()
                stdout, _ = reader.communicate()
            out = []
            for line in stdout.decode("latin-1").splitlines():
                caption, text, icon, _buttons = line.split("\t")
                out.append(Message(caption, text.replace("\\n", "\n").replace("\\r", "\r"), icon))
            return out
        out = []
        try:
            for _ in range(count):
                out.append(parse_native_line(process.stderr_lines.get(timeout=timeout)))
        except queue.Empty:
            pass
        return out

    def no_more_messages(self, process, wait=1.0):
        if WINE_MODE:
            return self.messages(process, 1, timeout=wait) == []
        time.sleep(wait)
        return process.stderr_lines.empty()

    def windows(self):
        """The visible top-level windows on the desktop, as (class, title) pairs."""
        lister = subprocess.run([WINE, os.path.join(TOOLS, "window_lister.exe")],
                                capture_output=True, timeout=60, env=self.env)
        return [tuple(line.split("\t", 1)) for line in lister.stdout.decode("latin-1").splitlines()]

    def close_window(self, title):
        closer = subprocess.run([WINE, os.path.join(TOOLS, "window_lister.exe"), "close", title],
                                capture_output=True, timeout=60, env=self.env)
        return closer.returncode == 0

    def read_clipboard(self):
        reader = subprocess.run([WINE, os.path.join(TOOLS, "clipboard_reader.exe")],
                                capture_output=True, timeout=60, env=self.env)
        text = reader.stdout.decode().strip()
        return None if text == "none" else bytes.fromhex(text)

    def wait_for_clipboard(self, accept, timeout=TIMEOUT):
        """The clipboard's text once `accept` takes it, or the last one read at the time
        limit: the server copies a link after it has stored the share, so a record on disk
        does not yet mean the link is there."""
        deadline = time.time() + timeout
        text = self.read_clipboard()
        while not accept(text) and time.time() < deadline:
            time.sleep(0.2)
            text = self.read_clipboard()
        return text
