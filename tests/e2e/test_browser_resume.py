"""A browser's resume of a folder share: headless Chromium downloads a 200 MB folder as one
archive through a forward proxy that cuts the first answer after a tenth of its body,
Chromium resumes with Range and If-Range, and the file it saves is the archive byte for
byte (the same as a straight download, valid to zipfile, holding the folder). When the
folder changes between the cut and the resume, the resume must get the new archive whole
(200), never the old archive's start spliced to the new one's rest.

Two ways of cutting, as a network breaks: a close before the announced length, after which
Chromium resumes by itself, and a reset, after which Chromium leaves the download
interrupted ("Failed - Network error") until the user presses Resume on its downloads
page, which the test then does.

Chromium is driven over its DevTools protocol on a pipe (--remote-debugging-pipe: it reads
NUL-separated JSON messages on descriptor 3 and writes them on 4), so no other library is
needed. Skipped when /usr/bin/chromium (QC_CHROMIUM) is not installed.

Environment: QC_E2E_MODE (native or wine), QC_BIN, QC_WINE, as the other end-to-end
tests."""
import fcntl
import hashlib
import json
import os
import socket
import struct
import subprocess
import threading
import time
import unittest
import urllib.request
import zipfile

from harness import WINE_MODE, Sandbox, free_port, headers_of, settings_bytes, to_program_path

CHROMIUM = os.environ.get("QC_CHROMIUM", "/usr/bin/chromium")
# The program's exit status for a command that did what it was asked.
DONE = 1 if WINE_MODE else 0
# How long a download through the proxy may take before the test gives up on it.
DOWNLOAD_TIMEOUT = 120
ARCHIVE = "/tree.zip"


def write_random(path, size):
    """`size` random bytes at `path`, written in blocks so that memory stays small."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    block = 8 << 20
    with open(path, "wb") as f:
        for start in range(0, size, block):
            f.write(os.urandom(min(block, size - start)))


def make_folder(top, sizes):
    """A folder of random files of `sizes` (relative name -> bytes), a small text file
    with a non-ASCII name and an empty folder."""
    for name, size in sizes.items():
        write_random(os.path.join(top, name), size)
    with open(os.path.join(top, "read me – первый.txt"), "wb") as f:
        f.write("what is in here\n".encode() * 100)
    os.makedirs(os.path.join(top, "empty"))


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def straight_download(url):
    """The archive fetched directly (no proxy, no cut): its SHA-256, length and head."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    digest = hashlib.sha256()
    length = 0
    with opener.open(url, timeout=60) as answer:
        headers = answer.headers
        for block in iter(lambda: answer.read(1 << 20), b""):
            digest.update(block)
            length += len(block)
    return digest.hexdigest(), length, headers


class CuttingProxy:
    """An HTTP forward proxy to one server: it forwards each request (the absolute URL
    made a path again), records the request's Range and If-Range and the answer's status
    and validators, and cuts the first whole answer for `cut_path` after a tenth of its
    body: the connection closed, or reset (RST) when `reset`. `on_cut` runs after the
    cut bytes went out and before the connection ends."""

    def __init__(self, server_port, cut_path, reset=False, on_cut=None):
        self.server_port = server_port
        self.cut_path, self.reset, self.on_cut = cut_path, reset, on_cut
        self.records = []
        self.lock = threading.Lock()
        self.cut_done = False
        self.errors = []
        # Bound to a port of the system's choosing and listening at once: no other
        # connection can take it in between.
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.closed = True
        self.listener.close()

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    @staticmethod
    def _read_head(sock, buffered):
        """A head (through the blank line) and the bytes after it; None at a close."""
        data = bytearray(buffered)
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(65536)
            if not chunk:
                return None, b""
            data += chunk
        end = data.index(b"\r\n\r\n") + 4
        return bytes(data[:end]), bytes(data[end:])

    def _serve(self, client):
        try:
            self._serve_requests(client)
        except Exception as error:  # noqa: BLE001 (the test reports what went wrong here)
            with self.lock:
                self.errors.append(repr(error))
        finally:
            client.close()

    def _serve_requests(self, client):
        buffered = b""
        while True:
            head, buffered = self._read_head(client, buffered)
            if head is None:
                return
            request_line, fields = headers_of(head)
            method, target, version = request_line.split(" ", 2)
            prefix = f"http://127.0.0.1:{self.server_port}"
            if not target.startswith(prefix + "/"):
                # Anything but the server under test (Chromium's own traffic) goes nowhere.
                client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            path = target[len(prefix):]
            record = {"method": method, "path": path, "range": fields.get("range"),
                      "if-range": fields.get("if-range"), "status": None, "headers": {}, "relayed": 0,
                      "cut": False}
            with self.lock:
                self.records.append(record)
            # One request per connection to the server, which then ends the answer with a
            # close; the headers that belong to the hop to the proxy stay here.
            kept = [line for line in head.decode("latin-1").split("\r\n")[1:] if line and line.split(":")[0].strip()
                    .lower() not in ("connection", "proxy-connection", "keep-alive")]
            upstream_head = "\r\n".join([f"{method} {path} {version}", *kept, "Connection: close", "", ""])
            with socket.create_connection(("127.0.0.1", self.server_port), timeout=60) as upstream:
                upstream.sendall(upstream_head.encode("latin-1"))
                if not self._relay_answer(client, upstream, method, path, record):
                    return
            if fields.get("connection", "").lower() == "close":
                return

    def _relay_answer(self, client, upstream, method, path, record):
        """Relays one answer; False when the connection to the client is to end after it."""
        head, body = self._read_head(upstream, b"")
        if head is None:
            return False
        status_line, fields = headers_of(head)
        status = int(status_line.split(" ")[1])
        record["status"], record["headers"] = status, fields
        if method == "HEAD" or status in (204, 304) or 100 <= status < 200:
            length = 0
        elif "content-length" in fields:
            length = int(fields["content-length"])
        else:
            length = None  # until the server closes
        cut_at = None
        with self.lock:
            if path == self.cut_path and status == 200 and length and not self.cut_done:
                self.cut_done = True
                cut_at = length // 10
        client.sendall(head)
        left = length if cut_at is None else cut_at
        while left is None or left > 0:
            if body:
                piece = body if left is None else body[:left]
                body = body[len(piece):]
            else:
                piece = upstream.recv(1 << 20 if left is None else min(1 << 20, left))
                if not piece:
                    break
            client.sendall(piece)
            record["relayed"] += len(piece)
            if left is not None:
                left -= len(piece)
        if cut_at is not None:
            record["cut"] = True
            if self.on_cut:
                self.on_cut()
            if self.reset:
                # A zero linger time makes the close send RST instead of FIN.
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return False
        return length is not None and fields.get("connection", "").lower() != "close"

    def archive_requests(self):
        with self.lock:
            return [dict(r) for r in self.records if r["path"] == self.cut_path and r["method"] == "GET"]


class Chromium:
    """Headless Chromium with a throwaway profile, driven over its DevTools pipe."""

    def __init__(self, profile, proxy_port):
        to_browser_read, self._to_browser = os.pipe()
        self._from_browser, from_browser_write = os.pipe()

        def pipes_as_3_and_4():
            # Moved out of the way first: a pipe may already sit on 3 or 4.
            high_in = fcntl.fcntl(to_browser_read, fcntl.F_DUPFD, 10)
            high_out = fcntl.fcntl(from_browser_write, fcntl.F_DUPFD, 10)
            os.dup2(high_in, 3)
            os.dup2(high_out, 4)

        args = [CHROMIUM, "--headless=new", "--remote-debugging-pipe", f"--user-data-dir={profile}",
                # The sandbox needs user namespaces, and Chromium refuses to run as root without it.
                "--no-sandbox",
                f"--proxy-server=http://127.0.0.1:{proxy_port}",
                # Loopback addresses skip any proxy unless told otherwise.
                "--proxy-bypass-list=<-loopback>",
                "--no-first-run", "--no-default-browser-check", "--disable-gpu", "--disable-extensions",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-default-apps", "--no-pings", "about:blank"]
        self.log_path = os.path.join(profile, "chromium.log")
        os.makedirs(profile, exist_ok=True)
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=log, pass_fds=(3, 4),
                                         preexec_fn=pipes_as_3_and_4, start_new_session=True)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self._next_id = 0
        self._messages = []
        self._arrived = threading.Condition()
        self._reader_done = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        pending = b""
        while True:
            try:
                chunk = os.read(self._from_browser, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                break
            pending += chunk
            *whole, pending = pending.split(b"\0")
            with self._arrived:
                self._messages.extend(json.loads(m) for m in whole if m)
                self._arrived.notify_all()
        with self._arrived:
            self._reader_done = True
            self._arrived.notify_all()

    def wait_for(self, accept, timeout):
        """The first message `accept` takes, removed from those kept; fails at the time
        limit or when Chromium has gone."""
        deadline = time.monotonic() + timeout
        with self._arrived:
            while True:
                for i, message in enumerate(self._messages):
                    if accept(message):
                        return self._messages.pop(i)
                left = deadline - time.monotonic()
                if self._reader_done or left <= 0:
                    raise AssertionError(f"Chromium: nothing awaited within {timeout} s "
                                         f"(ended: {self._reader_done}); kept: {self._messages[-5:]}")
                self._arrived.wait(left)

    def call(self, method, session=None, **params):
        """Sends a command (to the page of `session`, or to the browser) and returns its result."""
        self._next_id += 1
        ident = self._next_id
        message = {"id": ident, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        answer = self.wait_for(lambda m: m.get("id") == ident, 30)
        if "error" in answer:
            raise AssertionError(f"{method}: {answer['error']}")
        return answer["result"]

    def close(self):
        if self.proc.poll() is None:
            try:
                self.call("Browser.close")
                self.proc.wait(timeout=10)
            except (AssertionError, OSError, subprocess.TimeoutExpired):
                pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        # Its helpers (zygote, renderers, network service) are in its session.
        try:
            os.killpg(self.proc.pid, 9)
        except ProcessLookupError:
            pass
        os.close(self._to_browser)
        os.close(self._from_browser)

    def download(self, url, directory):
        """Starts downloading `url` into `directory` (each file named by its download's
        GUID) and returns the downloadWillBegin event."""
        self.call("Browser.setDownloadBehavior", behavior="allowAndName", downloadPath=directory,
                  eventsEnabled=True)
        self.call("Target.createTarget", url=url)
        return self.wait_for(lambda m: m.get("method") == "Browser.downloadWillBegin", 30)["params"]

    def download_end(self, guid):
        """The download's last progress event: state completed, or canceled, which the
        protocol also reports for a download interrupted and left to the user to resume."""
        return self.wait_for(lambda m: m.get("method") == "Browser.downloadProgress" and m["params"]["guid"] == guid
                             and m["params"]["state"] in ("completed", "canceled"), DOWNLOAD_TIMEOUT)["params"]

    def _on_downloads_page(self, session, guid, press_resume):
        """The downloads page's data of the download (lastReasonText, resume, ..., and
        stateName: its state by the page's own name, kInProgress, kInterrupted,
        kComplete...), None while its row is not there yet; Resume pressed on the row
        first if asked."""
        script = """(async () => {
          const {State} = await import("chrome://downloads/downloads.mojom-webui.js");
          const manager = document.querySelector("downloads-manager");
          const rows = manager && manager.shadowRoot ? manager.shadowRoot.querySelectorAll("downloads-item") : [];
          for (const row of rows) {
            if (!row.data || !row.shadowRoot || row.data.fileName !== %s) continue;
            const data = Object.assign({}, row.data, {stateName: State[row.data.state]});
            if (%s) {
              const button = row.shadowRoot.querySelector("#pause-or-resume");
              data.pressed = Boolean(button && !button.hidden);
              if (data.pressed) button.click();
            }
            // Sizes are BigInts, which JSON does not take.
            return JSON.stringify(data, (k, v) => typeof v === "bigint" ? v.toString() : v);
          }
          return "null";
        })()""" % (json.dumps(guid), "true" if press_resume else "false")
        answer = self.call("Runtime.evaluate", session=session, expression=script, awaitPromise=True,
                           returnByValue=True)
        if "exceptionDetails" in answer:
            raise AssertionError(f"the downloads page: {answer['exceptionDetails']}")
        return json.loads(answer["result"]["value"])

    def resume_as_the_user_does(self, guid):
        """Presses Resume on the download's row of the downloads page (chrome://downloads),
        as a user does with an interrupted download, and waits until the download is no
        longer in progress. Returns the page's data of the download before and after.
        (The protocol's progress events stop at the interruption, so the page tells the end.)"""
        target = self.call("Target.createTarget", url="chrome://downloads")["targetId"]
        session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        deadline = time.monotonic() + 30
        # The page fills its list once it has asked the browser for it.
        while (before := self._on_downloads_page(session, guid, press_resume=True)) is None:
            if time.monotonic() > deadline:
                raise AssertionError(f"the downloads page never showed download {guid}")
            time.sleep(0.1)
        if not before["pressed"]:
            raise AssertionError(f"no Resume on the downloads page: {before}")
        deadline = time.monotonic() + DOWNLOAD_TIMEOUT
        while True:
            after = self._on_downloads_page(session, guid, press_resume=False)
            # The press is taken in a moment: until then the row may still say interrupted.
            if after["stateName"] not in ("kInProgress", "kInterrupted") or time.monotonic() > deadline:
                return before, after
            time.sleep(0.1)


@unittest.skipUnless(os.access(CHROMIUM, os.X_OK), f"{CHROMIUM} is not installed (scripts/deps.sh installs chromium)")
class BrowserResumeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The 200 MB folder, made once for the two ways of cutting.
        cls.folder_box = Sandbox()
        cls.big_folder = cls.folder_box.path("tree")
        make_folder(cls.big_folder, {os.path.join("photos", "2009", "a.bin"): 110_000_000,
                                     os.path.join("photos", "b.bin"): 60_000_000,
                                     os.path.join("video", "c.bin"): 30_000_000})

    @classmethod
    def tearDownClass(cls):
        cls.folder_box.close()

    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.port = free_port()
        self.box.write("common.cfg", settings_bytes(self.port, flags=0))
        self.url = f"http://127.0.0.1:{self.port}{ARCHIVE}"

    def serve(self, folder):
        server = self.box.start_server(self.port)
        self.addCleanup(self.stop, server)
        self.assertEqual(self.box.run(to_program_path(folder)).wait(), DONE)
        deadline = time.time() + 20
        while not (os.path.exists(self.box.path("shared.cfg")) and self.box.read("shared.cfg")):
            self.assertLess(time.time(), deadline, "the folder was never stored as a share")
            time.sleep(0.05)

    def stop(self, server):
        self.box.run("-stop").wait()
        server.wait()

    def download_through_proxy(self, reset=False, on_cut=None):
        proxy = CuttingProxy(self.port, ARCHIVE, reset=reset, on_cut=on_cut)
        self.addCleanup(proxy.close)
        browser = Chromium(self.box.path("profile"), proxy.port)
        self.addCleanup(browser.close)
        downloads = self.box.path("downloads")
        os.mkdir(downloads)
        began = browser.download(self.url, downloads)
        self.assertEqual(began["suggestedFilename"], "tree.zip")
        ended = browser.download_end(began["guid"])
        if reset:
            # Chromium resumes by itself after a close before the announced length (its
            # "content length mismatch"), but leaves a download whose connection was reset
            # ("network error") interrupted until the user presses Resume.
            self.assertEqual(ended["state"], "canceled", (ended, proxy.archive_requests()))
            before, after = browser.resume_as_the_user_does(began["guid"])
            self.assertEqual((before["stateName"], before["resume"]), ("kInterrupted", True), before)
            self.assertEqual(after["stateName"], "kComplete", (after, proxy.archive_requests()))
        else:
            self.assertEqual(ended["state"], "completed", (ended, proxy.archive_requests()))
        self.assertEqual(proxy.errors, [])
        return os.path.join(downloads, began["guid"]), proxy.archive_requests()

    def check_archive(self, path, folder):
        """The archive at `path` passes zipfile's test and holds `folder`: the same names
        (folders included, under the folder's own name) and the same bytes."""
        expected = set()
        for where, _, files in os.walk(folder):
            relative = os.path.relpath(where, os.path.dirname(folder)).replace(os.sep, "/")
            expected.add(relative + "/")
            expected.update(f"{relative}/{name}" for name in files)
        with zipfile.ZipFile(path) as archive:
            self.assertIsNone(archive.testzip())
            self.assertEqual(set(archive.namelist()), expected)
            for name in archive.namelist():
                if name.endswith("/"):
                    continue
                on_disk = os.path.join(os.path.dirname(folder), *name.split("/"))
                with archive.open(name) as member, open(on_disk, "rb") as original:
                    for block in iter(lambda: member.read(1 << 20), b""):
                        self.assertEqual(block, original.read(len(block)), name)
                    self.assertEqual(original.read(1), b"", name)

    def check_resumed_download(self, reset):
        self.serve(self.big_folder)
        straight_sha, length, headers = straight_download(self.url)
        self.assertGreater(length, 200_000_000)
        etag, last_modified = headers["ETag"], headers["Last-Modified"]

        saved, requests = self.download_through_proxy(reset=reset)

        # The first answer was cut at a tenth; the one resume asked for the rest of the
        # same archive, named by its validator, and got exactly that rest.
        first, *resumes = requests
        self.assertEqual((first["range"], first["status"], first["cut"]), (None, 200, True))
        self.assertEqual(first["headers"]["etag"], etag)
        self.assertEqual(first["relayed"], length // 10)
        self.assertEqual(len(resumes), 1, requests)
        resume = resumes[0]
        self.assertRegex(resume["range"] or "", r"^bytes=[0-9]+-$")
        start = int(resume["range"][len("bytes="):-1])
        self.assertTrue(0 < start <= first["relayed"], requests)
        # Chromium names the archive by its ETag; the date would do as well.
        self.assertIn(resume["if-range"], (etag, last_modified))
        self.assertEqual(resume["status"], 206)
        self.assertEqual(resume["headers"]["content-range"], f"bytes {start}-{length - 1}/{length}")
        self.assertEqual(resume["headers"]["etag"], etag)
        self.assertEqual(resume["relayed"], length - start)

        self.assertEqual(os.path.getsize(saved), length)
        self.assertEqual(sha256_of(saved), straight_sha)
        self.check_archive(saved, self.big_folder)

    def test_closed_at_a_tenth_and_resumed(self):
        self.check_resumed_download(reset=False)

    def test_reset_at_a_tenth_and_resumed(self):
        self.check_resumed_download(reset=True)

    def test_folder_changed_before_the_resume_gets_the_new_archive_whole(self):
        folder = self.box.path("tree")
        make_folder(folder, {os.path.join("photos", "a.bin"): 20_000_000, "b.bin": 10_000_000})
        self.serve(folder)
        _, _, before = straight_download(self.url)
        rewritten = os.path.join(folder, "read me – первый.txt")

        def rewrite():
            # A new size: the listing differs whatever the clock's resolution.
            with open(rewritten, "wb") as f:
                f.write(b"written again between the cut and the resume\n")

        saved, requests = self.download_through_proxy(on_cut=rewrite)
        new_sha, new_length, after = straight_download(self.url)
        self.assertNotEqual(after["ETag"], before["ETag"])

        # The resume named the old archive, so the answer was the new one, whole. Chromium
        # takes that answer as a fresh start (or asks again without a range): either way the
        # last answer it read was a whole 200 of the new archive.
        first, resume, *rest = requests
        self.assertTrue(first["cut"])
        self.assertRegex(resume["range"] or "", r"^bytes=[1-9][0-9]*-$")
        self.assertIn(resume["if-range"], (before["ETag"], before["Last-Modified"]))
        self.assertEqual(resume["status"], 200, requests)
        self.assertEqual(resume["headers"]["etag"], after["ETag"])
        last = requests[-1]
        self.assertEqual((last["status"], last["headers"]["etag"], last["relayed"]), (200, after["ETag"], new_length),
                         requests)
        self.assertTrue(all(r["status"] == 200 for r in rest), requests)

        self.assertEqual(os.path.getsize(saved), new_length)
        self.assertEqual(sha256_of(saved), new_sha)
        self.check_archive(saved, folder)


if __name__ == "__main__":
    unittest.main(verbosity=2)
