"""Nothing lost on a crash: the native server is killed (SIGKILL) at random moments while
a client shares files one after another. After every kill, each share whose record was
complete in "shared.cfg" comes back with the restarted server and is served, and the
shares of the next round are appended readably after it.

    QC_BIN=build/native/quillcast python3 tests/e2e/test_crash.py     (QC_CRASH_ROUNDS=100)
"""
import os
import random
import signal
import struct
import threading
import time
import unittest

from harness import WINE_MODE, Sandbox, free_port, http_get, settings_bytes

ROUNDS = int(os.environ.get("QC_CRASH_ROUNDS", "100"))


def complete_records(data):
    """The (virtual, physical) pairs of every complete record, and the length they cover."""
    records, offset = [], 0
    while offset + 6 <= len(data):
        v, p, _flags = struct.unpack_from("<HHH", data, offset)
        if offset + 6 + v + p > len(data):
            break
        start = offset + 6
        records.append((data[start:start + v], data[start + v:start + v + p]))
        offset = start + v + p
    return records, offset


@unittest.skipIf(WINE_MODE, "SIGKILL of the native server")
class CrashTest(unittest.TestCase):
    def test_killed_at_random_moments_loses_no_complete_share(self):
        box = Sandbox()
        self.addCleanup(box.close)
        port = free_port()
        box.write("common.cfg", settings_bytes(port, flags=0))
        rng = random.Random(int(os.environ.get("QC_CRASH_SEED", "7")))
        known = []          # records complete in the file after some kill
        torn = 0            # kills that left part of a record behind
        counter = 0
        for round_no in range(ROUNDS):
            server = box.start_server(port)
            # Every share complete before the last kill is back and served.
            for virtual, _physical in (known[-8:] + rng.sample(known, min(4, len(known)))):
                answer = http_get(port, b"GET " + virtual + b" HTTP/1.1\r\n\r\n", timeout=10)
                self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK\r\n"), (round_no, virtual, answer[:60]))
                self.assertTrue(answer.endswith(virtual), (round_no, virtual))

            stop = threading.Event()

            def share_one_after_another():
                nonlocal counter
                while not stop.is_set():
                    counter += 1
                    name = f"r{round_no}-f{counter}-" + "x" * rng.randrange(0, 200) + ".txt"
                    box.write(name, ("/" + name).encode())
                    client = box.run(box.path(name))
                    try:
                        client.wait(timeout=10)
                    except Exception:
                        client.kill()

            sharer = threading.Thread(target=share_one_after_another)
            sharer.start()
            time.sleep(rng.uniform(0.02, 0.6))
            server.proc.send_signal(signal.SIGKILL)
            server.proc.wait()
            stop.set()
            sharer.join()

            data = box.read("shared.cfg") if os.path.exists(box.path("shared.cfg")) else b""
            records, covered = complete_records(data)
            torn += covered < len(data)
            # Complete records are never lost or changed by later rounds.
            self.assertEqual(records[:len(known)], known, round_no)
            known = records

        # The last restart serves every share ever recorded complete.
        server = box.start_server(port)
        for virtual, _physical in known:
            answer = http_get(port, b"GET " + virtual + b" HTTP/1.1\r\n\r\n", timeout=10)
            self.assertTrue(answer.endswith(virtual), virtual)
        stopper = box.run("-stop")
        self.assertEqual(stopper.wait(), 0)
        self.assertEqual(server.wait(), 0)
        print(f"\n{ROUNDS} rounds, {len(known)} shares recorded and served, "
              f"{torn} kills left part of a record", flush=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
