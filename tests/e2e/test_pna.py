"""The PNA proxy with a player of our own that speaks the proxy header, against local stream
servers: the stream's first bytes behind the header, the header a byte at a time, every refusal
with its status record, and UDP delivery on both channels with the ports the proxy put in."""

import os
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harbix_e2e as e2e  # noqa: E402

PNA_PORT = 1090
STREAM_HOST = "127.0.0.2"
DENIED_HOST = "127.0.0.3"
PROXY = ("127.0.0.1", PNA_PORT)
TEXTS = {
    0: b"Success - Quillbay Harbix Proxy Server",
    1: b"No Connect - Quillbay Harbix Proxy Server",
    2: b"Bad Indo - Quillbay Harbix Proxy Server",
    3: b"Bad Version - Quillbay Harbix Proxy Server",
    4: b"Bad OpCode - Quillbay Harbix Proxy Server",
}


def record(kind, value=b""):
    return struct.pack(">HB", len(value) + 1, kind) + value


def header(host, port, transport=0):
    return (record(1, b"\x01") + record(2, host.encode() if isinstance(host, str) else host)
            + record(3, struct.pack(">H", port)) + record(5, bytes([transport])) + record(0))


def status(code):
    return b"\x00\x02\x01\x01" + struct.pack(">HBB", len(TEXTS[code]) + 2, 6, code) + TEXTS[code]


def error_reply(code):
    return status(code) + b"\x00\x01\x00"


def recv_to_end(sock):
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


def chunk(kind, value):
    return struct.pack(">HH", kind, len(value)) + value


class StreamServer(e2e.ThreadedTcpServer):
    """A TCP server on its own loopback address. Each connection gets the handler's treatment;
    by default what comes is kept and sent back."""

    def __init__(self, port, handler=None, host=STREAM_HOST):
        self.handler = handler or self.echo
        self.received = []
        self.failures = []
        super().__init__(host, port)

    @property
    def accepted(self):
        return len(self.clients)

    def serve_client(self, conn):
        conn.settimeout(10)
        try:
            self.handler(conn)
        except (OSError, AssertionError) as error:
            self.failures.append(repr(error))
        finally:
            conn.close()

    def echo(self, conn):
        got = b""
        self.received.append(got)
        index = len(self.received) - 1
        while True:
            data = conn.recv(65536)
            if not data:
                return
            got += data
            self.received[index] = got
            conn.sendall(data)

    def close(self):
        self.listener.close()
        for thread in self.threads:
            thread.join(20)


class PnaProxyTest(unittest.TestCase):
    def setUp(self):
        self.engine = e2e.Engine()
        self.engine.only("PNA")
        self.engine.service("PNA", PNA_PORT, **{"LOG Activity": 1})
        self.engine.access_list("PNA", "Outgoing", [f"{DENIED_HOST}:255.255.255.255"], deny=True)
        self.engine.start(PNA_PORT)
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.close()
        self.engine.cleanup()

    def server(self, port, handler=None, host=STREAM_HOST):
        server = StreamServer(port, handler, host)
        self.servers.append(server)
        return server

    def player(self):
        sock = socket.create_connection(PROXY, timeout=20)
        self.addCleanup(sock.close)
        return sock

    def test_the_stream_behind_the_header_reaches_the_server_first(self):
        server = self.server(7070)
        player_ports = []
        for name, send_header in (("in one packet", lambda s, h: s.sendall(h + b"first;")),
                                  ("a byte at a time", self.byte_at_a_time)):
            with self.subTest(name):
                sock = self.player()
                player_ports.append(sock.getsockname()[1])
                send_header(sock, header(STREAM_HOST, server.port))
                expected = status(0) + b"first;"
                self.assertEqual(e2e.recv_exactly(sock, len(expected)), expected)
                sock.sendall(b"later")
                self.assertEqual(e2e.recv_exactly(sock, 5), b"later")
                sock.close()
        self.assertTrue(e2e.wait_until(lambda: server.received[-1:] == [b"first;later"]), server.received)
        self.assertEqual(server.received, [b"first;later"] * 2)
        for port in player_ports:
            closing = f"Closing IP 127.0.0.1:{port}\n"
            self.assertTrue(e2e.wait_until(lambda: closing in (self.engine.log("PNA.LOG") or "")), self.engine.log("PNA.LOG"))
            self.assertIn(f"Accepted Connection From IP 127.0.0.1:{port}\n", self.engine.log("PNA.LOG"))

    def byte_at_a_time(self, sock, data):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for i in range(len(data)):
            sock.send(data[i:i + 1])
            time.sleep(0.002)
        sock.sendall(b"first;")

    def test_a_server_that_ends_its_stream_and_closes_loses_nothing(self):
        stream = bytes((i * 7 + (i >> 9)) & 0xFF for i in range(4 * 1024 * 1024))

        def send_and_close(conn):
            conn.sendall(stream)

        server = self.server(7071, send_and_close)
        sock = self.player()
        sock.sendall(header(STREAM_HOST, server.port))
        self.assertEqual(recv_to_end(sock), status(0) + stream)

    def test_each_refusal_has_its_code_and_closes(self):
        server = self.server(7072)
        cases = [
            ("version 2", record(1, b"\x02") + record(0), 3),
            ("end before the port", record(1, b"\x01") + record(2, STREAM_HOST.encode()) + record(5, b"\x00") + record(0), 2),
            ("host of 1024 bytes", record(1, b"\x01") + record(2, b"h" * 1024), 2),
            ("type 9", record(1, b"\x01") + record(9, b"x"), 4),
            ("denied destination", header(DENIED_HOST, server.port), 1),
            ("nothing listens", header(STREAM_HOST, 7079), 1),
            ("past 64 KiB of records", b"\x00\x00" * 40000, 2),
        ]
        for name, data, code in cases:
            with self.subTest(name):
                sock = self.player()
                sock.sendall(data)
                self.assertEqual(recv_to_end(sock), error_reply(code))
        self.assertEqual(server.accepted, 0)

    def test_a_host_of_1023_bytes_is_accepted(self):
        server = self.server(7073)
        sock = self.player()
        # A name that begins with a dotted address is that address.
        sock.sendall(header(STREAM_HOST + "x" * (1023 - len(STREAM_HOST)), server.port) + b"ping")
        self.assertEqual(e2e.recv_exactly(sock, len(status(0)) + 4), status(0) + b"ping")

    def test_udp_delivery_carries_datagrams_both_ways_on_both_channels(self):
        for name, host, port in (("a server on an address of its own", STREAM_HOST, 7074),
                                 ("a server on the player's address", "127.0.0.1", 7075)):
            with self.subTest(name):
                self.udp_delivery(host, port)

    def udp_delivery(self, host, port):
        seen = {}
        ready = threading.Event()
        done = threading.Event()

        def pna_server(conn):
            # The player's first bytes: its UDP port, then the stream header naming the second.
            first = e2e.recv_exactly(conn, 2 + 5 + 7 + 6 + 4)  # with "rest"
            seen["first"] = first
            proxy_ip = conn.getpeername()[0]
            ports = (struct.unpack(">H", first[0:2])[0], struct.unpack(">H", first[18:20])[0])
            udp = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2)]
            try:
                for s in udp:
                    s.bind((host, 0))
                    s.settimeout(10)
                answer = b"PNA" + b"\x00" * 6 + b"O" + struct.pack(">HHH", 8, 7, udp[1].getsockname()[1])
                conn.sendall(answer)
                for channel in range(2):
                    udp[channel].sendto(b"down %d" % channel, (proxy_ip, ports[channel]))
                ready.set()
                for channel in range(2):
                    data, source = udp[channel].recvfrom(65536)
                    seen[channel] = (data, source[1])
                done.wait(20)
            finally:
                for s in udp:
                    s.close()

        server = self.server(port, pna_server, host)
        udp = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2)]
        for s in udp:
            s.bind(("127.0.0.1", 0))
            s.settimeout(10)
            self.addCleanup(s.close)
        client_ports = [s.getsockname()[1] for s in udp]
        stream_start = (struct.pack(">H", client_ports[0]) + b"PNA\x00\x0a" + chunk(1, b"abc")
                        + chunk(7, struct.pack(">H", client_ports[1])) + b"rest")
        sock = self.player()
        sock.sendall(header(host, server.port, transport=1) + stream_start)
        self.assertEqual(e2e.recv_exactly(sock, len(status(0)) + 16)[:len(status(0))], status(0))
        self.assertTrue(ready.wait(10), server.failures)
        proxy_ports = []
        for channel in range(2):
            data, source = udp[channel].recvfrom(65536)
            self.assertEqual(data, b"down %d" % channel)
            proxy_ports.append(source[1])
        # What the server was told are the proxy's ports, everything else as the player sent it.
        first = seen["first"]
        self.assertEqual(struct.unpack(">H", first[0:2])[0], proxy_ports[0])
        self.assertEqual(struct.unpack(">H", first[18:20])[0], proxy_ports[1])
        self.assertFalse(set(proxy_ports) & set(client_ports))
        self.assertEqual(first[2:18] + first[20:], stream_start[2:18] + stream_start[20:])
        for channel in range(2):
            udp[channel].sendto(b"up %d" % channel, ("127.0.0.1", proxy_ports[channel]))
        self.assertTrue(e2e.wait_until(lambda: 1 in seen, 10), (seen, server.failures))
        done.set()
        # Each from the proxy's socket of its channel.
        self.assertEqual(seen[0], (b"up 0", proxy_ports[0]))
        self.assertEqual(seen[1], (b"up 1", proxy_ports[1]))
        self.assertEqual(server.failures, [])


if __name__ == "__main__":
    e2e.enter_namespace()
    e2e.main()
