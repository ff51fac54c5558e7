"""A shared folder through the real program: shared by a second instance, downloaded with
curl as one zip, judged by `unzip -t` and Python's zipfile and extracted byte for byte;
resumed after a cut with `curl -C -`; assembled by aria2c from four parallel ranges; its
HEAD and tag the same after a restart; a file rewritten during a download ends that
download, and a resume with If-Range then gets the new archive whole.

Environment: QC_E2E_MODE (native or wine), QC_BIN, QC_TOOLS, QC_WINE, as the other
end-to-end tests."""
import filecmp
import hashlib
import io
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import zipfile

from harness import WINE_MODE, Sandbox, free_port, head_of, headers_of, http_get, settings_bytes, to_program_path

# The program's exit status for a command that did what it was asked.
DONE = 1 if WINE_MODE else 0


def make_tree(top, big=3_000_000):
    """A nested tree: an empty folder, an empty file, names with blanks and (natively and
    under Wine alike, read as wide names there) Cyrillic and Japanese ones, and a file of
    `big` bytes so that a download can be cut in its middle."""
    files = {
        "a.txt": b"hello\n",
        "zero": b"",
        os.path.join("trip", "day 1", "big.bin"): os.urandom(big),
        os.path.join("trip", "notes.txt"): b"notes " * 2000,
        os.path.join("Папка", "日本語.txt"): "こんにちは".encode(),
    }
    os.makedirs(os.path.join(top, "empty", "deeper empty"))
    for name, data in files.items():
        path = os.path.join(top, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def same_trees(a, b):
    """Whether two folders hold the same names (empty folders included) and bytes."""
    compared = filecmp.dircmp(a, b)
    if compared.left_only or compared.right_only or compared.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, compared.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same_trees(os.path.join(a, d), os.path.join(b, d)) for d in compared.common_dirs)


class FolderShareTest(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.port = free_port()
        self.box.write("common.cfg", settings_bytes(self.port, flags=0))
        self.folder = self.box.path("tree")
        self.url = f"http://127.0.0.1:{self.port}/tree.zip"

    def start(self):
        return self.box.start_server(self.port)

    def stop(self, server):
        self.assertEqual(self.box.run("-stop").wait(), DONE)
        self.assertEqual(server.wait(), DONE)

    def share_folder(self):
        self.assertEqual(self.box.run(to_program_path(self.folder)).wait(), DONE)
        deadline = time.time() + 20
        while time.time() < deadline:
            if os.path.exists(self.box.path("shared.cfg")) and self.box.read("shared.cfg"):
                return
            time.sleep(0.05)
        self.fail("the folder was never stored as a share")

    def curl(self, *args):
        done = subprocess.run(["curl", "-s", "-S", "--max-time", "120", *args], capture_output=True, timeout=150)
        return done

    def head(self):
        return headers_of(http_get(self.port, b"HEAD /tree.zip HTTP/1.1\r\n\r\n"))

    def check_archive(self, path, original):
        """The archive at `path` is valid to unzip and to zipfile and holds `original`."""
        tested = subprocess.run(["unzip", "-t", path], capture_output=True, timeout=120)
        self.assertEqual(tested.returncode, 0, tested.stdout + tested.stderr)
        with zipfile.ZipFile(path) as archive:
            self.assertIsNone(archive.testzip())
            out = tempfile.mkdtemp(dir=self.box.dir)
            archive.extractall(out)
        self.assertTrue(same_trees(original, os.path.join(out, "tree")))

    def cut_download(self, keep):
        """A GET read for `keep` body bytes, then the connection dropped: what a broken
        download leaves on disk. Returns those bytes."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            s.sendall(b"GET /tree.zip HTTP/1.1\r\n\r\n")
            received = bytearray()
            while b"\r\n\r\n" not in received:
                received += s.recv(65536)
            body = received[received.index(b"\r\n\r\n") + 4:]
            while len(body) < keep:
                body += s.recv(65536)
        return bytes(body[:keep])

    def test_download_resume_and_restart(self):
        make_tree(self.folder)
        server = self.start()
        self.share_folder()

        status, head = self.head()
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(head["content-type"], "application/zip")
        whole = self.box.path("whole.zip")
        fetched = self.curl("-f", "-o", whole, self.url)
        self.assertEqual(fetched.returncode, 0, fetched.stderr)
        self.assertEqual(os.path.getsize(whole), int(head["content-length"]))
        self.check_archive(whole, self.folder)
        with open(whole, "rb") as f:
            archive = f.read()

        # Cut in the middle of the big file, then resumed from what arrived.
        part = self.box.path("part.zip")
        with open(part, "wb") as f:
            f.write(self.cut_download(1_000_000))
        resumed = self.curl("-f", "-C", "-", "-o", part, self.url)
        self.assertEqual(resumed.returncode, 0, resumed.stderr)
        with open(part, "rb") as f:
            self.assertEqual(f.read(), archive)
        # A resume that names the tag gets the rest; one past the end is told so.
        tagged = http_get(self.port, b"GET /tree.zip HTTP/1.1\r\nRange: bytes=1000-\r\nIf-Range: %s\r\n\r\n"
                          % head["etag"].encode())
        self.assertEqual(headers_of(tagged)[0], "HTTP/1.1 206 Partial Content")
        self.assertEqual(tagged[len(head_of(tagged)):], archive[1000:])
        past = http_get(self.port, b"GET /tree.zip HTTP/1.1\r\nRange: bytes=%d-\r\n\r\n" % len(archive))
        self.assertEqual(headers_of(past)[0], "HTTP/1.1 416 Range Not Satisfiable")

        # The same folder after a restart: the same head, tag and bytes.
        self.stop(server)
        server = self.start()
        status_again, head_again = self.head()
        del head["date"], head_again["date"]
        self.assertEqual((status_again, head_again), (status, head))
        again = self.curl("-f", self.url)
        self.assertEqual(hashlib.sha256(again.stdout).digest(), hashlib.sha256(archive).digest())
        self.stop(server)

    @unittest.skipUnless(shutil.which("aria2c"), "aria2c is not installed (scripts/deps.sh all installs aria2)")
    def test_aria2_in_four_connections_assembles_the_archive(self):
        # Four pieces of at least 1 MiB each (aria2's smallest split), in parallel ranges:
        # each range's headers and CRCs must fall where a whole download puts them.
        make_tree(self.folder, big=9_000_000)
        server = self.start()
        self.share_folder()
        whole = self.curl("-f", self.url)
        self.assertEqual(whole.returncode, 0, whole.stderr)
        out = tempfile.mkdtemp(dir=self.box.dir)
        done = subprocess.run(["aria2c", "--no-conf", "-q", "-x4", "-s4", "-k1M", "--file-allocation=none",
                               "--allow-overwrite=true", "--auto-file-renaming=false", "-d", out,
                               "-o", "tree.zip", self.url], capture_output=True, timeout=150)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        assembled = os.path.join(out, "tree.zip")
        with open(assembled, "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).digest(), hashlib.sha256(whole.stdout).digest())
        self.check_archive(assembled, self.folder)
        self.stop(server)

    def test_a_file_rewritten_during_a_download_ends_it(self):
        # Big enough that the answer is still on its way while the client waits: the
        # socket buffers hold a few megabytes at most.
        make_tree(self.folder, big=40_000_000)
        later = os.path.join(self.folder, "trip", "notes.txt")
        server = self.start()
        self.share_folder()
        _, before = self.head()

        with socket.create_connection(("127.0.0.1", self.port), timeout=60) as s:
            s.sendall(b"GET /tree.zip HTTP/1.1\r\n\r\n")
            received = bytearray(s.recv(65536))
            # A file the archive holds after the big one, rewritten while the big one goes out.
            with open(later, "wb") as f:
                f.write(b"rewritten " * 3000)
            while True:
                chunk = s.recv(1 << 20)
                if not chunk:
                    break
                received += chunk
        received = bytes(received)
        head = head_of(received)
        self.assertEqual(headers_of(received)[1]["etag"], before["etag"])
        got = len(received) - len(head)
        self.assertLess(got, int(before["content-length"]))

        # The resume names the old tag: the new archive comes whole, valid, with the new file.
        answer = http_get(self.port, b"GET /tree.zip HTTP/1.1\r\nRange: bytes=%d-\r\nIf-Range: %s\r\n\r\n"
                          % (got, before["etag"].encode()), read_limit=1 << 30)
        status, after = headers_of(answer)
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertNotEqual(after["etag"], before["etag"])
        body = answer[len(head_of(answer)):]
        self.assertEqual(len(body), int(after["content-length"]))
        path = self.box.path("new.zip")
        with open(path, "wb") as f:
            f.write(body)
        self.check_archive(path, self.folder)
        with zipfile.ZipFile(io.BytesIO(body)) as archive:
            self.assertEqual(archive.read("tree/trip/notes.txt"), b"rewritten " * 3000)
        self.stop(server)

    def test_a_one_shot_folder_goes_out_once(self):
        # New shares one-shot: a HEAD and a part leave the link; the whole archive uses it up,
        # on disk too.
        self.box.write("common.cfg", settings_bytes(self.port, flags=1))
        make_tree(self.folder, big=200_000)
        server = self.start()
        self.share_folder()
        status, head = self.head()
        self.assertEqual(status, "HTTP/1.1 200 OK")
        part = http_get(self.port, b"GET /tree.zip HTTP/1.1\r\nRange: bytes=0-999\r\n\r\n")
        self.assertEqual(headers_of(part)[0], "HTTP/1.1 206 Partial Content")
        whole = self.box.path("once.zip")
        fetched = self.curl("-f", "-o", whole, self.url)
        self.assertEqual(fetched.returncode, 0, fetched.stderr)
        self.assertEqual(os.path.getsize(whole), int(head["content-length"]))
        self.check_archive(whole, self.folder)
        self.assertEqual(headers_of(http_get(self.port, b"GET /tree.zip HTTP/1.1\r\n\r\n"))[0],
                         "HTTP/1.1 404 Not Found")
        flags = int.from_bytes(self.box.read("shared.cfg")[4:6], "little")
        self.assertEqual(flags, 3)
        self.stop(server)


if __name__ == "__main__":
    unittest.main(verbosity=2)
