"""The real engine starved of descriptors: it must turn callers away and stay up, and once they
have gone it must idle and serve again."""

import os
import socket
import socketserver
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harbix_e2e as e2e  # noqa: E402

TELNET_PORT = 2323
TUNNEL_PORT = 2525
# Enough for the engine to start its two services, far too few for hundreds of callers.
DESCRIPTORS = 80
ATTEMPTS_PER_SERVICE = 200
GREETING = b"Harbix TelNet Proxy OK\r\nSend HostName to Connect: "
ESTABLISHED = b"HTTP/1.0 200 Connection established"


class EchoServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            try:
                while data := self.request.recv(65536):
                    self.request.sendall(data)
            except OSError:
                pass

    def __init__(self):
        super().__init__(("127.0.0.1", 0), EchoServer.Handler)
        self.port = self.server_address[1]
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def close(self):
        self.shutdown()
        self.server_close()


def recv_until(sock, marker, timeout=10.0):
    sock.settimeout(timeout)
    seen = b""
    deadline = time.monotonic() + timeout
    while marker not in seen and time.monotonic() < deadline:
        try:
            data = sock.recv(4096)
        except OSError:
            break
        if not data:
            break
        seen += data
    return seen


class DescriptorLimitTest(unittest.TestCase):
    def setUp(self):
        self.engine = e2e.Engine()
        self.engine.only("TNET", "HTTPS")
        self.engine.service("TNET", TELNET_PORT)
        self.engine.service("HTTPS", TUNNEL_PORT)
        self.echo = EchoServer()
        self.clients = []

    def tearDown(self):
        self.release()
        self.echo.close()
        self.engine.cleanup()

    def release(self):
        for client in self.clients:
            client.close()
        self.clients = []

    def assert_engine_up(self, when):
        status = self.engine.process.poll()
        self.assertIsNone(status, f"the engine exited with {status} {when}; it wrote: {self.engine.console()[-2000:]!r}")

    def attempt(self, port, request):
        """One caller who stays; the kernel may keep it in the backlog while the engine cannot
        accept."""
        client = socket.socket()
        client.settimeout(10)
        try:
            client.connect(("127.0.0.1", port))
            if request:
                client.sendall(request)
        except OSError:
            client.close()
            return
        self.clients.append(client)

    def quiet_window(self, seconds=2.0, budget=0.2, within=30.0):
        """Whether, within `within` seconds, the engine spends less than `budget` CPU seconds in
        some window of `seconds`: an engine still working through its backlog gets more
        windows, one that spins never has a quiet one."""
        deadline = time.monotonic() + within
        used = None
        while time.monotonic() < deadline:
            before = self.engine.cpu_seconds()
            time.sleep(seconds)
            used = self.engine.cpu_seconds() - before
            if used < budget:
                return True, used
        return False, used

    def test_callers_beyond_the_descriptors_leave_the_engine_up_idle_and_serving(self):
        self.engine.start(TELNET_PORT, TUNNEL_PORT, wrapper=["prlimit", f"--nofile={DESCRIPTORS}:{DESCRIPTORS}"])
        with open(f"/proc/{self.engine.process.pid}/limits") as f:
            self.assertRegex(f.read(), rf"Max open files\s+{DESCRIPTORS}\s+{DESCRIPTORS}")

        # Silent callers and callers with a request: a session then also needs a socket towards
        # its server, so the descriptors run out at every step of making a session.
        telnet_request = f"127.0.0.1:{self.echo.port}\r\n".encode()
        tunnel_request = f"CONNECT 127.0.0.1:{self.echo.port} HTTP/1.0\r\n\r\n".encode()
        for i in range(ATTEMPTS_PER_SERVICE):
            self.attempt(TELNET_PORT, telnet_request if i % 2 else None)
            self.attempt(TUNNEL_PORT, tunnel_request if i % 3 else None)
            if i % 20 == 0:
                self.assert_engine_up(f"after {i} callers per service")
        # The engine keeps retrying its accepts while the callers hold on.
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            self.assert_engine_up("while the callers held on")
            time.sleep(0.1)
        self.assert_engine_up("while the callers held on")

        self.release()
        quiet, used = self.quiet_window()
        self.assert_engine_up("after the callers left")
        self.assertTrue(quiet, f"the engine kept using {used:.2f} s of CPU per 2 s with nobody connected")

        with socket.create_connection(("127.0.0.1", TELNET_PORT), timeout=10) as user:
            seen = recv_until(user, GREETING)
            self.assertEqual(seen, GREETING)
        with socket.create_connection(("127.0.0.1", TUNNEL_PORT), timeout=10) as user:
            user.sendall(f"CONNECT 127.0.0.1:{self.echo.port} HTTP/1.0\r\n\r\n".encode())
            seen = recv_until(user, b"\n\n")
            self.assertTrue(seen.startswith(ESTABLISHED), seen)
            user.sendall(b"through the tunnel")
            self.assertTrue(recv_until(user, b"through the tunnel").endswith(b"through the tunnel"))
        self.assert_engine_up("at the end")


if __name__ == "__main__":
    e2e.enter_namespace()
    e2e.main()
