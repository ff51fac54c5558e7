"""End-to-end tests of what only the Windows program has: its build (static, GUI
subsystem), the control panel a second start opens, the port notice, taskkill, the
notification icon. Under Wine only; natively every case is skipped.

Environment: QC_E2E_MODE, QC_BIN, QC_TOOLS, QC_WINE, as the other end-to-end tests."""
import os
import socket
import subprocess
import time
import unittest

from harness import (TOOLS, WINE, WINE_MODE, Message, Sandbox, free_port, settings_bytes, share_record, taken_port,
                     to_program_path)

NOT_RUNNING = Message("Attention", "Unable to perform the operation. Most likely the server is not running", "warning")


@unittest.skipUnless(WINE_MODE, "Windows program only")
class WindowsProgramTest(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)

    def test_is_a_static_gui_subsystem_program(self):
        from harness import BIN
        with open(BIN, "rb") as f:
            image = f.read()
        pe = int.from_bytes(image[0x3C:0x40], "little")
        self.assertEqual(image[pe:pe + 4], b"PE\0\0")
        optional = pe + 24
        self.assertEqual(int.from_bytes(image[optional:optional + 2], "little"), 0x20B)  # PE32+
        self.assertEqual(int.from_bytes(image[optional + 68:optional + 70], "little"), 2)  # GUI
        for runtime_dll in (b"libstdc++-6.dll", b"libgcc_s_seh-1.dll", b"libwinpthread-1.dll"):
            self.assertNotIn(runtime_dll, image)

    def wait_for_panel(self, present, timeout=30):
        panel = ("WndClassQuillcastMain", "Quillcast Control Panel")
        deadline = time.time() + timeout
        while time.time() < deadline:
            windows = self.box.windows()
            if (windows.count(panel) == 1) == present and windows.count(panel) <= 1:
                return windows
            time.sleep(0.2)
        self.fail(f"control panel {'never opened' if present else 'never closed'}: {self.box.windows()}")

    def test_ui_request_opens_one_panel_and_shares_wait_for_it(self):
        port = free_port()
        self.box.write("common.cfg", settings_bytes(port))
        server = self.box.start_server(port)
        self.assertEqual(self.box.run("-ui").wait(), 1)
        self.wait_for_panel(True)
        # A second request while it is open changes nothing.
        self.assertEqual(self.box.run("-ui").wait(), 1)
        time.sleep(1)
        self.wait_for_panel(True)
        sharer = self.box.run(to_program_path(self.box.path("a.txt")))
        self.assertEqual(sharer.wait(), 1)
        self.assertEqual(self.box.messages(server, 1),
                         [Message("Attention", "The operation is not available while configuration window is running", "warning")])
        self.assertTrue(self.box.close_window("Quillcast Control Panel"))
        self.wait_for_panel(False)
        self.assertFalse(os.path.exists(self.box.path("shared.cfg")))
        # Under Wine the window leaves the screen a second or two before its thread has
        # finished closing and cleared the panel's flag.
        time.sleep(3)
        self.assertEqual(self.box.run(to_program_path(self.box.path("b.txt"))).wait(), 1)
        deadline = time.time() + 20
        while not os.path.exists(self.box.path("shared.cfg")) and time.time() < deadline:
            time.sleep(0.1)
        self.assertEqual(self.box.read("shared.cfg"),
                         share_record(b"/b.txt", to_program_path(self.box.path("b.txt")).encode()))
        self.assertEqual(self.box.run("-stop").wait(), 1)
        self.assertEqual(server.wait(), 1)

    def test_port_in_use_opens_the_panel_and_the_process_ends_with_it(self):
        port = taken_port(self)
        self.box.write("common.cfg", settings_bytes(port))
        server = self.box.run()
        self.assertEqual(self.box.messages(server, 1),
                         [Message("Error", "Can't run server. Check your firewall and access to port", "error")])
        # The box's text is fixed; the system's word for the failure goes to standard error.
        self.assertIn(f"quillcast: port {port}: WSAEADDRINUSE (10048)",
                      server.stderr_lines.get(timeout=30).rstrip("\r"))
        self.wait_for_panel(True)
        # No channel in this state: a stop finds no server.
        stopper = self.box.run("-stop")
        self.assertEqual(self.box.messages(stopper, 1), [NOT_RUNNING])
        self.assertEqual(stopper.wait(), 1)
        self.assertIsNone(server.proc.poll())
        self.assertTrue(self.box.close_window("Quillcast Control Panel"))
        self.assertEqual(server.wait(), 1)

    def test_port_notice_left_open_holds_neither_downloads_nor_the_stop(self):
        port = free_port()
        settings = settings_bytes(port)
        self.box.write("common.cfg", settings)
        payload = os.urandom(200_000)
        self.box.write("n.bin", payload)
        self.box.write("shared.cfg", share_record(b"/n.bin", to_program_path(self.box.path("n.bin")).encode()))
        server = self.box.start_server(port)
        self.assertEqual(self.box.run("-ui").wait(), 1)
        self.wait_for_panel(True)
        poke = os.path.join(TOOLS, "ui_poke.exe")
        for args in (["text", "WndClassQuillcastMain", "2003", str(port + 1)],
                     ["click", "WndClassQuillcastMain", "2001"]):
            self.assertEqual(subprocess.run([WINE, poke, *args], env=self.box.env, timeout=60).returncode, 0)
        notice = ("#32770", "Attention")
        deadline = time.time() + 30
        while notice not in self.box.windows() and time.time() < deadline:
            time.sleep(0.2)
        self.assertIn(notice, self.box.windows())
        # The notice waits for a click; downloads go on meanwhile.
        got = subprocess.run(["curl", "-s", "-S", "--max-time", "20", "-o", self.box.path("got.bin"),
                              f"http://127.0.0.1:{port}/n.bin"], capture_output=True, timeout=60)
        self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(self.box.read("got.bin"), payload)
        # And a stop ends the server within seconds, the notice and the panel with it.
        started = time.time()
        self.assertEqual(self.box.run("-stop").wait(), 1)
        self.assertEqual(server.wait(timeout=15), 1)
        self.assertLess(time.time() - started, 15)
        self.assertNotIn(notice, self.box.windows())
        # Nothing was saved, as with the close box.
        self.assertEqual(self.box.read("common.cfg"), settings)

    # Without a tray on the display, Wine draws notification-area icons in a window of
    # explorer.exe's, visible while it holds at least one icon.
    WINE_TRAY = ("__winex11_standalone_tray", "Wine System Tray")

    def wait_for_windows(self, expected, timeout=15):
        deadline = time.time() + timeout
        while time.time() < deadline:
            windows = self.box.windows()
            if windows == expected:
                return
            time.sleep(0.2)
        self.assertEqual(self.box.windows(), expected)

    def icon_setting(self, value):
        """Sets HKCU\\Software\\Quillcast\\NotificationIcon for this test (None: no value)."""
        from harness import WINE
        key = "HKCU\\Software\\Quillcast"
        def reg(*args):
            subprocess.run([WINE, "reg", *args], capture_output=True, timeout=60, env=self.box.env)
        reg("delete", key, "/v", "NotificationIcon", "/f")
        if value is not None:
            reg("add", key, "/v", "NotificationIcon", "/t", "REG_DWORD", "/d", str(value), "/f")
            self.addCleanup(reg, "delete", key, "/v", "NotificationIcon", "/f")

    def start_showing(self, setting, expected):
        """A server started with the icon setting `setting`, once the desktop shows
        `expected`; and its port."""
        self.icon_setting(setting)
        port = free_port()
        self.box.write("common.cfg", settings_bytes(port))
        server = self.box.start_server(port)
        self.wait_for_windows(expected)
        return server, port

    def test_taskkill_stops_the_server_as_stop_does(self):
        # "taskkill" without /F (what uninstallers do) asks each top-level window to close:
        # the server stops with its exit code, icon and all; also with the icon turned off.
        from harness import WINE
        for setting, expected in ((None, [self.WINE_TRAY]), (0, [])):
            with self.subTest(setting=setting):
                server, port = self.start_showing(setting, expected)
                kill = subprocess.run([WINE, "taskkill", "/im", "quillcast.exe"], capture_output=True,
                                      timeout=60, env=self.box.env)
                self.assertEqual(kill.returncode, 0, kill.stdout + kill.stderr)
                self.assertEqual(server.wait(), 1)
                self.wait_for_windows([])
                with self.assertRaises(OSError):
                    socket.create_connection(("127.0.0.1", port), timeout=2).close()
                self.icon_setting(None)

    def test_server_shows_no_window_but_its_icon_until_it_stops(self):
        # The icon, unless turned off; never a window of the server's own.
        for setting, expected in ((None, [self.WINE_TRAY]), (1, [self.WINE_TRAY]), (0, [])):
            with self.subTest(setting=setting):
                server, _ = self.start_showing(setting, expected)
                client = self.box.run("-stop")
                self.assertEqual(client.wait(), 1)
                self.assertEqual(server.wait(), 1)
                # No ghost icon.
                self.wait_for_windows([])
                self.icon_setting(None)


if __name__ == "__main__":
    unittest.main(verbosity=2)
