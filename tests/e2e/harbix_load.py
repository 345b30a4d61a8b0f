"""Traffic for the load and fault check and for the soak: an origin server and clients that move
checked data through the engine's tunnel, Telnet proxy and port maps, and peers on both sides
that stall, reset and vanish on purpose.

Every stream is a stretch of a fixed random block read from an offset the stream chooses (the
block's length is prime, so a lost, doubled or misplaced piece never lines up again), which
makes checking a byte as cheap as comparing slices.
"""

import asyncio
import json
import os
import random
import socket
import struct
import subprocess

BLOCK = random.Random(20261210).randbytes(65521)
GREETING = b"Harbix TelNet Proxy OK\r\nSend HostName to Connect: "
ESTABLISHED_END = b"\n\n"

# What the origin does with a connection: the first byte of the request says.
DOWNLOAD = b"D"      # send the stream, then close
UPLOAD = b"U"        # read and check the stream, answer OK or BAD, close
ECHO = b"E"          # send back what comes, until the end
STALL = b"S"         # send half, pause, send the rest, close
RESET = b"R"         # send half, then reset the connection
VANISH = b"V"        # send half, then close as if done
HEADER = struct.Struct("<cQI")  # mode, size, offset into the block

# Pages the HTTP proxy may cache: "/page/<n>.html" for n below PAGE_COUNT, each with a body that
# follows from n, so a copy served from the cache is checked as strictly as one from the origin.
PAGE_COUNT = 40
PAGE_MODIFIED = "Thu, 10 Dec 2026 08:00:00 GMT"
PAGE_SIZES = (700, 9 * 1024, 70 * 1024, 260 * 1024)


def stream(offset, size):
    """size bytes of the pattern from offset on."""
    out = bytearray()
    pos = offset % len(BLOCK)
    while len(out) < size:
        piece = BLOCK[pos:pos + size - len(out)]
        out += piece
        pos = 0
    return bytes(out)


class Checker:
    """Checks a stream as it arrives."""

    def __init__(self, offset):
        self.offset = offset
        self.received = 0
        self.intact = True

    def feed(self, data):
        if self.intact and data != stream(self.offset + self.received, len(data)):
            self.intact = False
        self.received += len(data)


def reset(writer):
    """Closes with a reset (a zero linger), as a peer that crashes does."""
    sock = writer.get_extra_info("socket")
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()


class Origin:
    """The server behind the proxy, on a loopback port of its own."""

    def __init__(self, stall_seconds=2.0):
        self.stall_seconds = stall_seconds
        self.server = None
        self.port = 0
        self.bad_uploads = 0

    async def start(self):
        self.server = await asyncio.start_server(self._serve, "127.0.0.1", 0, backlog=4096)
        self.port = self.server.sockets[0].getsockname()[1]

    async def close(self):
        self.server.close()
        await self.server.wait_closed()

    async def _send(self, writer, offset, start, end):
        pos = start
        while pos < end:
            chunk = min(65536, end - pos)
            writer.write(stream(offset + pos, chunk))
            pos += chunk
            await writer.drain()

    async def _send_as(self, writer, mode, offset, size):
        """Sends a download the way mode says; False when the connection is already gone."""
        half = size // 2
        await self._send(writer, offset, 0, half if mode in (STALL, RESET, VANISH) else size)
        if mode == STALL:
            await asyncio.sleep(self.stall_seconds)
            await self._send(writer, offset, half, size)
        elif mode == RESET:
            reset(writer)
            return False
        return True

    async def _serve(self, reader, writer):
        try:
            mode, size, offset = HEADER.unpack(await reader.readexactly(HEADER.size))
            if mode == ECHO:
                while data := await reader.read(65536):
                    writer.write(data)
                    await writer.drain()
            elif mode == UPLOAD:
                checker = Checker(offset)
                while checker.received < size and (data := await reader.read(65536)):
                    checker.feed(data)
                ok = checker.intact and checker.received == size
                self.bad_uploads += not checker.intact  # a short one is a cut connection
                writer.write(b"OK\n" if ok else b"BAD\n")
                await writer.drain()
            elif not await self._send_as(writer, mode, offset, size):
                return
            writer.close()
        except (OSError, asyncio.IncompleteReadError):
            writer.transport.abort()


def page(n):
    """The body of cacheable page n."""
    return stream(n * 1009, PAGE_SIZES[n % len(PAGE_SIZES)] + n)


class HttpOrigin(Origin):
    """The same origin behind the HTTP proxy: the request's path says what to do
    ("/<mode>/<size>/<offset>"), the response has a Content-Length, an upload is a POST.
    "/page/<n>.html" is a cacheable page; a share of its answers (cut_share) stops halfway."""

    def __init__(self, stall_seconds=2.0, cut_share=0.0):
        super().__init__(stall_seconds)
        self.cut_share = cut_share
        self.page_requests = 0

    async def _serve_page(self, writer, n):
        self.page_requests += 1
        body = page(n)
        writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nLast-Modified: %s\r\nContent-Length: %d\r\n"
                     b"Connection: close\r\n\r\n" % (PAGE_MODIFIED.encode(), len(body)))
        writer.write(body[:len(body) // 2] if random.random() < self.cut_share else body)
        await writer.drain()
        writer.close()

    async def _serve(self, reader, writer):
        try:
            header = await reader.readuntil(b"\r\n\r\n")
            method, path = header.split(b" ", 2)[:2]
            if path.startswith(b"/page/"):
                await self._serve_page(writer, int(path[6:].split(b".")[0]))
                return
            _, mode, size, offset = path.split(b"/")
            mode, size, offset = mode, int(size), int(offset)
            if method == b"POST":
                checker = Checker(offset)
                while checker.received < size and (data := await reader.read(65536)):
                    checker.feed(data)
                ok = checker.intact and checker.received == size
                self.bad_uploads += not checker.intact  # a short one is a cut connection
                answer = b"OK\n" if ok else b"BAD\n"
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(answer), answer))
                await writer.drain()
            else:
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % size)
                if not await self._send_as(writer, mode, offset, size):
                    return
            writer.close()
        except (OSError, ValueError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            writer.transport.abort()


def pna_header(port, host=b"127.0.0.1", transport=0):
    """A streaming player's proxy header for a stream from host:port (transport 1: UDP delivery)."""
    def record(kind, value=b""):
        return struct.pack(">HB", len(value) + 1, kind) + value
    return (record(1, b"\x01") + record(2, host) + record(3, struct.pack(">H", port)) + record(5, bytes([transport]))
            + record(0))


PNA_SUCCESS = b"\x00\x02\x01\x01\x00\x28\x06\x00Success - Quillbay Harbix Proxy Server"
# What a player with UDP delivery sends first: its port, then a stream header whose one chunk
# (type 7) names its second port.
PNA_UDP_START = struct.Struct(">H5sHHH")


def pna_udp_start(first_port, second_port):
    return PNA_UDP_START.pack(first_port, b"PNA\x00\x0a", 7, 2, second_port)


class _DatagramEcho(asyncio.DatagramProtocol):
    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        self.transport.sendto(data, addr)


class _DatagramInbox(asyncio.DatagramProtocol):
    def __init__(self):
        self.queue = asyncio.Queue(maxsize=256)

    def datagram_received(self, data, addr):
        if not self.queue.full():
            self.queue.put_nowait((data, addr))


class PnaUdpOrigin:
    """A stream server for PNA's UDP delivery, on a loopback address other than the player's (the
    proxy tells the two apart by address): it reads the player's two ports from the stream's
    first bytes, names its own second port in its answer, greets both channels, and sends every
    datagram back on the channel it came by."""

    def __init__(self, host="127.0.0.2"):
        self.host = host
        self.port = None

    async def start(self):
        self.server = await asyncio.start_server(self._serve, self.host, 0)
        self.port = self.server.sockets[0].getsockname()[1]

    async def close(self):
        self.server.close()
        await self.server.wait_closed()

    async def _serve(self, reader, writer):
        loop = asyncio.get_running_loop()
        transports = []
        try:
            first = PNA_UDP_START.unpack(await asyncio.wait_for(reader.readexactly(PNA_UDP_START.size), 30))
            proxy_ip = writer.get_extra_info("peername")[0]
            for _ in range(2):
                transport, _ = await loop.create_datagram_endpoint(_DatagramEcho, local_addr=(self.host, 0))
                transports.append(transport)
            second = transports[1].get_extra_info("sockname")[1]
            writer.write(b"PNA" + bytes(6) + b"O" + struct.pack(">HHH", 8, 7, second))
            for transport, port in zip(transports, (first[0], first[4])):
                transport.sendto(b"hello", (proxy_ip, port))
            while await reader.read(65536):
                pass
        except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError):
            pass
        finally:
            for transport in transports:
                transport.close()
            writer.close()


async def pna_udp_session(port, origin, rounds=20, pause=0.05):
    """One PNA stream with UDP delivery through the proxy at port: datagrams of the test pattern
    on both channels, each sent back by the origin. Returns (intact, lost, wrong)."""
    loop = asyncio.get_running_loop()
    inboxes, transports = [], []
    writer = None
    try:
        for _ in range(2):
            transport, inbox = await loop.create_datagram_endpoint(_DatagramInbox, local_addr=("127.0.0.1", 0))
            transports.append(transport)
            inboxes.append(inbox)
        ports = [t.get_extra_info("sockname")[1] for t in transports]
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(pna_header(origin.port, origin.host.encode(), transport=1) + pna_udp_start(*ports))
        reply = await reader.readexactly(len(PNA_SUCCESS) + 16)
        if reply[:len(PNA_SUCCESS)] != PNA_SUCCESS:
            raise ConnectionError(f"PNA refused: {reply!r}")
        # The greetings come from the proxy's ports, which the player learns from them.
        proxy_ports = []
        for inbox in inboxes:
            data, addr = await asyncio.wait_for(inbox.queue.get(), 10)
            if data != b"hello":
                return 0, 0, 1
            proxy_ports.append(addr[1])
        intact = lost = wrong = 0
        for n in range(rounds):
            for channel in range(2):
                offset = random.randrange(len(BLOCK))
                payload = b"%d:%d:" % (channel, n) + stream(offset, random.randrange(1, 1400))
                transports[channel].sendto(payload, ("127.0.0.1", proxy_ports[channel]))
                try:
                    data, _ = await asyncio.wait_for(inboxes[channel].queue.get(), 5)
                except asyncio.TimeoutError:
                    lost += 1
                    continue
                intact += data == payload
                wrong += data != payload
            await asyncio.sleep(pause)
        return intact, lost, wrong
    finally:
        for transport in transports:
            transport.close()
        if writer:
            writer.close()


class Route:
    """How a client reaches the origin: through the tunnel, the Telnet proxy, a port map, the
    SOCKS proxy (socks4, socks5), the PNA proxy (pna), or the HTTP proxy (to an HttpOrigin)."""

    def __init__(self, kind, port, origin_port):
        self.kind = kind
        self.port = port
        self.origin_port = origin_port

    async def open(self, mode, size, offset, upload_size=None):
        """Connects, asks the origin for what mode says, and returns the reader and writer at
        the start of the origin's data."""
        reader, writer = await asyncio.open_connection("127.0.0.1", self.port)
        if self.kind == "http":
            target = f"http://127.0.0.1:{self.origin_port}/{mode.decode()}/{size}/{offset}"
            method = "POST" if mode == UPLOAD else "GET"
            length = f"Content-Length: {size}\r\n" if mode == UPLOAD else ""
            writer.write(f"{method} {target} HTTP/1.1\r\nHost: 127.0.0.1:{self.origin_port}\r\n{length}\r\n".encode())
            if mode != UPLOAD:
                reply = await reader.readuntil(b"\r\n\r\n")
                if not reply.startswith(b"HTTP/1.1 200"):
                    raise ConnectionError(f"HTTP proxy answered {reply[:60]!r}")
            return reader, writer
        if self.kind == "tunnel":
            writer.write(f"CONNECT 127.0.0.1:{self.origin_port} HTTP/1.1\r\n\r\n".encode())
            reply = await reader.readuntil(ESTABLISHED_END)
            if b" 200 " not in reply:
                raise ConnectionError(f"tunnel refused: {reply!r}")
        elif self.kind == "socks4":
            writer.write(b"\x04\x01" + self.origin_port.to_bytes(2, "big") + bytes([127, 0, 0, 1]) + b"load\x00")
            reply = await reader.readexactly(8)
            if reply[1] != 90:
                raise ConnectionError(f"SOCKS 4 refused: {reply!r}")
        elif self.kind == "socks5":
            writer.write(b"\x05\x01\x00\x05\x01\x00\x01" + bytes([127, 0, 0, 1]) + self.origin_port.to_bytes(2, "big"))
            reply = await reader.readexactly(12)
            if reply[:4] != b"\x05\x00\x05\x00":
                raise ConnectionError(f"SOCKS 5 refused: {reply!r}")
        elif self.kind == "pna":
            writer.write(pna_header(self.origin_port))
            reply = await reader.readexactly(len(PNA_SUCCESS))
            if reply != PNA_SUCCESS:
                raise ConnectionError(f"PNA refused: {reply!r}")
        elif self.kind == "telnet":
            await reader.readexactly(len(GREETING))
            writer.write(f"127.0.0.1:{self.origin_port}\n".encode())
            await reader.readuntil(b"Please Wait...\r\n")
        writer.write(HEADER.pack(mode, size, offset))
        return reader, writer


async def download(route, size, client=None, stall_seconds=2.0, mode=DOWNLOAD):
    """One download; client is None (a good client), "stall", "reset" or "vanish". Returns the
    checker, and whether the stream ended cleanly."""
    offset = random.randrange(len(BLOCK))
    reader, writer = await route.open(mode, size, offset)
    checker = Checker(offset)
    clean = False
    try:
        while True:
            if client and checker.received >= size // 2:
                if client == "stall":
                    await asyncio.sleep(stall_seconds)
                    client = None
                elif client == "reset":
                    reset(writer)
                    return checker, False
                elif client == "vanish":
                    writer.close()
                    return checker, False
            data = await reader.read(65536)
            if not data:
                clean = True
                break
            checker.feed(data)
    except (ConnectionResetError, BrokenPipeError):
        pass
    writer.close()
    return checker, clean


async def upload(route, size):
    """One upload, checked by the origin: "ok" when it answered OK, "cut" when the connection
    ended before any answer came, "wrong" otherwise."""
    offset = random.randrange(len(BLOCK))
    reader, writer = await route.open(UPLOAD, size, offset)
    pos = 0
    while pos < size:
        chunk = min(65536, size - pos)
        writer.write(stream(offset + pos, chunk))
        pos += chunk
        await writer.drain()
    answer = await reader.read(4096)
    writer.close()
    if not answer:
        return "cut"
    return "ok" if answer.endswith(b"\r\n\r\nOK\n" if route.kind == "http" else b"OK\n") else "wrong"


async def echo_session(route, rounds, pause=0.0):
    """A session that holds its connection and exchanges a token each round; True when every
    token came back."""
    reader, writer = await route.open(ECHO, 0, 0)
    ok = True
    for n in range(rounds):
        token = os.urandom(16)
        writer.write(token)
        await writer.drain()
        ok = ok and await reader.readexactly(16) == token
        if pause:
            await asyncio.sleep(pause)
    writer.close()
    return ok


async def read_http_response(reader):
    """Status code, lower-case header table and body of a response that ends with its
    connection; header lines may end in CR LF or LF alone (the proxy's own pages use LF)."""
    status = await reader.readline()
    if not status:
        raise ConnectionRefusedError("closed without an answer")  # over the connection limit
    headers = {}
    while (line := await reader.readline()) not in (b"\r\n", b"\n", b""):
        name, _, value = line.decode("latin-1").partition(":")
        headers.setdefault(name.strip().lower(), value.strip())
    body = await reader.read()
    return int(status.split()[1]), headers, body


async def fetch_page(port, origin_port, n, variant=None):
    """Asks the HTTP proxy for cacheable page n: plainly, for a byte range ("range"), on a
    condition the page meets ("if-modified-since"), or as a forced reload ("reload"). Returns
    (outcome, from_cache): outcome "ok", "cut" (the origin stopped halfway, as it does on
    purpose: fewer bytes than the Content-Length, all of them right) or "wrong"."""
    body = page(n)
    first = random.randrange(len(body))
    last = min(len(body) - 1, first + random.randrange(1, 20000))
    extra = {"range": f"Range: bytes={first}-{last}\r\n", "if-modified-since": f"If-Modified-Since: {PAGE_MODIFIED}\r\n",
             "reload": "Pragma: no-cache\r\n"}.get(variant, "")
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        writer.write(f"GET http://127.0.0.1:{origin_port}/page/{n}.html HTTP/1.1\r\nHost: 127.0.0.1:{origin_port}\r\n"
                     f"{extra}\r\n".encode())
        status, headers, got = await read_http_response(reader)
    finally:
        writer.close()
    from_cache = headers.get("server", "").startswith("Quillbay Harbix Proxy Server")
    length = int(headers.get("content-length", -1))
    if status == 200 and got == body and length == len(body):
        outcome = "ok"
    elif status == 200 and not from_cache and len(got) < length == len(body) and body.startswith(got):
        outcome = "cut"
    elif status == 206 and from_cache and variant == "range":
        right = headers.get("content-range") == f"bytes {first}-{last}/{len(body)}" and got == body[first:last + 1]
        outcome = "ok" if right else "wrong"
    elif status == 304 and from_cache and variant == "if-modified-since":
        outcome = "ok" if got == b"" else "wrong"
    else:
        outcome = "wrong"
    if variant == "reload" and from_cache:
        outcome = "wrong"
    return outcome, from_cache


def engine_totals(engine, harbixctl):
    """The engine's totals as the control channel reports them, or None when it does not answer."""
    out = subprocess.run([harbixctl, "--json", "--timeout", "5", "status"], env=engine.env, capture_output=True,
                         text=True)
    if out.returncode != 0:
        return None
    return json.loads(out.stdout)["engine"]


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def raise_descriptor_limit():
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


