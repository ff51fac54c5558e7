"""End-to-end tests of the native program as a Linux command: every command and every
error through the real binary, against a real server where one is needed, with the exit
status, standard output, standard error and the bytes of both files checked."""
import os
import re
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import threading
import time
import unittest

from harness import BIN, Sandbox, free_port, http_get, settings_bytes, share_record, taken_port

TIMEOUT = 30
VERSION = "1.0.0"


class Cli(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.port = free_port()

    def run_cli(self, *args, env=None, cwd=None):
        done = subprocess.run([BIN, *args], cwd=cwd or self.box.dir, env=env or self.box.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def files(self):
        """The two files' bytes (None when missing)."""
        out = {}
        for name in ("common.cfg", "shared.cfg"):
            path = self.box.path(name)
            out[name] = self.box.read(name) if os.path.exists(path) else None
        return out

    def start(self, *args, port=None):
        self.box.write("common.cfg", settings_bytes(port or self.port, flags=0, domain=b"localhost"))
        server = self.box.run(*args)
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            if server.proc.poll() is not None:
                self.fail(f"server ended at start with {server.proc.returncode}")
            if os.path.exists(os.path.join(self.box.env["XDG_RUNTIME_DIR"], "quillcast-control.sock")):
                try:
                    socket.create_connection(("127.0.0.1", port or self.port), timeout=1).close()
                    return server
                except OSError:
                    pass
            time.sleep(0.05)
        self.fail("server never came up")

    def stop(self, server):
        self.assertEqual(self.run_cli("-stop")[0], 0)
        self.assertEqual(server.wait(), 0)

    def curl(self, url, *args):
        return subprocess.run(["curl", "-s", "-S", "--max-time", "30", *args, url],
                              capture_output=True, timeout=60)


class WithoutServer(Cli):
    def test_help_version_and_usage_errors(self):
        before = self.files()
        cases = [
            (["--help"], 0, "Usage: quillcast", ""),
            (["-h"], 0, "quillcast -unshare URL|PATH...", ""),
            (["--version"], 0, f"quillcast {VERSION}\n", ""),
            (["-bogus"], 2, "", 'quillcast: unknown option "-bogus"\nTry "quillcast --help".\n'),
            (["--help-me"], 2, "", "unknown option"),
            (["-stop", "now"], 2, "", '-stop takes no arguments, but got "now"'),
            (["-unshare"], 2, "", "-unshare needs the URL or the path"),
            (["-quiet", "x"], 2, "", "-quiet takes no arguments"),
            (["a.txt", "-list"], 2, "", "options go before the files"),
            (["-ui"], 2, "", "the control panel exists only in the Windows build"),
            (["-limit", "0", "a.txt"], 2, "", '-limit needs a whole number of downloads from 1 on, not "0"'),
            (["-limit", "3"], 2, "", '-limit 3 must be followed by the files to share'),
            (["-until", "2026-12-31", "a.txt"], 2, "", "-until needs a local date and time such as 2026-12-31T18:00"),
            (["-until", "2026-02-30T10:00", "a.txt"], 2, "", "-until needs a local date and time"),
            (["-until", "2001-01-01T00:00", "a.txt"], 2, "", "-until: 2001-01-01T00:00:00"),
        ]
        for args, code, out, err in cases:
            with self.subTest(args=args):
                got_code, got_out, got_err = self.run_cli(*args)
                self.assertEqual(got_code, code)
                if code == 0:
                    self.assertIn(out, got_out)
                    self.assertEqual(got_err, "")
                else:
                    self.assertEqual(got_out, "")
                    self.assertIn(err, got_err)
                    # One message, in plain text: no escaped line feeds.
                    self.assertNotIn("\\n", got_err)
        self.assertEqual(self.files(), before)

    def test_bad_settings_exit_2_and_write_nothing(self):
        existing = settings_bytes(8081, flags=2, domain=b"example.org", folder=b"/pub")
        for start in (None, existing):
            for pairs in (["port=0"], ["port=65536"], ["port=80abc"], ["port="], ["port=-5"],
                          ["colour=red"], ["port"], ["oneshot=sometimes"], ["host=x"], ["host=999"],
                          ["domain=a\nb"], ["port=81", "port=82"], ["folder=/ok", "copyurl=2"],
                          # Settings that would break every link.
                          ["folder=abc"], ["port=80", "folder=@example.org"], ["folder=/a b"],
                          ["domain=x@evil.org"], ["domain=[::1]"], ["domain=h:0", "port=81"],
                          # The defaults of new shares, alone and beside a good setting.
                          ["limit=-1"], ["limit=x"], ["lifetime=7"], ["lifetime=1y"],
                          ["port=81", "lifetime=9999d"], ["limit=2", "limit=3"]):
                with self.subTest(start=start is not None, pairs=pairs):
                    if start is None:
                        if os.path.exists(self.box.path("common.cfg")):
                            os.remove(self.box.path("common.cfg"))
                    else:
                        self.box.write("common.cfg", start)
                    code, out, err = self.run_cli("-config", *pairs)
                    self.assertEqual(code, 2, err)
                    self.assertEqual(out, "")
                    self.assertRegex(err, r"^quillcast: -config: .+; nothing was changed\n$")
                    self.assertEqual(self.files(), {"common.cfg": start, "shared.cfg": None})
                    self.assertFalse(os.path.exists(self.box.path("newshares.cfg")))

    def test_settings_are_shown_and_written_in_the_file_format(self):
        code, out, err = self.run_cli("-config")
        self.assertEqual(code, 0)
        settings, blank, hosts = out.partition("\n\n")
        self.assertEqual(settings + "\n", "port=80\nhost=0\ndomain=\nfolder=\noneshot=no\ncopyurl=yes\n"
                                            "limit=0\nlifetime=0\n")
        # Then the addresses and the one links use, which depend on this machine.
        self.assertRegex(hosts, r"\nlinks use \d+\.\d+\.\d+\.\d+: [^\n]+\n$")
        self.assertIn("no server is running", err)
        self.assertIsNone(self.files()["common.cfg"])

        code, out, err = self.run_cli("-config", "port=81", "domain=localhost", "folder=/temp", "copyurl=yes")
        self.assertEqual(code, 0, err)
        self.assertEqual(out, "port=81\nhost=0\ndomain=localhost\nfolder=/temp\noneshot=no\ncopyurl=yes\n"
                              "limit=0\nlifetime=0\n")
        self.assertIn(f"no server is running; wrote {self.box.path('common.cfg')}", err)
        # The settings file's own example, byte for byte.
        self.assertEqual(self.box.read("common.cfg"),
                         bytes.fromhex("514351000000020009000500") + b"localhost/temp")
        code, out, _ = self.run_cli("-config", "oneshot=yes", "domain=")
        self.assertEqual(code, 0)
        self.assertEqual(self.box.read("common.cfg"), bytes.fromhex("514351000000030000000500") + b"/temp")

    def test_list_and_unshare_read_and_rewrite_the_share_file(self):
        code, out, err = self.run_cli("-list")
        self.assertEqual((code, out), (0, ""))
        self.assertIn("no server is running, and there is no", err)

        self.box.write("common.cfg", settings_bytes(8080, domain=b"files.example"))
        records = [share_record(b"/a.txt", b"/home/u/a.txt", 0),
                   share_record(b"/b c.txt", b"/home/u/b c.txt", 3),
                   share_record(b"/d", b"/srv/d", 1)]
        self.box.write("shared.cfg", b"".join(records))
        code, out, err = self.run_cli("-list")
        self.assertEqual(code, 0, err)
        # The columns after the marks: completed downloads, the last one's time and client,
        # the download limit and the end time.
        self.assertEqual(out, "http://files.example:8080/a.txt\t/home/u/a.txt\t-\t0\t-\t-\t-\t-\n"
                              "http://files.example:8080/b%20c.txt\t/home/u/b c.txt\tone-shot,withdrawn\t0\t-\t-\t-\t-\n"
                              "http://files.example:8080/d\t/srv/d\tone-shot\t0\t-\t-\t-\t-\n")
        self.assertIn(f"no server is running; the shares in {self.box.path('shared.cfg')}", err)

        code, out, err = self.run_cli("-unshare", "no-such-share")
        self.assertEqual(code, 1)
        self.assertIn('no share matches "no-such-share"', err)
        self.assertEqual(self.box.read("shared.cfg"), b"".join(records))

        code, out, err = self.run_cli("-unshare", "http://127.0.0.1:8080/b%20c.txt", "/srv/d")
        self.assertEqual(code, 0, err)
        self.assertEqual(out, "http://files.example:8080/b%20c.txt\nhttp://files.example:8080/d\n")
        self.assertEqual(self.box.read("shared.cfg"), records[0])

    def test_damaged_share_list_is_kept_aside_before_a_load_cuts_it(self):
        self.box.write("common.cfg", settings_bytes(8080, domain=b"files.example"))
        good = share_record(b"/a.txt", b"/home/u/a.txt", 0)
        # A length that runs past the end, with a whole record behind it.
        bad = struct.pack("<HHH", 5000, 13, 0) + b"/b.txt/home/u/b.txt"
        later = share_record(b"/c.txt", b"/home/u/c.txt", 0)
        told = ("Attention: shared.cfg is damaged: the shares stored after the damage could not be read.\n\n"
                "The file as it was is kept as shared.cfg.damaged")
        for round, kept in ((1, "shared.cfg.damaged"), (2, "shared.cfg.damaged.2")):
            with self.subTest(round=round):
                self.box.write("shared.cfg", good + bad + later)
                code, out, err = self.run_cli("-list")
                self.assertEqual((code, out), (0, "http://files.example:8080/a.txt\t/home/u/a.txt\t-\t0\t-\t-\t-\t-\n"))
                self.assertIn(told[:-len("shared.cfg.damaged")] + kept + "\n", err)
                self.assertEqual(self.box.read(kept), good + bad + later)
                self.assertEqual(self.box.read("shared.cfg"), good)
                # Told once: the file is whole again.
                code, out, err = self.run_cli("-list")
                self.assertEqual(code, 0)
                self.assertNotIn("damaged", err)
        # An earlier copy is never overwritten.
        self.assertEqual(self.box.read("shared.cfg.damaged"), good + bad + later)
        # A record an interrupted append left unfinished is cut off as before, without a word.
        self.box.write("shared.cfg", good + later[:9])
        code, out, err = self.run_cli("-list")
        self.assertEqual(code, 0)
        self.assertNotIn("damaged", err)
        self.assertEqual(self.box.read("shared.cfg"), good)
        self.assertFalse(os.path.exists(self.box.path("shared.cfg.damaged.3")))

    def test_files_are_made_for_the_user_alone(self):
        old = os.umask(0)
        self.addCleanup(os.umask, old)
        self.assertEqual(self.run_cli("-config", "port=8081")[0], 0)
        self.assertEqual(stat.S_IMODE(os.stat(self.box.path("common.cfg")).st_mode), 0o600)
        self.box.write("shared.cfg", share_record(b"/a", b"/x/a") + share_record(b"/b", b"/x/b"))
        os.chmod(self.box.path("shared.cfg"), 0o644)
        self.assertEqual(self.run_cli("-unshare", "/a")[0], 0)
        self.assertEqual(stat.S_IMODE(os.stat(self.box.path("shared.cfg")).st_mode), 0o600)
        # Nothing but the two files is left behind.
        self.assertEqual(sorted(n for n in os.listdir(self.box.dir) if n != "run"), ["common.cfg", "shared.cfg"])

    def test_sharing_needs_a_server_and_a_file(self):
        self.box.write("a.txt", b"a")
        os.mkdir(self.box.path("dir"))
        os.mkfifo(self.box.path("fifo"))
        cases = [
            (["a.txt"], "quillcast: no server is running (start one with: quillcast)\n"),
            (["dir"], "quillcast: no server is running (start one with: quillcast)\n"),
            (["missing.txt"], f"quillcast: cannot share {self.box.path('missing.txt')}: No such file or directory\n"),
            (["fifo"], f"quillcast: cannot share {self.box.path('fifo')}: not a regular file or folder\n"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                self.assertEqual(self.run_cli(*args), (1, "", err))
        self.assertEqual(self.files(), {"common.cfg": None, "shared.cfg": None})


class Install(Cli):
    def test_cmake_install_puts_the_program_and_its_manual_page_in_place(self):
        build = os.path.dirname(BIN)
        prefix = self.box.path("prefix")
        done = subprocess.run(["cmake", "--install", build, "--prefix", prefix],
                              capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        program = os.path.join(prefix, "bin", "quillcast")
        self.assertTrue(os.access(program, os.X_OK))
        self.assertEqual(subprocess.run([program, "--version"], capture_output=True).stdout,
                         f"quillcast {VERSION}\n".encode())
        page = os.path.join(prefix, "share", "man", "man1", "quillcast.1")
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        with open(page, "rb") as installed, open(os.path.join(root, "quillcast.1"), "rb") as source:
            text = installed.read()
            self.assertEqual(text, source.read())
        # The page names the version the program reports, and every section a manual has.
        self.assertIn(f'"quillcast {VERSION}"'.encode(), text.splitlines()[0])
        for section in (b"NAME", b"SYNOPSIS", b"DESCRIPTION", b"OPTIONS", b"EXIT STATUS", b"FILES", b"EXAMPLES"):
            self.assertIn(b".SH " + section + b"\n", text)
        groff = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True) \
            if shutil.which("groff") else None
        if groff is not None:
            self.assertEqual((groff.returncode, groff.stderr), (0, b""))


class RuntimeDirectory(Cli):
    def test_a_runtime_directory_others_could_use_is_refused(self):
        os.mkdir(self.box.path("open"))
        os.chmod(self.box.path("open"), 0o777)
        os.mkdir(self.box.path("group"))
        os.chmod(self.box.path("group"), 0o770)
        os.symlink(self.box.env["XDG_RUNTIME_DIR"], self.box.path("link"))
        self.box.write("file", b"")
        cases = [("open", "can be written by other users (mode 0777)"),
                 ("group", "can be written by other users (mode 0770)"),
                 ("link", "is a symbolic link"),
                 ("file", "is not a directory"),
                 ("missing", "No such file or directory")]
        if os.geteuid() == 0:
            os.mkdir(self.box.path("foreign"), 0o700)
            os.chown(self.box.path("foreign"), 4321, 4321)
            cases.append(("foreign", "belongs to user 4321"))
        self.box.write("common.cfg", settings_bytes(self.port))
        for name, reason in cases:
            env = dict(self.box.env, XDG_RUNTIME_DIR=self.box.path(name))
            for args in ([], ["-list"], ["-stop"], ["-config", "port=81"], ["a.txt"]):
                with self.subTest(dir=name, args=args):
                    code, out, err = self.run_cli(*args, env=env)
                    self.assertEqual(code, 1)
                    self.assertEqual(out, "")
                    self.assertTrue(err.startswith(f"quillcast: cannot use the runtime directory: "
                                                   f"{self.box.path(name)} "), err)
                    self.assertIn(reason, err)
                    self.assertIn("set XDG_RUNTIME_DIR to one", err)
        # Nothing was started, written or created there.
        self.assertEqual(os.listdir(self.box.path("open")), [])
        self.assertEqual(self.box.read("common.cfg"), settings_bytes(self.port))


class WithServer(Cli):
    def test_the_journey_share_download_list_unshare_configure_stop(self):
        server = self.start()
        start_line = server.stderr_lines.get(timeout=TIMEOUT)
        self.assertEqual(start_line, f"quillcast {VERSION}: serving on port {self.port} "
                                     f"(http://localhost:{self.port}/), settings in {self.box.dir}, 0 shares loaded")
        st = os.lstat(os.path.join(self.box.env["XDG_RUNTIME_DIR"], "quillcast-control.sock"))
        self.assertTrue(stat.S_ISSOCK(st.st_mode))
        self.assertEqual(stat.S_IMODE(st.st_mode), 0o600)

        payload = os.urandom(100_000)
        self.box.write("report 2009.pdf", payload)
        self.box.write("b.txt", b"bee")
        url = f"http://localhost:{self.port}/report%202009.pdf"
        burl = f"http://localhost:{self.port}/b.txt"
        # A name with a blank typed without quotes arrives in two pieces and is still found;
        # the same file twice keeps its one share and link.
        for args in (["report 2009.pdf"], ["report", "2009.pdf"]):
            with self.subTest(args=args):
                self.assertEqual(self.run_cli(*args), (0, url + "\n", ""))
        self.assertEqual(self.run_cli(self.box.path("b.txt"), "missing"),
                         (1, burl + "\n", f"quillcast: cannot share {self.box.path('missing')}: No such file or directory\n"))
        record = share_record(b"/report 2009.pdf", self.box.path("report 2009.pdf").encode())
        brecord = share_record(b"/b.txt", self.box.path("b.txt").encode())
        self.assertEqual(self.box.read("shared.cfg"), record + brecord)

        got = self.curl(url.replace("localhost", "127.0.0.1"), "-o", self.box.path("got.pdf"))
        self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(self.box.read("got.pdf"), payload)
        part = self.curl(url.replace("localhost", "127.0.0.1"), "-r", "10-19")
        self.assertEqual(part.stdout, payload[10:20])
        self.curl(f"http://127.0.0.1:{self.port}/nothing")
        # HEAD is marked in a seventh field; a conditional GET answered 304 sends no body.
        head = self.curl(url.replace("localhost", "127.0.0.1"), "-I")
        etag = re.search(rb"\r\nETag: (\"[^\"]+\")\r\n", head.stdout).group(1).decode()
        self.curl(url.replace("localhost", "127.0.0.1"), "-H", f"If-None-Match: {etag}")
        log = [server.stdout_line() for _ in range(5)]
        stamp = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d{4}"
        # A completed download is marked "done"; the range short of the end is not. Lines
        # come in the order the answers end: the whole download's waits for the client's
        # acknowledgement and close, and the next request may end first.
        expected = [
            rf"^{stamp} 127\.0\.0\.1 /report%202009\.pdf 200 100000 - done$",
            rf"^{stamp} 127\.0\.0\.1 /report%202009\.pdf 206 10 bytes=10-19$",
            rf"^{stamp} 127\.0\.0\.1 /nothing 404 198 -$",
            rf"^{stamp} 127\.0\.0\.1 /report%202009\.pdf 200 0 - HEAD$",
            rf"^{stamp} 127\.0\.0\.1 /report%202009\.pdf 304 0 -$",
        ]
        for pattern in expected:
            self.assertEqual(len([line for line in log if re.match(pattern, line)]), 1,
                             f"{pattern} in {log}")

        code, out, err = self.run_cli("-list")
        self.assertEqual((code, err), (0, ""))
        self.assertRegex(out, "^" + re.escape(f"{url}\t{self.box.path('report 2009.pdf')}\t-\t1\t") +
                         stamp + re.escape(f"\t127.0.0.1\t-\t-\n{burl}\t{self.box.path('b.txt')}\t-\t0\t-\t-\t-\t-\n") + "$")

        # Unknown shares are errors and change nothing.
        self.assertEqual(self.run_cli("-unshare", "http://localhost/nothing"),
                         (1, "", 'quillcast: no share matches "http://localhost/nothing"\n'))
        self.assertEqual(self.box.read("shared.cfg"), record + brecord)
        # By URL: every share of it goes, from the server and from the file.
        self.assertEqual(self.run_cli("-unshare", url), (0, url + "\n", ""))
        self.assertEqual(self.box.read("shared.cfg"), brecord)
        self.assertTrue(self.curl(url.replace("localhost", "127.0.0.1")).stdout.startswith(b"<html><head><title>404"))
        # By a file name relative to the current directory.
        self.assertEqual(self.run_cli("-unshare", "b.txt"), (0, burl + "\n", ""))
        self.assertEqual(self.box.read("shared.cfg"), b"")

        # Settings: bad input changes nothing; a new port waits for the next start.
        before = self.box.read("common.cfg")
        code, out, err = self.run_cli("-config", "port=99999")
        self.assertEqual((code, out), (2, ""))
        self.assertEqual(self.box.read("common.cfg"), before)
        other = free_port()
        code, out, err = self.run_cli("-config", f"port={other}", "folder=/pub")
        self.assertEqual(code, 0, err)
        self.assertEqual(out, f"port={other}\nhost=0\ndomain=localhost\nfolder=/pub\noneshot=no\ncopyurl=no\n"
                              "limit=0\nlifetime=0\n")
        self.assertEqual(err, f"quillcast: Requires restart the server to update the port: port {other} takes "
                              f"effect at the next start; the server keeps listening on port {self.port}\n")
        self.assertEqual(self.box.read("common.cfg"),
                         settings_bytes(other, flags=0, domain=b"localhost", folder=b"/pub"))
        # New shares take the new folder at once; URLs keep the port until the restart.
        self.assertEqual(self.run_cli("b.txt"), (0, f"http://localhost:{other}/pub/b.txt\n", ""))
        self.assertEqual(self.curl(f"http://127.0.0.1:{self.port}/pub/b.txt").stdout, b"bee")

        self.stop(server)
        self.assertFalse(os.path.exists(os.path.join(self.box.env["XDG_RUNTIME_DIR"], "quillcast-control.sock")))
        # The next start takes the port.
        server = self.box.run()
        line = server.stderr_lines.get(timeout=TIMEOUT)
        self.assertIn(f"serving on port {other} ", line)
        self.assertTrue(line.endswith(", 1 share loaded"), line)
        self.stop(server)

    def test_defaults_for_new_shares_end_them_unless_the_command_says_otherwise(self):
        # Set without a server, taken at the start; a damaged file was there before.
        self.box.write("newshares.cfg", b"QCN1 damaged")
        code, out, err = self.run_cli("-config", "limit=1", "lifetime=7d")
        self.assertEqual(code, 0, err)
        self.assertTrue(out.endswith("limit=1\nlifetime=7d\n"), out)
        self.assertIn(f"wrote {self.box.path('newshares.cfg')}", err)
        self.assertEqual(stat.S_IMODE(os.stat(self.box.path("newshares.cfg")).st_mode), 0o600)
        server = self.start()
        self.box.write("once.txt", b"once")
        self.box.write("thrice.txt", b"thrice")
        once = f"http://127.0.0.1:{self.port}/once.txt"
        thrice = f"http://127.0.0.1:{self.port}/thrice.txt"
        self.assertEqual(self.run_cli("once.txt")[0], 0)
        # An explicit -limit wins; the default lifetime still ends it.
        self.assertEqual(self.run_cli("-limit", "3", "thrice.txt")[0], 0)
        self.assertEqual(self.curl(once).stdout, b"once")
        self.assertTrue(self.curl(once).stdout.startswith(b"<html><head><title>404"))
        for _ in range(3):
            self.assertEqual(self.curl(thrice).stdout, b"thrice")
        self.assertTrue(self.curl(thrice).stdout.startswith(b"<html><head><title>404"))
        code, out, err = self.run_cli("-list")
        lines = out.splitlines()
        self.assertEqual([line.split("\t")[2:4] + [line.split("\t")[6]] for line in lines],
                         [["withdrawn", "1", "1"], ["withdrawn", "3", "3"]])
        week = time.localtime(time.time() + 7 * 86400)
        for line in lines:
            self.assertTrue(line.split("\t")[7].startswith(time.strftime("%Y-%m-%dT", week)), line)

        # Changed through the server, at once; none again for what follows.
        code, out, err = self.run_cli("-config", "limit=0", "lifetime=")
        self.assertEqual(code, 0, err)
        self.assertTrue(out.endswith("limit=0\nlifetime=0\n"), out)
        self.box.write("free.txt", b"free")
        self.assertEqual(self.run_cli("free.txt")[0], 0)
        for _ in range(2):
            self.assertEqual(self.curl(f"http://127.0.0.1:{self.port}/free.txt").stdout, b"free")
        self.stop(server)
        self.assertEqual(self.box.read("newshares.cfg")[:4], b"QCN1")

        # A damaged file costs the defaults alone: the start says so, shares and counts stay.
        self.box.write("newshares.cfg", b"QCN1" + b"\xff" * 20)
        server = self.box.run()
        lines = []
        while len(lines) < 10 and not any("serving on port" in line for line in lines):
            lines.append(server.stderr_lines.get(timeout=TIMEOUT))
        self.assertTrue(any("newshares.cfg is damaged" in line for line in lines), lines)
        self.assertTrue(any("3 shares loaded" in line for line in lines), lines)
        code, out, err = self.run_cli("-list")
        self.assertEqual([line.split("\t")[3] for line in out.splitlines()], ["1", "3", "2"])
        self.stop(server)

    def test_quiet_server_logs_nothing_and_a_signal_stops_it_cleanly(self):
        server = self.start("-quiet")
        self.assertIn("serving on port", server.stderr_lines.get(timeout=TIMEOUT))
        self.curl(f"http://127.0.0.1:{self.port}/nothing")
        self.box.write("a.txt", b"a")
        self.assertEqual(self.run_cli("a.txt")[0], 0)
        self.assertEqual(self.curl(f"http://127.0.0.1:{self.port}/a.txt").stdout, b"a")
        server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(), 0)
        time.sleep(0.2)
        self.assertTrue(server.stdout_lines.empty())
        self.assertFalse(os.path.exists(os.path.join(self.box.env["XDG_RUNTIME_DIR"], "quillcast-control.sock")))
        # The share was kept and the instance lock released: the next start serves it.
        server = self.start()
        self.assertEqual(self.curl(f"http://127.0.0.1:{self.port}/a.txt").stdout, b"a")
        server.proc.send_signal(signal.SIGINT)
        self.assertEqual(server.wait(), 0)

    def test_a_server_that_does_not_know_the_requests_gives_a_clear_error(self):
        # What a server of the one-way protocol does with a request it does not know: it
        # reads the first byte and closes.
        path = os.path.join(self.box.env["XDG_RUNTIME_DIR"], "quillcast-control.sock")
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(path)
        listener.listen(8)
        self.addCleanup(listener.close)
        seen = []

        def old_server():
            for _ in range(3):
                client, _ = listener.accept()
                seen.append(client.recv(1))
                client.close()
        thread = threading.Thread(target=old_server, daemon=True)
        thread.start()
        self.box.write("a.txt", b"a")
        for args in (["-list"], ["-config", "port=81"], ["a.txt"]):
            with self.subTest(args=args):
                code, out, err = self.run_cli(*args)
                self.assertEqual((code, out), (1, ""))
                self.assertIn("the running server does not understand this request; it is probably an "
                              "older quillcast", err)
        thread.join(TIMEOUT)
        self.assertEqual(seen, [b"V"] * 3)
        self.assertIsNone(self.files()["shared.cfg"])

    def test_bind_failure_says_why_in_linux_terms(self):
        port = taken_port(self)
        self.box.write("common.cfg", settings_bytes(port))
        code, out, err = self.run_cli()
        self.assertEqual(code, 1)
        self.assertEqual(err, "Error: Can't run server. Check your firewall and access to port\n"
                              f"quillcast: port {port}: Address already in use (98); choose another port with: "
                              "quillcast -config port=8080\n")

    def test_a_request_log_nobody_reads_holds_neither_requests_nor_the_stop(self):
        import fcntl
        # Links copied after a share go to the same standard output.
        self.box.write("common.cfg", settings_bytes(self.port, flags=2, domain=b"localhost"))
        self.box.write("late.bin", b"x")
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ: the pipe holds one page
        server = subprocess.Popen([BIN], cwd=self.box.dir, env=self.box.env, stdin=subprocess.DEVNULL,
                                  stdout=write_end, stderr=subprocess.DEVNULL)
        os.close(write_end)
        self.addCleanup(lambda: server.poll() is None and (server.kill(), server.wait()))
        deadline = time.time() + TIMEOUT
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                self.assertLess(time.time(), deadline, "server never came up")
                time.sleep(0.05)
        # Log lines of 8 KB: the first fills the pipe, some 130 more the log's queue.
        request = b"GET /" + b"n" * 8000 + b" HTTP/1.1\r\n\r\n"
        count = 200

        def requests_all_answered_and_closed():
            for _ in range(count):
                self.assertTrue(http_get(self.port, request, timeout=10).startswith(b"HTTP/1.1 404"))

        requests_all_answered_and_closed()
        # Once read, the log holds the lines kept, each whole, then what was dropped.
        out = b""
        reading_until = time.monotonic() + TIMEOUT
        while time.monotonic() < reading_until:
            ready, _, _ = select.select([read_end], [], [], 1)
            if ready:
                out += os.read(read_end, 1 << 16)
            elif out.endswith(b" not read in time\n"):
                break  # drained, and told so
        lines = out.decode().splitlines()
        logged = [l for l in lines if re.fullmatch(r"\S+ 127\.0\.0\.1 /n{8000} 404 198 -", l)]
        notes = [l for l in lines if l not in logged]
        self.assertTrue(notes, lines[-3:])
        dropped = 0
        for note in notes:
            got = re.fullmatch(r"quillcast: (\d+) request log lines? dropped: standard output was not read in time",
                               note)
            self.assertTrue(got, note[:200])
            dropped += int(got.group(1))
        self.assertEqual(len(logged) + dropped, count)
        # Not read any more: serving, sharing (and its copied link) and the stop go on regardless.
        requests_all_answered_and_closed()
        self.assertEqual(self.run_cli("late.bin"), (0, f"http://localhost:{self.port}/late.bin\n", ""))
        self.assertTrue(http_get(self.port, b"GET /late.bin HTTP/1.1\r\nConnection: close\r\n\r\n").endswith(b"\r\n\r\nx"))
        self.assertEqual(self.run_cli("-stop")[0], 0)
        self.assertEqual(server.wait(timeout=TIMEOUT), 0)

    def test_a_broken_download_is_logged_with_its_client_the_bytes_sent_and_a_mark(self):
        size = 40 << 20
        with open(self.box.path("big.bin"), "wb") as f:
            f.truncate(size)
        server = self.start()
        self.assertEqual(self.run_cli("big.bin"), (0, f"http://localhost:{self.port}/big.bin\n", ""))
        # From another address of this machine, cut off after 4 MB with a reset.
        client = socket.socket()
        client.bind(("127.0.0.2", 0))
        client.connect(("127.0.0.1", self.port))
        client.sendall(b"GET /big.bin HTTP/1.1\r\n\r\n")
        got = 0
        while got < 4 << 20:
            chunk = client.recv(1 << 16)
            self.assertTrue(chunk, f"closed after {got} bytes")
            got += len(chunk)
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        client.close()
        stamp = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d{4}"
        line = server.stdout_line()
        logged = re.fullmatch(rf"{stamp} 127\.0\.0\.2 /big\.bin 200 (\d+) - incomplete", line)
        self.assertTrue(logged, line)
        # At least what arrived (less its head), less than the whole.
        self.assertGreaterEqual(int(logged.group(1)), got - 1000)
        self.assertLess(int(logged.group(1)), size)
        # A download that completes is marked so.
        whole = self.curl(f"http://127.0.0.1:{self.port}/big.bin", "-o", os.devnull)
        self.assertEqual(whole.returncode, 0, whole.stderr)
        self.assertRegex(server.stdout_line(), rf"^{stamp} 127\.0\.0\.1 /big\.bin 200 {size} - done$")
        self.stop(server)


if __name__ == "__main__":
    unittest.main(verbosity=2)
