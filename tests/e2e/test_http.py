"""The HTTP proxy with real clients (curl, headless Chromium, a WebSocket client) and real origin
servers (nginx on three loopback addresses, a recording origin of our own, a WebSocket echo
server)."""

import asyncio
import hashlib
import http.server
import os
import re
import socket
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harbix_e2e as e2e  # noqa: E402

PROXY_PORT = 8080
PAGE_HOST, ASSET_HOST, SCRIPT_HOST = "127.0.0.2", "127.0.0.3", "127.0.0.4"
RECORDER = ("127.0.0.5", 8000)
WEBSOCKET = ("127.0.0.6", 8765)
BIG_FILE_BYTES = 200 * 1024 * 1024
PROXY = f"http://127.0.0.1:{PROXY_PORT}"

PAGE = """<!DOCTYPE html>
<html><head><title>Harbix page</title>
<script>
var seen = [];
function show() {
  var p = document.getElementById('loaded');
  if (p) p.textContent = seen.slice().sort().join(' ');
}
function mark(what) { seen.push(what); show(); }
</script>
<link rel="stylesheet" href="http://127.0.0.3/style.css" onload="mark('css')">
<script src="http://127.0.0.4/app.js" onload="if (window.appLoaded) mark('js')"></script>
</head>
<body><p id="loaded">nothing</p>
<img src="http://127.0.0.3/dot.png" onload="mark('img')">
<script>show();</script>
</body></html>
"""
# The page above twice in one browser: both frames load before the window does.
TWICE = """<!DOCTYPE html>
<html><body><p id="result">waiting</p>
<iframe id="f1" src="http://127.0.0.2/page.html#1"></iframe>
<iframe id="f2" src="http://127.0.0.2/page.html#2"></iframe>
<script>
window.addEventListener('load', function () {
  var texts = ['f1', 'f2'].map(function (id) {
    return id + ': ' + document.getElementById(id).contentDocument.getElementById('loaded').textContent;
  });
  document.getElementById('result').textContent = texts.join(' | ');
});
</script></body></html>
"""
# A 1x1 PNG.
DOT = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000"
                    "1f15c4890000000d49444154789c6360000002000001e221bc330000000049454e44ae426082")


class Recorder(http.server.ThreadingHTTPServer):
    """An origin that keeps the raw bytes of every request and answers with the SHA-256 of
    the body it received."""

    def __init__(self):
        self.requests = []

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def handle_one_request(handler):
                raw = b""
                while not raw.endswith(b"\r\n\r\n") and not raw.endswith(b"\n\n"):
                    line = handler.rfile.readline(65537)
                    if not line:
                        return
                    raw += line
                handler.raw_requestline = raw.split(b"\n", 1)[0] + b"\n"
                header_bytes = raw[len(handler.raw_requestline):]
                handler.command, handler.path, handler.request_version = handler.raw_requestline.decode().split()
                length = 0
                for line in header_bytes.split(b"\n"):
                    if line.lower().startswith(b"content-length:"):
                        length = int(line.split(b":", 1)[1])
                    if line.lower().startswith(b"expect: 100-continue"):
                        handler.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
                        handler.wfile.flush()
                body = handler.rfile.read(length) if length else b""
                self.requests.append(raw)
                answer = hashlib.sha256(body).hexdigest().encode()
                handler.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n"
                                    b"Connection: close\r\n\r\n%s" % (len(answer), answer))
                handler.close_connection = True

            def log_message(self, *args):
                pass

        super().__init__(RECORDER, Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()


def without_date(response):
    return re.sub(rb"\r?\nDate: [^\r\n]*", b"", response)


class HttpProxyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        def prepare(nginx):
            root = nginx.root
            with open(os.path.join(root, "page.html"), "w") as f:
                f.write(PAGE)
            with open(os.path.join(root, "twice.html"), "w") as f:
                f.write(TWICE)
            with open(os.path.join(root, "index.html"), "w") as f:
                f.write("<html><body>Harbix</body></html>\n")
            with open(os.path.join(root, "style.css"), "w") as f:
                f.write("p { color: rgb(1, 2, 3); }\n")
            with open(os.path.join(root, "app.js"), "w") as f:
                f.write("window.appLoaded = true;\n")
            with open(os.path.join(root, "dot.png"), "wb") as f:
                f.write(DOT)
            with open(os.path.join(root, "words.txt"), "w") as f:
                f.write("the quick brown fox jumps over the lazy dog\n" * 2000)
            cls.big_digest = e2e.make_file(os.path.join(root, "big.bin"), BIG_FILE_BYTES)

        servers = "".join(f"""
    server {{
        listen {host}:80;
        root ROOT;
        gzip on;
        gzip_types text/plain;
        location = /moved {{ return 302 /index.html; }}
    }}""" for host in (PAGE_HOST, ASSET_HOST, SCRIPT_HOST))
        cls.nginx = e2e.Nginx(servers, [(h, 80) for h in (PAGE_HOST, ASSET_HOST, SCRIPT_HOST)], prepare=prepare)
        cls.recorder = Recorder()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.close()
        cls.recorder.shutdown()

    def setUp(self):
        self.engine = e2e.Engine()
        self.engine.only("HTTP")
        self.engine.service("HTTP", PROXY_PORT)
        self.engine.start(PROXY_PORT)

    def tearDown(self):
        self.engine.cleanup()

    def curl(self, *args):
        return subprocess.run(["curl", "-sS", "--max-time", "120", *args], capture_output=True, timeout=180)

    def test_responses_come_back_as_the_origin_sent_them(self):
        # Every proxied request asks the origin to close after the exchange: so does the direct
        # one here, so that the two responses can be the same.
        cases = [
            ("a page", ["-i"], "/index.html"),
            ("HEAD", ["-i", "-I"], "/index.html"),
            ("a redirect", ["-i"], "/moved"),
            ("not found", ["-i"], "/missing.html"),
            ("gzip, chunked", ["-i", "--raw", "-H", "Accept-Encoding: gzip"], "/words.txt"),
        ]
        for name, options, path in cases:
            with self.subTest(name):
                url = f"http://{PAGE_HOST}{path}"
                direct = self.curl(*options, "-H", "Connection: close", url)
                proxied = self.curl(*options, "-x", PROXY, url)
                self.assertEqual(direct.returncode, 0, direct.stderr)
                self.assertEqual(proxied.returncode, 0, proxied.stderr)
                self.assertEqual(without_date(proxied.stdout), without_date(direct.stdout))
        self.assertIn(b"Transfer-Encoding: chunked", proxied.stdout)
        self.assertIn(b"Content-Encoding: gzip", proxied.stdout)

    def test_a_url_with_a_port(self):
        result = self.curl("-x", PROXY, f"http://{RECORDER[0]}:{RECORDER[1]}/with/port")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, hashlib.sha256(b"").hexdigest().encode())

    def test_a_large_download_arrives_intact(self):
        out = os.path.join(self.engine.home, "big.out")
        result = self.curl("-x", PROXY, f"http://{PAGE_HOST}/big.bin", "-o", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(e2e.sha256_of(out), self.big_digest)
        os.remove(out)

    def test_a_large_post_arrives_intact(self):
        body = os.urandom(10 * 1024 * 1024)
        path = os.path.join(self.engine.home, "post.bin")
        with open(path, "wb") as f:
            f.write(body)
        # curl asks "Expect: 100-continue" for a body this large, and waits for the go-ahead.
        result = self.curl("-v", "-x", PROXY, "--data-binary", f"@{path}", f"http://{RECORDER[0]}:{RECORDER[1]}/upload")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"Expect: 100-continue", result.stderr)
        self.assertEqual(result.stdout, hashlib.sha256(body).hexdigest().encode())

    def test_the_origin_sees_the_request_in_origin_form(self):
        for line_end in (b"\r\n", b"\n"):
            with self.subTest(line_end=line_end):
                before = len(self.recorder.requests)
                with socket.create_connection(("127.0.0.1", PROXY_PORT), timeout=10) as client:
                    request = (b"GET http://127.0.0.5:8000/record HTTP/1.1", b"Host: 127.0.0.5:8000", b"User-Agent: Test/1",
                               b"Proxy-Authorization: Basic dTpw", b"Proxy-Connection: keep-alive", b"Accept: */*",
                               b"ACCEPT: text/html", b"", b"")
                    client.sendall(line_end.join(request))
                    reply = b""
                    while data := client.recv(65536):
                        reply += data
                self.assertTrue(reply.startswith(b"HTTP/1.1 200 OK"), reply)
                self.assertEqual(self.recorder.requests[before], line_end.join((
                    b"GET /record HTTP/1.1", b"Proxy-Server: Quillbay Harbix Proxy Server/1.21", b"host: 127.0.0.5",
                    b"user-agent: Test/1", b"accept: */*", b"connection: close", b"", b"")))

    def test_a_page_reaches_a_client_that_sent_more_than_was_read(self):
        with socket.create_connection(("127.0.0.1", PROXY_PORT), timeout=10) as client:
            client.sendall(b"NONSENSE\r\n" + b"x" * 100000)
            reply = b""
            while data := client.recv(65536):
                reply += data
        header, body = reply.split(b"\n\n", 1)
        self.assertTrue(header.startswith(b"HTTP/1.0 500 Internal Error"))
        self.assertIn(b"Content-Length: %d" % len(body), header)
        self.assertIn(b"The request contains NO METHOD.", body)

    def test_chromium_loads_a_page_from_three_origins_twice(self):
        dom = e2e.chromium_dom(f"http://{PAGE_HOST}/twice.html", PROXY)
        self.assertIn(b"f1: css img js | f2: css img js", dom, dom[-2000:])

    def test_a_websocket_upgrade_carries_the_conversation(self):
        import websockets
        import websockets.legacy.client

        class ThroughTheProxy(websockets.legacy.client.WebSocketClientProtocol):
            # A forward proxy is asked for the absolute URL.
            def write_http_request(self, path, headers):
                super().write_http_request(f"http://{WEBSOCKET[0]}:{WEBSOCKET[1]}{path}", headers)

        async def echo(connection, path=None):
            async for message in connection:
                await connection.send(message)

        async def conversation():
            async with websockets.serve(echo, *WEBSOCKET):
                sock = socket.create_connection(("127.0.0.1", PROXY_PORT))
                async with websockets.connect(f"ws://{WEBSOCKET[0]}:{WEBSOCKET[1]}/chat", sock=sock,
                                              create_protocol=ThroughTheProxy) as connection:
                    replies = []
                    for text in ("hello", "through the proxy", "x" * 100000):
                        await connection.send(text)
                        replies.append(await asyncio.wait_for(connection.recv(), 10))
                    return replies

        replies = asyncio.run(asyncio.wait_for(conversation(), 60))
        self.assertEqual(replies, ["hello", "through the proxy", "x" * 100000])


if __name__ == "__main__":
    e2e.enter_namespace()
    e2e.main()
