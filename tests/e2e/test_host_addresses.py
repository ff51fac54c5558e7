"""End-to-end tests of the host that links carry, on the native program. The server and
its commands run in network namespaces of their own, built like the machines users have:
loopback, one network card with the default route (sometimes a second card, listed
first), and a machine name that the hosts file maps to a loopback address, or to nothing
at all. Needs root (ip netns); skipped otherwise."""
import os
import queue
import re
import shutil
import subprocess
import threading
import unittest

from harness import BIN, Sandbox, free_port, settings_bytes

TIMEOUT = 30
VERSION = "1.0.0"
HOSTS = "127.0.0.1 localhost\n"


def namespaces_available():
    """Why network namespaces cannot be made here, or None."""
    if os.geteuid() != 0:
        return "needs root to make network namespaces"
    if shutil.which("ip") is None or shutil.which("unshare") is None:
        return "needs ip (iproute2) and unshare (util-linux)"
    probe = f"qc-links-probe-{os.getpid()}"
    made = subprocess.run(["ip", "netns", "add", probe], capture_output=True)
    if made.returncode != 0:
        return "ip netns add fails here: " + made.stderr.decode().strip()
    subprocess.run(["ip", "netns", "del", probe], capture_output=True)
    return None


WHY_NOT = namespaces_available()
if WHY_NOT:
    print(f"test_host_addresses: skipped: {WHY_NOT}")


class Machine:
    """A network namespace with loopback up and one veth pair per card (address with its
    prefix length, whether the default route leaves through it), in the order given: the
    system lists earlier cards first. Commands run in it under a machine name of their
    own (a UTS namespace) with /etc/hosts replaced by `hosts`."""

    count = 0

    def __init__(self, hostname, hosts, cards):
        Machine.count += 1
        self.name = f"qc-links-{os.getpid()}-{Machine.count}"
        self.hostname = hostname
        self.etc = os.path.join("/etc/netns", self.name)
        self.ip("netns", "add", self.name)
        try:
            os.makedirs(self.etc)
            with open(os.path.join(self.etc, "hosts"), "w") as f:
                f.write(hosts)
            # No name server: a lookup of the machine's name fails at once instead of
            # waiting for one that cannot be reached from here.
            with open(os.path.join(self.etc, "resolv.conf"), "w") as f:
                f.write("")
            self.ip("-n", self.name, "link", "set", "lo", "up")
            for i, (address, default_route) in enumerate(cards):
                card, peer = f"qcnet{i}", f"qcpeer{i}"
                self.ip("-n", self.name, "link", "add", card, "type", "veth", "peer", "name", peer)
                for link in (card, peer):
                    self.ip("-n", self.name, "link", "set", link, "up")
                self.ip("-n", self.name, "addr", "add", address, "dev", card)
                if default_route:
                    gateway = re.sub(r"\.\d+/\d+$", ".1", address)
                    self.ip("-n", self.name, "route", "add", "default", "via", gateway, "dev", card)
        except BaseException:
            self.close()
            raise

    @staticmethod
    def ip(*args):
        subprocess.run(["ip", *args], check=True, capture_output=True, timeout=TIMEOUT)

    def command(self, *args):
        return ["ip", "netns", "exec", self.name, "unshare", "-u", "sh", "-c",
                'hostname "$0" && exec "$@"', self.hostname, *args]

    def system_order(self):
        """The IPv4 addresses as the system lists them, loopback included."""
        out = subprocess.run(["ip", "-n", self.name, "-4", "-o", "addr", "show"], capture_output=True,
                             timeout=TIMEOUT, check=True).stdout.decode()
        return re.findall(r"inet (\d+\.\d+\.\d+\.\d+)/", out)

    def close(self):
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True)
        shutil.rmtree(self.etc, ignore_errors=True)


@unittest.skipIf(WHY_NOT, WHY_NOT or "")
class HostInLinks(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.port = free_port()

    def machine(self, hostname, hosts, cards):
        m = Machine(hostname, hosts, cards)
        self.addCleanup(m.close)
        return m

    def run_in(self, machine, *args):
        done = subprocess.run(machine.command(*args), cwd=self.box.dir, env=self.box.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def cli(self, machine, *args):
        return self.run_in(machine, BIN, *args)

    def start(self, machine, host_choice=0):
        """Starts the server in `machine`; returns it and its start line."""
        self.box.write("common.cfg", settings_bytes(self.port, host_choice=host_choice))
        server = subprocess.Popen(machine.command(BIN, "-quiet"), cwd=self.box.dir, env=self.box.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(self.end, machine, server)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(raw.decode().rstrip("\n"))
                                         for raw in iter(server.stderr.readline, b"")], daemon=True).start()
        try:
            line = lines.get(timeout=TIMEOUT)
        except queue.Empty:
            self.fail("the server said nothing at its start")
        self.assertTrue(line.startswith(f"quillcast {VERSION}: serving on port {self.port} "), line)
        return server, line

    def end(self, machine, server):
        if server.poll() is None:
            self.cli(machine, "-stop")
        try:
            server.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        server.stderr.close()

    def fetch(self, machine, url):
        done = subprocess.run(machine.command("curl", "-s", "-S", "-f", "--max-time", "20", url), env=self.box.env,
                              capture_output=True, timeout=TIMEOUT)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout

    def share_and_fetch(self, machine, host):
        """Shares a new file and downloads it through the printed link, which must carry
        `host`; returns the link."""
        name = f"file {len(os.listdir(self.box.dir))}.bin"
        payload = os.urandom(3000)
        self.box.write(name, payload)
        code, out, err = self.cli(machine, name)
        link = f"http://{host}:{self.port}/{name.replace(' ', '%20')}"
        self.assertEqual((code, out, err), (0, link + "\n", ""))
        self.assertEqual(self.fetch(machine, link), payload)
        code, out, _ = self.cli(machine, "-list")
        self.assertEqual(code, 0)
        # The fetch above is the share's one completed download, from the link's address.
        self.assertIn(f"{link}\t{self.box.path(name)}\t-\t1\t", out)
        self.assertIn(f"\t{host}\t-\t-\n", out)
        return link

    def test_a_name_mapped_to_loopback_and_one_card_give_the_cards_address(self):
        for loopback in ("127.0.1.1", "127.0.0.1"):
            with self.subTest(name_maps_to=loopback):
                m = self.machine("qcbox", HOSTS + f"{loopback} qcbox\n", [("192.0.2.2/24", True)])
                self.assertEqual(self.run_in(m, "getent", "hosts", "qcbox")[1].split()[0], loopback)
                server, line = self.start(m)
                self.assertIn(f"(http://192.0.2.2:{self.port}/)", line)
                self.share_and_fetch(m, "192.0.2.2")
                code, out, _ = self.cli(m, "-config")
                self.assertEqual(code, 0)
                self.assertTrue(out.endswith("\naddresses of this machine (host=N puts the Nth into links):\n"
                                             "  1  192.0.2.2  (default route)\n"
                                             "links use 192.0.2.2: the default route's address\n"), out)
                # host=1 is the first listed address; there is no second.
                self.assertEqual(self.cli(m, "-config", "host=1")[0], 0)
                self.share_and_fetch(m, "192.0.2.2")
                code, out, err = self.cli(m, "-config", "host=2")
                self.assertEqual((code, out), (2, ""))
                self.assertIn("host=2: this machine has 1 IPv4 address", err)
                self.end(m, server)

    def test_host_n_picks_the_nth_listed_address_the_default_routes_first(self):
        m = self.machine("qcbox", HOSTS + "127.0.1.1 qcbox\n", [("198.51.100.7/24", False), ("192.0.2.2/24", True)])
        # The system lists the second card first; links count the default route's first.
        order = m.system_order()
        self.assertLess(order.index("198.51.100.7"), order.index("192.0.2.2"), order)
        code, out, _ = self.cli(m, "-config")
        self.assertEqual(code, 0)
        self.assertIn("  1  192.0.2.2  (default route)\n  2  198.51.100.7\n", out)
        server, line = self.start(m, host_choice=2)
        self.assertIn(f"(http://198.51.100.7:{self.port}/)", line)
        self.share_and_fetch(m, "198.51.100.7")
        self.assertEqual(self.cli(m, "-config", "host=1")[0], 0)
        self.share_and_fetch(m, "192.0.2.2")
        # Back to the rule without a choice: the default route's.
        self.assertEqual(self.cli(m, "-config", "host=0", "domain=")[0], 0)
        self.share_and_fetch(m, "192.0.2.2")

    def test_a_name_that_resolves_to_nothing_still_gives_a_working_link(self):
        m = self.machine("qc-nowhere", HOSTS, [("192.0.2.2/24", True)])
        self.assertNotEqual(self.run_in(m, "getent", "hosts", "qc-nowhere")[0], 0)
        server, line = self.start(m)
        self.assertIn(f"(http://192.0.2.2:{self.port}/)", line)
        self.share_and_fetch(m, "192.0.2.2")

    def test_a_machine_with_loopback_alone_links_to_itself(self):
        m = self.machine("qc-alone", HOSTS, [])
        server, line = self.start(m)
        self.assertIn(f"(http://127.0.0.1:{self.port}/)", line)
        self.share_and_fetch(m, "127.0.0.1")
        code, out, _ = self.cli(m, "-config")
        self.assertTrue(out.endswith("  1  127.0.0.1\nlinks use 127.0.0.1: the first address "
                                     "(there is no default route)\n"), out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
