"""The load and fault check: the real engine holding two thousand sessions at once, and peers on
both sides of its tunnel, Telnet proxy and port map that stall, reset and vanish in the middle
of transfers, with every byte that arrives checked. (A flood under a low descriptor limit is
test_limits.py.) Bounded to about a minute."""

import asyncio
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harbix_e2e as e2e  # noqa: E402
import harbix_load as load  # noqa: E402

TUNNEL_PORT = 2525
TELNET_PORT = 2323
HTTP_PORT = 8080
MAP_PORT = 3000
SESSIONS = 2000
MIB = 1 << 20


class LoadTest(unittest.TestCase):
    def setUp(self):
        load.raise_descriptor_limit()
        self.loop = asyncio.new_event_loop()
        self.origin = load.Origin()
        self.http_origin = load.HttpOrigin()
        self.loop.run_until_complete(self.origin.start())
        self.loop.run_until_complete(self.http_origin.start())
        self.engine = e2e.Engine()
        self.engine.only("HTTPS", "TNET", "HTTP")
        self.engine.service("HTTPS", TUNNEL_PORT)
        self.engine.service("HTTP", HTTP_PORT)
        # Telnet sessions share the service thread: the path where one slow peer could hold
        # up everybody.
        self.engine.service("TNET", TELNET_PORT, **{"Use Threads": 0})
        self.engine.set("MAP", "Maps Count", "dword", 1)
        self.engine.set("#0.MAP", "Bind Port", "binary", e2e.port_hex(MAP_PORT))
        self.engine.set("#0.MAP", "Dest Host", "sz", "127.0.0.1")
        self.engine.set("#0.MAP", "Dest Port", "binary", e2e.port_hex(self.origin.port))
        self.engine.set("#0.MAP", "Service Type", "dword", 0)
        self.engine.set("#0.MAP", "Deny Incoming", "dword", 1)  # a new map admits nobody until told
        self.engine.start(TUNNEL_PORT, TELNET_PORT, MAP_PORT, HTTP_PORT)
        # The byte streams, and the HTTP proxy, which carries exchanges rather than streams.
        self.routes = [load.Route(kind, port, self.origin.port)
                       for kind, port in (("tunnel", TUNNEL_PORT), ("telnet", TELNET_PORT), ("map", MAP_PORT))]
        self.http_route = load.Route("http", HTTP_PORT, self.http_origin.port)
        self.start_fds = load.descriptors(self.engine.process.pid)
        self.start_threads = load.threads(self.engine.process.pid)

    def tearDown(self):
        self.engine.cleanup()
        self.loop.run_until_complete(self.origin.close())
        self.loop.run_until_complete(self.http_origin.close())
        self.loop.close()

    def totals(self):
        return load.engine_totals(self.engine, e2e.ARGS.harbixctl)

    def assert_settles(self):
        """Every session has ended, and the engine holds no more descriptors and threads than at
        the start."""
        self.assertTrue(e2e.wait_until(lambda: (t := self.totals()) is not None and t["active"] == 0, 30),
                        f"sessions left: {self.totals()}")
        # Session threads that wait for the next caller go after ten idle seconds.
        self.assertTrue(e2e.wait_until(lambda: load.descriptors(self.engine.process.pid) <= self.start_fds, 20),
                        f"{load.descriptors(self.engine.process.pid)} descriptors, {self.start_fds} at the start")
        # Name lookup workers are none here: every destination is a dotted address.
        self.assertTrue(e2e.wait_until(lambda: load.threads(self.engine.process.pid) <= self.start_threads, 10),
                        f"{load.threads(self.engine.process.pid)} threads, {self.start_threads} at the start")

    def test_two_thousand_sessions_are_held_and_served(self):
        async def run():
            opened = []
            gate = asyncio.Semaphore(256)  # callers arrive in waves, as a busy office does

            async def one(n):
                async with gate:
                    route = self.routes[n % len(self.routes)]
                    reader, writer = await route.open(load.ECHO, 0, 0)
                    token = n.to_bytes(16, "little")
                    writer.write(token)
                    await writer.drain()
                    ok = await reader.readexactly(16) == token
                opened.append((reader, writer, token))
                return ok

            results = await asyncio.gather(*(one(n) for n in range(SESSIONS)), return_exceptions=True)
            failures = [r for r in results if r is not True]
            self.assertEqual(failures, [], f"{len(failures)} of {SESSIONS} sessions failed to open")
            self.assertEqual(self.totals()["active"], SESSIONS)

            async def again(reader, writer, token):
                writer.write(token[::-1])
                await writer.drain()
                ok = await reader.readexactly(16) == token[::-1]
                writer.close()
                return ok

            held = await asyncio.gather(*(again(*entry) for entry in opened), return_exceptions=True)
            self.assertEqual([r for r in held if r is not True], [], "held sessions stopped relaying")

        self.loop.run_until_complete(asyncio.wait_for(run(), 120))
        self.assert_settles()

    def test_peers_that_stall_reset_and_vanish(self):
        size = 2 * MIB

        async def run():
            jobs = []
            for route in self.routes + [self.http_route]:
                jobs += [("clean", route, load.download(route, size)) for _ in range(4)]
                jobs += [("upload", route, load.upload(route, size)) for _ in range(2)]
                jobs += [("client stalls", route, load.download(route, size, client="stall"))]
                jobs += [("client resets", route, load.download(route, size, client="reset"))]
                jobs += [("client vanishes", route, load.download(route, size, client="vanish"))]
                jobs += [("origin stalls", route, load.download(route, size, mode=load.STALL))]
                jobs += [("origin resets", route, load.download(route, size, mode=load.RESET))]
                jobs += [("origin vanishes", route, load.download(route, size, mode=load.VANISH))]
            # A session that sits through all of it.
            jobs += [("held", route, load.echo_session(route, 10, 0.3)) for route in self.routes]
            results = await asyncio.gather(*(job for _, _, job in jobs), return_exceptions=True)
            for (what, route, _), result in zip(jobs, results):
                with self.subTest(what=what, route=route.kind):
                    self.assertNotIsInstance(result, BaseException, repr(result))
                    if what == "upload":
                        self.assertEqual(result, "ok")
                        continue
                    if what == "held":
                        self.assertTrue(result)
                        continue
                    checker, clean = result
                    self.assertTrue(checker.intact, "a byte arrived wrong")
                    if what in ("clean", "client stalls", "origin stalls"):
                        self.assertEqual(checker.received, size)
                        self.assertTrue(clean)
                    elif what == "origin vanishes":
                        self.assertEqual(checker.received, size // 2, "what the origin sent before it left")
                        self.assertTrue(clean)
                    elif what == "origin resets":
                        # A reset throws away what the origin's kernel had not sent yet.
                        self.assertLessEqual(checker.received, size // 2)
            self.assertEqual(self.origin.bad_uploads + self.http_origin.bad_uploads, 0)

        started = time.monotonic()
        self.loop.run_until_complete(asyncio.wait_for(run(), 120))
        self.assertLess(time.monotonic() - started, 120)
        self.assert_settles()


if __name__ == "__main__":
    e2e.enter_namespace()
    e2e.main()
