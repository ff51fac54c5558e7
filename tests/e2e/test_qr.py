"""quillcast -qr through the real native program, read back by a reader written by nobody
here (zbarimg, Debian's zbar-tools): every link of the table at every error correction
level as a PNG, the terminal's drawing painted as a dark-themed terminal would, a file's
link shared first through the running server, and the refusals.

    QC_BIN=build/native/quillcast python3 tests/e2e/test_qr.py

Without zbarimg the decoding cases say "skipped"; scripts/deps.sh installs it."""
import os
import shutil
import subprocess
import unittest

from harness import BIN, Sandbox, free_port, settings_bytes
from terminal_image import terminal_png

TIMEOUT = 60
ZBARIMG = shutil.which("zbarimg")
LEVELS = "LMQH"

LINKS = [
    "http://h/",
    "http://192.168.1.5/a.txt",
    "http://192.168.1.5:8080/report%202009.pdf",
    "http://files.example.org/pub/report.pdf",
    "http://files.example.org:8080/pub/photos/holiday.jpg",
    "https://files.example.org:8443/x",
    "http://10.0.0.7:8080/%D0%BE%D1%82%D1%87%D1%91%D1%82%202009.pdf",
    "http://10.0.0.7:8080/отчёт%202009.pdf",
    "http://files.example.org:8080/写真/休暇%20(2).jpg",
    "http://192.168.1.5:8080/%F0%9F%93%84%20notes%20%232.txt",
    "http://localhost:81/%22%23%25%3C%3E%3F%5B%5C%5D%5E%60%7B%7C%7D",
    # Version 10 and above at every level, then codes of 100 modules and more.
    "http://192.168.100.200:65535/" + "long%20name%20" * 20 + ".pdf",
    "http://files.example.org:8080/" + "/".join(f"folder{i}" for i in range(120)) + "/a.txt",
    "http://files.example.org:8080/" + "x" * 1200,
]


def zbar(png_path):
    """What zbarimg reads in the picture: (exit code, the decoded texts as bytes)."""
    done = subprocess.run([ZBARIMG, "--quiet", "--raw", "-Sdisable", "-Sqrcode.enable", png_path],
                          capture_output=True, timeout=TIMEOUT)
    texts = done.stdout.split(b"\n")
    return done.returncode, [t for t in texts if t]


class Qr(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)

    def run_qr(self, *args):
        done = subprocess.run([BIN, "-qr", *args], cwd=self.box.dir, env=self.box.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        return done.returncode, done.stdout, done.stderr.decode(errors="replace")

    def decode_terminal(self, stdout, name):
        """The code of the terminal's text, painted and read; the lines after it."""
        lines = stdout.decode().split("\n")
        self.assertEqual(lines.pop(), "", "the output ends with a line feed")
        # Everything but the last line is the drawing, painted as the terminal would.
        path = self.box.path(name)
        with open(path, "wb") as f:
            f.write(terminal_png("\n".join(lines[:-1])))
        return zbar(path), lines[-1:]


@unittest.skipUnless(ZBARIMG, "zbarimg is not installed (Debian: zbar-tools)")
class Decoding(Qr):
    def test_every_link_at_every_level_decodes_from_the_png(self):
        versions = []
        for link in LINKS:
            for level in LEVELS:
                with self.subTest(link=link[:60], level=level):
                    path = self.box.path(f"code-{level}.png")
                    code, out, err = self.run_qr("-o", path, "-level", level, link)
                    self.assertEqual((code, err), (0, ""))
                    self.assertEqual(out, link.encode() + b"\n")
                    status, texts = zbar(path)
                    self.assertEqual(status, 0)
                    self.assertEqual(texts, [link.encode()])
                    with open(path, "rb") as f:
                        side = int.from_bytes(f.read()[16:20], "big")
                    versions.append((side // 8 - 8 - 17) // 4)
        self.assertLessEqual(min(versions), 1)
        self.assertGreaterEqual(sorted(versions)[-4 * 3], 10, "the table's long links are short")

    def test_the_terminals_drawing_decodes_whatever_the_theme(self):
        for link in LINKS[:12]:
            with self.subTest(link=link[:60]):
                code, out, err = self.run_qr(link)
                self.assertEqual((code, err), (0, ""))
                (status, texts), rest = self.decode_terminal(out, "terminal.png")
                self.assertEqual(status, 0)
                self.assertEqual(texts, [link.encode()])
                # The link under the code, as text.
                self.assertEqual(rest, [link])


class Refusals(Qr):
    def test_bad_links_and_files_are_refused_with_the_reason(self):
        cases = [
            (["ftp://h/a"], 2, "must begin with http:// or https://"),
            (["http://h/report 2009.pdf"], 2, "a blank at byte 16 (write it as %20)"),
            (["http://"], 2, "the link has no host"),
            ([b"http://h/caf\xe9"], 2, "not UTF-8 at byte 13"),
            (["http://h/" + "x" * 2400], 2, "more than a QR code holds at level M (2331; level L holds 2953)"),
            (["-level", "H", "http://h/" + "x" * 1300], 2, "at level H (1273"),
            (["-level", "Z", "http://h/"], 2, "must be L, M, Q or H"),
            (["-o", "/nonexistent-dir/x.png", "http://h/"], 1, "cannot write /nonexistent-dir/x.png: No such file"),
            ([], 2, "-qr needs the link"),
            (["missing.txt"], 1, "cannot share"),
        ]
        for args, status, words in cases:
            with self.subTest(args=[a[:40] for a in args]):
                code, out, err = self.run_qr(*args)
                self.assertEqual(code, status, err)
                self.assertIn(words, err)
                self.assertEqual(out, b"")
        self.assertEqual(sorted(os.listdir(self.box.dir)), ["run"], "nothing may be written")

    def test_a_file_without_a_server_is_not_shared(self):
        self.box.write("a.txt", b"abc")
        code, out, err = self.run_qr("a.txt")
        self.assertEqual((code, out), (1, b""))
        self.assertIn("no server is running", err)
        self.assertFalse(os.path.exists(self.box.path("shared.cfg")))


@unittest.skipUnless(ZBARIMG, "zbarimg is not installed (Debian: zbar-tools)")
class FileLinks(Qr):
    def test_a_files_link_is_shared_once_and_downloads(self):
        port = free_port()
        self.box.write("common.cfg", settings_bytes(port, domain=b"127.0.0.1"))
        self.box.write("report 2009.pdf", b"the report" * 1000)
        server = self.box.start_server(port)
        link = f"http://127.0.0.1:{port}/report%202009.pdf"
        # Not shared yet: shared now, as "quillcast FILE" shares it; then its link again.
        for round_ in range(2):
            with self.subTest(round=round_):
                code, out, err = self.run_qr("report 2009.pdf")
                self.assertEqual((code, err), (0, ""))
                (status, texts), rest = self.decode_terminal(out, "file.png")
                self.assertEqual((status, texts, rest), (0, [link.encode()], [link]))
        listed = subprocess.run([BIN, "-list"], cwd=self.box.dir, env=self.box.env,
                                capture_output=True, timeout=TIMEOUT).stdout.decode()
        self.assertEqual(listed.count("report 2009.pdf"), 1, listed)
        got = subprocess.run(["curl", "-s", "-S", "--max-time", "30", link], capture_output=True,
                             timeout=TIMEOUT)
        self.assertEqual(got.stdout, b"the report" * 1000)
        # The PNG of the same file names the same link.
        code, out, _ = self.run_qr("-o", self.box.path("file.png"), self.box.path("report 2009.pdf"))
        self.assertEqual((code, out), (0, link.encode() + b"\n"))
        self.assertEqual(zbar(self.box.path("file.png")), (0, [link.encode()]))
        self.assertEqual(subprocess.run([BIN, "-stop"], env=self.box.env, timeout=TIMEOUT).returncode, 0)
        self.assertEqual(server.wait(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
