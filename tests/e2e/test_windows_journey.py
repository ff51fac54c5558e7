#!/usr/bin/env python3
"""The Windows user's whole journey under Wine, in a prefix of its own created fresh:
silent install, the shortcuts as the installer made them, the server started as the Start
menu starts it, Send to with a file whose path has blanks and a Cyrillic name, the link
read back from the clipboard and fetched as a browser fetches it, several files at once, a
folder with a Cyrillic name as one archive, an install over a running server, and a silent
uninstall that keeps only the data folder.

    QC_SETUP=dist/quillcast-1.0.0-setup.exe QC_TOOLS=build/win/tests \\
    QC_JOURNEY_PREFIX=build/journey-prefix DISPLAY=:N python3 tests/e2e/test_windows_journey.py

Every wine process runs with LC_ALL=ru_RU.UTF-8 (a Russian desktop: ANSI code page 1251).
"""
import io
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import zipfile

from ports import free_port

SETUP = os.path.abspath(os.environ["QC_SETUP"])
TOOLS = os.path.abspath(os.environ["QC_TOOLS"])
PREFIX = os.path.abspath(os.environ["QC_JOURNEY_PREFIX"])
WINE = os.environ.get("QC_WINE", shutil.which("wine64") or "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("QC_WINESERVER", shutil.which("wineserver") or "/usr/lib/wine/wineserver")
TIMEOUT = 60
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillcast"

ENV = dict(os.environ)
ENV.update({"WINEPREFIX": PREFIX, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml,winebus.sys=",
            "LC_ALL": "ru_RU.UTF-8"})


def wine(*args, cwd=None, timeout=TIMEOUT, check=True):
    """Runs one wine process and returns (exit code, standard output bytes). Output goes
    through files, not pipes: processes that Wine starts on the way (services, the desktop
    process that keeps the clipboard) inherit them and would keep a pipe open for ever."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run([WINE, *args], cwd=cwd, env=ENV, stdout=out, stderr=err,
                              stdin=subprocess.DEVNULL, timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    if check and code not in (0, 1):
        raise AssertionError(f"{args} ended with {code}: {stderr[-2000:]!r}")
    return code, stdout


def unix_path(windows_path):
    """C:\\users\\x -> PREFIX/drive_c/users/x (Wine's drive C)."""
    assert re.match(r"^[Cc]:\\", windows_path), windows_path
    return os.path.join(PREFIX, "drive_c", *windows_path[3:].split("\\"))


def same_path(a, b):
    # Wine spells some shell folders in its own case ("StartUp").
    return a.lower() == b.lower()


def settings_bytes(port, host_choice, flags):
    return struct.pack("<2sHHHHH", b"QC", port, host_choice, flags, 0, 0)


def wait_until(condition, timeout=TIMEOUT, step=0.1):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


def browser_url(pasted):
    """What a browser requests for a pasted link: non-ASCII characters as UTF-8 %XX,
    everything else (the program's own escapes included) as it is."""
    return urllib.parse.quote(pasted, safe="".join(chr(c) for c in range(0x21, 0x7F)))


class Journey(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(PREFIX, ignore_errors=True)
        os.makedirs(PREFIX)
        subprocess.run([WINESERVER, "-p"], env=ENV, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        wine("wineboot", "-i", timeout=300, check=False)
        cls.servers = []

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers:
            if server.poll() is None:
                server.kill()
                server.wait()
        subprocess.run([WINESERVER, "-k"], env=ENV)

    # --- helpers -------------------------------------------------------------------------
    def folders(self):
        out = wine(os.path.join(TOOLS, "shortcut_reader.exe"), "folders")[1].decode("utf-8")
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)

    def shortcut(self, windows_path):
        out = wine(os.path.join(TOOLS, "shortcut_reader.exe"), windows_path, check=False)[1].decode("utf-8")
        if "missing" in out.splitlines():
            return None
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)

    def clipboard(self):
        out = wine(os.path.join(TOOLS, "clipboard_reader.exe"), "unicode", check=False)[1]
        text = out.decode("ascii").strip()
        return None if text == "none" else bytes.fromhex(text).decode("utf-8")

    def start_server(self, link):
        """As the Start menu entry does: its target, no arguments, in its working folder."""
        server = subprocess.Popen([WINE, link["target"]], cwd=unix_path(link["workdir"]), env=ENV,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.servers.append(server)

        def listening():
            self.assertIsNone(server.poll(), "the server ended at start")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                return False
        self.assertTrue(wait_until(listening), "the server never listened")
        time.sleep(0.5)  # the control channel comes up right after the listener
        return server

    def send_to(self, link, *paths):
        """As Explorer runs a Send to entry: its target with the selected files, each quoted
        where it holds a blank (Wine quotes such arguments), in the entry's working folder."""
        self.assertEqual(link["arguments"], "")
        wine(link["target"], *paths, cwd=unix_path(link["workdir"]))

    def fetch(self, pasted, expected=None):
        """The pasted link's body, which must be `expected` when one is given."""
        url = browser_url(pasted)
        out = os.path.join(PREFIX, "fetched.bin")
        result = subprocess.run(["curl", "-s", "-S", "-f", "-g", "--max-time", "60", "-o", out, url],
                                capture_output=True, timeout=90)
        self.assertEqual(result.returncode, 0, f"{url}: {result.stderr!r}")
        with open(out, "rb") as f:
            body = f.read()
        if expected is not None:
            self.assertEqual(body, expected, url)
        return body

    def registry(self):
        values = {}
        for line in wine("reg", "query", UNINSTALL_KEY, check=False)[1].decode("utf-8", "replace").splitlines():
            parts = re.split(r"\s{2,}|\t", line.strip(), maxsplit=2)
            if len(parts) == 3 and parts[1].startswith("REG_"):
                values[parts[0]] = parts[2]
        return values

    def icon_setting(self):
        """HKCU\\Software\\Quillcast\\NotificationIcon as reg prints it, or None."""
        out = wine("reg", "query", r"HKCU\Software\Quillcast", "/v", "NotificationIcon", check=False)[1]
        for line in out.decode("utf-8", "replace").splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[0] == "NotificationIcon":
                return parts[2]
        return None

    # --- the journey ---------------------------------------------------------------------
    def test_journey(self):
        # Install silently.
        self.assertEqual(wine(SETUP, "/S", timeout=180, check=False)[0], 0)
        folders = self.folders()
        program_dir = folders["localappdata"] + r"\Programs\Quillcast"
        program = program_dir + r"\quillcast.exe"
        data_dir = folders["appdata"] + r"\Quillcast"
        for name in ("quillcast.exe", "uninstall.exe", "LICENSE.txt"):
            self.assertTrue(os.path.isfile(unix_path(program_dir + "\\" + name)), name)
        # The notification-area icon is shown unless the user ticked its option.
        self.assertIsNone(self.icon_setting())
        # Settings that make the first Send to put a working link on the clipboard.
        common = unix_path(data_dir + r"\common.cfg")
        with open(common, "rb") as f:
            self.assertEqual(f.read(), settings_bytes(80, host_choice=1, flags=2))

        # Every shortcut starts the program in the data folder.
        links = {
            "sendto": folders["sendto"] + r"\Quillcast.lnk",
            "server": folders["programs"] + r"\Quillcast\Quillcast.lnk",
            "panel": folders["programs"] + r"\Quillcast\Quillcast control panel.lnk",
            "stop": folders["programs"] + r"\Quillcast\Stop Quillcast.lnk",
            "startup": folders["startup"] + r"\Quillcast.lnk",
        }
        arguments = {"sendto": "", "server": "", "panel": "-ui", "stop": "-stop", "startup": ""}
        read = {}
        for key, path in links.items():
            link = self.shortcut(path)
            self.assertIsNotNone(link, path)
            self.assertTrue(same_path(link["target"], program), link)
            self.assertEqual(link["arguments"], arguments[key])
            self.assertTrue(same_path(link["workdir"], data_dir), link)
            read[key] = link

        # Registered in the user's Add/Remove Programs list.
        values = self.registry()
        self.assertEqual(values.get("DisplayName"), "Quillcast")
        self.assertRegex(values.get("DisplayVersion", ""), r"^\d+\.\d+\.\d+$")
        self.assertEqual(values.get("Publisher"), "Quillcast developers")
        self.assertTrue(same_path(values.get("DisplayIcon", ""), program + ",0"))
        self.assertTrue(same_path(values.get("UninstallString", ""), f'"{program_dir}\\uninstall.exe"'))
        self.assertTrue(same_path(values.get("QuietUninstallString", ""),
                                  f'"{program_dir}\\uninstall.exe" /S'))
        self.assertGreater(int(values.get("EstimatedSize", "0"), 0), 0)

        # Port 80 needs privileges this test does not assume: the same settings on a free
        # port, written as the control panel would.
        self.port = free_port()
        with open(common, "wb") as f:
            f.write(settings_bytes(self.port, host_choice=1, flags=2))
        server = self.start_server(read["server"])

        # Send to one file whose path has blanks and a Cyrillic name.
        shared = r"C:\users\Public\Shared Files"
        os.makedirs(unix_path(shared), exist_ok=True)
        report = os.urandom(200_000)
        with open(unix_path(shared + "\\отчёт 2009.pdf"), "wb") as f:
            f.write(report)
        self.send_to(read["sendto"], shared + "\\отчёт 2009.pdf")
        link = wait_until(self.clipboard, timeout=20)
        self.assertRegex(link, rf"^http://\d+\.\d+\.\d+\.\d+:{self.port}/отчёт%202009\.pdf$")
        self.fetch(link, report)

        # Several files at once: one link per line, each leading to its file.
        files = {shared + "\\a b.txt": os.urandom(3000),
                 shared + "\\Планы\\план #1.txt": os.urandom(4000),
                 r"C:\users\Public\x100%.txt": os.urandom(5000)}
        for path, payload in files.items():
            os.makedirs(os.path.dirname(unix_path(path)), exist_ok=True)
            with open(unix_path(path), "wb") as f:
                f.write(payload)
        self.send_to(read["sendto"], *files)
        def three_lines():
            lines = (self.clipboard() or "").split("\r\n")
            return lines if len(lines) == 3 else None
        lines = wait_until(three_lines, timeout=20)
        self.assertTrue(lines, self.clipboard())
        host = link[:link.index(f":{self.port}/") + len(f":{self.port}")]
        self.assertEqual(lines, [host + "/a%20b.txt", host + "/план%20%231.txt", host + "/x100%25.txt"])
        for pasted, payload in zip(lines, files.values()):
            self.fetch(pasted, payload)

        # Send to one folder with a Cyrillic name: one archive, "name.zip", that holds the
        # folder's tree under its name, the names in UTF-8.
        album = shared + "\\Фото 2024"
        tree = {"море.jpg": os.urandom(150_000), "Дни\\день 1.txt": os.urandom(2000),
                "Дни\\пусто.txt": b""}
        for name, payload in tree.items():
            path = unix_path(album + "\\" + name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(payload)
        os.makedirs(unix_path(album + "\\Пустая"))
        self.send_to(read["sendto"], album)
        def archive_link():
            text = self.clipboard() or ""
            return text if text.endswith(".zip") else None
        folder_link = wait_until(archive_link, timeout=20)
        self.assertEqual(folder_link, host + "/Фото%202024.zip")
        with zipfile.ZipFile(io.BytesIO(self.fetch(folder_link))) as archive:
            self.assertIsNone(archive.testzip())
            got = {info.filename: archive.read(info) for info in archive.infolist()}
        expected = {"Фото 2024/" + name.replace("\\", "/"): payload for name, payload in tree.items()}
        expected.update({"Фото 2024/": b"", "Фото 2024/Дни/": b"", "Фото 2024/Пустая/": b""})
        self.assertEqual(got, expected)

        # Installing over a running server stops it first and keeps the data.
        with open(unix_path(data_dir + r"\shared.cfg"), "rb") as f:
            shares_before = f.read()
        # This one also hides the notification-area icon, as its option does.
        self.assertEqual(wine(SETUP, "/S", "/NOICON", timeout=180, check=False)[0], 0)
        self.assertTrue(wait_until(lambda: server.poll() is not None, timeout=30),
                        "the installer left the server running")
        self.assertEqual(self.icon_setting(), "0x0")
        with open(unix_path(data_dir + r"\shared.cfg"), "rb") as f:
            self.assertEqual(f.read(), shares_before)
        with open(common, "rb") as f:
            self.assertEqual(f.read(), settings_bytes(self.port, host_choice=1, flags=2))
        server = self.start_server(read["server"])
        self.fetch(link, report)

        # Uninstalling silently stops the server, removes the program and every shortcut,
        # and keeps the data folder. The uninstaller runs on from a copy of itself.
        wine(program_dir + r"\uninstall.exe", "/S")
        self.assertTrue(wait_until(lambda: not os.path.exists(unix_path(program_dir)), timeout=60),
                        os.listdir(unix_path(program_dir)) if os.path.exists(unix_path(program_dir)) else "")
        self.assertTrue(wait_until(lambda: server.poll() is not None, timeout=30),
                        "the uninstaller left the server running")
        for key, path in links.items():
            self.assertFalse(os.path.exists(unix_path(path)), path)
        self.assertFalse(os.path.exists(unix_path(folders["programs"] + r"\Quillcast")))
        self.assertEqual(self.registry(), {})
        # The user's files stay, the download counts among them (the journey downloaded).
        self.assertEqual(sorted(os.listdir(unix_path(data_dir))), ["common.cfg", "downloads.cfg", "shared.cfg"])
        # The icon choice is the user's, like the data folder.
        self.assertEqual(self.icon_setting(), "0x0")
        with open(unix_path(data_dir + r"\shared.cfg"), "rb") as f:
            self.assertEqual(f.read(), shares_before)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
