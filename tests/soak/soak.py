"""The soak: the real engine under mixed load for a set time, in a network namespace of its own.

Tunnels, Telnet sessions, SOCKS 4 and 5 connections, PNA streams (over TCP, and with UDP
delivery on both channels), a port map, the HTTP proxy and FTP sessions (passive and active, to a
vsftpd) move checked data, DNS clients ask the DNS proxy for names it answers itself and names it
forwards to a dnsmasq, checking every answer, and a set of pages comes back from the HTTP cache, checked as strictly; clients and origins stall, reset and vanish; a control-channel poller asks for the status throughout; every service and the maps are
reloaded with changed settings now and then; bursts of callers run into the connection limit.
At the end it prints a report: sessions completed, bytes checked, errors by kind, the engine's
memory, descriptors, threads and CPU time, and whether the control channel answered throughout.
Exit status 0 when nothing was corrupted, the engine never failed, the limit turned callers
away, the cache answered, memory stayed flat and the engine returned to its starting
descriptors and threads once the load had ended.

    soak.py --harbixen PATH --harbix-reg PATH --harbixctl PATH [--minutes N]
"""

import argparse
import asyncio
import collections
import ftplib
import hashlib
import io
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import harbix_e2e as e2e  # noqa: E402
import harbix_load as load  # noqa: E402

TUNNEL_PORT = 2525
TELNET_PORT = 2323
HTTP_PORT = 8080
MAP_PORT = 3000
SOCKS_PORT = 1080
FTP_PORT = 2121
PNA_PORT = 1090
FTP_SERVER_PORT = 2100
DNS_PORT = 5353
DNS_UPSTREAM = "127.0.0.2"  # dnsmasq, on port 53
FTP_FILE = 3 * 1024 * 1024 + 77  # what every FTP download fetches, checked by its digest
MAX_CONNECTIONS = (400, 600)  # the limit swings between these at reloads
CACHE_KIB = (2048, 1024)      # and the HTTP cache's size between these
KIB = 1024


class Soak:
    def __init__(self, minutes):
        self.seconds = minutes * 60
        self.counts = collections.Counter()   # what completed, by kind
        self.errors = collections.Counter()   # what went wrong, by kind (some are on purpose)
        self.bytes_checked = 0
        self.corrupted = 0
        self.samples = []                     # (seconds since start, rss kib, fds, threads)
        self.polls_missed = 0
        self.polls = 0
        self.running = True

    # -- setup ---------------------------------------------------------------------------------

    def configure(self):
        self.engine = e2e.Engine()
        self.engine.only("HTTPS", "TNET", "HTTP", "SOCKS", "FTP", "PNA", "DNS")
        self.engine.service("DNS", DNS_PORT, **{"Bind IP": 0x0100007F,
                                               "DNS Server": int.from_bytes(socket.inet_aton(DNS_UPSTREAM), "little")})
        self.engine.service("HTTPS", TUNNEL_PORT)
        self.engine.service("FTP", FTP_PORT)
        # A cache smaller than the pages, maintained every minute: entries come and go.
        self.engine.service("HTTP", HTTP_PORT, **{"Cache Dir": os.path.join(self.engine.home, "cache"),
                                                 "Cache Update": 1, "Cache Size": CACHE_KIB[0]})
        self.engine.service("TNET", TELNET_PORT, **{"Use Threads": 0})
        self.engine.service("SOCKS", SOCKS_PORT, **{"Use Threads": 0})
        self.engine.service("PNA", PNA_PORT)
        self.engine.set("General", "Max Connections", "dword", MAX_CONNECTIONS[0])
        self.set_map(self.origins[0].port, use_threads=1)

    def set_map(self, origin_port, use_threads):
        self.engine.set("MAP", "Maps Count", "dword", 1)
        self.engine.set("#0.MAP", "Bind Port", "binary", e2e.port_hex(MAP_PORT))
        self.engine.set("#0.MAP", "Dest Host", "sz", "127.0.0.1")
        self.engine.set("#0.MAP", "Dest Port", "binary", e2e.port_hex(origin_port))
        self.engine.set("#0.MAP", "Service Type", "dword", 0)
        self.engine.set("#0.MAP", "Deny Incoming", "dword", 1)
        self.engine.set("#0.MAP", "Use Threads", "dword", use_threads)

    def routes(self, streams_only=False):
        """A way to an origin: a byte stream (tunnel, Telnet, the map), or, unless the caller
        needs a stream, the HTTP proxy."""
        kinds = [("tunnel", TUNNEL_PORT), ("telnet", TELNET_PORT), ("map", MAP_PORT), ("socks4", SOCKS_PORT),
                 ("socks5", SOCKS_PORT), ("pna", PNA_PORT)]
        if not streams_only:
            kinds.append(("http", HTTP_PORT))
        kind, port = random.choice(kinds)
        if kind == "http":
            return load.Route(kind, port, self.http_origin.port)
        # The map always leads to the origin it is set to.
        return load.Route(kind, port, self.map_origin if kind == "map" else random.choice(self.origins).port)

    # -- the load ------------------------------------------------------------------------------

    def until_done(self):
        return self.running and time.monotonic() < self.deadline

    def note(self, kind, checker=None, clean=None, expected_size=None, route=""):
        if checker is not None:
            self.bytes_checked += checker.received
            if not checker.intact:
                self.corrupted += 1
                self.errors[f"corrupted stream via {route}"] += 1
                return
            if expected_size is not None and (checker.received != expected_size or not clean):
                # A map that moves to another origin restarts, and its sessions end with it.
                self.errors[f"{kind} via {route}: incomplete"] += 1
                return
        self.counts[kind] += 1

    async def transfers(self):
        while self.until_done():
            route = self.routes()
            size = random.choice((1 * KIB, 64 * KIB, 512 * KIB, 4096 * KIB))
            what = random.choices(["download", "upload", "client stalls", "client resets", "client vanishes",
                                   "origin stalls", "origin resets", "origin vanishes"],
                                  weights=[10, 4, 1, 1, 1, 1, 1, 1])[0]
            try:
                if what == "upload":
                    outcome = await asyncio.wait_for(load.upload(route, size), 60)
                    if outcome == "ok":
                        self.bytes_checked += size
                        self.counts["upload"] += 1
                    elif outcome == "cut":
                        self.errors[f"upload via {route.kind}: cut"] += 1  # a map restarts with its sessions
                    else:
                        self.corrupted += 1
                        self.errors[f"upload arrived wrong via {route.kind}"] += 1
                    continue
                client = {"client stalls": "stall", "client resets": "reset", "client vanishes": "vanish"}.get(what)
                mode = {"origin stalls": load.STALL, "origin resets": load.RESET,
                        "origin vanishes": load.VANISH}.get(what, load.DOWNLOAD)
                checker, clean = await asyncio.wait_for(load.download(route, size, client=client, mode=mode), 60)
                whole = what in ("download", "client stalls", "origin stalls")
                self.note(what, checker, clean, size if whole else None, route.kind)
            except ConnectionError as error:
                self.errors[f"refused via {route.kind} ({type(error).__name__})"] += 1  # the limit, or a reload
            except (asyncio.TimeoutError, asyncio.IncompleteReadError, OSError) as error:
                self.errors[f"{what} via {route.kind}: {type(error).__name__}"] += 1

    def ftp_session(self, number):
        """One FTP session through the proxy, on a thread of its own: a listing, downloads and an
        upload, passive or active. Returns what each transfer found: (kind, intact, bytes)."""
        passive = random.random() < 0.5
        mode = "passive" if passive else "active"
        found = []
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", FTP_PORT, timeout=60)
        try:
            ftp.login(f"anonymous@127.0.0.1:{FTP_SERVER_PORT}", "soak@")
            ftp.set_pasv(passive)
            if "file.bin" not in ftp.nlst():
                raise ftplib.Error("the listing misses the file")
            for _ in range(random.randint(1, 3)):
                digest = hashlib.sha256()
                ftp.retrbinary("RETR file.bin", digest.update, blocksize=65536)
                found.append((f"ftp download ({mode})", digest.hexdigest() == self.ftp_digest, FTP_FILE))
            body = random.randbytes(random.choice((1, 64 * KIB, 1024 * KIB)))
            name = f"up-{number}.bin"
            ftp.storbinary(f"STOR {name}", io.BytesIO(body), blocksize=65536)
            with open(os.path.join(self.ftp_root, name), "rb") as f:
                found.append((f"ftp upload ({mode})", f.read() == body, len(body)))
            ftp.quit()
        finally:
            ftp.close()
        return found

    async def ftp_transfers(self, number):
        while self.until_done():
            try:
                found = await asyncio.wait_for(asyncio.to_thread(self.ftp_session, number), 120)
            except (ftplib.Error, OSError, EOFError, asyncio.TimeoutError) as error:
                # Callers over the connection limit are turned away on purpose.
                self.errors[f"ftp session: {type(error).__name__}"] += 1
                await asyncio.sleep(0.2)  # a caller turned away does not hammer the limit
                continue
            for kind, intact, size in found:
                self.bytes_checked += size
                if intact:
                    self.counts[kind] += 1
                else:
                    self.corrupted += 1
                    self.errors[f"{kind} arrived wrong"] += 1

    # (kind, name, type, what the answer must hold, RCODE)
    DNS_QUESTIONS = [
        ("dns local address", "localhost", "A", bytes([127, 0, 0, 1]), 0),
        ("dns local reverse name", "1.0.0.127.in-addr.arpa", "PTR", e2e.dns_name("localhost"), 0),
        ("dns unknown name", "nothere.test", "A", b"", 3),
        ("dns forwarded", "www.example.test", "AAAA", socket.inet_pton(socket.AF_INET6, "2001:db8::1"), 0),
    ]

    def prime_resolver(self):
        """The engine's resolver keeps a few idle workers for the next lookups once it has run:
        a burst of lookups before the start is counted starts more than it keeps."""
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.settimeout(5)
            for n in range(16):
                sock.sendto(e2e.dns_query(f"prime{n}.test", qid=n), ("127.0.0.1", DNS_PORT))
            for _ in range(16):
                sock.recv(65535)

    def dns_client(self):
        """Asks one question after another from one socket, each answer checked against its
        question; an answer to an earlier question that timed out is passed over."""
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.settimeout(5)
            while self.until_done():
                kind, name, qtype, wanted, rcode = random.choice(self.DNS_QUESTIONS)
                qid = random.randrange(65536)
                query = e2e.dns_query(name, qtype, qid=qid)
                sock.sendto(query, ("127.0.0.1", DNS_PORT))
                try:
                    while True:
                        reply = sock.recv(65535)
                        if e2e.dns_header(reply)[0] == qid:
                            break
                except TimeoutError:
                    self.errors[f"{kind}: no answer"] += 1
                    continue
                got = e2e.dns_header(reply)[6]
                if got == 2:
                    # Forwarded requests hold places under the connection limit that the bursts fill.
                    self.errors[f"{kind}: server failure"] += 1
                elif got != rcode or reply[12:len(query)] != query[12:] or wanted not in reply[len(query):]:
                    self.corrupted += 1
                    self.errors[f"{kind}: wrong answer"] += 1
                else:
                    self.counts[kind] += 1
                time.sleep(0.01)  # a steady trickle beside the streams, not a flood

    async def slow_reader(self):
        """A client that takes 100 KB/s of a large download."""
        while self.until_done():
            route = self.routes()
            try:
                offset = random.randrange(len(load.BLOCK))
                size = 2048 * KIB
                reader, writer = await route.open(load.DOWNLOAD, size, offset)
                checker = load.Checker(offset)
                while checker.received < size and self.until_done():
                    data = await asyncio.wait_for(reader.read(10 * KIB), 30)
                    if not data:
                        break
                    checker.feed(data)
                    await asyncio.sleep(0.1)
                writer.close()
                self.note("slow download", checker, route=route.kind)
            except (ConnectionError, OSError, asyncio.TimeoutError, asyncio.IncompleteReadError) as error:
                self.errors[f"slow download via {route.kind}: {type(error).__name__}"] += 1

    async def pages(self):
        """Cacheable pages, asked for in every way the cache answers."""
        while self.until_done():
            await asyncio.sleep(random.uniform(0, 0.05))  # a share of the load, not all of it
            n = random.randrange(load.PAGE_COUNT)
            variant = random.choices([None, "range", "if-modified-since", "reload"], weights=[10, 3, 2, 1])[0]
            try:
                outcome, from_cache = await asyncio.wait_for(load.fetch_page(HTTP_PORT, self.http_origin.port, n, variant), 60)
            except (ConnectionError, OSError, ValueError, asyncio.TimeoutError) as error:
                self.errors[f"page: {type(error).__name__}"] += 1
                continue
            if outcome == "wrong":
                self.corrupted += 1
                self.errors[f"page {variant or 'plain'} answered wrong ({'cache' if from_cache else 'origin'})"] += 1
            elif outcome == "cut":
                self.errors["page cut short by the origin"] += 1  # on purpose
            else:
                self.counts[f"page {variant or 'plain'} from {'cache' if from_cache else 'origin'}"] += 1

    async def pna_udp(self):
        """PNA streams with UDP delivery: datagrams both ways on both channels, checked."""
        while self.until_done():
            try:
                intact, lost, wrong = await asyncio.wait_for(load.pna_udp_session(PNA_PORT, self.pna_origin), 120)
            except (ConnectionError, OSError, asyncio.TimeoutError, asyncio.IncompleteReadError) as error:
                self.errors[f"pna udp: {type(error).__name__}"] += 1
                continue
            self.counts["pna udp datagram"] += intact
            if lost:
                self.errors["pna udp datagram lost"] += lost
            if wrong:
                self.corrupted += 1
                self.errors["pna udp datagram arrived wrong"] += wrong

    async def held(self):
        while self.until_done():
            route = self.routes(streams_only=True)
            try:
                ok = await asyncio.wait_for(load.echo_session(route, 20, 0.5), 60)
                self.counts["held session"] += ok
                if not ok:
                    self.corrupted += 1
                    self.errors[f"echo came back wrong via {route.kind}"] += 1
            except (ConnectionError, OSError, asyncio.TimeoutError, asyncio.IncompleteReadError) as error:
                self.errors[f"held session via {route.kind}: {type(error).__name__}"] += 1

    async def bursts(self):
        """Every 20 s, more callers at once than the limit admits; those refused are closed."""
        while self.until_done():
            await asyncio.sleep(20)
            admitted = refused = 0

            async def caller():
                nonlocal admitted, refused
                try:
                    reader, writer = await asyncio.open_connection("127.0.0.1", TUNNEL_PORT)
                except OSError:
                    refused += 1
                    return
                try:
                    # Silent, so that an admitted caller keeps its place (a request line would be
                    # answered, and its place freed, at once): the engine closes a refused one
                    # at once, an admitted one only when it has been idle for its first 10 s.
                    data = await asyncio.wait_for(reader.read(1), 5)
                    refused += data == b""
                    admitted += data != b""
                except asyncio.TimeoutError:
                    admitted += 1
                except OSError:
                    refused += 1
                finally:
                    writer.close()

            await asyncio.gather(*(caller() for _ in range(MAX_CONNECTIONS[1] + 200)))
            self.counts["burst callers refused"] += refused
            self.counts["burst callers admitted"] += admitted

    async def poller(self):
        while self.until_done():
            self.polls += 1
            totals = await asyncio.to_thread(load.engine_totals, self.engine, e2e.ARGS.harbixctl)
            if totals is None:
                self.polls_missed += 1
            await asyncio.sleep(1)

    async def reloads(self):
        """Every 15 s the settings change and the engine is told."""
        n = 0
        while self.until_done():
            await asyncio.sleep(15)
            n += 1
            self.engine.set("HTTPS", "LOG Activity", "dword", n % 2)
            self.engine.set("TNET", "LOG Activity", "dword", (n // 2) % 2)
            self.engine.set("HTTP", "LOG Activity", "dword", (n // 3) % 2)
            self.engine.set("SOCKS", "LOG Activity", "dword", (n // 4) % 2)
            self.engine.set("SOCKS", "Use Threads", "dword", n % 2)
            self.engine.set("FTP", "LOG Activity", "dword", (n // 4) % 2)
            self.engine.set("PNA", "LOG Activity", "dword", (n // 2) % 2)
            self.engine.set("PNA", "Use Threads", "dword", (n + 1) % 2)
            self.engine.set("DNS", "LOG Activity", "dword", (n // 2) % 2)
            self.engine.set("General", "Max Connections", "dword", MAX_CONNECTIONS[n % 2])
            self.engine.set("HTTP", "Cache Size", "dword", CACHE_KIB[n % 2])
            # The map moves to the other origin every other time (it restarts), and changes only
            # what needs no restart otherwise.
            if n % 2:
                self.map_origin = self.origins[(n // 2) % 2].port
            self.set_map(self.map_origin, use_threads=int(n % 3 != 0))
            out = await asyncio.to_thread(subprocess.run, [e2e.ARGS.harbixctl, "reload", "all"], env=self.engine.env,
                                          capture_output=True)
            self.counts["reloads"] += out.returncode == 0
            if out.returncode:
                self.errors["reload not answered"] += 1

    async def monitor(self):
        pid = self.engine.process.pid
        while self.until_done():
            if self.engine.process.poll() is not None:
                self.errors["engine ended"] += 1
                self.running = False
                return
            self.samples.append((time.monotonic() - self.started, load.resident_kib(pid), load.descriptors(pid),
                                 load.threads(pid)))
            await asyncio.sleep(5)

    # -- the run -------------------------------------------------------------------------------

    async def run(self):
        self.origins = [load.Origin(stall_seconds=3.0), load.Origin(stall_seconds=3.0)]
        self.http_origin = load.HttpOrigin(stall_seconds=3.0, cut_share=0.05)
        for origin in self.origins + [self.http_origin]:
            await origin.start()
        self.map_origin = self.origins[0].port
        self.pna_origin = load.PnaUdpOrigin()
        await self.pna_origin.start()
        self.ftp_root = tempfile.mkdtemp(prefix="harbix-soak-ftp-")
        self.ftp_digest = e2e.make_file(os.path.join(self.ftp_root, "file.bin"), FTP_FILE)
        self.ftp_server = e2e.Vsftpd("127.0.0.1", FTP_SERVER_PORT, self.ftp_root)
        self.dns_upstream = e2e.Dnsmasq(DNS_UPSTREAM)
        self.configure()
        self.engine.start(TUNNEL_PORT, TELNET_PORT, MAP_PORT, HTTP_PORT, SOCKS_PORT, FTP_PORT, PNA_PORT)
        if not e2e.wait_until(lambda: e2e.dns_ready(DNS_PORT)):
            raise AssertionError("the DNS proxy does not answer")
        self.prime_resolver()
        pid = self.engine.process.pid
        self.start_fds, self.start_threads = load.descriptors(pid), load.threads(pid)
        self.start_cpu = self.engine.cpu_seconds()
        self.started = time.monotonic()
        self.deadline = self.started + self.seconds
        tasks = [self.transfers() for _ in range(24)] + [self.slow_reader() for _ in range(4)]
        tasks += [self.pages() for _ in range(4)] + [self.ftp_transfers(n) for n in range(3)]
        tasks += [self.held() for _ in range(8)] + [self.pna_udp() for _ in range(2)]
        tasks += [asyncio.to_thread(self.dns_client) for _ in range(4)]
        tasks += [self.bursts(), self.poller(), self.reloads(), self.monitor()]
        await asyncio.gather(*tasks)
        self.load_seconds = time.monotonic() - self.started
        # Once the load has ended, everything the engine took must be given back.
        self.settled = await asyncio.to_thread(
            e2e.wait_until, lambda: (load.descriptors(pid), load.threads(pid)) <= (self.start_fds, self.start_threads), 60)
        self.end_fds, self.end_threads = load.descriptors(pid), load.threads(pid)
        self.end_kib = load.resident_kib(pid)
        self.cpu = self.engine.cpu_seconds() - self.start_cpu
        self.engine_alive = self.engine.process.poll() is None
        for origin in self.origins + [self.http_origin, self.pna_origin]:
            await origin.close()
        self.engine.cleanup()
        self.ftp_server.close()
        self.dns_upstream.close()
        shutil.rmtree(self.ftp_root, ignore_errors=True)

    def memory_trend(self):
        """Over the second half of the load: the median resident memory (KiB) and how much the
        least-squares line through the samples rises from its start to its end (KiB). The
        memory follows the sessions running at the moment; a leak shows as a steady rise."""
        half = [(t, kib) for t, kib, _, _ in self.samples if t >= self.load_seconds / 2]
        if len(half) < 2:
            return 0, 0
        mean_t = sum(t for t, _ in half) / len(half)
        mean_kib = sum(kib for _, kib in half) / len(half)
        slope = (sum((t - mean_t) * (kib - mean_kib) for t, kib in half) /
                 max(sum((t - mean_t) ** 2 for t, _ in half), 1e-9))
        return sorted(kib for _, kib in half)[len(half) // 2], slope * (half[-1][0] - half[0][0])

    def memory_flat(self):
        median, rise = self.memory_trend()
        return rise <= 0.1 * median

    def memory_windows(self, count=6):
        """Median resident memory (MiB) and threads of each of count equal stretches of the load."""
        out = []
        for n in range(count):
            window = [s for s in self.samples if n * self.load_seconds / count <= s[0] < (n + 1) * self.load_seconds / count]
            if window:
                out.append((sorted(s[1] for s in window)[len(window) // 2] / 1024, sorted(s[3] for s in window)[len(window) // 2]))
        return out

    def report(self):
        half = [s for s in self.samples if s[0] >= self.load_seconds / 2]
        rss = [s[1] for s in self.samples]
        rss_half = [s[1] for s in half]
        median, rise = self.memory_trend()
        lines = [
            f"Harbix soak: {self.load_seconds / 60:.1f} minutes",
            "",
            "completed:",
            *(f"  {kind:<28}{count:>10}" for kind, count in sorted(self.counts.items())),
            f"  {'bytes checked':<28}{self.bytes_checked:>10}",
            "",
            "errors by kind (peers that reset or vanish, and callers over the limit, cause some on purpose):",
            *(f"  {kind:<40}{count:>8}" for kind, count in sorted(self.errors.items())),
            f"  {'corrupted streams':<40}{self.corrupted:>8}",
            "",
            f"engine: {'up throughout' if self.engine_alive and not self.errors['engine ended'] else 'ENDED'}, "
            f"CPU {self.cpu:.1f} s",
            f"  resident memory: peak {max(rss, default=0) / 1024:.1f} MiB; second half "
            f"{min(rss_half, default=0) / 1024:.1f} .. {max(rss_half, default=0) / 1024:.1f} MiB, median "
            f"{median / 1024:.1f} MiB, trend {rise / 1024:+.1f} MiB from its start to its end "
            f"({'flat' if self.memory_flat() else 'RISING'}); after the load {self.end_kib / 1024:.1f} MiB",
            "  by stretches of the load, median memory (MiB) / threads: " +
            "  ".join(f"{mib:.1f}/{threads}" for mib, threads in self.memory_windows()),
            f"  descriptors: {self.start_fds} at the start, {self.end_fds} after the load "
            f"(most during the load {max((s[2] for s in self.samples), default=0)})",
            f"  threads: {self.start_threads} at the start, {self.end_threads} after the load "
            f"(most during the load {max((s[3] for s in self.samples), default=0)})",
            f"  control channel: {self.polls - self.polls_missed} of {self.polls} status polls answered",
            f"  HTTP cache: {self.cache_answers()} pages answered from it, {self.http_origin.page_requests} fetched "
            f"from the origin",
        ]
        return "\n".join(lines)

    def cache_answers(self):
        return sum(count for kind, count in self.counts.items() if kind.startswith("page") and kind.endswith("from cache"))

    def passed(self):
        ftp_done = sum(count for kind, count in self.counts.items() if kind.startswith("ftp "))
        dns_done = all(self.counts[kind] > 0 for kind, *_ in self.DNS_QUESTIONS)
        return (self.corrupted == 0 and self.cache_answers() > 0 and ftp_done > 0 and dns_done and self.counts["burst callers refused"] > 0 and self.memory_flat() and self.engine_alive and not self.errors["engine ended"] and self.settled
                and self.polls_missed == 0)


def main():
    e2e.enter_namespace()  # runs this program again, with the same arguments, in the namespace
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, default=10)
    args, rest = parser.parse_known_args()
    sys.argv = [sys.argv[0]] + rest
    e2e.parse_args()
    load.raise_descriptor_limit()
    soak = Soak(args.minutes)
    asyncio.run(soak.run())
    print(soak.report())
    sys.exit(0 if soak.passed() else 1)


if __name__ == "__main__":
    main()
