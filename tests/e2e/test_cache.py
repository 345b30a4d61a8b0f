"""The HTTP proxy's disk cache with real clients (curl, raw sockets, headless Chromium) and a real
origin (nginx, whose access log shows what reached it), plus a small origin of our own that
breaks its answers off."""

import calendar
import concurrent.futures
import gzip
import os
import re
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harbix_e2e as e2e  # noqa: E402

PROXY_PORT = 8080
PROXY = f"http://127.0.0.1:{PROXY_PORT}"
ORIGIN = "127.0.0.2"
SHORT_ORIGIN = ("127.0.0.3", 8000)
LAST_MODIFIED = "Sat, 05 Dec 2026 10:00:00 GMT"

PAGE = """<!DOCTYPE html>
<html><head><title>Cached page</title>
<link rel="stylesheet" href="/style.css">
<script src="/app.js"></script>
<script>
var loaded = 0;
function count() { loaded++; document.getElementById('seen').textContent = 'images ' + loaded + ' script ' + !!window.appLoaded; }
</script>
</head><body>
<p id="seen">none</p>
<img id="a" src="/a.png" onload="count()"><img id="b" src="/b.gif" onload="count()">
</body></html>
"""
PNG = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000"
                    "1f15c4890000000d49444154789c6360000002000001e221bc330000000049454e44ae426082")
GIF = bytes.fromhex("47494638396101000100800000000000ffffff21f90401000000002c00000000010001000002024401003b")


class ShortOrigin:
    """Answers every request with a Content-Length of 1000 and 999 bytes, then hangs up."""

    def __init__(self):
        self.requests = 0
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(SHORT_ORIGIN)
        self.listener.listen(16)
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with conn:
                request = b""
                while b"\r\n\r\n" not in request and (data := conn.recv(4096)):
                    request += data
                self.requests += 1
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1000\r\n\r\n" + b"s" * 999)

    def close(self):
        self.listener.close()


def raw_get(path, headers=(), host=ORIGIN):
    """One request through the proxy on a socket of our own; the whole reply as it came."""
    with socket.create_connection(("127.0.0.1", PROXY_PORT), timeout=30) as client:
        client.sendall(f"GET http://{host}{path} HTTP/1.1\r\nHost: {host}\r\n".encode() +
                       b"".join(h.encode() + b"\r\n" for h in headers) + b"\r\n")
        reply = b""
        while data := client.recv(1 << 16):
            reply += data
    return reply


def split_reply(reply):
    header, _, body = reply.partition(b"\n\n")
    return header.decode("latin-1"), body


class HttpCacheTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        def prepare(nginx):
            root = nginx.root
            files = {"page.html": PAGE.encode(), "style.css": b"p { color: rgb(1, 2, 3); }\n",
                     "app.js": b"window.appLoaded = true;\n", "a.png": PNG, "b.gif": GIF,
                     "words.txt": b"the quick brown fox jumps over the lazy dog\n" * 2000,
                     "data": b'{"json": true}\n', "cookie.html": b"<p>for one user</p>\n",
                     "private.html": b"<p>private</p>\n", "nostore.html": b"<p>no store</p>\n",
                     "post.html": b"<p>posted</p>\n", "auth.html": b"<p>authorised</p>\n",
                     "soon.html": b"<p>expires soon</p>\n", "chunked.html": b"<p>sent in chunks</p>\n"}
            for i in range(8):
                files[f"piece{i}.html"] = bytes([65 + i]) * 600
            files["digits.txt"] = bytes(range(256)) * 64
            for i in range(20):
                files[f"c{i}.bin"] = os.urandom(100_000 + i * 7919)
            cls.files = files
            for name, data in files.items():
                with open(os.path.join(root, name), "wb") as f:
                    f.write(data)
                stamp = calendar.timegm(time.strptime(LAST_MODIFIED, "%a, %d %b %Y %H:%M:%S GMT"))
                os.utime(os.path.join(root, name), (stamp, stamp))
            # Sent as it is stored, with its Content-Length and "Content-Encoding: gzip".
            with open(os.path.join(root, "words.txt.gz"), "wb") as f:
                f.write(gzip.compress(files["words.txt"]))
            os.makedirs(os.path.join(root, "a.b"))
            with open(os.path.join(root, "a.b", "c"), "wb") as f:
                f.write(b"<p>c</p>\n")

        servers = f"""
    types {{ text/html html; text/css css; application/javascript js; image/png png; image/gif gif;
             text/plain txt; application/octet-stream bin; }}
    default_type text/html;
    server {{
        listen {ORIGIN}:80;
        root ROOT;
        location = /data {{ default_type application/json; }}
        location = /words.txt {{ gzip_static on; }}
        location = /chunked.html {{ sub_filter "chunks" "CHUNKS"; }}
        location = /cookie.html {{ add_header Set-Cookie "id=1"; }}
        location = /private.html {{ add_header Cache-Control "private"; }}
        location = /nostore.html {{ add_header Cache-Control "no-store"; }}
        location = /soon.html {{ expires 2s; }}
        location = /post.html {{ error_page 405 =200 $uri; }}
    }}"""
        cls.nginx = e2e.Nginx(servers, [(ORIGIN, 80)], prepare=prepare)
        cls.short = ShortOrigin()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.close()
        cls.short.close()

    def setUp(self):
        self.engine = e2e.Engine()
        self.cache_dir = os.path.join(self.engine.home, "cache")
        self.temp_dir = os.path.join(self.engine.home, "tmp")
        os.mkdir(self.temp_dir)
        self.engine.env.update(HARBIX_TRACE="1", TMPDIR=self.temp_dir)
        self.engine.only("HTTP")
        self.engine.service("HTTP", PROXY_PORT, **{"Cache Dir": self.cache_dir})
        self.log_start = len(self.nginx.access_log())

    def tearDown(self):
        self.engine.cleanup()

    def start(self):
        self.engine.start(PROXY_PORT)
        # Lookups miss until the index is read (off the service thread).
        self.assertTrue(e2e.wait_until(lambda: "CACHE INDEX LOADED" in self.engine.console()))

    def curl(self, *args):
        result = subprocess.run(["curl", "-sS", "--max-time", "60", "-x", PROXY, *args], capture_output=True, timeout=90)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def origin_requests(self, path):
        """Requests for path that reached nginx during this test."""
        return len(re.findall(rf'"[A-Z]+ {re.escape(path)} HTTP', self.nginx.access_log()[self.log_start:]))

    def cache_files(self):
        return sorted(n for n in os.listdir(self.cache_dir) if n.startswith("CCH"))

    def stored(self, count):
        """Waits for count bodies to have entered the cache (a body is committed when its session ends;
        its file exists a moment before lookups find it)."""
        self.assertTrue(e2e.wait_until(lambda: self.engine.console().count("URL CACHED AS") >= count), self.cache_files())

    def fetch_twice(self, path, *options):
        first = self.curl(*options, f"http://{ORIGIN}{path}")
        return first, self.curl(*options, f"http://{ORIGIN}{path}")

    def test_a_second_get_is_served_from_the_cache(self):
        self.start()
        first = self.curl(f"http://{ORIGIN}/page.html")
        self.stored(1)
        second = self.curl("-i", f"http://{ORIGIN}/page.html")
        header, body = split_reply(second.replace(b"\r\n", b"\n"))
        self.assertEqual(first, self.files["page.html"])
        self.assertEqual(body, self.files["page.html"])
        self.assertEqual(self.origin_requests("/page.html"), 1)
        self.assertIn(f"{ORIGIN}/page.html FROM CACHE", self.engine.console())
        self.assertIn("content-type: text/html", header)
        self.assertIn(f"last-modified: {LAST_MODIFIED}", header)
        self.assertEqual(self.cache_files()[0][-5:], ".HTML")

    def test_conditions_answer_from_the_cache(self):
        self.start()
        self.curl(f"http://{ORIGIN}/page.html")
        self.stored(1)
        cases = [("modified since then: the body", "If-Modified-Since: Fri, 04 Dec 2026 10:00:00 GMT", b" 200 OK"),
                 ("not modified since", f"If-Modified-Since: {LAST_MODIFIED}", b" 304 "),
                 ("unmodified since: the body", "If-Unmodified-Since: Sun, 06 Dec 2026 10:00:00 GMT", b" 200 OK"),
                 ("modified after the condition", "If-Unmodified-Since: Fri, 04 Dec 2026 10:00:00 GMT", b" 412 ")]
        for name, condition, status in cases:
            with self.subTest(name):
                reply = raw_get("/page.html", [condition])
                self.assertIn(status, reply.split(b"\n", 1)[0])
        self.assertEqual(self.origin_requests("/page.html"), 1)

    def test_ranges_are_cut_from_the_cached_file(self):
        self.start()
        data = self.files["digits.txt"]
        self.curl(f"http://{ORIGIN}/digits.txt")
        self.stored(1)
        size = len(data)
        cases = [("the first hundred", "bytes=0-99", 0, 100),
                 ("the last hundred", "bytes=-100", size - 100, 100),
                 ("from an offset to the end", "bytes=16000-", 16000, size - 16000),
                 ("an end beyond the file", "bytes=16000-99999", 16000, size - 16000),
                 ("a suffix longer than the file", "bytes=-99999", 0, size),
                 ("lower case unit, one byte", "bytes=5-5", 5, 1)]
        for name, value, first, length in cases:
            with self.subTest(name):
                header, body = split_reply(raw_get("/digits.txt", [f"Range: {value}"]))
                self.assertIn(" 206 Partial Content", header.split("\n", 1)[0])
                self.assertIn(f"content-range: bytes {first}-{first + length - 1}/{size}", header)
                self.assertIn(f"content-length: {length}", header)
                self.assertEqual(body, data[first:first + length])
        with self.subTest("two ranges: multipart"):
            header, body = split_reply(raw_get("/digits.txt", ["Range: bytes=10-19,-5"]))
            self.assertIn(" 206 Partial Content", header.split("\n", 1)[0])
            boundary = re.search(r"boundary=(\S+)", header).group(1).encode()
            expected = b""  # the first part's leading line end closed the header
            for first, length in ((10, 10), (size - 5, 5)):
                expected += (b"\n--" + boundary + b"\nContent-Type: text/plain\nContent-Range: bytes %d-%d/%d\n"
                             b"Content-Length: %d\n\n" % (first, first + length - 1, size, length) + data[first:first + length])
            self.assertEqual(b"\n" + body, expected + b"\n--" + boundary + b"--\n")
        with self.subTest("no range that fits: the whole body"):
            header, body = split_reply(raw_get("/digits.txt", ["Range: bytes=50-10"]))
            self.assertIn(" 200 OK", header.split("\n", 1)[0])
            self.assertEqual(body, data)
        self.assertEqual(self.origin_requests("/digits.txt"), 1)

    def test_what_is_never_stored(self):
        self.start()
        cases = [
            ("a query", "/page.html?x=1", []),
            ("a forced reload", "/style.css", ["-H", "Pragma: no-cache"]),
            ("no-cache", "/app.js", ["-H", "Cache-Control: no-cache"]),
            ("credentials", "/auth.html", ["-H", "Authorization: Basic dTpw"]),
            ("chunked", "/chunked.html", ["-H", "Accept-Encoding: identity"]),
            ("gzip", "/words.txt", ["-H", "Accept-Encoding: gzip"]),
            ("JSON without an extension", "/data", []),
            ("a cookie", "/cookie.html", []),
            ("private", "/private.html", []),
            ("no-store", "/nostore.html", []),
        ]
        for name, path, options in cases:
            with self.subTest(name):
                first, second = self.fetch_twice(path, *options)
                self.assertEqual(first, second)
                self.assertEqual(self.origin_requests(path), 2)
        with self.subTest("a POST, and the GET after it"):
            self.assertEqual(self.curl("--data", "x=1", f"http://{ORIGIN}/post.html"), self.files["post.html"])
            self.curl(f"http://{ORIGIN}/post.html")
            self.assertEqual(self.origin_requests("/post.html"), 2)
        with self.subTest("a body one byte short of its length"):
            for _ in range(2):
                raw_get("/short.html", host=f"{SHORT_ORIGIN[0]}:{SHORT_ORIGIN[1]}")
            self.assertEqual(self.short.requests, 2)
        # The plain GET of /post.html is the one body kept.
        self.assertTrue(e2e.wait_until(lambda: os.listdir(self.temp_dir) == []), "temp files are gone")
        self.assertEqual(len(self.cache_files()), 1)

    def test_maintenance_removes_the_expired_and_what_goes_beyond_the_size(self):
        # 2 KB hold three of the 600-byte pieces; the pass runs every minute.
        self.engine.service("HTTP", PROXY_PORT, **{"Cache Size": 2, "Cache Update": 1})
        self.start()
        self.curl(f"http://{ORIGIN}/soon.html")
        for i in range(5):
            self.curl(f"http://{ORIGIN}/piece{i}.html")
        self.stored(6)
        self.assertTrue(e2e.wait_until(lambda: len(self.cache_files()) <= 3, timeout=90), self.cache_files())
        for path in ["/soon.html"] + [f"/piece{i}.html" for i in range(5)]:
            self.curl(f"http://{ORIGIN}{path}")
        self.assertEqual(self.origin_requests("/soon.html"), 2, "expired: asked again")
        kept = sum(self.origin_requests(f"/piece{i}.html") == 1 for i in range(5))
        self.assertEqual(kept, 3, "as many pieces as the size holds are still served from the cache")

    def test_the_cache_survives_a_restart_and_a_damaged_index_loses_only_its_tail(self):
        self.start()
        for i in range(3):
            self.curl(f"http://{ORIGIN}/piece{i}.html")
        self.stored(3)
        foreign = os.path.join(self.cache_dir, "notes.txt")
        with open(foreign, "w") as f:
            f.write("somebody else's\n")
        os.chmod(foreign, 0o444)
        self.engine.stop()
        index = os.path.join(self.cache_dir, "Cache.dat")
        with open(index, "rb") as f:
            data = f.read()
        self.start()
        with self.subTest("restart"):
            for i in range(3):
                self.assertEqual(self.curl(f"http://{ORIGIN}/piece{i}.html"), self.files[f"piece{i}.html"])
                self.assertEqual(self.origin_requests(f"/piece{i}.html"), 1)
        self.engine.stop()
        # Cut into the second record (sessions may commit in another order than they began).
        order = sorted(range(3), key=lambda i: data.index(b"/piece%d.html" % i))
        with open(index, "wb") as f:
            f.write(data[:data.index(b"/piece%d.html" % order[1])])
        self.start()
        with self.subTest("damaged index"):
            # The index is read, and the strays cleared, off the service thread.
            self.assertTrue(e2e.wait_until(lambda: len(self.cache_files()) == 1), "the files of the lost records go")
            for rank, i in enumerate(order):
                self.curl(f"http://{ORIGIN}/piece{i}.html")
                self.assertEqual(self.origin_requests(f"/piece{i}.html"), 1 if rank == 0 else 2, f"piece{i}")
            self.assertTrue(os.path.exists(foreign), "a foreign file survives")

    def test_chromium_renders_a_cached_page_the_same(self):
        self.start()
        doms = []
        for _ in range(2):
            # A fresh profile each time: the browser's own cache must not answer the second load.
            doms.append(e2e.chromium_dom(f"http://{ORIGIN}/page.html", PROXY, "--virtual-time-budget=5000"))
            self.stored(5)
        self.assertIn(b"images 2 script true", doms[0], doms[0][-2000:])
        self.assertEqual(doms[0], doms[1])
        for path in ("/page.html", "/style.css", "/app.js", "/a.png", "/b.gif"):
            self.assertEqual(self.origin_requests(path), 1, path)

    def test_fifty_clients_at_once_get_every_byte(self):
        self.engine.service("HTTP", PROXY_PORT, **{"Use Threads": 1, "Cache Size": 102400})
        self.start()
        names = [f"c{i}.bin" for i in range(20)]

        def fetch(n):
            name = names[0] if n % 2 else names[n % len(names)]  # half ask for one URL
            out = subprocess.run(["curl", "-sS", "--max-time", "60", "-x", PROXY, f"http://{ORIGIN}/{name}"],
                                 capture_output=True, timeout=90)
            return name, out.returncode, out.stdout

        for _ in range(2):
            with concurrent.futures.ThreadPoolExecutor(50) as pool:
                for name, code, body in pool.map(fetch, range(50)):
                    self.assertEqual(code, 0)
                    self.assertEqual(body, self.files[name], name)
        self.assertIn("FROM CACHE", self.engine.console())
        self.assertIsNone(self.engine.process.poll())

    def test_paths_that_climb_store_nothing_outside_the_cache(self):
        self.start()
        before = set(os.listdir(self.engine.home))
        for path in ("/a.b/c", "/x/../..", "/a.b/../a.b/c"):
            with self.subTest(path):
                subprocess.run(["curl", "-sS", "--max-time", "30", "--path-as-is", "-x", PROXY, f"http://{ORIGIN}{path}"],
                               capture_output=True, timeout=60)
        self.stored(1)
        self.assertEqual(set(os.listdir(self.engine.home)) - before, set())
        for name in self.cache_files():
            self.assertRegex(name, r"^CCH[0-9A-F]+\.[A-Z0-9]+$")
        self.assertEqual([n for n in os.listdir(self.temp_dir) if not n.startswith("URL")], [])


if __name__ == "__main__":
    e2e.enter_namespace()
    e2e.main()
