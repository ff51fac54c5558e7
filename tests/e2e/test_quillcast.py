"""End-to-end tests of the real program: start, share from a second instance, download
with real clients, stop, restart; the messages every failure shows."""
import os
import shutil
import socket
import subprocess
import threading
import time
import unittest

from harness import (MODE, WINE_MODE, Message, Sandbox, free_port, http_get, settings_bytes,
                     share_record, to_program_path)

NOT_RUNNING = Message("Attention", "Unable to perform the operation. Most likely the server is not running", "warning")
ALREADY_RUNNING = Message("error", "Error, server already running", "error")
PAGE_404 = (b"HTTP/1.1 404 Not Found\nContent-Length: 198\n\n"
            b"<html><head><title>404 Not Found</title></head>\n<body>\n<h1>Not Found</h1>\n"
            b"<p>The requested URL was not found on this server.</p>\n"
            b"<hr><address>Quillcast/1.0.0 (Win32) Server</address>\n</body>\n</html>")


class QuillcastTest(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.port = free_port()

    def configure(self, **kw):
        self.box.write("common.cfg", settings_bytes(self.port, **kw))

    def stop(self, server):
        client = self.box.run("-stop")
        self.assertEqual(client.wait(), 1)
        self.assertEqual(server.wait(), 1)

    def share(self, path):
        client = self.box.run(path)
        self.assertEqual(client.wait(), 1)

    def wait_for_records(self, count, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                data = self.box.read("shared.cfg")
                n, offset = 0, 0
                while offset + 6 <= len(data):
                    v = int.from_bytes(data[offset:offset + 2], "little")
                    p = int.from_bytes(data[offset + 2:offset + 4], "little")
                    offset += 6 + v + p
                    n += 1
                if n >= count and offset == len(data):
                    return data
            except OSError:
                pass
            time.sleep(0.05)
        self.fail(f"shared.cfg never held {count} records")

    def curl(self, *args):
        return subprocess.run(["curl", "-s", "-S", "--max-time", "60", *args], capture_output=True, timeout=90)

    def test_share_download_resume_stop_and_restart(self):
        self.configure()
        server = self.box.start_server(self.port)
        self.assertEqual(http_get(self.port, b"GET /data.bin HTTP/1.1\r\n\r\n"), PAGE_404)

        payload = os.urandom(300_000)
        self.box.write("data.bin", payload)
        physical = to_program_path(self.box.path("data.bin"))
        self.share(physical)
        record = self.wait_for_records(1)
        self.assertEqual(record, share_record(b"/data.bin", physical.encode()))

        url = f"http://127.0.0.1:{self.port}/data.bin"
        whole = self.curl("-o", self.box.path("whole.bin"), url)
        self.assertEqual(whole.returncode, 0, whole.stderr)
        self.assertEqual(self.box.read("whole.bin"), payload)

        # A broken download resumes where it stopped, with curl and with wget.
        self.box.write("part-curl.bin", payload[:123_457])
        resumed = self.curl("-C", "-", "-o", self.box.path("part-curl.bin"), url)
        self.assertEqual(resumed.returncode, 0, resumed.stderr)
        self.assertEqual(self.box.read("part-curl.bin"), payload)
        if shutil.which("wget"):
            self.box.write("part-wget.bin", payload[:200_001])
            wget = subprocess.run(["wget", "-q", "-c", "-O", self.box.path("part-wget.bin"), url],
                                  capture_output=True, timeout=90)
            self.assertEqual(wget.returncode, 0, wget.stderr)
            self.assertEqual(self.box.read("part-wget.bin"), payload)

        self.stop(server)
        # The share survives a restart.
        server = self.box.start_server(self.port)
        again = self.curl("-o", self.box.path("again.bin"), url)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(self.box.read("again.bin"), payload)
        self.stop(server)

    def test_second_start_is_refused_and_the_first_keeps_serving(self):
        self.configure()
        server = self.box.start_server(self.port)
        second = self.box.run()
        self.assertEqual(self.box.messages(second, 1), [ALREADY_RUNNING])
        self.assertEqual(second.wait(), 1)
        self.assertEqual(http_get(self.port, b"GET /x HTTP/1.1\r\n\r\n"), PAGE_404)
        self.stop(server)

    def test_remote_requests_without_a_server(self):
        for args, expected in ((["-stop"], NOT_RUNNING), (["-ui"], NOT_RUNNING),
                               ([to_program_path(self.box.path("a.txt"))],
                                Message("Error", "Configuration error, most likely the server is not running\n\nOpenEvent error", "error"))):
            with self.subTest(args=args):
                client = self.box.run(*args)
                self.assertEqual(self.box.messages(client, 1), [expected])
                self.assertEqual(client.wait(), 1)
        self.assertFalse(os.path.exists(self.box.path("common.cfg")))
        self.assertFalse(os.path.exists(self.box.path("shared.cfg")))

    def test_stop_while_a_client_downloads_closes_it(self):
        self.configure()
        with open(self.box.path("big.bin"), "wb") as f:
            f.truncate(256 << 20)  # sparse: far more than the socket buffers hold
        self.box.write("shared.cfg", share_record(b"/big.bin", to_program_path(self.box.path("big.bin")).encode()))
        server = self.box.start_server(self.port)
        idle = socket.create_connection(("127.0.0.1", self.port), timeout=30)
        downloading = socket.create_connection(("127.0.0.1", self.port), timeout=30)
        downloading.sendall(b"GET /big.bin HTTP/1.1\r\n\r\n")
        self.assertTrue(downloading.recv(4096).startswith(b"HTTP/1.1 200 OK\n"))
        self.stop(server)
        for s in (idle, downloading):
            received = 0
            while True:
                chunk = s.recv(1 << 20)
                if not chunk:
                    break
                received += len(chunk)
            self.assertLess(received, 256 << 20)
            s.close()

    def test_over_long_path_is_refused_without_touching_the_server(self):
        self.configure()
        server = self.box.start_server(self.port)
        too_long = to_program_path(self.box.path("x" * 5119))
        client = self.box.run(too_long)
        self.assertEqual(self.box.messages(client, 1),
                         [Message("Error", "The path is too long to share: at most 5118 bytes fit the request", "error")])
        self.assertEqual(client.wait(), 1)
        self.assertFalse(os.path.exists(self.box.path("shared.cfg")))
        self.stop(server)

    def test_clients_sharing_at_the_same_moment_all_arrive(self):
        self.configure()
        server = self.box.start_server(self.port)
        names = [f"file-{i}-" + "n" * (i * 200) + ".txt" for i in range(6)]
        clients = [self.box.run(to_program_path(self.box.path(n))) for n in names]
        for c in clients:
            self.assertEqual(c.wait(), 1)
        data = self.wait_for_records(len(names))
        for n in names:
            self.assertIn(share_record(("/" + n).encode(), to_program_path(self.box.path(n)).encode()), data)
        self.stop(server)

    def test_url_of_a_command_line_share_goes_to_the_clipboard(self):
        self.configure(flags=2, domain=b"localhost")
        server = self.box.start_server(self.port)
        # Under Wine the argument arrives quoted (it holds blanks) and the quotes go; the
        # blank, "#" and "%" are escaped in the URL, and the escaped URL finds the share.
        name = "report 2009 #1 100%.pdf"
        payload = os.urandom(5000)
        self.box.write(name, payload)
        self.share(to_program_path(self.box.path(name)))
        expected = f"http://localhost:{self.port}/report%202009%20%231%20100%25.pdf".encode()
        if WINE_MODE:
            self.wait_for_records(1)
            self.assertEqual(self.box.read_clipboard(), expected)
        else:
            self.assertEqual(server.stdout_line().encode(), expected)
        fetched = self.curl("-f", "-o", self.box.path("fetched.bin"),
                            expected.decode().replace("localhost", "127.0.0.1"))
        self.assertEqual(fetched.returncode, 0, fetched.stderr)
        self.assertEqual(self.box.read("fetched.bin"), payload)
        self.stop(server)

    @unittest.skipIf(WINE_MODE, "under Windows the bind failure opens the control panel")
    def test_port_in_use_reports_and_ends(self):
        holder = socket.socket()
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        self.addCleanup(holder.close)
        self.port = holder.getsockname()[1]
        self.configure()
        server = self.box.run()
        self.assertEqual(self.box.messages(server, 1),
                         [Message("Error", "Can't run server. Check your firewall and access to port")])
        self.assertEqual(server.wait(), 1)

    @unittest.skipUnless(WINE_MODE, "the native client completes bare names into full paths")
    def test_path_without_backslash_reports_both_messages(self):
        self.configure()
        server = self.box.start_server(self.port)
        client = self.box.run("-STOP")
        self.assertEqual(client.wait(), 1)
        self.assertEqual(self.box.messages(server, 2),
                         [Message("Error", "Incorrect physical path to file", "error"),
                          Message("error", "Error. Can't generate virtual path", "error")])
        self.stop(server)


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
        holder = socket.socket()
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        self.addCleanup(holder.close)
        self.box.write("common.cfg", settings_bytes(holder.getsockname()[1]))
        server = self.box.run()
        self.assertEqual(self.box.messages(server, 1),
                         [Message("Error", "Can't run server. Check your firewall and access to port", "error")])
        self.wait_for_panel(True)
        # No channel in this state: a stop finds no server.
        stopper = self.box.run("-stop")
        self.assertEqual(self.box.messages(stopper, 1), [NOT_RUNNING])
        self.assertEqual(stopper.wait(), 1)
        self.assertIsNone(server.proc.poll())
        self.assertTrue(self.box.close_window("Quillcast Control Panel"))
        self.assertEqual(server.wait(), 1)

    def test_server_shows_no_window(self):
        port = free_port()
        self.box.write("common.cfg", settings_bytes(port))
        server = self.box.start_server(port)
        self.assertEqual(self.box.windows(), [])
        client = self.box.run("-stop")
        self.assertEqual(client.wait(), 1)
        self.assertEqual(server.wait(), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
