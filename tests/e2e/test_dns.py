"""The DNS proxy with real clients and servers: dig answered locally (addresses, reverse names,
aliases from the hosts file) and through an upstream dnsmasq, glibc's resolver sending its A and
AAAA queries together, dnsperf under load, and requests of our own for the error replies, the
forwarding table's limit and answers that do not come from the upstream server."""

import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harbix_e2e as e2e  # noqa: E402

PROXY = "127.0.0.1"
UPSTREAM = "127.0.0.2"       # dnsmasq
SILENT_UPSTREAM = "127.0.0.3"  # a server of the test's own that answers only when told to
STRANGER = "127.0.0.4"
SLOW_RESOLVER = "127.0.0.53"   # the engine's own name server: it never answers
ALIAS_HOST = "127.0.0.9"
HOSTS = {"host.test alias1.test alias2.test": ALIAS_HOST}
MAX_FORWARDS = 48


def ip_dword(address):
    """An address as the store keeps it: network order read as a little-endian number."""
    return struct.unpack("<I", socket.inet_aton(address))[0]


def dig(*args, port=53):
    """dig's reply as (status, flags, {section: [records]}), records as lists of fields."""
    out = subprocess.run(["dig", f"@{PROXY}", "-p", str(port), "+tries=1", "+time=5", *args],
                         capture_output=True, text=True, timeout=30).stdout
    status = re.search(r"status: (\w+)", out)
    flags = re.search(r"flags: ([a-z ]*);", out)
    sections, current = {}, None
    for line in out.splitlines():
        match = re.match(r";; (\w+) SECTION:", line)
        if match:
            current = sections.setdefault(match.group(1), [])
        elif not line.strip():
            current = None
        elif current is not None and not line.startswith(";"):
            current.append(line.split())
    return (status.group(1) if status else None, flags.group(1).split() if flags else [], sections)


class SilentUpstream:
    """A name server on port 53 that keeps what it gets; the test answers in its place."""

    def __init__(self, address=SILENT_UPSTREAM):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 53))

    def receive(self, count, timeout=5.0):
        self.sock.settimeout(timeout)
        return [self.sock.recvfrom(65535) for _ in range(count)]

    def close(self):
        self.sock.close()


def answer_to(request, marker):
    """A response to a request: its header with QR set and one byte of marker after it."""
    return request[:2] + bytes([request[2] | 0x80]) + request[3:12] + bytes([marker])


class DnsProxyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.upstream = e2e.Dnsmasq(UPSTREAM, extra=["--address=/host.test/2001:db8::9"])

    @classmethod
    def tearDownClass(cls):
        cls.upstream.close()

    def setUp(self):
        self.engine = e2e.Engine()
        self.addCleanup(self.engine.cleanup)

    def start(self, upstream=UPSTREAM, **values):
        self.engine.only("DNS")
        if upstream:
            values["DNS Server"] = ip_dword(upstream)
        # dnsmasq holds 127.0.0.2:53: the proxy takes its own address only.
        self.engine.service("DNS", 53, **{"Bind IP": ip_dword(PROXY), "LOG Activity": 1, **values})
        self.engine.start()
        self.assertTrue(e2e.wait_until(e2e.dns_ready), self.engine.console())

    def log(self):
        self.engine.stop()
        return self.engine.log("DNS.LOG") or ""

    def test_addresses_are_answered_locally_with_the_name_servers(self):
        self.start(**{"Name Server 1": "ns-a.office.lan", "Name Server 2": "ns-b.office.lan",
                      "Name Server IP": ip_dword("10.0.0.53")})
        status, flags, sections = dig("localhost", "A")
        self.assertEqual(status, "NOERROR")
        self.assertIn("aa", flags)
        self.assertEqual(sections["ANSWER"], [["localhost.", "1800", "IN", "A", "127.0.0.1"]])
        self.assertEqual(sections["AUTHORITY"], [["localhost.", "1800", "IN", "NS", "ns-a.office.lan."],
                                                 ["localhost.", "1800", "IN", "NS", "ns-b.office.lan."]])
        self.assertEqual(sections["ADDITIONAL"], [["ns-a.office.lan.", "1800", "IN", "A", "10.0.0.53"],
                                                  ["ns-b.office.lan.", "1800", "IN", "A", "10.0.0.53"]])

    def test_reverse_names_and_aliases_come_from_the_hosts_file(self):
        self.start()
        status, flags, sections = dig("-x", "127.0.0.1")
        self.assertEqual((status, "aa" in flags), ("NOERROR", True))
        self.assertEqual(sections["ANSWER"][0], ["1.0.0.127.in-addr.arpa.", "1800", "IN", "PTR", "localhost."])
        # Any letter case of the reverse domain.
        reply = e2e.dns_exchange(e2e.dns_query("9.0.0.127.In-Addr.ARPA", "PTR"))
        self.assertEqual(e2e.dns_header(reply)[6], 0)
        self.assertIn(e2e.dns_name("host")[:-1], reply)
        status, flags, sections = dig("alias1.test", "A")
        self.assertEqual(status, "NOERROR")
        self.assertEqual(sections["ANSWER"], [["alias1.test.", "1800", "IN", "CNAME", "alias2.test."],
                                              ["alias2.test.", "1800", "IN", "CNAME", "host.test."],
                                              ["host.test.", "1800", "IN", "A", ALIAS_HOST]])

    def test_unknown_names_and_addresses_get_name_errors_with_the_question(self):
        self.start()
        for query in (e2e.dns_query("nothere.test"), e2e.dns_query("1.2.0.192.in-addr.arpa", "PTR"),
                      e2e.dns_query("1.2.0.192.example.arpa", "PTR"), e2e.dns_query("x.2.0.192.in-addr.arpa", "PTR")):
            with self.subTest(query=query):
                reply = e2e.dns_exchange(query)
                self.assertEqual(e2e.dns_header(reply)[1::5], (1, 3))  # QR, RCODE
                self.assertEqual(reply[12:], query[12:])

    def test_other_types_go_upstream_and_forward_only_sends_everything(self):
        self.start()
        status, flags, sections = dig("www.example.test", "AAAA")
        self.assertEqual(status, "NOERROR")
        self.assertEqual(sections["ANSWER"][0][3:], ["AAAA", "2001:db8::1"])
        self.assertNotIn("Forward QUERY", self.log())  # handed on for its type, not forwarded as such

        self.engine.set("DNS", "Forward Only", "dword", 1)
        self.engine.start()
        self.assertTrue(e2e.wait_until(e2e.dns_ready))
        status, flags, sections = dig("www.example.test", "A")
        self.assertEqual(status, "NOERROR")
        self.assertEqual(sections["ANSWER"][0][3:], ["A", "192.0.2.1"])
        self.assertNotIn("AUTHORITY", sections)  # dnsmasq's answer, not one of the proxy's own
        self.assertRegex(self.log(), r"Forward QUERY Request From IP 127\.0\.0\.1:\d+")

    def test_operation_codes_and_malformed_requests_get_their_result_codes(self):
        self.start()
        no_questions = struct.pack(">HHHHHH", 7, 0x0100, 0, 0, 0, 0)
        looping = struct.pack(">HHHHHH", 8, 0x0100, 1, 0, 0, 0) + b"\xc0\x0c" + struct.pack(">HH", 1, 1)
        forward_pointer = struct.pack(">HHHHHH", 9, 0x0100, 1, 0, 0, 0) + b"\xc0\x20" + struct.pack(">HH", 1, 1) + b"\0" * 20
        cases = [  # request, RCODE, log line
            (no_questions, 1, None),
            (looping, 1, "Process QUERY"),
            (forward_pointer, 1, "Process QUERY"),
            (e2e.dns_query("x.test", opcode=1), 1, None),  # an inverse query without an answer
            (e2e.dns_query("x.test", opcode=1)[:7] + b"\x01" + e2e.dns_query("x.test")[8:], 4, "Process IQUERY"),
            (e2e.dns_query("x.test", opcode=2), 0, "Process STATUS"),
            (e2e.dns_query("x.test", opcode=5), 4, "NOT IMPLEMENTED"),
        ]
        for request, rcode, line in cases:
            with self.subTest(request=request):
                reply = e2e.dns_exchange(request)
                qid, qr, opcode, aa, tc, ra, got_rcode = e2e.dns_header(reply)[:7]
                self.assertEqual((qr, aa, ra, got_rcode), (1, 0, 1, rcode))
                self.assertEqual(reply[12:], request[12:])
        # Responses and runts get nothing.
        for request in (answer_to(e2e.dns_query("x.test"), 0), b"\x00\x01\x01\x00"):
            self.assertIsNone(e2e.dns_exchange(request, timeout=0.5))
        log = self.log()
        for line in ("Process QUERY", "Process IQUERY", "Process STATUS", "NOT IMPLEMENTED"):
            self.assertRegex(log, line + r" Request From IP 127\.0\.0\.1:\d+")

    def test_long_requests_are_answered_from_their_first_512_bytes_with_tc(self):
        self.start()
        for request, rcode in ((e2e.dns_query("localhost", extra=b"\x55" * 600), 0),
                               (e2e.dns_query("localhost", opcode=5, extra=b"\x55" * 600), 4)):
            with self.subTest(rcode=rcode):
                reply = e2e.dns_exchange(request)
                self.assertEqual(len(reply), 512)
                header = e2e.dns_header(reply)
                self.assertEqual((header[4], header[6]), (1, rcode))  # TC, RCODE
                self.assertEqual(reply[12:12 + 15], request[12:12 + 15])

    def test_refused_clients_are_logged_and_get_nothing(self):
        self.engine.access_list("DNS", "", ["127.0.0.1:255.255.255.255"])
        self.engine.only("DNS")
        self.engine.service("DNS", 53, **{"Bind IP": ip_dword(PROXY), "LOG Activity": 1})
        self.engine.start()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.bind((PROXY, 0))
            port = sock.getsockname()[1]
            # Nothing tells when the service is up but the log: ask until the refusal shows there.
            refused = f"Refused Request From IP 127.0.0.1:{port}"
            self.assertTrue(e2e.wait_until(lambda: e2e.dns_exchange(e2e.dns_query("localhost"), timeout=0.2, sock=sock) is None
                                           and refused in (self.engine.log("DNS.LOG") or "")))

    def test_a_server_never_set_is_never_sent_to(self):
        self.start(upstream=None, **{"Forward Only": 1})
        reply = e2e.dns_exchange(e2e.dns_query("www.example.test"))
        self.assertEqual(e2e.dns_header(reply)[6], 2)

    def test_every_outstanding_request_of_one_socket_is_answered_and_the_49th_refused(self):
        upstream = SilentUpstream()
        self.addCleanup(upstream.close)
        self.start(upstream=SILENT_UPSTREAM)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
            client.settimeout(5)
            for qid in range(MAX_FORWARDS):
                client.sendto(e2e.dns_query("www.example.test", "AAAA", qid=qid), (PROXY, 53))
            forwarded = upstream.receive(MAX_FORWARDS)
            client.sendto(e2e.dns_query("www.example.test", "AAAA", qid=1000), (PROXY, 53))
            refused = client.recv(65535)
            self.assertEqual(e2e.dns_header(refused)[0::6], (1000, 2))
            # A retransmission takes its own row's place, the table being full.
            client.sendto(e2e.dns_query("www.example.test", "AAAA", qid=0), (PROXY, 53))
            request, source = upstream.receive(1)[0]
            self.assertEqual(e2e.dns_header(request)[0], 0)
            forwarded[0] = (request, source)
            for request, source in forwarded:
                upstream.sock.sendto(answer_to(request, 0x42), source)
            answered = sorted(e2e.dns_header(client.recv(65535))[0] for _ in range(MAX_FORWARDS))
            self.assertEqual(answered, list(range(MAX_FORWARDS)))

    def test_unanswered_requests_give_their_places_back_after_20_seconds(self):
        upstream = SilentUpstream()
        self.addCleanup(upstream.close)
        self.start(upstream=SILENT_UPSTREAM)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
            client.settimeout(5)
            for qid in range(MAX_FORWARDS):
                client.sendto(e2e.dns_query("www.example.test", "AAAA", qid=qid), (PROXY, 53))
            upstream.receive(MAX_FORWARDS)

            def forwarded_again():
                client.sendto(e2e.dns_query("www.example.test", "AAAA", qid=2000), (PROXY, 53))
                try:
                    upstream.receive(1, timeout=0.5)
                    return True
                except TimeoutError:
                    self.assertEqual(e2e.dns_header(client.recv(65535))[6], 2)  # still full
                    return False

            self.assertFalse(forwarded_again())
            self.assertTrue(e2e.wait_until(forwarded_again, timeout=40, step=1))

    def test_only_the_upstream_server_may_answer(self):
        upstream = SilentUpstream()
        self.addCleanup(upstream.close)
        self.start(upstream=SILENT_UPSTREAM)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client, \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stranger:
            stranger.bind((STRANGER, 53))
            client.settimeout(1)
            client.sendto(e2e.dns_query("www.example.test", "AAAA", qid=77), (PROXY, 53))
            request, source = upstream.receive(1)[0]
            stranger.sendto(answer_to(request, 1), source)                             # another address
            upstream.sock.sendto(answer_to(request[:1] + b"\x99" + request[2:], 2), source)  # another ID
            with self.assertRaises(TimeoutError):
                client.recv(65535)
            upstream.sock.sendto(answer_to(request, 3), source)
            reply = client.recv(65535)
            self.assertEqual((e2e.dns_header(reply)[0], reply[12:]), (77, b"\x03"))

    def test_a_slow_lookup_holds_up_no_other_client(self):
        silent = SilentUpstream(SLOW_RESOLVER)  # the engine's own resolver asks it, and waits
        self.addCleanup(silent.close)
        self.start()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as slow:
            slow.sendto(e2e.dns_query("slow.test"), (PROXY, 53))
            silent.receive(1)  # the lookup is under way
            status, _, sections = dig("localhost", "A")
            self.assertEqual((status, sections["ANSWER"][0][4]), ("NOERROR", "127.0.0.1"))

    def getent(self, name):
        """glibc's resolver in a mount namespace of its own whose resolv.conf names the proxy (and
        whose hosts file knows nothing of the name): its A and AAAA queries go out together."""
        scratch = tempfile.mkdtemp(prefix="harbix-e2e-glibc-")
        with open(os.path.join(scratch, "resolv.conf"), "w") as f:
            f.write(f"nameserver {PROXY}\noptions timeout:30 attempts:1\n")
        with open(os.path.join(scratch, "hosts"), "w") as f:
            f.write("127.0.0.1 localhost\n")
        script = (f"mount --bind {scratch}/resolv.conf /etc/resolv.conf && mount --bind {scratch}/hosts /etc/hosts && "
                  f"exec getent ahosts {name}")
        # A lost answer waits out the 30 s time-out: the run would not end in time.
        return subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script],
                              capture_output=True, text=True, timeout=20).stdout

    def test_glibc_gets_both_answers_of_its_parallel_queries(self):
        for forward_only, name, addresses in ((1, "www.example.test", {"192.0.2.1", "2001:db8::1"}),
                                              (0, "host.test", {ALIAS_HOST, "2001:db8::9"})):
            with self.subTest(forward_only=forward_only):
                self.start(**{"Forward Only": forward_only})
                out = self.getent(name)
                self.assertEqual({line.split()[0] for line in out.splitlines()}, addresses)
                self.engine.stop()

    def test_dnsperf_loses_no_answer_within_the_forwarding_table(self):
        self.start(**{"Forward Only": 1})
        queries = os.path.join(self.engine.home, "queries.txt")
        with open(queries, "w") as f:
            for i in range(500):
                f.write(f"host{i}.example.test {'A' if i % 2 else 'AAAA'}\n")
        out = subprocess.run(["dnsperf", "-s", PROXY, "-p", "53", "-d", queries, "-n", "10", "-q", "32",
                              "-t", "5", "-l", "60"], capture_output=True, text=True, timeout=120).stdout
        sent = int(re.search(r"Queries sent:\s+(\d+)", out).group(1))
        self.assertEqual(sent, 5000, out)
        self.assertRegex(out, r"Queries lost:\s+0 ", out)
        self.assertRegex(out, r"NOERROR 5000 ", out)


if __name__ == "__main__":
    e2e.enter_namespace(hosts=HOSTS, nameserver=SLOW_RESOLVER)
    e2e.main()
