"""End-to-end tests of the real program: start, share from a second instance, download
with real clients, stop, restart; the messages every failure shows."""
import email.utils
import io
import os
import shutil
import signal
import socket
import struct
import subprocess
import time
import unittest
import zipfile

from harness import (DATE_LINE, PAGE_404, PAGE_412, PAGE_503, WINE, WINE_MODE, Message, Sandbox, dated,
                     free_port, head_of, http_get, page_416, read_to_close, settings_bytes, share_record,
                     taken_port, to_program_path)

NOT_RUNNING = Message("Attention", "Unable to perform the operation. Most likely the server is not running", "warning")
# The native program is a Linux command: 0 when it did what was asked (a normal stop of the
# server included), 1 when it failed; the Windows program ends with 1 on every path.
DONE = 1 if WINE_MODE else 0
NATIVE_NOT_RUNNING = Message("quillcast", "no server is running (start one with: quillcast)")
ALREADY_RUNNING = Message("error", "Error, server already running", "error")
DRIVE_ROOT = ("Can't share this folder: it is the root of a drive, so everything on the drive would be shared. "
              "Share the folders inside it that you mean to share")


class QuillcastTest(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.port = free_port()

    def configure(self, **kw):
        self.box.write("common.cfg", settings_bytes(self.port, **kw))

    def stop(self, server):
        client = self.box.run("-stop")
        self.assertEqual(client.wait(), DONE)
        self.assertEqual(server.wait(), DONE)

    def share(self, path):
        client = self.box.run(path)
        self.assertEqual(client.wait(), DONE)
        return client

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
        if WINE_MODE:
            cases = ((["-stop"], NOT_RUNNING, 1), (["-ui"], NOT_RUNNING, 1),
                     ([to_program_path(self.box.path("a.txt"))],
                      Message("Error", "Configuration error, most likely the server is not running\n\nOpenEvent error", "error"), 1))
        else:
            # Plain words on standard error, without the Windows object names.
            self.box.write("a.txt", b"a")
            cases = ((["-stop"], NATIVE_NOT_RUNNING, 1), ([self.box.path("a.txt")], NATIVE_NOT_RUNNING, 1),
                     (["-ui"], Message("quillcast", "the control panel exists only in the Windows build; "
                                                    "use -list, -unshare and -config"), 2))
        for args, expected, code in cases:
            with self.subTest(args=args):
                client = self.box.run(*args)
                self.assertEqual(self.box.messages(client, 1), [expected])
                self.assertEqual(client.wait(), code)
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
        self.assertTrue(downloading.recv(4096).startswith(b"HTTP/1.1 200 OK\r\n"))
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
        expected = (Message("Error", "The path is too long to share: at most 5118 bytes fit the request", "error")
                    if WINE_MODE else Message("quillcast", f"cannot share {too_long}: File name too long"))
        self.assertEqual(self.box.messages(client, 1), [expected])
        self.assertEqual(client.wait(), 1)
        self.assertFalse(os.path.exists(self.box.path("shared.cfg")))
        self.stop(server)

    def test_clients_sharing_at_the_same_moment_all_arrive(self):
        self.configure()
        server = self.box.start_server(self.port)
        # The native command shares existing files only, whose names Linux keeps under 256
        # bytes.
        names = [f"file-{i}-" + "n" * (i * (200 if WINE_MODE else 40)) + ".txt" for i in range(6)]
        if not WINE_MODE:
            for n in names:
                self.box.write(n, n.encode())
        clients = [self.box.run(to_program_path(self.box.path(n))) for n in names]
        for c in clients:
            self.assertEqual(c.wait(), DONE)
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
        client = self.share(to_program_path(self.box.path(name)))
        expected = f"http://localhost:{self.port}/report%202009%20%231%20100%25.pdf".encode()
        if WINE_MODE:
            self.wait_for_records(1)
            self.assertEqual(self.box.wait_for_clipboard(lambda text: text == expected), expected)
        else:
            self.assertEqual(server.stdout_line().encode(), expected)
            self.assertEqual(client.stdout_line().encode(), expected)
        fetched = self.curl("-f", "-o", self.box.path("fetched.bin"),
                            expected.decode().replace("localhost", "127.0.0.1"))
        self.assertEqual(fetched.returncode, 0, fetched.stderr)
        self.assertEqual(self.box.read("fetched.bin"), payload)
        self.stop(server)

    @unittest.skipIf(WINE_MODE, "the descriptor limit is set on the native process")
    def test_running_out_of_descriptors_does_not_end_serving(self):
        import resource
        self.configure()
        payload = os.urandom(100_000)
        self.box.write("d.bin", payload)
        self.box.write("shared.cfg", share_record(b"/d.bin", to_program_path(self.box.path("d.bin")).encode()))
        limit = 32

        def few_descriptors():
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

        server = self.box.start_server(self.port, preexec_fn=few_descriptors)
        request = b"GET /d.bin HTTP/1.1\r\n\r\n"
        # Served once first. UndefinedBehaviorSanitizer checks a pointer's dynamic type the
        # first time by probing memory through a pipe; with no descriptor left that probe
        # fails, and it reports a bad vptr that is not there (and, built not to recover,
        # ends the server). Once a type is checked it is remembered.
        self.assertEqual(http_get(self.port, request)[-len(payload):], payload)
        # More clients than the server has descriptors: past what it can spare for clients
        # each is closed at once, and an accept that fails for want of one is retried.
        idle = [socket.create_connection(("127.0.0.1", self.port), timeout=30) for _ in range(limit + 16)]
        time.sleep(1)
        self.assertIsNone(server.proc.poll())
        for s in idle:
            s.close()
        # The server keeps answering while it releases the descriptors of the clients gone
        # (a file it cannot open meanwhile is the 404 page), and then serves the file.
        deadline = time.monotonic() + 20
        while True:
            answer = http_get(self.port, request, timeout=20)
            if answer[-len(payload):] == payload or time.monotonic() > deadline:
                break
            self.assertEqual(answer, PAGE_404)
            time.sleep(0.1)
        self.assertEqual(answer[-len(payload):], payload)
        again = self.curl("-o", self.box.path("again.bin"), f"http://127.0.0.1:{self.port}/d.bin")
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(self.box.read("again.bin"), payload)
        self.stop(server)
        time.sleep(0.2)  # the pump thread drains standard error
        # No message but the start line, and no sanitizer report (whose exit code would be
        # 1 as well).
        lines = list(server.stderr_lines.queue)
        self.assertEqual([l for l in lines if "serving on port" not in l], [], lines)

    @unittest.skipIf(WINE_MODE, "under Windows the bind failure opens the control panel")
    def test_port_in_use_reports_and_ends(self):
        self.port = taken_port(self)
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

    def test_a_folder_is_one_archive_and_a_drive_is_never_shared_unasked(self):
        self.configure(flags=2, domain=b"localhost")
        server = self.box.start_server(self.port)
        os.mkdir(self.box.path("photos"))
        self.box.write(os.path.join("photos", "a.txt"), b"a")
        client = self.share(to_program_path(self.box.path("photos")))
        self.assertEqual(self.shared_link(client, 1), f"http://localhost:{self.port}/photos.zip")
        record = self.box.read("shared.cfg")
        fetched = self.curl("-f", f"http://127.0.0.1:{self.port}/photos.zip")
        self.assertEqual(fetched.returncode, 0, fetched.stderr)
        with zipfile.ZipFile(io.BytesIO(fetched.stdout)) as archive:
            self.assertEqual(archive.namelist(), ["photos/", "photos/a.txt"])
            self.assertEqual(archive.read("photos/a.txt"), b"a")
        # Send to cannot ask whether a whole drive is meant; the command wants --yes.
        root = "C:\\" if WINE_MODE else "/"
        client = self.box.run(root)
        self.assertEqual(client.wait(), 1)
        if WINE_MODE:
            self.assertEqual(self.box.messages(server, 1), [Message("Error", DRIVE_ROOT + "\n\n" + root, "error")])
        else:
            self.assertEqual(self.box.messages(client, 1),
                             [Message("quillcast", DRIVE_ROOT + ": / (quillcast --yes shares it all the same)")])
        self.assertEqual(self.box.read("shared.cfg"), record)
        self.stop(server)

    def shared_link(self, client, count):
        """The link the latest share put on the clipboard (Windows) or that its command
        printed (native), once shared.cfg holds `count` records."""
        self.wait_for_records(count)
        if WINE_MODE:
            earlier = getattr(self, "last_link", None)
            # A link of this server's (another test's may still be there) that is new.
            port = f":{self.port}/".encode()
            link = self.box.wait_for_clipboard(
                lambda text: text is not None and port in text and text != earlier)
            self.last_link = link
            return link.decode() if link is not None else None
        return utf8_line(client.stdout_line())

    def test_two_files_of_one_name_get_links_of_their_own(self):
        self.configure(flags=2, domain=b"localhost")
        server = self.box.start_server(self.port)
        contents = {}
        for folder in ("d1", "d2", "d3"):
            os.mkdir(self.box.path(folder))
            contents[folder] = os.urandom(3000)
            self.box.write(os.path.join(folder, "report.txt"), contents[folder])
        base = f"http://localhost:{self.port}"
        links = {}
        for count, folder in enumerate(("d1", "d2", "d3"), start=1):
            client = self.share(to_program_path(self.box.path(os.path.join(folder, "report.txt"))))
            links[folder] = self.shared_link(client, count)
        # Numbered as file managers number copies; the blank is escaped in the link.
        self.assertEqual(links, {"d1": f"{base}/report.txt", "d2": f"{base}/report%20(2).txt",
                                 "d3": f"{base}/report%20(3).txt"})
        # The same file again gives its link back and stores nothing.
        records = self.box.read("shared.cfg")
        client = self.share(to_program_path(self.box.path(os.path.join("d2", "report.txt"))))
        if WINE_MODE:
            again = links["d2"].encode()
            self.assertEqual(self.box.wait_for_clipboard(lambda text: text == again), again)
        else:
            self.assertEqual(utf8_line(client.stdout_line()), links["d2"])
        self.assertEqual(self.box.read("shared.cfg"), records)
        # Each link serves its own file.
        for folder, link in links.items():
            with self.subTest(folder=folder):
                fetched = self.curl("-f", link.replace("localhost", "127.0.0.1"))
                self.assertEqual((fetched.returncode, fetched.stdout), (0, contents[folder]), fetched.stderr)
        self.stop(server)

    def test_names_outside_the_code_page_never_give_a_dead_link(self):
        # An English system: Wine's code page 1252, which holds neither name. The file is
        # shared through its short name; a name nothing reaches is refused and not stored.
        self.box.env["LC_ALL"] = "C.UTF-8"
        self.configure(flags=2, domain=b"localhost")
        server = self.box.start_server(self.port)
        names = ("\u540d\u524d.txt", "\U0001F600.txt")
        for count, name in enumerate(names, start=1):
            with self.subTest(name=name):
                payload = os.urandom(2000)
                self.box.write(name, payload)
                client = self.share(to_program_path(self.box.path(name)))
                link = self.shared_link(client, count)
                self.assertTrue(link.startswith(f"http://localhost:{self.port}/"), link)
                if not WINE_MODE:
                    self.assertEqual(link, f"http://localhost:{self.port}/{name}")
                fetched = self.curl("-f", link.replace("localhost", "127.0.0.1"))
                self.assertEqual((fetched.returncode, fetched.stdout), (0, payload), fetched.stderr)
        if WINE_MODE:
            records = self.box.read("shared.cfg")
            missing = to_program_path(self.box.path("\u65e0.txt"))
            client = self.box.run(missing)
            told = self.box.messages(client, 1)
            self.assertEqual(client.wait(), 1)
            self.assertEqual(len(told), 1)
            self.assertEqual((told[0].caption, told[0].icon), ("Error", "error"))
            self.assertTrue(told[0].text.startswith("Can't share this file: its name holds characters"), told)
            self.assertTrue(told[0].text.endswith("\\?.txt"), told)
            time.sleep(1)
            self.assertEqual(self.box.read("shared.cfg"), records)
        self.stop(server)

    def test_a_path_with_a_control_character_is_refused_and_not_stored(self):
        self.configure()
        server = self.box.start_server(self.port)
        bad = to_program_path(self.box.path("a\x01b.txt"))
        client = self.box.run(bad)
        shown = bad.replace("\x01", "?")
        if WINE_MODE:
            expected = Message("Error", "Can't share this path: it holds a control character\n\n" + shown, "error")
        else:
            expected = Message("quillcast", f"cannot share {shown}: the name holds a control character")
        self.assertEqual(self.box.messages(client, 1), [expected])
        self.assertEqual(client.wait(), 1)
        if not WINE_MODE:
            # A client that does not check: the server refuses it itself.
            path = self.box.path("d/x\0y.txt").encode()
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(os.path.join(self.box.env["XDG_RUNTIME_DIR"], "quillcast-control.sock"))
                s.sendall(b"S" + struct.pack("<H", len(path)) + path)
            # After the start line; the message's line feeds are line breaks on a terminal.
            lines = [server.stderr_lines.get(timeout=30) for _ in range(4)]
            self.assertIn("serving on port", lines[0])
            self.assertEqual("\n".join(lines[1:]), "Error: Can't share this path: it holds a control "
                                                   "character\n\n" + path.decode().replace("\0", "?"))
        time.sleep(0.5)
        self.assertFalse(os.path.exists(self.box.path("shared.cfg")))
        self.stop(server)

    def test_settings_that_break_links_are_left_out_at_start_and_told_once(self):
        stored = settings_bytes(self.port, flags=2, domain=b"ex ample.org", folder=b"abc")
        self.box.write("common.cfg", stored)
        server = self.box.start_server(self.port)
        told = ("common.cfg holds settings that would break every link; this run goes on without them, "
                "and the file is left as it is:\n\n"
                "domain \"ex ample.org\": links take an address of this machine\n\n"
                "default virtual folder \"abc\": new shares go under \"/\"")
        if WINE_MODE:
            self.assertEqual(self.box.messages(server, 1), [Message("Attention", told, "warning")])
        else:
            lines = [server.stderr_lines.get(timeout=30) for _ in range(6)]
            self.assertEqual("\n".join(lines[:5]), "Attention: " + told)
            self.assertEqual(lines[5], "quillcast: correct common.cfg with: quillcast -config "
                                       "domain=NAME folder=/FOLDER")
        self.box.write("f.txt", b"f")
        client = self.share(to_program_path(self.box.path("f.txt")))
        link = self.shared_link(client, 1)
        self.assertTrue(link.endswith(f":{self.port}/f.txt"), link)
        self.assertNotIn("ample", link)
        fetched = self.curl("-f", link)
        self.assertEqual((fetched.returncode, fetched.stdout), (0, b"f"), fetched.stderr)
        self.assertEqual(self.box.read("common.cfg"), stored)
        self.stop(server)
        self.assertEqual(self.box.read("common.cfg"), stored)

    def test_links_carry_the_address_the_machine_reaches_others_from(self):
        # The address this machine sends from to reach other networks, asked of the system
        # as the program asks it: nothing is sent.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.connect(("203.0.113.1", 9))
                route = probe.getsockname()[0]
            except OSError:
                self.skipTest("this machine has no default route")
        for host_choice in (0, 1):
            with self.subTest(host_choice=host_choice):
                name = f"b{host_choice}.txt"
                self.box.write(name, b"b")
                self.configure(flags=2, host_choice=host_choice)
                server = self.box.start_server(self.port)
                self.share(to_program_path(self.box.path(name)))
                link = f"http://{route}:{self.port}/{name}"
                if WINE_MODE:
                    self.assertEqual(
                        self.box.wait_for_clipboard(lambda text: text == link.encode()),
                        link.encode())
                else:
                    self.assertEqual(server.stdout_line(), link)
                fetched = self.curl("-f", link)
                self.assertEqual((fetched.returncode, fetched.stdout), (0, b"b"), fetched.stderr)
                self.stop(server)

    def test_several_clients_and_ranges_of_one_file_at_once(self):
        payload = os.urandom(24 << 20)
        self.box.write("multi.bin", payload)
        physical = to_program_path(self.box.path("multi.bin")).encode()
        self.box.write("shared.cfg", share_record(b"/multi.bin", physical))
        self.configure()
        server = self.box.start_server(self.port)
        url = f"http://127.0.0.1:{self.port}/multi.bin"
        # Eight ranges fetched by eight curl processes at the same time.
        step = len(payload) // 8
        parts = []
        for i in range(8):
            last = len(payload) - 1 if i == 7 else (i + 1) * step - 1
            out = self.box.path(f"part-{i}.bin")
            parts.append((out, subprocess.Popen(
                ["curl", "-s", "-S", "-f", "--max-time", "120", "-r", f"{i * step}-{last}", "-o", out, url],
                stderr=subprocess.PIPE)))
        assembled = b""
        for out, proc in parts:
            _, err = proc.communicate(timeout=150)
            self.assertEqual(proc.returncode, 0, err)
            assembled += self.box.read(os.path.basename(out))
        self.assertEqual(assembled, payload)
        # A download manager that splits the file over several connections.
        if shutil.which("aria2c"):
            aria = subprocess.run(
                ["aria2c", "-q", "-x8", "-s8", "-k1M", "--file-allocation=none", "--allow-overwrite=true",
                 "--auto-file-renaming=false", "-d", self.box.path(""), "-o", "aria.bin", url],
                capture_output=True, timeout=150)
            self.assertEqual(aria.returncode, 0, aria.stdout + aria.stderr)
            self.assertEqual(self.box.read("aria.bin"), payload)
        self.stop(server)


def utf8_line(line):
    """A line of the native program's output, read as Latin-1, back as the UTF-8 it is."""
    return line.encode("latin-1").decode("utf-8")


def status_and_body(answer):
    head, sep, body = answer.partition(b"\r\n\r\n")
    if not sep:
        return answer.split(b"\r\n", 1)[0], b""
    return head.split(b"\r\n", 1)[0], body


class ServedBytesTest(unittest.TestCase):
    """The rules that decide which bytes the running program serves, each seen from
    outside: the one-shot rule at the last piece, the exact lookup, the share list that
    ends inside a record, the settings file's magic."""

    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.port = free_port()

    def start(self, records=b"", **settings):
        self.box.write("common.cfg", settings_bytes(self.port, **settings))
        if records:
            self.box.write("shared.cfg", records)
        server = self.box.start_server(self.port)
        self.addCleanup(server.kill)
        return server

    def stop(self, server):
        self.assertEqual(self.box.run("-stop").wait(), DONE)
        self.assertEqual(server.wait(), DONE)

    def get(self, path, range_=None):
        head = b"GET " + path + b" HTTP/1.1\r\nHost: x\r\n"
        if range_ is not None:
            head += b"Range: bytes=" + range_ + b"\r\n"
        return status_and_body(http_get(self.port, head + b"\r\n", read_limit=1 << 24))

    def file(self, name, size):
        data = bytes((i * 7 + size) % 251 for i in range(size))
        self.box.write(name, data)
        return data, to_program_path(self.box.path(name)).encode()

    def test_one_shot_share_goes_with_the_piece_that_reaches_the_end(self):
        # Sizes around the 4096-byte piece: the last piece is the one that reaches the
        # file's end, whatever range led there.
        sizes = (1, 4095, 4096, 4097, 8192, 8193)
        records, files = b"", {}
        for size in sizes:
            data, physical = self.file(f"f{size}.bin", size)
            records += share_record(f"/once{size}".encode(), physical, 1)
            records += share_record(f"/plain{size}".encode(), physical, 0)
            files[size] = data
        server = self.start(records)
        for size, data in files.items():
            with self.subTest(size=size):
                once = f"/once{size}".encode()
                if size > 1:
                    # Everything but the last byte: the end is never due, the share stays.
                    self.assertEqual(self.get(once, f"0-{size - 2}".encode()),
                                     (b"HTTP/1.1 206 Partial Content", data[:-1]))
                    self.assertEqual(self.get(once, b"0-0"), (b"HTTP/1.1 206 Partial Content", data[:1]))
                # The last byte alone is the last piece.
                self.assertEqual(self.get(once, b"-1"), (b"HTTP/1.1 206 Partial Content", data[-1:]))
                self.assertEqual(self.get(once), (b"HTTP/1.1 404 Not Found", PAGE_404.split(b"\r\n\r\n", 1)[1]))
                # A plain share of the same file is asked again the moment each download
                # ends, and is never found busy.
                plain = f"/plain{size}".encode()
                for _ in range(5):
                    self.assertEqual(self.get(plain), (b"HTTP/1.1 200 OK", data))
        self.stop(server)

    def test_one_shot_share_downloaded_whole_is_gone_afterwards(self):
        data, physical = self.file("whole.bin", 3 * 4096 + 5)
        server = self.start(share_record(b"/whole.bin", physical, 1))
        self.assertEqual(self.get(b"/whole.bin", b"4096-8191"), (b"HTTP/1.1 206 Partial Content", data[4096:8192]))
        self.assertEqual(self.get(b"/whole.bin"), (b"HTTP/1.1 200 OK", data))
        self.assertEqual(self.get(b"/whole.bin")[0], b"HTTP/1.1 404 Not Found")
        self.assertEqual(self.get(b"/whole.bin", b"0-0")[0], b"HTTP/1.1 404 Not Found")
        self.stop(server)

    def test_continuing_a_file_already_whole(self):
        # wget -c (and curl -C -) of a file they hold whole ask for the bytes after its end:
        # the 416 that names the size tells them it is done.
        data, physical = self.file("done.bin", 100_000)
        server = self.start(share_record(b"/done.bin", physical, 0))
        url = f"http://127.0.0.1:{self.port}/done.bin"
        self.box.write("wget.bin", data)
        wget = subprocess.run(["wget", "-c", "-O", self.box.path("wget.bin"), url], capture_output=True, timeout=60)
        self.assertEqual(wget.returncode, 0, wget.stderr)
        self.assertIn(b"416 Range Not Satisfiable", wget.stderr)
        self.assertEqual(self.box.read("wget.bin"), data)
        self.box.write("curl.bin", data)
        curl = subprocess.run(["curl", "-s", "-S", "-C", "-", "-o", self.box.path("curl.bin"), url],
                              capture_output=True, timeout=60)
        self.assertEqual(curl.returncode, 0, curl.stderr)
        self.assertEqual(self.box.read("curl.bin"), data)
        self.assertEqual(self.get(b"/done.bin", b"100000-"), (b"HTTP/1.1 416 Range Not Satisfiable",
                                                              page_416(100_000).partition(b"\r\n\r\n")[2]))
        self.stop(server)

    def test_a_file_rewritten_during_a_download_is_never_spliced(self):
        size = 20 << 20
        old, new = os.urandom(size), os.urandom(size)
        self.box.write("live.bin", old)
        self.box.write("new.bin", new)
        server = self.start(share_record(b"/live.bin", to_program_path(self.box.path("live.bin")).encode(), 0))
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            s.sendall(b"GET /live.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            received = bytearray()
            while len(received) < 5 << 20:
                chunk = s.recv(1 << 16)
                self.assertTrue(chunk, "the server closed early")
                received += chunk
            # The file is rewritten in place, same size, while most of it is still to come.
            if WINE_MODE:
                # A Windows program's write: the share modes of the server's open keep it out.
                copy = subprocess.run([WINE, "cmd", "/c", "copy", "/y", to_program_path(self.box.path("new.bin")),
                                       to_program_path(self.box.path("live.bin"))],
                                      capture_output=True, timeout=60, env=self.box.env)
                self.assertNotEqual(copy.returncode, 0, copy.stdout)
            else:
                with open(self.box.path("live.bin"), "r+b") as f:
                    f.write(new)
            received = read_to_close(s, received)
        head, _, body = dated(received).partition(b"\r\n\r\n")
        etag = head_fields(head + b"\r\n\r\n")[1][b"etag"]
        if WINE_MODE:
            self.assertEqual(body, old)
            self.stop(server)
            return
        # Never the whole length made of two versions: the last piece was held back.
        self.assertLess(len(body), size)
        self.assertTrue(body[:4 << 20] == old[:4 << 20], "the start, sent before the write, is not the old file")
        # The resume with the first answer's tag gets the new file whole.
        answer = http_get(self.port, b"GET /live.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=%d-\r\nIf-Range: %s\r\n\r\n"
                          % (len(body), etag), read_limit=size + 1000)
        status, body = status_and_body(answer)
        self.assertEqual(status, b"HTTP/1.1 200 OK")
        self.assertTrue(body == new, "the resume did not get the new file whole")
        self.stop(server)

    def test_a_large_answer_is_not_cut_by_bytes_sent_after_the_head(self):
        # A pipelined request in the head's own packet, and more bytes a moment later: the
        # answer goes out at once and arrives whole (a close with those bytes unread would
        # send a reset that throws away what the client has not read yet).
        size = 50 << 20
        payload = os.urandom(size)
        self.box.write("large.bin", payload)
        server = self.start(share_record(b"/large.bin", to_program_path(self.box.path("large.bin")).encode(), 0))
        with socket.create_connection(("127.0.0.1", self.port), timeout=60) as s:
            s.sendall(b"GET /large.bin HTTP/1.1\r\nHost: x\r\n\r\nGET /large.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            time.sleep(0.5)
            s.sendall(b"GET /other HTTP/1.1\r\n\r\n" + b"x" * 10000)
            time.sleep(0.5)
            received = read_to_close(s)
        head, _, body = received.partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), head[:100])
        self.assertEqual(len(body), size)
        self.assertTrue(body == payload, "the body is not the file")
        self.stop(server)

    def test_lookup_takes_only_the_exact_virtual_path(self):
        data, physical = self.file("data.bin", 1000)
        server = self.start(share_record(b"/dir/data.bin", physical, 0))
        for path in (b"/dir/data.bin", b"/dir/data%2Ebin", b"/%64ir/data.bin"):
            with self.subTest(path=path):
                self.assertEqual(self.get(path), (b"HTTP/1.1 200 OK", data))
        # A zero byte never cuts a path, and a character the code page lacks never stands in
        # for a look-alike (a full-width dot for a dot).
        for path in (b"/dir/Data.bin", b"/DIR/DATA.BIN", b"/dir/data.bin/", b"/dir/data.bi",
                     b"/dir/data.binx", b"/dir/data.bin%20", b"/dir//data.bin", b"//dir/data.bin",
                     b"/dir/data.bin?x=1", b"/dir/", b"/dir", b"/data.bin", b"/",
                     b"/dir/data.bin%00", b"/dir/data.bin%00.exe", b"/dir/data%EF%BC%8Ebin"):
            with self.subTest(path=path):
                self.assertEqual(self.get(path)[0], b"HTTP/1.1 404 Not Found")
        self.stop(server)

    def test_share_list_cut_inside_a_record_keeps_the_whole_ones_and_later_shares(self):
        kept, kept_path = self.file("kept.bin", 100)
        _, cut_path = self.file("cut.bin", 100)
        later, later_path = self.file("later.bin", 200)
        whole = share_record(b"/kept.bin", kept_path, 0)
        partial = share_record(b"/cut.bin", cut_path, 0)
        for keep in (3, 6, 10, len(partial) - 1):
            with self.subTest(bytes_of_the_cut_record=keep):
                for name in ("shared.cfg",):
                    if os.path.exists(self.box.path(name)):
                        os.remove(self.box.path(name))
                server = self.start(whole + partial[:keep])
                self.assertEqual(self.get(b"/kept.bin"), (b"HTTP/1.1 200 OK", kept))
                self.assertEqual(self.get(b"/cut.bin")[0], b"HTTP/1.1 404 Not Found")
                # A share added now is not swallowed by the cut record at the next start.
                self.assertEqual(self.box.run(later_path.decode("latin-1")).wait(), DONE)
                self.wait_for_share(b"/later.bin")
                self.stop(server)
                server = self.box.start_server(self.port)
                self.addCleanup(server.kill)
                self.assertEqual(self.get(b"/kept.bin"), (b"HTTP/1.1 200 OK", kept))
                self.assertEqual(self.get(b"/later.bin"), (b"HTTP/1.1 200 OK", later))
                self.assertEqual(self.get(b"/cut.bin")[0], b"HTTP/1.1 404 Not Found")
                self.stop(server)

    def test_damaged_share_list_is_kept_aside_and_the_user_told_once(self):
        kept, kept_path = self.file("kept.bin", 100)
        _, lost_path = self.file("lost.bin", 100)
        whole = share_record(b"/kept.bin", kept_path, 0)
        # A length that runs past the end, with a whole record behind it.
        damaged = struct.pack("<HHH", 5000, len(lost_path), 0) + b"/lost.bin" + lost_path
        original = whole + damaged + share_record(b"/behind.bin", kept_path, 0)
        server = self.start(original)
        told = ("shared.cfg is damaged: the shares stored after the damage could not be read.\n\n"
                "The file as it was is kept as shared.cfg.damaged")
        if WINE_MODE:
            self.assertEqual(self.box.messages(server, 1), [Message("Attention", told, "warning")])
        else:
            # After the start line; the message's line feeds are line breaks on a terminal.
            lines = [server.stderr_lines.get(timeout=30) for _ in range(4)]
            self.assertIn("serving on port", lines[0])
            self.assertEqual("\n".join(lines[1:]), "Attention: " + told)
        self.assertEqual(self.get(b"/kept.bin"), (b"HTTP/1.1 200 OK", kept))
        self.assertEqual(self.box.read("shared.cfg.damaged"), original)
        self.assertEqual(self.box.read("shared.cfg"), whole)
        self.stop(server)
        # Told once: the file is whole again.
        server = self.box.start_server(self.port)
        self.addCleanup(server.kill)
        self.assertEqual(self.get(b"/kept.bin"), (b"HTTP/1.1 200 OK", kept))
        if WINE_MODE:
            self.assertTrue(self.box.no_more_messages(server))
        self.stop(server)
        if not WINE_MODE:
            time.sleep(0.2)  # the pump thread drains standard error
            lines = list(server.stderr_lines.queue)
            self.assertEqual([l for l in lines if "serving on port" not in l], [], lines)

    def wait_for_share(self, path, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.get(path)[0] == b"HTTP/1.1 200 OK":
                return
            time.sleep(0.05)
        self.fail(f"{path!r} was never served")

    def test_settings_without_the_magic_are_not_read(self):
        # The file names this test's port in the right place, but its magic is wrong: the
        # server must take the defaults (port 80) and never listen on this port.
        probe = socket.socket()
        try:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            probe.bind(("0.0.0.0", 80))
        except OSError:
            self.skipTest("port 80 is not free here")
        finally:
            probe.close()
        self.box.write("common.cfg", b"QX" + settings_bytes(self.port)[2:])
        server = self.box.run()
        self.addCleanup(server.kill)
        deadline = time.time() + 30
        while time.time() < deadline:
            self.assertIsNone(server.proc.poll(), "the server ended at start")
            try:
                socket.create_connection(("127.0.0.1", 80), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        else:
            self.fail("the server never listened on port 80")
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", self.port), timeout=2).close()
        self.box.wait_channel()
        self.assertEqual(http_get(80, b"GET /x HTTP/1.1\r\n\r\n"), PAGE_404)
        self.stop(server)


# A browser's User-Agent, and those of chat services' link previews.
BROWSER = ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
           "Chrome/124.0.0.0 Safari/537.36")
PREVIEWS = (
    "Slackbot-LinkExpanding 1.0 (+https://api.slack.com/robots)",
    "WhatsApp/2.23.20.0 A",
    "Mozilla/5.0 (compatible; Discordbot/2.0; +https://discordapp.com)",
    # iMessage's preview
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_11_1) AppleWebKit/601.2.4 (KHTML, like Gecko) "
    "Version/9.0.1 Safari/601.2.4 facebookexternalhit/1.1 Facebot Twitterbot/1.0",
)


class OneShotTest(unittest.TestCase):
    """A one-shot link gives one download: the withdrawal is in shared.cfg by the time the
    download has ended, so that neither a stop nor a kill a second later brings the share
    back, and a chat's link preview does not use it up."""

    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.port = free_port()
        # Command-line shares are one-shot; no clipboard.
        self.box.write("common.cfg", settings_bytes(self.port, flags=1))

    def start(self):
        server = self.box.start_server(self.port)
        self.addCleanup(server.kill)
        return server

    def stop(self, server):
        self.assertEqual(self.box.run("-stop").wait(), DONE)
        self.assertEqual(server.wait(), DONE)

    def shared_cfg(self):
        return self.box.read("shared.cfg") if os.path.exists(self.box.path("shared.cfg")) else b""

    def share_one_shot(self, name, size):
        """Shares a new file from a second instance, as Send to does; returns its bytes and
        its record as stored (flags 1)."""
        data = os.urandom(size)
        self.box.write(name, data)
        physical = to_program_path(self.box.path(name)).encode()
        self.assertEqual(self.box.run(physical.decode()).wait(), DONE)
        record = share_record(b"/" + name.encode(), physical, 1)
        deadline = time.time() + 20
        while self.shared_cfg() != record and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.shared_cfg(), record)
        return data, physical

    def get(self, path, agent=None):
        head = b"GET " + path + b" HTTP/1.1\r\nHost: x\r\n"
        if agent is not None:
            head += b"User-Agent: " + agent.encode() + b"\r\n"
        return status_and_body(http_get(self.port, head + b"\r\n"))

    def download(self, name, agent=BROWSER):
        out = self.box.path(name + ".got")
        got = subprocess.run(["curl", "-s", "-S", "-f", "--max-time", "60", "-A", agent, "-o", out,
                              f"http://127.0.0.1:{self.port}/{name}"], capture_output=True, timeout=90)
        self.assertEqual(got.returncode, 0, got.stderr)
        with open(out, "rb") as f:
            return f.read()

    def test_withdrawal_is_stored_at_once_and_survives_a_stop(self):
        server = self.start()
        data, physical = self.share_one_shot("once.bin", 300_000)
        self.assertEqual(self.download("once.bin"), data)
        # Stored before the last bytes left, so already there when the client has them all.
        self.assertEqual(self.shared_cfg(), share_record(b"/once.bin", physical, 3))
        self.assertEqual(self.get(b"/once.bin")[0], b"HTTP/1.1 404 Not Found")
        self.stop(server)
        server = self.start()
        self.assertEqual(self.get(b"/once.bin")[0], b"HTTP/1.1 404 Not Found")
        self.assertEqual(self.shared_cfg(), share_record(b"/once.bin", physical, 3))
        self.stop(server)

    def test_withdrawal_survives_a_kill_one_second_after_the_download(self):
        # Natively SIGKILL. Under Wine the same signal ends the Windows process where it
        # stands, as TerminateProcess (taskkill /F) does: no code of the program runs, so
        # only what was on disk already counts.
        server = self.start()
        data, physical = self.share_one_shot("kill.bin", 100_000)
        self.assertEqual(self.download("kill.bin"), data)
        time.sleep(1)
        server.proc.send_signal(signal.SIGKILL)
        server.proc.wait(timeout=30)
        self.assertEqual(self.shared_cfg(), share_record(b"/kill.bin", physical, 3))
        server = self.start()
        self.assertEqual(self.get(b"/kill.bin")[0], b"HTTP/1.1 404 Not Found")
        self.stop(server)

    def test_a_broken_download_leaves_the_link_and_others_wait_for_the_first(self):
        server = self.start()
        data, physical = self.share_one_shot("big.bin", 3 << 20)
        url = b"/big.bin"
        # A client that reads 1,000 bytes and goes: the server had queued far more for it,
        # but the link stays.
        for _ in range(2):
            with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
                s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
                time.sleep(0.5)
                self.assertTrue(s.recv(1000))
            time.sleep(0.5)
            self.assertEqual(self.shared_cfg(), share_record(url, physical, 1))
        # While a first download runs, others are told to come back, HEAD as well; a link
        # preview still gets the 404 page.
        first = socket.create_connection(("127.0.0.1", self.port), timeout=30)
        self.addCleanup(first.close)
        first.sendall(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        received = first.recv(65536)
        self.assertTrue(received.startswith(b"HTTP/1.1 200 OK\r\n"), received[:100])
        self.assertEqual(http_get(self.port, b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n"), PAGE_503)
        self.assertEqual(http_get(self.port, b"HEAD /big.bin HTTP/1.1\r\nHost: x\r\n\r\n"), head_of(PAGE_503))
        self.assertEqual(self.get(url, PREVIEWS[0]), (b"HTTP/1.1 404 Not Found", PAGE_404.split(b"\r\n\r\n", 1)[1]))
        curl = subprocess.run(["curl", "-s", "-S", "-i", "--max-time", "30", f"http://127.0.0.1:{self.port}/big.bin"],
                              capture_output=True, timeout=60)
        self.assertEqual(curl.returncode, 0, curl.stderr)
        self.assertEqual(dated(curl.stdout), PAGE_503)
        # The first download ends: the link is used up.
        received = read_to_close(first, received)
        self.assertEqual(received.partition(b"\r\n\r\n")[2], data)
        self.assertEqual(self.shared_cfg(), share_record(url, physical, 3))
        self.assertEqual(self.get(url)[0], b"HTTP/1.1 404 Not Found")
        self.stop(server)

    def test_link_preview_does_not_use_up_a_one_shot_share(self):
        data = os.urandom(5000)
        self.box.write("p.bin", data)
        physical = to_program_path(self.box.path("p.bin")).encode()
        before = share_record(b"/once.bin", physical, 1) + share_record(b"/plain.bin", physical, 0)
        self.box.write("shared.cfg", before)
        server = self.start()
        for agent in PREVIEWS:
            with self.subTest(agent=agent):
                self.assertEqual(self.get(b"/once.bin", agent), (b"HTTP/1.1 404 Not Found", PAGE_404.split(b"\r\n\r\n", 1)[1]))
                # An ordinary share answers previews as anyone.
                self.assertEqual(self.get(b"/plain.bin", agent), (b"HTTP/1.1 200 OK", data))
        self.assertEqual(self.shared_cfg(), before)
        # The person the link was sent to downloads it with a browser, once.
        self.assertEqual(self.download("once.bin"), data)
        self.assertEqual(self.get(b"/once.bin", BROWSER)[0], b"HTTP/1.1 404 Not Found")
        self.assertEqual(self.shared_cfg(), share_record(b"/once.bin", physical, 3) + share_record(b"/plain.bin", physical, 0))


def head_fields(answer):
    """The status line and the header lines of an answer, as a dict by lower-case name."""
    head = answer.partition(b"\r\n\r\n")[0].split(b"\r\n")
    fields = {}
    for line in head[1:]:
        name, _, value = line.partition(b": ")
        fields[name.lower()] = value
    return head[0], fields


def file_head(first, last, size, validators):
    """The exact head of a file answer: 200 (first None) or 206, with `validators`."""
    head = b"HTTP/1.1 200 OK\r\n" if first is None else b"HTTP/1.1 206 Partial Content\r\n"
    head += b"Server: Quillcast/1.0.0\r\n" + DATE_LINE
    head += b"Accept-Ranges: bytes\r\nContent-Type: application/octet-stream\r\n"
    head += validators
    if first is not None:
        head += b"Content-Range: bytes %d-%d/%d\r\n" % (first, last, size)
    head += b"Content-Length: %d\r\nConnection: close\r\n\r\n" % (size if first is None else last - first + 1)
    return head


NODE_CLIENTS = r"""
const fs = require('fs');
const http = require('http');
const [url, fetched, got, tail] = process.argv.slice(1);
(async () => {
  const whole = await fetch(url);
  if (whole.status !== 200) throw new Error('fetch: ' + whole.status);
  fs.writeFileSync(fetched, Buffer.from(await whole.arrayBuffer()));
  await new Promise((resolve, reject) => {
    http.get(url, (res) => {
      if (res.statusCode !== 200) return reject(new Error('http.get: ' + res.statusCode));
      const out = fs.createWriteStream(got);
      res.pipe(out);
      out.on('finish', resolve);
      res.on('error', reject);
    }).on('error', reject);
  });
  // What a download manager built on Node does to resume: the range, if still the same file.
  const part = await fetch(url, {headers: {'Range': 'bytes=1000-', 'If-Range': whole.headers.get('etag')}});
  if (part.status !== 206) throw new Error('resume: ' + part.status);
  fs.writeFileSync(tail, Buffer.from(await part.arrayBuffer()));
  const head = await fetch(url, {method: 'HEAD'});
  console.log(head.status, head.headers.get('content-length'), head.headers.get('etag') === whole.headers.get('etag'));
})().catch((e) => { console.error(e); process.exit(1); });
"""


class ConditionalRequestTest(unittest.TestCase):
    """The validators every file answer carries, what clients do with them (a browser's
    resume, If-None-Match, If-Modified-Since, HEAD), and Node.js, whose parser takes only
    CR LF line ends."""

    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.port = free_port()

    def start(self, records):
        self.box.write("common.cfg", settings_bytes(self.port))
        self.box.write("shared.cfg", records)
        server = self.box.start_server(self.port)
        self.addCleanup(server.kill)
        return server

    def stop(self, server):
        self.assertEqual(self.box.run("-stop").wait(), DONE)
        self.assertEqual(server.wait(), DONE)

    def ask(self, method, path, *lines):
        head = method + b" " + path + b" HTTP/1.1\r\nHost: x\r\n" + b"".join(l + b"\r\n" for l in lines)
        return http_get(self.port, head + b"\r\n", read_limit=1 << 24)

    def validators(self, name, path):
        """The validator lines of the share `path` of the file `name`: the date from the
        file's own time, the tag from a HEAD answer (it names the file as the system knows
        it), checked for form."""
        date = email.utils.formatdate(os.stat(self.box.path(name)).st_mtime_ns // 10**9, usegmt=True).encode()
        status, fields = head_fields(self.ask(b"HEAD", path))
        self.assertEqual(status, b"HTTP/1.1 200 OK")
        self.assertEqual(fields[b"last-modified"], date)
        self.assertRegex(fields[b"etag"], rb'^"[!#-~]+"$')
        return b"Last-Modified: " + date + b"\r\nETag: " + fields[b"etag"] + b"\r\n", fields[b"etag"], date

    def test_a_browser_resumes_only_the_same_file(self):
        payload = os.urandom(1 << 20)
        self.box.write("r.bin", payload)
        server = self.start(share_record(b"/r.bin", to_program_path(self.box.path("r.bin")).encode()))
        # The first download breaks off after `cut` bytes of the body.
        cut = 300_000
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            s.sendall(b"GET /r.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            received = bytearray()
            while b"\r\n\r\n" not in received or len(received.partition(b"\r\n\r\n")[2]) < cut:
                chunk = s.recv(65536)
                self.assertTrue(chunk, "the server closed early")
                received += chunk
        received = dated(bytes(received))
        first_head, body = received.split(b"\r\n\r\n", 1)
        self.assertEqual(body[:cut], payload[:cut])
        _, fields = head_fields(received)
        etag, date = fields[b"etag"], fields[b"last-modified"]
        lines = b"Last-Modified: " + date + b"\r\nETag: " + etag + b"\r\n"
        self.assertEqual(first_head + b"\r\n\r\n", file_head(None, None, len(payload), lines))

        # The browser asks for the rest, if the file is still the one it has the start of.
        # By its tag; a date holds only when the file is at least a second older than it, so
        # the Last-Modified text read back (the second the file was written in, which may
        # hold two versions) gets the whole file.
        answer = self.ask(b"GET", b"/r.bin", b"Range: bytes=%d-" % cut, b"If-Range: " + etag)
        self.assertEqual(answer, file_head(cut, len(payload) - 1, len(payload), lines) + payload[cut:])
        answer = self.ask(b"GET", b"/r.bin", b"Range: bytes=%d-" % cut, b"If-Range: " + date)
        self.assertEqual(answer, file_head(None, None, len(payload), lines) + payload)

        # The file is rewritten: same size, other bytes, a later time. The same resume now
        # gets the new file whole, with new validators.
        changed = os.urandom(len(payload))
        self.box.write("r.bin", changed)
        later = os.stat(self.box.path("r.bin")).st_mtime + 10
        os.utime(self.box.path("r.bin"), (later, later))
        new_lines, new_etag, new_date = self.validators("r.bin", b"/r.bin")
        self.assertNotEqual(new_etag, etag)
        for validator in (etag, date):
            with self.subTest(after_the_change=validator):
                answer = self.ask(b"GET", b"/r.bin", b"Range: bytes=%d-" % cut, b"If-Range: " + validator)
                self.assertEqual(answer, file_head(None, None, len(changed), new_lines) + changed)
        answer = self.ask(b"GET", b"/r.bin", b"Range: bytes=%d-" % cut, b"If-Range: " + new_etag)
        self.assertEqual(answer, file_head(cut, len(changed) - 1, len(changed), new_lines) + changed[cut:])
        self.stop(server)

    def test_conditional_requests_and_head_table(self):
        size = 10_000
        data = bytes((i * 13 + 5) % 251 for i in range(size))
        self.box.write("c.bin", data)
        self.box.write("o.bin", data)
        server = self.start(share_record(b"/c.bin", to_program_path(self.box.path("c.bin")).encode()) +
                            share_record(b"/once.bin", to_program_path(self.box.path("o.bin")).encode(), 1))
        shares = {b"/c.bin": self.validators("c.bin", b"/c.bin"), b"/once.bin": self.validators("o.bin", b"/once.bin")}
        page_404_head = PAGE_404[:PAGE_404.index(b"<html>")]
        # (name, method, header lines, status, first, last); {TAG} and {DATE} stand for the
        # share's validators, {EARLIER} for its date a second before, {LATER} two after. 304 answers and heads
        # never use up the one-shot share; the rows marked whole do, and run on the plain share.
        rows = [
            ("If-None-Match, our tag", b"GET", [b"If-None-Match: {TAG}"], 304, None, None),
            ("If-None-Match, weak", b"GET", [b"If-None-Match: W/{TAG}"], 304, None, None),
            ("If-None-Match, star", b"GET", [b"If-None-Match: *"], 304, None, None),
            ("If-None-Match, in a list", b"GET", [b'If-None-Match: "x", {TAG}'], 304, None, None),
            ("If-None-Match, with a range", b"GET", [b"If-None-Match: {TAG}", b"Range: bytes=0-9"], 304, None, None),
            ("If-None-Match, another tag", b"GET", [b'If-None-Match: "x"'], 200, "whole", None),
            ("If-None-Match beats a matching date", b"GET",
             [b'If-None-Match: "x"', b"If-Modified-Since: {DATE}"], 200, "whole", None),
            ("If-Modified-Since, our date", b"GET", [b"If-Modified-Since: {DATE}"], 304, None, None),
            ("If-Modified-Since, a second before", b"GET", [b"If-Modified-Since: {EARLIER}"], 200, "whole", None),
            ("If-Modified-Since, malformed", b"GET", [b"If-Modified-Since: Sun, 31 Nov 1994 08:49:37 GMT"],
             200, "whole", None),
            ("If-Modified-Since, not a date", b"GET", [b"If-Modified-Since: yesterday"], 200, "whole", None),
            ("If-Range, our tag", b"GET", [b"Range: bytes=100-199", b"If-Range: {TAG}"], 206, 100, 199),
            ("If-Range, our date", b"GET", [b"Range: bytes=100-199", b"If-Range: {DATE}"], 200, "whole", None),
            ("If-Range, two seconds later", b"GET", [b"Range: bytes=100-199", b"If-Range: {LATER}"],
             206, 100, 199),
            ("If-Range, weak", b"GET", [b"Range: bytes=100-199", b"If-Range: W/{TAG}"], 200, "whole", None),
            ("If-Range, another tag", b"GET", [b"Range: bytes=100-199", b'If-Range: "x"'], 200, "whole", None),
            ("If-Range, a second before", b"GET", [b"Range: bytes=100-199", b"If-Range: {EARLIER}"],
             200, "whole", None),
            ("If-Range, malformed date", b"GET", [b"Range: bytes=100-199", b"If-Range: Sun, 31 Nov 1994"],
             200, "whole", None),
            ("HEAD", b"HEAD", [], 200, None, None),
            ("HEAD, a range", b"HEAD", [b"Range: bytes=-1"], 206, size - 1, size - 1),
            ("HEAD, If-None-Match", b"HEAD", [b"If-None-Match: {TAG}"], 304, None, None),
            # The preconditions come first; a failed one is 412 and uses nothing up.
            ("If-Match, our tag", b"GET", [b"If-Match: {TAG}"], 200, "whole", None),
            ("If-Match, another tag", b"GET", [b'If-Match: "x"'], 412, None, None),
            ("If-Match, weak", b"GET", [b"If-Match: W/{TAG}"], 412, None, None),
            ("If-Match, another tag, with our tag in If-None-Match", b"GET",
             [b'If-Match: "x"', b"If-None-Match: {TAG}"], 412, None, None),
            ("If-Unmodified-Since, our date", b"GET", [b"If-Unmodified-Since: {DATE}"], 200, "whole", None),
            ("If-Unmodified-Since, a second before", b"GET", [b"If-Unmodified-Since: {EARLIER}"],
             412, None, None),
            ("HEAD, If-Match, another tag", b"HEAD", [b'If-Match: "x"'], 412, None, None),
            # A range outside the file.
            ("a range past the end", b"GET", [b"Range: bytes=%d-" % size], 416, None, None),
            ("bytes=-0", b"GET", [b"Range: bytes=-0"], 416, None, None),
            ("a reversed range", b"GET", [b"Range: bytes=9-5"], 416, None, None),
            ("HEAD, a range past the end", b"HEAD", [b"Range: bytes=%d-" % size], 416, None, None),
        ]
        for name, method, lines, status, first, last in rows:
            for path in (b"/c.bin", b"/once.bin"):
                if first == "whole" and path == b"/once.bin":
                    continue
                with self.subTest(name, path=path):
                    validator_lines, etag, date = shares[path]
                    seconds = email.utils.parsedate_to_datetime(date.decode()).timestamp()
                    earlier = email.utils.formatdate(seconds - 1, usegmt=True).encode()
                    later = email.utils.formatdate(seconds + 2, usegmt=True).encode()
                    filled = [l.replace(b"{TAG}", etag).replace(b"{DATE}", date).replace(b"{EARLIER}", earlier)
                              .replace(b"{LATER}", later) for l in lines]
                    answer = self.ask(method, path, *filled)
                    if status == 304:
                        expected = (b"HTTP/1.1 304 Not Modified\r\nServer: Quillcast/1.0.0\r\n" + DATE_LINE +
                                    validator_lines + b"Connection: close\r\n\r\n")
                    elif status in (412, 416):
                        expected = PAGE_412 if status == 412 else page_416(size)
                        if method == b"HEAD":
                            expected = head_of(expected)
                    elif status == 200:
                        expected = file_head(None, None, size, validator_lines)
                        expected += data if method == b"GET" else b""
                    else:
                        expected = file_head(first, last, size, validator_lines)
                        expected += data[first:last + 1] if method == b"GET" else b""
                    self.assertEqual(answer, expected)
        # None of that used up the one-shot share; a whole download does, and after it
        # HEAD and conditional requests get the 404 page (its head for HEAD).
        self.assertEqual(status_and_body(self.ask(b"GET", b"/once.bin")), (b"HTTP/1.1 200 OK", data))
        self.assertEqual(self.ask(b"GET", b"/once.bin", b"If-None-Match: *"), PAGE_404)
        self.assertEqual(self.ask(b"HEAD", b"/once.bin"), page_404_head)
        self.assertEqual(self.ask(b"HEAD", b"/none.bin"), page_404_head)
        self.assertEqual(self.ask(b"GET", b"/none.bin", b"If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT"), PAGE_404)
        self.stop(server)

    def test_node_downloads_with_fetch_and_http_get(self):
        node = shutil.which("node") or shutil.which("nodejs")
        self.assertIsNotNone(node, "Node.js is missing: scripts/deps.sh installs it")
        payload = os.urandom(2 << 20)
        self.box.write("n.bin", payload)
        server = self.start(share_record(b"/n.bin", to_program_path(self.box.path("n.bin")).encode()))
        run = subprocess.run([node, "-e", NODE_CLIENTS, f"http://127.0.0.1:{self.port}/n.bin",
                              self.box.path("fetched.bin"), self.box.path("got.bin"), self.box.path("tail.bin")],
                             capture_output=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace"))
        self.assertEqual(run.stdout.decode().split(), ["200", str(len(payload)), "true"])
        self.assertEqual(self.box.read("fetched.bin"), payload)
        self.assertEqual(self.box.read("got.bin"), payload)
        self.assertEqual(self.box.read("tail.bin"), payload[1000:])
        self.stop(server)


if __name__ == "__main__":
    unittest.main(verbosity=2)
