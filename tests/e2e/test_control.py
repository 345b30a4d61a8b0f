"""Controlling the real engine from outside: harbixen CLOSE and harbixctl."""

import json
import os
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harbix_e2e as e2e  # noqa: E402

TELNET_PORT = 2323


class ControlTest(unittest.TestCase):
    def setUp(self):
        self.engine = e2e.Engine()
        self.engine.only("TNET")
        self.engine.service("TNET", TELNET_PORT)
        self.origin = e2e.LineServer()

    def tearDown(self):
        self.origin.close()
        self.engine.cleanup()

    def ctl(self, *args, check=True):
        result = subprocess.run([e2e.ARGS.harbixctl] + list(args), env=self.engine.env, capture_output=True,
                                text=True, timeout=30)
        if check:
            self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def relay(self):
        """A Telnet session connected through to the origin."""
        user = socket.create_connection(("127.0.0.1", TELNET_PORT), timeout=10)
        user.sendall(f"127.0.0.1:{self.origin.port}\r\n".encode())
        data = b""
        while b"WELCOME TO ORIGIN" not in data:
            chunk = user.recv(4096)
            self.assertTrue(chunk)
            data += chunk
        return user

    def test_close_stops_a_running_engine(self):
        self.engine.start(TELNET_PORT)
        user = self.relay()  # an open session must not hold the engine up
        started = time.monotonic()
        closer = subprocess.run([e2e.ARGS.harbixen, "close"], env=self.engine.env, capture_output=True, timeout=30)
        self.assertEqual(closer.returncode, 0)
        self.assertEqual(closer.stdout + closer.stderr, b"")
        self.engine.process.wait(10)
        elapsed = time.monotonic() - started
        self.assertEqual(self.engine.process.returncode, 0)
        self.assertLess(elapsed, 2.0)
        self.assertFalse(e2e.listening(TELNET_PORT))
        user.close()

    def test_status_shows_byte_counts_growing_while_telnet_relays(self):
        self.engine.start(TELNET_PORT)
        text = self.ctl("status").stdout
        self.assertIn("Engine is running", text)
        self.assertRegex(text, r"TELNET +Running OK +Remote Control")
        self.assertRegex(text, r"FTP +Shut Down")

        user = self.relay()
        figures = []
        for _ in range(3):
            user.sendall(b"x" * 3000 + b"\n")
            time.sleep(1.3)  # the service adds up its sessions' bytes once a second
            figures.append(json.loads(self.ctl("--json", "status", "telnet").stdout))
        for figure in figures:
            self.assertEqual(figure["state"], "Running OK")
            self.assertEqual(figure["active"], 1)
        sent = [f["bytes_sent"] for f in figures]
        received = [f["bytes_received"] for f in figures]
        self.assertTrue(sent[0] < sent[1] < sent[2], sent)
        self.assertTrue(received[0] < received[1] < received[2], received)
        self.assertRegex(self.ctl("status", "TELNET").stdout, r"Total Received Bytes: \d+\.\d\d KB")
        whole = json.loads(self.ctl("--json", "status").stdout)
        self.assertGreaterEqual(whole["engine"]["total_connections"], 1)
        user.close()

    def test_reload_moves_the_service_to_its_new_port(self):
        self.engine.start(TELNET_PORT)
        self.engine.set("TNET", "Bind Port", "binary", e2e.port_hex(TELNET_PORT + 1))
        self.ctl("reload", "TNET")
        self.assertTrue(e2e.wait_until(lambda: e2e.listening(TELNET_PORT + 1)))
        self.assertFalse(e2e.listening(TELNET_PORT))

    def test_stop_and_start(self):
        self.engine.start(TELNET_PORT)
        self.ctl("stop", "--yes")
        self.assertEqual(self.engine.process.wait(10), 0)
        self.assertEqual(self.ctl("status", check=False).returncode, 1)
        # The engine recorded where it is; harbixctl starts it detached from there.
        self.ctl("start")
        self.assertTrue(e2e.wait_until(lambda: e2e.listening(TELNET_PORT)))
        self.ctl("stop", "--yes")
        self.assertTrue(e2e.wait_until(lambda: not e2e.listening(TELNET_PORT)))

    def test_bad_usage_and_no_engine(self):
        self.assertEqual(self.ctl("status", check=False).returncode, 1)
        for args in (["frobnicate"], ["status", "GOPHER"], ["reload", "nothing"], ["--timeout", "x", "status"], []):
            with self.subTest(args=args):
                self.assertEqual(self.ctl(*args, check=False).returncode, 2)
        stop = subprocess.run([e2e.ARGS.harbixctl, "stop"], env=self.engine.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=30)
        self.assertEqual(stop.returncode, 1, "nothing runs that could be stopped")


if __name__ == "__main__":
    e2e.enter_namespace()
    e2e.main()
