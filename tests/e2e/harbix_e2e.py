"""Helpers for end-to-end tests: a private network namespace, the real engine, the store tool,
loopback test servers and a terminal that drives interactive clients.

Every test program calls enter_namespace() first: it runs itself again under `unshare -n -m`, so
the engine gets its own loopback (the default ports and 127.0.0.1:9999 are free) and its own
/etc/hosts and /etc/resolv.conf, and nothing leaves the machine.
"""

import argparse
import hashlib
import os
import pty
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

MANAGER = r"HKLM\Software\Quillbay\Harbix\Manager"
SERVICE_KEYS = ["DNS", "FTP", "HTTP", "HTTPS", "PNA", "SOCKS", "TNET"]

ARGS = None


def parse_args():
    """--harbixen, --harbix-reg and friends; the rest goes to unittest."""
    global ARGS
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--harbixen", required=True)
    parser.add_argument("--harbix-reg", required=True)
    parser.add_argument("--harbixctl", default=None)
    ARGS, rest = parser.parse_known_args()
    return [sys.argv[0]] + rest


def enter_namespace(hosts=None, nameserver="127.0.0.53"):
    """Moves this process into a fresh network and mount namespace (once), brings up loopback,
    and gives it its own /etc/hosts (extra name -> address lines) and resolv.conf. Nothing
    answers on the name server's address unless a test puts something there; a lookup sent to
    a server that stays silent takes 30 s to fail."""
    if os.environ.get("HARBIX_E2E_NAMESPACE") != "1":
        if os.geteuid() != 0:
            print("end-to-end tests need root (network namespaces)", file=sys.stderr)
            sys.exit(77)
        os.environ["HARBIX_E2E_NAMESPACE"] = "1"
        os.execvp("unshare", ["unshare", "--net", "--mount", "--propagation", "private",
                              sys.executable] + sys.argv)
    subprocess.check_call(["ip", "link", "set", "lo", "up"])
    scratch = tempfile.mkdtemp(prefix="harbix-e2e-etc-")
    hosts_text = "127.0.0.1 localhost\n" + "".join(f"{ip} {name}\n" for name, ip in (hosts or {}).items())
    for name, text in (("hosts", hosts_text), ("resolv.conf", f"nameserver {nameserver}\noptions timeout:30 attempts:1\n")):
        path = os.path.join(scratch, name)
        with open(path, "w") as f:
            f.write(text)
        subprocess.check_call(["mount", "--bind", path, f"/etc/{name}"])


def recv_exactly(sock, count):
    """count bytes from a stream socket; its end before them fails the test."""
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise AssertionError(f"closed after {len(data)} of {count} bytes: {data!r}")
        data += chunk
    return data


def wait_until(cond, timeout=10.0, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(step)
    return cond()


def listening(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=1):
            return True
    except OSError:
        return False


def port_hex(port):
    """A port as the store keeps it: two bytes, low byte first."""
    return struct.pack("<H", port).hex()


class Engine:
    """The real harbixen with a HARBIX_HOME of its own."""

    def __init__(self):
        self.home = tempfile.mkdtemp(prefix="harbix-e2e-home-")
        self.env = dict(os.environ, HARBIX_HOME=self.home)
        self.process = None

    def reg(self, *args):
        return subprocess.run([ARGS.harbix_reg] + list(args), env=self.env, check=True,
                              capture_output=True, text=True).stdout

    def set(self, key, name, kind, data):
        self.reg("set", MANAGER + "\\" + key, name, kind, str(data))

    def service(self, key, port, **values):
        """Enables one service on a port; other values by store name, e.g. {"LOG Activity": 1}."""
        self.set(key, "Run Service", "dword", 1)
        self.set(key, "Bind Port", "binary", port_hex(port))
        for name, value in values.items():
            kind = "sz" if isinstance(value, str) else "dword"
            self.set(key, name, kind, value)

    def only(self, *keys):
        for key in SERVICE_KEYS:
            if key not in keys:
                self.set(key, "Run Service", "dword", 0)

    def access_list(self, key, prefix, entries, deny=True):
        """prefix "Incoming" or "Outgoing" (or "" for DNS and maps); entries "a.b.c.d:m.m.m.m"."""
        deny_name = "Deny Outgoing" if prefix == "Outgoing" else "Deny Incoming"
        base = f"{prefix} IP" if prefix else "IP"
        self.set(key, deny_name, "dword", 1 if deny else 0)
        self.set(key, f"{base} Count", "dword", len(entries))
        for i, entry in enumerate(entries):
            self.set(key, f"{base} {i}", "sz", entry)

    def start(self, *ports, wrapper=()):
        """wrapper: a program that runs the engine in its own process image (prlimit, say), so
        that the process started is the engine itself."""
        self.output = open(os.path.join(self.home, "engine.out"), "wb")
        self.process = subprocess.Popen(list(wrapper) + [ARGS.harbixen], env=self.env, stdout=self.output,
                                        stderr=subprocess.STDOUT)
        for port in ports:
            if not wait_until(lambda: listening(port)):
                raise AssertionError(f"engine does not listen on {port}")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                raise AssertionError("engine did not stop on SIGTERM")
        if self.process:
            self.output.close()
            # An engine built with a sanitizer reports on its console and goes on: the report
            # is the test's failure.
            for mark in ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:"):
                if mark in self.console():
                    self.process = None
                    raise AssertionError(f"the engine's console has a sanitizer report:\n{self.console()[-4000:]}")
        self.process = None

    def console(self):
        """What the engine has written to its standard output and error so far."""
        try:
            with open(os.path.join(self.home, "engine.out"), encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def cpu_seconds(self):
        """User and system time the engine process has used, all its threads together."""
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def log(self, name):
        try:
            with open(os.path.join(self.home, "log", name), encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def cleanup(self):
        self.stop()
        # An engine started detached (harbixctl start) is found through its lock file.
        try:
            with open(os.path.join(self.home, "run", "Harbix Engine.lock")) as f:
                os.kill(int(f.read().split()[0]), signal.SIGKILL)
        except (OSError, ValueError, IndexError):
            pass
        shutil.rmtree(self.home, ignore_errors=True)


def make_file(path, size):
    """A file of pseudo-random bytes (fast to make, nothing a compressor could shrink); returns
    its SHA-256."""
    block = hashlib.sha512(b"harbix").digest() * 1024  # 64 KiB
    blocks = [hashlib.sha256(block + bytes([i])).digest() * 2048 for i in range(16)]  # 16 x 64 KiB
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        written = 0
        i = 0
        while written < size:
            chunk = blocks[i % len(blocks)][: size - written]
            f.write(chunk)
            digest.update(chunk)
            written += len(chunk)
            i += 7
    return digest.hexdigest()


def chromium_dom(url, proxy, *options):
    """The DOM of a page as headless Chromium renders it through the proxy, with a fresh profile
    (so that neither its cache nor its connections carry over from another load)."""
    profile = tempfile.mkdtemp(prefix="harbix-e2e-chromium-")
    try:
        return subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-dev-shm-usage", f"--user-data-dir={profile}", f"--proxy-server={proxy}",
             "--proxy-bypass-list=<-loopback>", *options, "--dump-dom", url], capture_output=True, timeout=120).stdout
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


class Nginx:
    """nginx with a configuration written here: servers is the text of the server blocks (ROOT
    and DIR stand for self.root, a document root, and self.dir), listens the (address, port)
    pairs to wait for, prepare a function that puts what nginx needs into place first."""

    def __init__(self, servers, listens, extra_http="", prepare=None):
        self.dir = tempfile.mkdtemp(prefix="harbix-e2e-nginx-")
        self.root = os.path.join(self.dir, "www")
        os.mkdir(self.root)
        if prepare:
            prepare(self)
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""
daemon off;
master_process off;
user root;
pid {self.dir}/nginx.pid;
error_log stderr;
events {{}}
http {{
    access_log {self.dir}/access.log;
    client_body_temp_path {self.dir}/body;
    proxy_temp_path {self.dir}/proxy;
    fastcgi_temp_path {self.dir}/fastcgi;
    uwsgi_temp_path {self.dir}/uwsgi;
    scgi_temp_path {self.dir}/scgi;
    {extra_http}
    {servers.replace("ROOT", self.root).replace("DIR", self.dir)}
}}
""")
        self.process = subprocess.Popen(["nginx", "-c", conf, "-p", self.dir], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        for host, port in listens:
            if not wait_until(lambda: listening(port, host)):
                raise AssertionError(f"nginx does not listen on {host}:{port}")

    def access_log(self):
        with open(os.path.join(self.dir, "access.log")) as f:
            return f.read()

    def close(self):
        self.process.terminate()
        self.process.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)


class Vsftpd:
    """vsftpd with a config of its own, anonymous logins that may read and write one directory."""

    def __init__(self, address, port, root):
        self.address, self.port, self.root = address, port, root
        self.dir = tempfile.mkdtemp(prefix="harbix-e2e-vsftpd-")
        config = os.path.join(self.dir, "vsftpd.conf")
        with open(config, "w") as f:
            f.write(f"""listen=YES
listen_address={address}
listen_port={port}
background=NO
run_as_launching_user=YES
anonymous_enable=YES
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_other_write_enable=YES
anon_world_readable_only=NO
anon_root={root}
anon_umask=022
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
connect_from_port_20=NO
xferlog_enable=NO
dirmessage_enable=NO
max_per_ip=0
max_clients=0
""")
        self.output = open(os.path.join(self.dir, "out"), "wb")
        self.process = subprocess.Popen(["vsftpd", config], stdout=self.output, stderr=subprocess.STDOUT)
        if not wait_until(lambda: listening(port, address)):
            raise AssertionError(f"vsftpd does not listen on {address}:{port}")

    def close(self):
        self.process.terminate()
        self.process.wait(10)
        self.output.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class ThreadedTcpServer:
    """A TCP server that serves each connection on a thread of its own (serve_client). A
    subclass sets up its own state before calling this constructor, which starts accepting."""

    def __init__(self, host="127.0.0.1", port=0):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, port))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.clients = []
        self.threads = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.clients.append(conn)
            thread = threading.Thread(target=self.serve_client, args=(conn,), daemon=True)
            self.threads.append(thread)
            thread.start()

    def serve_client(self, conn):
        raise NotImplementedError


class LineServer(ThreadedTcpServer):
    """A loopback TCP server: greets each client, then answers every line in upper case."""

    def __init__(self, greeting=b"WELCOME TO ORIGIN\r\n", host="127.0.0.1"):
        self.greeting = greeting
        super().__init__(host)

    def serve_client(self, conn):
        try:
            conn.sendall(self.greeting)
            pending = b""
            while True:
                data = conn.recv(4096)
                if not data:
                    return
                pending += data
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    conn.sendall(line.strip().upper() + b"\r\n")
        except OSError:
            pass
        finally:
            conn.close()

    def close(self):
        self.listener.close()
        for conn in self.clients:
            try:
                conn.close()
            except OSError:
                pass


class Terminal:
    """An interactive program on a pseudo-terminal, as a user would run it."""

    def __init__(self, argv, env=None):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                os.execvpe(argv[0], argv, env or os.environ)
            finally:
                os._exit(127)
        self.output = b""

    def read(self, timeout=0.1):
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return self.output
            ready, _, _ = select.select([self.fd], [], [], left)
            if not ready:
                return self.output
            try:
                data = os.read(self.fd, 65536)
            except OSError:
                return self.output
            if not data:
                return self.output
            self.output += data

    def expect(self, text, timeout=10.0):
        if isinstance(text, str):
            text = text.encode()
        deadline = time.monotonic() + timeout
        while text not in self.output and time.monotonic() < deadline:
            self.read(0.05)
        if text not in self.output:
            raise AssertionError(f"{text!r} not seen; the terminal shows {self.output[-2000:]!r}")

    def type(self, text):
        if isinstance(text, str):
            text = text.encode()
        os.write(self.fd, text)

    def close(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            os.waitpid(self.pid, 0)
        except ChildProcessError:
            pass
        os.close(self.fd)


def main():
    argv = parse_args()
    unittest.main(argv=argv, verbosity=2)


# --- DNS -------------------------------------------------------------------------------------

DNS_TYPES = {"A": 1, "NS": 2, "CNAME": 5, "PTR": 12, "AAAA": 28}


def dns_name(name):
    """A name in wire form, without compression."""
    return b"".join(bytes([len(label)]) + label.encode() for label in name.split(".") if label) + b"\0"


def dns_query(name, qtype="A", qid=0x1234, opcode=0, flags=0x0100, extra=b""):
    """One question of class IN; flags is the header's second and third byte (RD set)."""
    header = struct.pack(">HHHHHH", qid, flags | (opcode << 11), 1, 0, 0, 0)
    return header + dns_name(name) + struct.pack(">HH", DNS_TYPES[qtype], 1) + extra


def dns_header(message):
    """(id, qr, opcode, aa, tc, ra, rcode, qdcount, ancount, nscount, arcount)."""
    qid, flags, qd, an, ns, ar = struct.unpack(">HHHHHH", message[:12])
    return (qid, flags >> 15, (flags >> 11) & 15, (flags >> 10) & 1, (flags >> 9) & 1, (flags >> 7) & 1,
            flags & 15, qd, an, ns, ar)


def dns_exchange(message, port=53, host="127.0.0.1", timeout=5.0, sock=None):
    """Sends one request and returns the first answer, or None when none comes in time."""
    own = sock is None
    sock = sock or socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.settimeout(timeout)
        sock.sendto(message, (host, port))
        try:
            return sock.recvfrom(65535)[0]
        except TimeoutError:
            return None
    finally:
        if own:
            sock.close()


def dns_ready(port=53, host="127.0.0.1"):
    """Whether a DNS service answers there (a STATUS request comes back)."""
    return dns_exchange(dns_query("ready.test", opcode=2, qid=1), port, host, timeout=0.2) is not None


class Dnsmasq:
    """dnsmasq as an upstream name server that never leaves the machine: every name under
    example.test has 192.0.2.1 and 2001:db8::1, everything else is unknown."""

    def __init__(self, address="127.0.0.2", port=53, extra=()):
        self.address, self.port = address, port
        self.process = subprocess.Popen(
            ["dnsmasq", "--no-daemon", "--no-resolv", "--no-hosts", "--bind-interfaces", "--user=root",
             f"--listen-address={address}", f"--port={port}", "--address=/example.test/192.0.2.1",
             "--address=/example.test/2001:db8::1", "--cache-size=1000", *extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: dns_exchange(dns_query("ready.example.test"), port, address, timeout=0.2) is not None):
            self.close()
            raise AssertionError(f"dnsmasq does not answer on {address}:{port}")

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
