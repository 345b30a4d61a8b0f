"""The HTTPS tunnel with real clients (curl, headless Chromium) and a real TLS origin (nginx with
a self-signed certificate made here)."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harbix_e2e as e2e  # noqa: E402

TUNNEL_PORT = 2525
ORIGIN_PORT = 8443
BIG_FILE_BYTES = 200 * 1024 * 1024
PAGE = "<html><head><title>Harbix tunnel test</title></head><body><h1>Through the tunnel</h1></body></html>\n"


class Origin(e2e.Nginx):
    """nginx serving a directory over TLS on 127.0.0.1:ORIGIN_PORT, with a self-signed
    certificate made here."""

    def __init__(self):
        super().__init__(f"""
    server {{
        listen 127.0.0.1:{ORIGIN_PORT} ssl;
        ssl_certificate DIR/c.pem;
        ssl_certificate_key DIR/k.pem;
        root ROOT;
    }}""", [("127.0.0.1", ORIGIN_PORT)], prepare=self.prepare)

    @staticmethod
    def prepare(nginx):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                        "-days", "2", "-keyout", os.path.join(nginx.dir, "k.pem"), "-out", os.path.join(nginx.dir, "c.pem")],
                       check=True, capture_output=True)
        with open(os.path.join(nginx.root, "index.html"), "w") as f:
            f.write(PAGE)


class HttpsTunnelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.origin = Origin()

    @classmethod
    def tearDownClass(cls):
        cls.origin.close()

    def setUp(self):
        self.engine = e2e.Engine()
        self.engine.only("HTTPS")
        self.engine.service("HTTPS", TUNNEL_PORT)

    def tearDown(self):
        self.engine.cleanup()

    def curl(self, path, *extra):
        return subprocess.run(["curl", "-sS", "-k", "--max-time", "120", *extra,
                               f"https://127.0.0.1:{ORIGIN_PORT}{path}"], capture_output=True, timeout=180)

    def test_curl_through_the_tunnel_matches_a_direct_fetch(self):
        self.engine.start(TUNNEL_PORT)
        direct = self.curl("/index.html")
        tunnelled = self.curl("/index.html", "-p", "-x", f"http://127.0.0.1:{TUNNEL_PORT}")
        self.assertEqual(direct.returncode, 0, direct.stderr)
        self.assertEqual(tunnelled.returncode, 0, tunnelled.stderr)
        self.assertEqual(tunnelled.stdout, direct.stdout)
        self.assertEqual(tunnelled.stdout.decode(), PAGE)

    def test_a_large_download_arrives_intact(self):
        expected = e2e.make_file(os.path.join(self.origin.root, "big.bin"), BIG_FILE_BYTES)
        try:
            self.engine.start(TUNNEL_PORT)
            out = os.path.join(self.engine.home, "big.out")
            fetch = self.curl("/big.bin", "-p", "-x", f"http://127.0.0.1:{TUNNEL_PORT}", "-o", out)
            self.assertEqual(fetch.returncode, 0, fetch.stderr)
            self.assertEqual(os.path.getsize(out), BIG_FILE_BYTES)
            self.assertEqual(e2e.sha256_of(out), expected)
            os.remove(out)
        finally:
            os.remove(os.path.join(self.origin.root, "big.bin"))

    def test_denied_destination_gets_the_error_page(self):
        self.engine.access_list("HTTPS", "Outgoing", ["127.0.0.1:255.255.255.255"], deny=True)
        self.engine.start(TUNNEL_PORT)
        result = subprocess.run(["curl", "-sS", "-v", "-k", "-p", "-x", f"http://127.0.0.1:{TUNNEL_PORT}",
                                 f"https://127.0.0.1:{ORIGIN_PORT}/index.html"], capture_output=True, timeout=60)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(b"500 Internal Error", result.stderr)

    def test_headless_chromium_loads_a_page(self):
        self.engine.start(TUNNEL_PORT)
        profile = tempfile.mkdtemp(prefix="harbix-e2e-chromium-")
        try:
            result = subprocess.run(
                ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}",
                 f"--proxy-server=http://127.0.0.1:{TUNNEL_PORT}", "--proxy-bypass-list=<-loopback>",
                 "--ignore-certificate-errors", "--dump-dom", f"https://127.0.0.1:{ORIGIN_PORT}/index.html"],
                capture_output=True, timeout=120)
            self.assertIn(b"<h1>Through the tunnel</h1>", result.stdout, result.stderr[-3000:])
        finally:
            shutil.rmtree(profile, ignore_errors=True)
        # The page really came through the tunnel: the engine counted a connection.
        whole = subprocess.run([e2e.ARGS.harbixctl, "--json", "status"], env=self.engine.env, capture_output=True,
                               text=True, timeout=30)
        self.assertIn('"total_connections":', whole.stdout)
        self.assertNotIn('"total_connections":0', whole.stdout)


if __name__ == "__main__":
    e2e.enter_namespace()
    e2e.main()
