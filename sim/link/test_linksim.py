"""Checks of the link simulator against a plain TCP sink on loopback.

Timing checks are lower bounds only (a link cannot be faster than its rate),
so a busy machine cannot make them fail; every wait has a generous time-out.
"""

import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import linksim  # noqa: E402  (the placed cuts are checked on its own objects)

HERE = os.path.dirname(os.path.abspath(__file__))
WAIT = 30.0


class Sink:
    """Counts what each connection sends; answers `reply` bytes after the client's EOF."""

    def __init__(self, reply=0):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.reply = reply
        self.received = []
        self.cond = threading.Condition()
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.one, args=(c,), daemon=True).start()

    def one(self, c):
        n = 0
        with self.cond:
            self.received.append(0)
            idx = len(self.received) - 1
            self.cond.notify_all()
        try:
            while True:
                d = c.recv(65536)
                if not d:
                    break
                n += len(d)
                with self.cond:
                    self.received[idx] = n
                    self.cond.notify_all()
            if self.reply:
                c.sendall(b"r" * self.reply)
        except OSError:
            pass
        finally:
            c.close()
            with self.cond:
                self.cond.notify_all()

    def wait(self, pred):
        with self.cond:
            return self.cond.wait_for(lambda: pred(self.received), WAIT)


class Link:
    def __init__(self, target_port, *args):
        self.p = subprocess.Popen([sys.executable, os.path.join(HERE, "linksim.py"),
                                   "--to", "127.0.0.1:%d" % target_port] + list(args),
                                  stdout=subprocess.PIPE)
        self.ready = json.loads(self.p.stdout.readline())
        self.port = self.ready["port"]
        self.ctl = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.ctl.connect(self.ready["control"])
        self.ctl_file = self.ctl.makefile("r")

    def cmd(self, line):
        self.ctl.sendall((line + "\n").encode())
        return self.ctl_file.readline().strip()

    def counters(self):
        answer = self.cmd("counters")
        assert answer.startswith("OK "), answer
        return json.loads(answer[3:])

    def close(self):
        self.ctl.close()
        self.ctl_file.close()
        self.p.terminate()
        self.p.wait(WAIT)
        self.p.stdout.close()

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=WAIT)


def refused(link):
    """True when the link resets a new connection. On a busy machine the reset
    can arrive before connect() returns, so it may come from either call."""
    try:
        c = link.connect()
    except ConnectionResetError:
        return True
    try:
        return isinstance(read_all(c)[1], ConnectionResetError)
    finally:
        c.close()


def read_all(c):
    """Bytes until EOF, or the error that ended the read."""
    n = 0
    try:
        while True:
            d = c.recv(65536)
            if not d:
                return n, None
            n += len(d)
    except OSError as e:
        return n, e


class ModemControl:
    """Stands in for the modem simulator's control socket."""

    def __init__(self, path):
        self.state = "1"
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(path)
        self.sock.listen(8)
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            with c:
                line = c.makefile("r").readline()
                if line.strip() == "get manager.call.state":
                    c.sendall(("OK %s\n" % self.state).encode())
                else:
                    c.sendall(b"ERR unknown\n")


class RateAndCounters(unittest.TestCase):
    def test_rate_delay_and_counters(self):
        sink = Sink(reply=10000)
        link = Link(sink.port, "--profile", "lan", "--set", "up_bps=80000",
                    "--set", "down_bps=160000", "--set", "delay_ms=100")
        try:
            t = time.monotonic()
            c = link.connect()
            c.sendall(b"a" * 20000)
            c.shutdown(socket.SHUT_WR)
            got, err = read_all(c)
            elapsed = time.monotonic() - t
            c.close()
            self.assertIsNone(err)
            self.assertEqual(got, 10000)
            # 20000 B at 80 kbit/s is 2 s, 10000 B at 160 kbit/s 0.5 s, plus a delay each way.
            self.assertGreaterEqual(elapsed, 2.0 + 0.5 + 0.2 - 0.05)
            self.assertTrue(sink.wait(lambda r: r == [20000]))
            self.assertTrue(wait_for(lambda: link.counters()["open"] == 0))
            k = link.counters()
            self.assertEqual((k["bytes_up"], k["bytes_down"], k["connections"]), (20000, 10000, 1))
            self.assertGreaterEqual(k["busy_s"], 2.0)
            self.assertEqual(link.cmd("reset"), "OK")
            self.assertEqual(link.counters()["bytes_up"], 0)
        finally:
            link.close()

    def test_profiles_and_bad_commands(self):
        sink = Sink()
        link = Link(sink.port, "--profile", "one-bar")
        try:
            got = json.loads(link.cmd("get")[3:])
            self.assertEqual((got["name"], got["up_bps"], got["delay_ms"]), ("one-bar", 48000, 300))
            self.assertTrue(link.cmd("profile edge").startswith("OK "))
            self.assertEqual(json.loads(link.cmd("get")[3:])["name"], "edge")
            self.assertTrue(link.cmd("profile nowhere").startswith("ERR"))
            self.assertTrue(link.cmd("set nosuchkey 3").startswith("ERR"))
            self.assertTrue(link.cmd("frobnicate").startswith("ERR"))
            self.assertEqual(link.counters()["profile"], "edge")
        finally:
            link.close()
        bad = subprocess.run([sys.executable, os.path.join(HERE, "linksim.py"), "--to",
                              "127.0.0.1:1", "--profile", "nowhere"], capture_output=True)
        self.assertNotEqual(bad.returncode, 0)


def wait_for(pred, timeout=WAIT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.02)
    return False


class Faults(unittest.TestCase):
    def setUp(self):
        self.sink = Sink()
        self.link = Link(self.sink.port, "--profile", "lan", "--set", "up_bps=400000")

    def tearDown(self):
        self.link.close()

    def test_drop_after_bytes_resets_that_connection_once(self):
        self.assertEqual(self.link.cmd("drop after 5000"), "OK")
        c = self.link.connect()
        try:
            c.sendall(b"a" * 20000)
        except OSError:
            pass
        _, err = read_all(c)
        c.close()
        self.assertIsInstance(err, ConnectionResetError)
        self.assertTrue(self.sink.wait(lambda r: len(r) == 1))
        self.assertLess(self.sink.received[0], 5000)
        self.assertEqual(self.link.counters()["resets"], 1)
        # Once only: the next connection passes whole.
        c = self.link.connect()
        c.sendall(b"b" * 20000)
        c.shutdown(socket.SHUT_WR)
        self.assertEqual(read_all(c), (0, None))
        c.close()
        self.assertTrue(self.sink.wait(lambda r: len(r) == 2 and r[1] == 20000))

    def test_drop_now_and_refuse(self):
        c = self.link.connect()
        c.sendall(b"x")
        self.assertTrue(self.sink.wait(lambda r: r == [1]))
        self.assertEqual(self.link.cmd("drop"), "OK 1")
        self.assertIsInstance(read_all(c)[1], ConnectionResetError)
        c.close()
        self.assertEqual(self.link.cmd("refuse 600"), "OK")
        self.assertTrue(refused(self.link))
        self.assertEqual(self.link.counters()["refused"], 1)
        self.assertEqual(len(self.sink.received), 1)  # the refused one never reached the server
        self.link.cmd("refuse 0")
        c = self.link.connect()
        c.sendall(b"y" * 10)
        self.assertTrue(self.sink.wait(lambda r: len(r) == 2 and r[1] == 10))
        c.close()

    def test_stall_holds_bytes_until_it_ends(self):
        self.assertEqual(self.link.cmd("stall 600 up"), "OK")
        c = self.link.connect()
        c.sendall(b"s" * 3000)
        self.assertTrue(self.sink.wait(lambda r: len(r) == 1))  # the relay is through to the sink
        # Nothing may pass while the stall lasts, however long we look.
        time.sleep(0.3)
        self.assertEqual(self.sink.received, [0])
        self.assertEqual(self.link.cmd("stall 0 up"), "OK")
        self.assertTrue(self.sink.wait(lambda r: r == [3000]))
        c.close()
        self.assertEqual(self.link.counters()["stalls"], 1)


    def test_a_stall_costs_the_link_its_whole_length(self):
        # 100 kB at 50 kB/s is 2 s; a 1.5 s stall once the first bytes are
        # through must add all of its 1.5 s: what was queued waits too,
        # rather than bursting out when the stall ends.
        c = self.link.connect()
        t = time.monotonic()
        threading.Thread(target=lambda: (c.sendall(b"q" * 100000), c.shutdown(socket.SHUT_WR)),
                         daemon=True).start()
        self.assertTrue(self.sink.wait(lambda r: len(r) == 1 and r[0] > 0))
        self.assertEqual(self.link.cmd("stall 1.5 up"), "OK")
        self.assertTrue(self.sink.wait(lambda r: r == [100000]))
        self.assertGreaterEqual(time.monotonic() - t, 2.0 + 1.5 - 0.1)
        c.close()


class Gate(unittest.TestCase):
    def test_traffic_only_during_the_data_call(self):
        tmp = tempfile.mkdtemp(prefix="linkgate.")
        path = os.path.join(tmp, "modem_sim.ctl")
        modem = ModemControl(path)
        sink = Sink()
        link = Link(sink.port, "--gate-modem", path)
        try:
            c = link.connect()
            c.sendall(b"up")
            self.assertTrue(sink.wait(lambda r: r == [2]))
            modem.state = "0"  # the call drops: open connections are reset
            self.assertIsInstance(read_all(c)[1], ConnectionResetError)
            c.close()
            self.assertTrue(refused(link))  # and new ones refused
            modem.state = "1"
            self.assertTrue(wait_for(lambda: link.cmd("gate on") == "OK up"))
            c = link.connect()
            c.sendall(b"again")
            self.assertTrue(sink.wait(lambda r: len(r) == 2 and r[1] == 5))
            c.close()
            # No socket at all counts as no call.
            self.assertEqual(link.cmd("gate on %s" % os.path.join(tmp, "none.ctl")), "OK down")
            self.assertEqual(link.cmd("gate off"), "OK")
        finally:
            link.close()
            modem.sock.close()
            os.unlink(path)
            os.rmdir(tmp)


def record(kind, length):
    """A TLS record of `kind` with `length` payload bytes."""
    return bytes([kind, 3, 3, length >> 8, length & 255]) + b"\0" * length


class PlacedCuts(unittest.TestCase):
    """Where a placed reset falls, told from the TLS record headers alone,
    whatever the chunks the bytes come in (record headers split included)."""

    BODY = 4  # body records of the PATCH, 16 KiB each

    def handshake(self, tls13):
        out = [("up", record(22, 300)), ("down", record(22, 120))]
        if tls13:  # the server's encrypted flight, then the client's Finished
            out += [("down", record(23, 800)), ("up", record(20, 1)), ("up", record(23, 53))]
        return out

    def patch(self, tls13_tickets=False):
        out = [("up", record(23, 250))]
        if tls13_tickets:
            out += [("down", record(23, 282)), ("down", record(23, 282))]
        out += [("up", record(23, 16384))] * self.BODY
        return out + [("down", record(23, 500))]

    def feed(self, link, conn, steps, chunk):
        """Bytes passed on each way until a cut, and whether one fell."""
        passed = {"up": 0, "down": 0}
        for way, data in steps:
            for i in range(0, len(data), chunk):
                part = data[i:i + chunk]
                cut = link.place_cut(conn, part, way == "up")
                passed[way] += len(part) if cut is None else cut
                if cut is not None:
                    return passed, True
        return passed, False

    def test_each_place_on_a_reused_connection(self):
        whole = 5 + 250 + self.BODY * (5 + 16384)
        for chunk in (7, 1000, 65536):
            for place in linksim.PLACES:
                with self.subTest(place=place, chunk=chunk):
                    link = linksim.Link(("127.0.0.1", 9), "lan", {})
                    conn = linksim.Conn(link, None, None)
                    head = self.handshake(False) + [("up", record(23, 150)),
                                                    ("down", record(23, 500))]
                    self.assertEqual(self.feed(link, conn, head, chunk)[1], False)
                    self.assertEqual(link.command("cut " + place), "OK")
                    passed, fell = self.feed(link, conn, self.patch(), chunk)
                    self.assertTrue(fell)
                    self.assertEqual(conn.req, 2)
                    up, down = passed["up"], passed["down"]
                    if place == "before":
                        self.assertEqual((up, down), (0, 0))
                    elif place == "headers":
                        self.assertEqual((up, down), (255, 0))
                    elif place == "body":
                        body = (up - 255) // (5 + 16384)
                        self.assertEqual((up - 255) % (5 + 16384), 0)
                        self.assertIn(body, (1, 2, 3))
                    elif place == "end":
                        self.assertEqual((up, down), (whole, 0))
                    else:
                        self.assertEqual((up, down), (whole, 5 + 250))
                    self.assertEqual(link.snapshot()["cuts"], {place: 1})

    def test_a_place_a_head_cannot_reach_waits_for_the_next_request(self):
        link = linksim.Link(("127.0.0.1", 9), "lan", {})
        conn = linksim.Conn(link, None, None)
        link.command("cut headers")
        head = self.handshake(False) + [("up", record(23, 150)), ("down", record(23, 500))]
        self.assertEqual(self.feed(link, conn, head, 1000)[1], False)
        passed, fell = self.feed(link, conn, self.patch(), 1000)
        self.assertTrue(fell)
        self.assertEqual(passed["up"], 255)

    def test_tls13_session_tickets_are_not_the_answer(self):
        link = linksim.Link(("127.0.0.1", 9), "lan", {})
        conn = linksim.Conn(link, None, None)
        link.command("cut end")
        steps = self.handshake(True) + self.patch(tls13_tickets=True)
        passed, fell = self.feed(link, conn, steps, 1000)
        self.assertTrue(fell)
        self.assertEqual(conn.req, 1)
        self.assertEqual(passed["down"], (5 + 120) + (5 + 800) + 2 * (5 + 282))

    def test_seeded_cuts_repeat(self):
        def run():
            link = linksim.Link(("127.0.0.1", 9), "lan", {})
            link.set_cuts(0.5, "before,headers,body,end,answer", 7)
            return [link.draw() for _ in range(50)]
        self.assertEqual(run(), run())
        self.assertTrue(any(run()) and not all(run()))


if __name__ == "__main__":
    unittest.main()
