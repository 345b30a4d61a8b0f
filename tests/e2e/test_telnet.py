"""The Telnet proxy driven by the real telnet client on a pseudo-terminal."""

import os
import re
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harbix_e2e as e2e  # noqa: E402

TELNET_PORT = 2323


class TelnetProxyTest(unittest.TestCase):
    def setUp(self):
        self.engine = e2e.Engine()
        self.engine.only("TNET")
        self.origin = e2e.LineServer()
        self.terminals = []

    def tearDown(self):
        for terminal in self.terminals:
            terminal.close()
        self.origin.close()
        self.engine.cleanup()

    def telnet(self):
        terminal = e2e.Terminal(["telnet", "127.0.0.1", str(TELNET_PORT)])
        self.terminals.append(terminal)
        terminal.expect("Harbix TelNet Proxy OK\r\nSend HostName to Connect: ")
        return terminal

    def test_reaches_a_server_by_address_and_by_name(self):
        self.engine.service("TNET", TELNET_PORT)
        self.engine.start(TELNET_PORT)
        for host in ("127.0.0.1", "origin.test"):
            with self.subTest(host=host):
                terminal = self.telnet()
                terminal.type(f"{host}:{self.origin.port}\r")
                terminal.expect(f"Connecting to '{host}'... Please Wait...")
                terminal.expect("WELCOME TO ORIGIN")
                terminal.type("hello through the proxy\r")
                terminal.expect("HELLO THROUGH THE PROXY")

    def test_backspace_edits_the_host_line(self):
        # "ac" names the origin in this namespace's hosts file; "ab" names nothing.
        self.engine.service("TNET", TELNET_PORT)
        self.engine.start(TELNET_PORT)
        terminal = self.telnet()
        terminal.type("ab")
        terminal.type("\x7f")  # the terminal's erase key
        terminal.type(f"c:{self.origin.port}\r")
        terminal.expect("Connecting to 'ac'... Please Wait...")
        terminal.expect("WELCOME TO ORIGIN")
        # A client that sends the backspace itself has it handled by the proxy.
        with socket.create_connection(("127.0.0.1", TELNET_PORT), timeout=10) as raw:
            raw.sendall(f"ab\bc:{self.origin.port}\r\n".encode())
            seen = b""
            while b"WELCOME TO ORIGIN" not in seen:
                data = raw.recv(4096)
                self.assertTrue(data, seen)
                seen += data
            self.assertIn(b"ab\b \bc", seen)
            self.assertIn(b"Connecting to 'ac'", seen)

    def test_denied_destination_is_refused_and_closed(self):
        self.engine.service("TNET", TELNET_PORT)
        self.engine.access_list("TNET", "Outgoing", ["127.0.0.7:255.255.255.255"], deny=True)
        self.engine.start(TELNET_PORT)
        terminal = self.telnet()
        terminal.type(f"127.0.0.7:{self.origin.port}\r")
        terminal.expect("Not allowed to connect to '127.0.0.7'")
        terminal.expect("Connection closed by foreign host.")

    def test_access_log_records_accepted_refused_and_closing(self):
        self.engine.service("TNET", TELNET_PORT, **{"LOG Activity": 1})
        self.engine.access_list("TNET", "Incoming", ["127.0.0.9:255.255.255.255"], deny=True)
        self.engine.start(TELNET_PORT)

        with socket.create_connection(("127.0.0.1", TELNET_PORT), timeout=10) as user:
            user_port = user.getsockname()[1]
            user.sendall(f"127.0.0.1:{self.origin.port}\r\n".encode())
            data = b""
            while b"WELCOME TO ORIGIN" not in data:
                chunk = user.recv(4096)
                self.assertTrue(chunk)
                data += chunk
        refused = socket.socket()
        refused.bind(("127.0.0.9", 0))
        refused_port = refused.getsockname()[1]
        refused.settimeout(10)
        refused.connect(("127.0.0.1", TELNET_PORT))
        self.assertEqual(refused.recv(100), b"", "a refused caller hears nothing")
        refused.close()

        line = r"\d\d'\d\d-\d\d, \d\d:\d\d:\d\d: "
        self.assertTrue(e2e.wait_until(lambda: f"Closing IP 127.0.0.1:{user_port}\n" in self.engine.log("TNET.LOG")))
        log = self.engine.log("TNET.LOG")
        self.assertRegex(log, line + re.escape(f"Accepted Connection From IP 127.0.0.1:{user_port}\n"))
        self.assertRegex(log, line + re.escape(f"Refused Connection From IP 127.0.0.9:{refused_port}\n"))
        self.assertRegex(log, line + re.escape(f"Closing IP 127.0.0.1:{user_port}\n"))
        self.assertNotIn(f"127.0.0.9:{refused_port}\nClosing", log)
        self.engine.stop()
        self.assertTrue(self.engine.log("TNET.LOG").endswith(": --- CLOSING LOG ---\n\n"))

    def test_slow_name_lookup_does_not_stall_other_users(self):
        # Everything on the service thread; the name server never answers for slow.example, so
        # its lookup hangs (other names are refused at once, the telnet client's own included).
        nameserver = SelectiveNameServer(b"\x04slow\x07example")
        try:
            self.engine.service("TNET", TELNET_PORT, **{"Use Threads": 0})
            self.engine.start(TELNET_PORT)
            waiting = self.telnet()
            waiting.type(f"slow.example:{self.origin.port}\r")
            waiting.expect("Connecting to 'slow.example'... Please Wait...")
            self.assertTrue(e2e.wait_until(lambda: nameserver.swallowed > 0))
            started = time.monotonic()
            other = self.telnet()
            other.type(f"127.0.0.1:{self.origin.port}\r")
            # A service thread held by the lookup would answer only after its 30 s timeout.
            other.expect("WELCOME TO ORIGIN", timeout=15)
            self.assertLess(time.monotonic() - started, 15)
            self.assertNotIn(b"WELCOME", waiting.read(0.1))
        finally:
            nameserver.close()


class SelectiveNameServer:
    """A name server on 127.0.0.53 that never answers queries containing `silent_name` and
    refuses all others at once."""

    def __init__(self, silent_name):
        self.silent_name = silent_name
        self.swallowed = 0
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.53", 53))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                query, client = self.sock.recvfrom(4096)
            except OSError:
                return
            if len(query) < 12:
                continue
            if self.silent_name in query.lower():
                self.swallowed += 1
                continue
            flags = 0x8000 | (query[2] & 0x01) << 8 | 0x0005  # a response, RD kept, REFUSED
            self.sock.sendto(query[:2] + flags.to_bytes(2, "big") + query[4:], client)

    def close(self):
        self.sock.close()


if __name__ == "__main__":
    e2e.enter_namespace(hosts={"origin.test": "127.0.0.1", "ac": "127.0.0.1"})
    e2e.main()
