"""The QR code of quillcast.exe's control panel, seen as a phone sees it: the real program
under Wine on the Xvfb display, a share selected in its panel, "QR code" pressed, then a
screenshot of the whole display (ImageMagick's import) read by zbarimg, a reader written
by nobody here.

    QC_E2E_MODE=wine QC_BIN=build/win/quillcast.exe QC_TOOLS=build/win/tests \\
        python3 tests/e2e/test_qr_windows.py"""
import os
import shutil
import subprocess
import time
import unittest

from harness import TOOLS, WINE, Sandbox, free_port, settings_bytes, share_record

TIMEOUT = 30
ZBARIMG = shutil.which("zbarimg")
IMPORT = shutil.which("import")
VK_HOME = 36


@unittest.skipUnless(ZBARIMG and IMPORT and os.environ.get("DISPLAY"),
                     "needs zbarimg (zbar-tools), import (imagemagick) and a display")
class PanelCode(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)

    def poke(self, *args):
        return subprocess.run([WINE, os.path.join(TOOLS, "ui_poke.exe"), *args], env=self.box.env,
                              capture_output=True, timeout=60).returncode

    def screenshot_texts(self):
        shot = self.box.path("screen.png")
        subprocess.run([IMPORT, "-window", "root", shot], check=True, timeout=60, env=self.box.env)
        done = subprocess.run([ZBARIMG, "--quiet", "--raw", "-Sdisable", "-Sqrcode.enable", shot],
                              capture_output=True, timeout=60)
        return [t for t in done.stdout.split(b"\n") if t]

    def test_the_selected_shares_code_on_screen_reads_as_its_link(self):
        port = free_port()
        self.box.write("common.cfg", settings_bytes(port, domain=b"files.example.org"))
        # A name with a blank and the byte 0xE9, "é" in code page 1252 and "й" in 1251 (Wine
        # takes the code page from LC_ALL): the link keeps the byte, the code carries its
        # UTF-8 form, as a phone reads it.
        code_page = "cp1251" if os.environ.get("LC_ALL", "").startswith("ru_RU") else "cp1252"
        self.box.write("shared.cfg", share_record(b"/pub/caf\xe9 2009.pdf", b"C:\\caf\xe9 2009.pdf"))
        link = (f"http://files.example.org:{port}/pub/" + b"caf\xe9".decode(code_page)
                + "%202009.pdf").encode()
        server = self.box.start_server(port)
        # A "-stop" without a server would show its message box and wait for a click.
        self.addCleanup(lambda: server.proc.poll() is None and self.box.run("-stop").wait())
        self.assertEqual(self.box.run("-ui").wait(), 1)
        self.assertEqual(self.poke("wait", "WndClassQuillcastMain"), 0)
        self.assertEqual(self.poke("click", "WndClassQuillcastMain", "2018"), 0)
        self.assertEqual(self.poke("wait", "WndClassQuillcastQrCode"), 0)
        # No share selected: nothing to read.
        time.sleep(0.5)
        self.assertEqual(self.screenshot_texts(), [])
        self.assertEqual(self.poke("key", "WndClassQuillcastMain", "2013", str(VK_HOME)), 0)
        deadline = time.time() + TIMEOUT
        texts = []
        while time.time() < deadline and texts != [link]:
            time.sleep(0.3)
            texts = self.screenshot_texts()
        self.assertEqual(texts, [link])
        self.assertIn(("WndClassQuillcastQrCode", "QR code"), self.box.windows())
        self.assertEqual(self.box.run("-stop").wait(), 1)
        self.assertEqual(server.wait(), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
