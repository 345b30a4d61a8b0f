"""The SOCKS proxy with real clients: curl through SOCKS 4 and 5 (with a name, with a password)
from nginx, headless Chromium over SOCKS 5, PySocks over a UDP association to a UDP echo
server, and BIND with a second connector."""

import os
import socket
import struct
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harbix_e2e as e2e  # noqa: E402

SOCKS_PORT = 1080
PAGE_HOST, ASSET_HOST = "127.0.0.2", "127.0.0.3"
ORIGIN_NAME = "origin.test"
UDP_ECHO = ("127.0.0.4", 9000)
CONNECTOR_HOST = "127.0.0.5"
BIG_FILE_BYTES = 200 * 1024 * 1024
MAX_DATAGRAM = 65507
USER, PASSWORD = "alice", "Open Sesame"

PAGE = """<!DOCTYPE html>
<html><head><title>Harbix SOCKS page</title>
<script>
var seen = [];
function mark(what) { seen.push(what); document.getElementById('loaded').textContent = seen.sort().join(' '); }
</script>
<script src="http://127.0.0.3/app.js" onload="if (window.appLoaded) mark('js')"></script>
</head>
<body><p id="loaded">nothing</p>
<img src="http://127.0.0.3/dot.png" onload="mark('img')">
</body></html>
"""
DOT = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000"
                    "1f15c4890000000d49444154789c6360000002000001e221bc330000000049454e44ae426082")
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/-"


def registry_text(text):
    """The store's encoding of a secret, with every permutation draw 0 (the identity): five
    letters per byte, the byte in the middle bits and its 5-bit check on top."""
    letters = []
    for b in text.encode():
        v = b << 8
        t = v >> 20
        for shift in (15, 10, 5, 0):
            t = (t << 1) ^ (v >> shift)
        w = ((t & 31) << 25) | v
        letters += [ALPHABET[(w >> s) & 63] for s in (24, 18, 12, 6, 0)]
    return "".join(letters)


class UdpEcho:
    """Sends every datagram back to where it came from; b"big" is answered with a datagram of
    the largest size."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(UDP_ECHO)
        self.sock.settimeout(0.1)  # so that the thread sees the stop
        self.stopping = False
        self.received = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while not self.stopping:
            try:
                data, peer = self.sock.recvfrom(70000)
            except TimeoutError:
                continue
            self.received.append(data)
            self.sock.sendto(big_payload() if data == b"big" else data, peer)

    def close(self):
        # The port is free again only once no thread waits on the socket.
        self.stopping = True
        self.thread.join()
        self.sock.close()


def big_payload():
    return bytes((i * 7 + (i >> 8)) & 0xFF for i in range(MAX_DATAGRAM))


def select_readable(sock):
    import select
    return select.select([sock], [], [], 0)[0]


def socks5_request(sock, command, address, port):
    """The greeting without authentication and a request; returns the reply's address and port."""
    sock.sendall(b"\x05\x01\x00")
    assert e2e.recv_exactly(sock, 2) == b"\x05\x00"
    sock.sendall(b"\x05" + bytes([command]) + b"\x00\x01" + socket.inet_aton(address) + struct.pack(">H", port))
    return read_socks5_reply(sock)


def read_socks5_reply(sock):
    reply = e2e.recv_exactly(sock, 10)
    assert reply[:4] == b"\x05\x00\x00\x01", reply
    return socket.inet_ntoa(reply[4:8]), struct.unpack(">H", reply[8:10])[0]


class SocksProxyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        def prepare(nginx):
            with open(os.path.join(nginx.root, "page.html"), "w") as f:
                f.write(PAGE)
            with open(os.path.join(nginx.root, "app.js"), "w") as f:
                f.write("window.appLoaded = true;\n")
            with open(os.path.join(nginx.root, "dot.png"), "wb") as f:
                f.write(DOT)
            cls.big_digest = e2e.make_file(os.path.join(nginx.root, "big.bin"), BIG_FILE_BYTES)

        servers = "".join(f"""
    server {{
        listen {host}:80;
        root ROOT;
    }}""" for host in (PAGE_HOST, ASSET_HOST))
        cls.nginx = e2e.Nginx(servers, [(h, 80) for h in (PAGE_HOST, ASSET_HOST)], prepare=prepare)

    @classmethod
    def tearDownClass(cls):
        cls.nginx.close()

    def setUp(self):
        self.engine = e2e.Engine()
        self.engine.only("SOCKS")
        self.engine.service("SOCKS", SOCKS_PORT)

    def tearDown(self):
        self.engine.cleanup()

    def store_user(self, name, password):
        key = "SOCKS"
        self.engine.set(key, "Users Count", "dword", 1)
        self.engine.set(key, "USER 0", "binary", registry_text(f"{name}\t{password}").encode().hex())

    def curl(self, *args):
        return subprocess.run(["curl", "-sS", "--max-time", "120", *args], capture_output=True, timeout=180)

    def test_curl_downloads_arrive_intact_through_every_version(self):
        self.store_user(USER, PASSWORD)
        self.engine.start(SOCKS_PORT)
        proxy = f"127.0.0.1:{SOCKS_PORT}"
        cases = [
            ("SOCKS 4", ["--socks4", proxy], PAGE_HOST),
            ("SOCKS 5", ["--socks5", proxy], PAGE_HOST),
            ("SOCKS 5, the proxy resolves", ["--socks5-hostname", proxy], ORIGIN_NAME),
            ("SOCKS 5 with a password", ["--socks5", proxy, "--proxy-user", f"{USER}:{PASSWORD}"], PAGE_HOST),
        ]
        out = os.path.join(self.engine.home, "big.out")
        direct = self.curl("-o", out, f"http://{PAGE_HOST}/big.bin")
        self.assertEqual(direct.returncode, 0, direct.stderr)
        self.assertEqual(e2e.sha256_of(out), self.big_digest)
        for name, options, host in cases:
            with self.subTest(name):
                os.remove(out)
                fetch = self.curl(*options, "-o", out, f"http://{host}/big.bin")
                self.assertEqual(fetch.returncode, 0, fetch.stderr)
                self.assertEqual(os.path.getsize(out), BIG_FILE_BYTES)
                self.assertEqual(e2e.sha256_of(out), self.big_digest)
        os.remove(out)

    def test_stored_passwords_are_checked(self):
        self.store_user(USER, PASSWORD)
        self.engine.set("SOCKS", "Allow Anonymous", "dword", 0)
        self.engine.start(SOCKS_PORT)
        proxy = f"127.0.0.1:{SOCKS_PORT}"
        url = f"http://{PAGE_HOST}/app.js"
        right = self.curl("--socks5", proxy, "--proxy-user", f"{USER}:{PASSWORD}", url)
        self.assertEqual(right.returncode, 0, right.stderr)
        self.assertEqual(right.stdout, b"window.appLoaded = true;\n")
        for name, extra in (("wrong password", ["--proxy-user", f"{USER}:open sesame"]),
                            ("unknown user", ["--proxy-user", f"bob:{PASSWORD}"]),
                            ("anonymous", [])):
            with self.subTest(name):
                wrong = self.curl("--socks5", proxy, *extra, url)
                self.assertNotEqual(wrong.returncode, 0)
                self.assertEqual(wrong.stdout, b"")

    def test_chromium_loads_a_page_from_two_origins(self):
        self.engine.start(SOCKS_PORT)
        dom = e2e.chromium_dom(f"http://{PAGE_HOST}/page.html", f"socks5://127.0.0.1:{SOCKS_PORT}")
        self.assertIn(b'<p id="loaded">img js</p>', dom, dom[-2000:])

    def test_a_slow_name_lookup_holds_up_no_other_session(self):
        # Every session on the service's own thread, and a name server that never answers.
        self.engine.set("SOCKS", "Use Threads", "dword", 0)
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        silent.bind(("127.0.0.53", 53))
        self.engine.start(SOCKS_PORT)
        waiting = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        try:
            waiting.sendall(b"\x05\x01\x00")
            self.assertEqual(e2e.recv_exactly(waiting, 2), b"\x05\x00")
            name = b"nobody.answers.test"
            waiting.sendall(b"\x05\x01\x00\x03" + bytes([len(name)]) + name + struct.pack(">H", 80))
            self.assertTrue(e2e.wait_until(lambda: bool(select_readable(silent)), timeout=10), "the lookup never went out")
            fetch = self.curl("--socks5", f"127.0.0.1:{SOCKS_PORT}", "--max-time", "10", f"http://{PAGE_HOST}/app.js")
            self.assertEqual(fetch.returncode, 0, fetch.stderr)
            self.assertEqual(fetch.stdout, b"window.appLoaded = true;\n")
        finally:
            waiting.close()
            silent.close()

    def test_udp_association_carries_datagrams_both_ways(self):
        import socks
        echo = UdpEcho()
        self.engine.start(SOCKS_PORT)
        try:
            client = socks.socksocket(socket.AF_INET, socket.SOCK_DGRAM)
            client.set_proxy(socks.SOCKS5, "127.0.0.1", SOCKS_PORT)
            client.settimeout(10)
            client.bind(("127.0.0.1", 0))
            for payload in (b"hello", b"x" * 1000, b"y" * (MAX_DATAGRAM - 10 - 10)):
                client.sendto(payload, UDP_ECHO)
                data, source = client.recvfrom(70000)
                self.assertEqual(data, payload)
                self.assertEqual(source, UDP_ECHO)
            client.close()
        finally:
            echo.close()

    def test_large_remote_datagrams_come_in_fragments_and_client_fragments_are_dropped(self):
        echo = UdpEcho()
        self.engine.start(SOCKS_PORT)
        control = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.settimeout(10)
        try:
            udp.bind(("127.0.0.1", 0))
            relay = socks5_request(control, 3, "0.0.0.0", udp.getsockname()[1])
            self.assertEqual(relay[0], "127.0.0.1")  # the engine's address, where the datagrams go
            header = b"\x00\x00\x00\x01" + socket.inet_aton(UDP_ECHO[0]) + struct.pack(">H", UDP_ECHO[1])
            # A fragment from the client goes nowhere; the whole datagram behind it does.
            udp.sendto(b"\x00\x00\x01" + header[3:] + b"fragment", relay)
            udp.sendto(header + b"big", relay)
            pieces = []
            while not pieces or not pieces[-1][2] & 0x80:
                pieces.append(udp.recv(70000))
            self.assertEqual([p[2] for p in pieces], [1, 0x82])
            for piece in pieces:
                self.assertLessEqual(len(piece), MAX_DATAGRAM)
                self.assertEqual(piece[3:10], header[3:10])  # from the echo server
            self.assertEqual(b"".join(p[10:] for p in pieces), big_payload())
            self.assertEqual(echo.received, [b"big"])
        finally:
            udp.close()
            control.close()
            echo.close()

    def test_bind_replies_and_relays_with_a_second_connector(self):
        self.engine.start(SOCKS_PORT)
        for version in (4, 5):
            with self.subTest(f"SOCKS {version}"):
                control = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
                if version == 4:
                    control.sendall(b"\x04\x02" + struct.pack(">H", 21) + socket.inet_aton(CONNECTOR_HOST) + b"me\x00")
                    reply = e2e.recv_exactly(control, 8)
                    self.assertEqual(reply[:2], b"\x00\x5a")
                    listening = (socket.inet_ntoa(reply[4:8]), struct.unpack(">H", reply[2:4])[0])
                else:
                    listening = socks5_request(control, 2, CONNECTOR_HOST, 21)
                self.assertEqual(listening[0], "127.0.0.1")
                connector = socket.socket()
                connector.settimeout(10)
                connector.bind((CONNECTOR_HOST, 0))
                connector.connect(listening)
                if version == 4:
                    reply = e2e.recv_exactly(control, 8)
                    self.assertEqual(reply[:2], b"\x00\x5a")
                    peer = (socket.inet_ntoa(reply[4:8]), struct.unpack(">H", reply[2:4])[0])
                else:
                    peer = read_socks5_reply(control)
                self.assertEqual(peer, connector.getsockname())
                connector.sendall(b"from the connector")
                self.assertEqual(e2e.recv_exactly(control, 18), b"from the connector")
                control.sendall(b"from the client")
                self.assertEqual(e2e.recv_exactly(connector, 15), b"from the client")
                connector.close()
                self.assertEqual(control.recv(10), b"")  # the connector's end is passed on
                control.close()


if __name__ == "__main__":
    e2e.enter_namespace(hosts={ORIGIN_NAME: PAGE_HOST})
    e2e.main()
