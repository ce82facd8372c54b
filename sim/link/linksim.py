#!/usr/bin/env python3
"""Link simulator: a TCP relay on loopback that plays a cellular link.

It sits between a client (the daemon, PicTrimApp) and a server (the cloud
simulator) and gives the traffic a rate per direction (a shared token bucket,
as on one radio), a one-way delay, stalls (no bytes move for a while), drops
(every open connection reset) and refused connections. All connections share
the link, so two transfers at once each get part of the rate.

Run:
    python3 sim/link/linksim.py --to 127.0.0.1:PORT [--profile one-bar]
        [--set up_bps=32000 ...] [--control PATH] [--gate-modem ROOT/tmp/modem_sim.ctl]

When ready it prints one JSON line on stdout:
    {"ready": true, "port": 40125, "to": "127.0.0.1:PORT", "control": PATH, "pid": N}

Control commands, one line in and one line out on the Unix socket PATH
(default: a socket beside nothing, printed in the ready line; answers start
with "OK" or "ERR"):
    profile NAME          switch to a named profile (PROFILES below); the
                          periodic stalls and drops restart from now
    set KEY VALUE         change one key of the running profile
    get                   the running profile, as JSON
    stall SECONDS [up|down|both]
                          no byte moves in that direction for SECONDS from now
                          (default both); "stall 0" ends a stall
    drop                  reset every open connection now
    drop after BYTES      reset the connection that carries the BYTES-th byte
                          (client to server) from now on; once
    cut PLACE             reset the connection of the next request that
                          reaches PLACE (below); once. "cut off" disarms it
    cuts CHANCE PLACES [SEED]
                          from now on each request is cut with that chance
                          (0..1) at one of PLACES (comma-separated), drawn
                          from SEED; "cuts 0 -" ends it
    refuse SECONDS        reset every new connection for SECONDS
    counters              the counters, as JSON (see below)
    reset                 zero the counters
    gate on [PATH]|off    carry traffic only while the modem simulator (its control
                          socket PATH, default --gate-modem) holds a data call
    quit

Profile keys (every key optional; 0 means "no limit" or "never"):
    up_bps, down_bps      rate client->server and server->client, bits per second
    delay_ms              one-way delay, each direction
    stall_every_s, stall_s
                          a stall of stall_s every stall_every_s seconds (first one
                          stall_every_s after the profile starts)
    drop_every_s          every open connection reset this often
    drop_after_bytes      each connection is reset once it carried this many bytes
                          client to server
    buffer_bytes          bytes the link holds in flight per direction beyond one
                          round trip of the rate (the radio's queue)

Resets placed by data (cut, cuts, --log): the relay reads the TLS record
headers (plain text) of what it carries. A request is the client's first
application-data record after the server's answer (or after the handshake),
and it goes on until the server's next application-data record, the answer.
Records shorter than a request line (the TLS 1.3 Finished, alerts) are not
data. PLACES:
    before    the request's first record arrives: nothing of it is passed
              on, the server never sees the request
    headers   its first record (the headers) is passed on, the reset falls
              as the first body record arrives: the server has the request
              and no byte of its body
    body      mid-body: the headers and 1..3 body records (drawn) are passed
              on, the reset falls as the next one arrives
    end       right after the last byte of the body: the server has the
              whole request and answered, the answer's first record is
              dropped and both sides reset
    answer    during the answer: half of its first record reaches the client
A place a request never reaches (a HEAD has no body) leaves it whole, and
the cut waits for the connection's next request (or the next request on the
link). On a TLS 1.3 connection the
server's session tickets (at most two records under 400 bytes) may come
while the first request goes up; they are not taken for its answer.
--log FILE writes one JSON line per event: "open", "request" (conn, req),
"answer" (with the request's bytes up: what the client handed the link),
"cut" (place, bytes of the request passed on), "close" (bytes each way).

Counters: {"bytes_up": N, "bytes_down": N, "connections": N, "open": N,
           "refused": N, "resets": N, "busy_s": F, "stalls": N, "up_s": F,
           "requests": N, "cuts": {PLACE: N}}
    bytes are those delivered to the far side; busy_s is the time any byte
    was in flight on the link (sending or in the delay); up_s is the time
    since the counters started.

Gate (--gate-modem or "gate on"): the modem simulator's control socket is
asked "get manager.call.state" every 200 ms; an answer of "OK 1" means the
data call is up. While it is down (any other answer, or no socket) new
connections are reset at once and open ones are reset.
"""

import argparse
import asyncio
import json
import os
import random
import socket
import struct
import sys
import tempfile
import time

PROFILES = {
    "lan": {},
    "three-bars": {"up_bps": 2_000_000, "down_bps": 8_000_000, "delay_ms": 30},
    "one-bar": {"up_bps": 48_000, "down_bps": 200_000, "delay_ms": 300,
                "stall_every_s": 180, "stall_s": 20},
    "edge": {"up_bps": 16_000, "down_bps": 48_000, "delay_ms": 600,
             "drop_every_s": 120},
}

KEYS = ("up_bps", "down_bps", "delay_ms", "stall_every_s", "stall_s", "drop_every_s",
        "drop_after_bytes", "buffer_bytes")

# The radio's queue. What the relay holds is acknowledged to the sender at
# once (a radio's queue stays unacknowledged in the sender's socket), so it
# is kept modest.
DEFAULT_BUFFER = 8 * 1024
GATE_POLL_S = 0.2
READ_AHEAD = 2048

RESET = object()  # a queue entry: reset the connection once what precedes is delivered
PLACES = ("before", "headers", "body", "end", "answer")
TLS_DATA = 23
# The shortest HTTP request or answer in a record: a TLS 1.3 Finished
# (up to 48 bytes of hash, its type and a 16-byte tag) or an alert is less.
MIN_DATA_RECORD = 90
# A TLS 1.3 server sends up to two session tickets (OpenSSL's default) of
# about 280 bytes once it has the client's Finished, often while the first
# request goes up; an HTTP answer of a tus server is longer (its
# Access-Control-Expose-Headers alone is about 400 bytes).
TLS13_TICKETS = 2
TICKET_MAX = 400


def now():
    return time.monotonic()


class Direction:
    """One direction of the link: its rate, when it is next free, its stall."""

    def __init__(self, link, key):
        self.link = link
        self.key = key
        self.free_at = 0.0
        self.stalled_until = 0.0
        # Seconds of stall so far: what was queued when a stall began is
        # delivered that much later, so a stall costs the link its whole
        # length instead of letting the queue burst out when it ends.
        self.shift = 0.0

    def bps(self):
        return float(self.link.profile.get(self.key, 0) or 0)

    def schedule(self, n):
        """When n bytes read now reach the far side."""
        t = now()
        delay = self.link.profile.get("delay_ms", 0) / 1000.0
        # A stall holds delivery back; what queues meanwhile goes out at the
        # link's rate once it ends (free_at moved on with the stall).
        start = max(t, self.free_at, self.stalled_until)
        rate = self.bps()
        end = start + (n * 8.0 / rate if rate > 0 else 0.0)
        self.free_at = end
        self.link.mark_busy(t, end + delay)
        return end + delay

    def window(self):
        rate = self.bps()
        if rate <= 0:
            return 1 << 20
        delay = self.link.profile.get("delay_ms", 0) / 1000.0
        buf = self.link.profile.get("buffer_bytes", DEFAULT_BUFFER) or DEFAULT_BUFFER
        return int(rate / 8 * 2 * delay) + buf

    def chunk(self):
        rate = self.bps()
        if rate <= 0:
            return 65536
        # About 50 ms of the rate: fine enough that the pace looks smooth.
        return max(256, min(16384, int(rate / 8 / 20)))


class Records:
    """Finds where TLS records start in one direction of a connection."""

    def __init__(self):
        self.head = bytearray()
        self.left = 0  # bytes of the current record's payload still to come

    def feed(self, data):
        """(index in data where a record began, its type, its payload length)
        for each record header completed in data; the index is 0 for a header
        that began in an earlier chunk."""
        found = []
        i, n = 0, len(data)
        start = 0
        while i < n:
            if self.left > 0:
                step = min(self.left, n - i)
                self.left -= step
                i += step
                continue
            if not self.head:
                start = i
            take = min(5 - len(self.head), n - i)
            self.head += data[i:i + take]
            i += take
            if len(self.head) == 5:
                kind, length = self.head[0], (self.head[3] << 8) | self.head[4]
                found.append((start, kind, length))
                self.head = bytearray()
                self.left = length
        return found


class Conn:
    def __init__(self, link, creader, cwriter):
        self.link = link
        self.creader, self.cwriter = creader, cwriter
        self.sreader = self.swriter = None
        self.up_bytes = 0
        self.down_bytes = 0
        self.closed = False
        self.tasks = []
        self.id = 0
        self.up_records, self.down_records = Records(), Records()
        self.up_any = False    # the client sent an application-data record
        self.tls13 = False     # the server sent application data first
        self.tickets = 0       # TLS 1.3 session tickets still to come
        self.phase = "idle"    # idle, request (going up) or answer (coming down)
        self.req = 0           # requests on this connection so far
        self.req_records = 0   # data records of the current request
        self.req_bytes = 0     # bytes of the current request passed on
        self.plan = None       # (place, body records to pass) of the current request

    def reset(self):
        """Both sides see a reset (RST), as when the radio loses the bearer."""
        if self.closed:
            return
        self.closed = True
        for w in (self.cwriter, self.swriter):
            if w is None:
                continue
            sock = w.get_extra_info("socket")
            try:
                if sock is not None:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass
            w.transport.abort()
        for t in self.tasks:
            t.cancel()


class Link:
    def __init__(self, target, profile_name, overrides):
        self.target = target
        self.up = Direction(self, "up_bps")
        self.down = Direction(self, "down_bps")
        self.conns = set()
        self.refuse_until = 0.0
        self.drop_after = None  # [bytes left] of a one-shot "drop after"
        self.armed = None       # the place of a one-shot "cut"
        self.pending = None     # a drawn place the last request did not reach
        self.cut_chance = 0.0
        self.cut_places = ()
        self.rng = random.Random(0)
        self.next_conn = 0
        self.log = None
        self.gate = None
        self.gate_path = None
        self.gate_asked = 0
        self.gate_up = True
        self.set_profile(profile_name, overrides)
        self.zero()

    def zero(self):
        self.counters = {"bytes_up": 0, "bytes_down": 0, "connections": 0, "refused": 0,
                         "resets": 0, "stalls": 0, "requests": 0, "cuts": {}}
        self.busy = 0.0
        self.busy_edge = 0.0
        self.started = now()

    def set_profile(self, name, overrides=None):
        if name not in PROFILES:
            raise ValueError("no profile %r (have: %s)" % (name, ", ".join(PROFILES)))
        self.profile_name = name
        self.profile = dict(PROFILES[name])
        self.profile.update(overrides or {})
        self.profile_start = now()
        self.next_stall = self.next_drop = None
        self.plan()

    def plan(self):
        t = now()
        every = self.profile.get("stall_every_s", 0)
        self.next_stall = t + every if every and self.profile.get("stall_s", 0) else None
        every = self.profile.get("drop_every_s", 0)
        self.next_drop = t + every if every else None

    def set_cuts(self, chance, places, seed=0):
        chosen = () if places == "-" else tuple(places.split(","))
        for p in chosen:
            if p not in PLACES:
                raise ValueError("no place %r (have: %s)" % (p, ", ".join(PLACES)))
        if not 0 <= chance <= 1:
            raise ValueError("a chance is 0..1")
        self.cut_chance, self.cut_places = chance, chosen
        self.rng = random.Random(seed)

    def mark_busy(self, start, end):
        if end <= self.busy_edge:
            return
        self.busy += end - max(start, self.busy_edge)
        self.busy_edge = end

    def stall(self, seconds, which="both", replace=False):
        """No byte moves for `seconds`; `replace` (the control command) may also
        shorten or end a stall under way ("stall 0")."""
        t = now()
        until = t + seconds
        dirs = {"up": [self.up], "down": [self.down], "both": [self.up, self.down]}[which]
        for d in dirs:
            old = max(d.stalled_until, t)
            d.stalled_until = until if replace else max(d.stalled_until, until)
            # The dead time added (or, for a shortened stall, taken back) from now.
            delta = max(d.stalled_until, t) - old
            d.shift += delta
            if d.free_at > t:
                d.free_at = max(t, d.free_at + delta)
        if seconds > 0:
            self.counters["stalls"] += 1

    def drop_all(self):
        for c in list(self.conns):
            self.reset(c)

    def reset(self, conn):
        if not conn.closed:
            self.counters["resets"] += 1
        conn.reset()
        self.conns.discard(conn)

    def snapshot(self):
        c = dict(self.counters)
        c["cuts"] = dict(self.counters["cuts"])
        c["open"] = len(self.conns)
        c["busy_s"] = round(self.busy, 3)
        c["up_s"] = round(now() - self.started, 3)
        c["profile"] = self.profile_name
        return c

    def carrying(self):
        return self.gate is None or self.gate_up

    # --- relaying -------------------------------------------------------

    async def serve_client(self, creader, cwriter):
        conn = Conn(self, creader, cwriter)
        t = now()
        if t < self.refuse_until or not self.carrying():
            self.counters["refused"] += 1
            conn.reset()
            return
        host, port = self.target
        try:
            conn.sreader, conn.swriter = await asyncio.open_connection(host, port)
        except OSError:
            self.counters["refused"] += 1
            conn.reset()
            return
        for w in (cwriter, conn.swriter):
            sock = w.get_extra_info("socket")
            if sock is not None:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.counters["connections"] += 1
        self.next_conn += 1
        conn.id = self.next_conn
        self.event(conn, "open")
        self.conns.add(conn)
        up = asyncio.ensure_future(self.pump(conn, creader, conn.swriter, self.up, True))
        down = asyncio.ensure_future(self.pump(conn, conn.sreader, cwriter, self.down, False))
        conn.tasks = [up, down]
        try:
            await asyncio.gather(up, down, return_exceptions=True)
        except asyncio.CancelledError:
            pass
        self.conns.discard(conn)
        if not conn.closed:
            self.unreached(conn)
        self.event(conn, "close", up=conn.up_bytes, down=conn.down_bytes)
        if not conn.closed:
            conn.closed = True
            for w in (cwriter, conn.swriter):
                w.close()

    async def pump(self, conn, reader, writer, direction, is_up):
        queue = asyncio.Queue()
        in_flight = [0]

        async def deliver():
            while True:
                at, shift, data = await queue.get()
                if data is RESET:
                    # A placed cut: what came before it has been delivered.
                    while max(at + direction.shift - shift, direction.stalled_until) > now():
                        await asyncio.sleep(0.01)
                    self.reset(conn)
                    return
                if data is None:
                    try:
                        if writer.can_write_eof():
                            writer.write_eof()
                    except OSError:
                        pass
                    return
                while True:
                    due = at + direction.shift - shift
                    wait = max(due, direction.stalled_until) - now()
                    if wait <= 0:
                        break
                    # Short naps: a stall may end (or start) meanwhile.
                    await asyncio.sleep(min(wait, 0.05))
                writer.write(data)
                try:
                    await writer.drain()
                except (ConnectionError, OSError):
                    self.reset(conn)
                    return
                in_flight[0] -= len(data)
                self.counters["bytes_up" if is_up else "bytes_down"] += len(data)

        sender = asyncio.ensure_future(deliver())
        conn.tasks.append(sender)
        try:
            while True:
                # Hold back what the link cannot take yet, so the sender's own
                # socket fills and it sees the link's pace, as on a radio.
                while in_flight[0] >= direction.window():
                    await asyncio.sleep(0.01)
                try:
                    data = await reader.read(direction.chunk())
                except (ConnectionError, OSError):
                    self.reset(conn)
                    return
                if not data:
                    queue.put_nowait((0, direction.shift, None))
                    break
                if is_up:
                    data = self.count_up(conn, data)
                    if data is None:
                        return
                cut = self.place_cut(conn, data, is_up)
                if cut is not None:
                    data = data[:cut]
                if is_up:
                    conn.req_bytes += len(data)
                else:
                    conn.down_bytes += len(data)
                in_flight[0] += len(data)
                queue.put_nowait((direction.schedule(len(data)), direction.shift, data))
                if cut is not None:
                    queue.put_nowait((direction.schedule(0), direction.shift, RESET))
                    break
            await sender
        except asyncio.CancelledError:
            sender.cancel()

    def event(self, conn, what, **more):
        if self.log is None:
            return
        line = {"t": round(now() - self.started, 3), "conn": conn.id, "event": what}
        if conn.req:
            line["req"] = conn.req
        line.update(more)
        self.log.write(json.dumps(line) + "\n")
        self.log.flush()

    def draw(self):
        """The plan of a request that starts now: (place, body records) or None."""
        place = None
        if self.armed is not None:
            place = self.armed
        elif self.pending is not None:
            place, self.pending = self.pending, None
        elif self.cut_chance > 0 and self.cut_places and self.rng.random() < self.cut_chance:
            place = self.rng.choice(self.cut_places)
        if place is None:
            return None
        return (place, self.rng.randint(1, 3) if place == "body" else 0)

    def unreached(self, conn):
        """A request ends whole: a drawn place it did not reach goes to the next."""
        if conn.plan is not None and self.armed is None:
            self.pending = conn.plan[0]
        conn.plan = None

    def fired(self, conn, place, passing=0):
        """A placed cut falls; `passing` bytes of the chunk at hand still go up."""
        conn.plan = None
        if self.armed == place:
            self.armed = None
        cuts = self.counters["cuts"]
        cuts[place] = cuts.get(place, 0) + 1
        self.event(conn, "cut", place=place, up=conn.req_bytes + passing)

    def place_cut(self, conn, data, is_up):
        """Follows the requests and answers of a connection by its TLS records;
        returns how many bytes of data to pass on before a placed reset, or
        None to pass them all."""
        records = conn.up_records if is_up else conn.down_records
        for start, kind, length in records.feed(data):
            if kind != TLS_DATA:
                continue
            if is_up:
                conn.up_any = True
            if length < MIN_DATA_RECORD:
                continue
            if not is_up:
                if not conn.up_any:
                    # Encrypted handshake: TLS 1.3, whose server sends its
                    # session tickets after the client's Finished.
                    conn.tls13 = True
                    conn.tickets = TLS13_TICKETS
                    continue
                if conn.tickets > 0 and length < TICKET_MAX and conn.req <= 1:
                    conn.tickets -= 1
                    continue
                if conn.phase != "request":
                    continue
                self.event(conn, "answer", up=conn.req_bytes)
                conn.phase = "answer"
                plan = conn.plan
                if plan is None or plan[0] not in ("end", "answer"):
                    continue
                self.fired(conn, plan[0])
                return start if plan[0] == "end" else start + 5 + length // 2
            if conn.phase != "request":
                self.unreached(conn)
                conn.phase = "request"
                conn.req += 1
                conn.req_records = 0
                conn.req_bytes = 0
                self.counters["requests"] += 1
                conn.plan = self.draw()
                self.event(conn, "request", plan=conn.plan[0] if conn.plan else None)
            conn.req_records += 1
            plan = conn.plan
            if plan is None:
                continue
            place, passed = plan
            if ((place == "before" and conn.req_records == 1) or
                    (place == "headers" and conn.req_records == 2) or
                    (place == "body" and conn.req_records == passed + 2)):
                self.fired(conn, place, start)
                return start
        return None

    def count_up(self, conn, data):
        """Applies the byte-count drops; returns the bytes to pass on, or None."""
        limit = self.profile.get("drop_after_bytes", 0)
        if limit and conn.up_bytes + len(data) >= limit:
            self.reset(conn)
            return None
        if self.drop_after is not None:
            self.drop_after -= len(data)
            if self.drop_after <= 0:
                self.drop_after = None
                self.reset(conn)
                return None
        conn.up_bytes += len(data)
        return data

    # --- time-driven events --------------------------------------------

    async def ticker(self):
        while True:
            await asyncio.sleep(0.05)
            t = now()
            if self.next_stall is not None and t >= self.next_stall:
                self.stall(self.profile.get("stall_s", 0))
                self.next_stall = t + self.profile["stall_every_s"]
            if self.next_drop is not None and t >= self.next_drop:
                self.drop_all()
                self.next_drop = t + self.profile["drop_every_s"]

    async def gate_poll(self):
        while True:
            if self.gate is not None:
                asked = self.gate_asked = self.gate_asked + 1
                up = await asyncio.get_running_loop().run_in_executor(None, call_up, self.gate)
                # A "gate" command answered meanwhile knows better.
                if asked == self.gate_asked:
                    if self.gate_up and not up:
                        self.drop_all()
                    self.gate_up = up
            await asyncio.sleep(GATE_POLL_S)

    # --- control --------------------------------------------------------

    def command(self, line):
        words = line.split()
        if not words:
            return "ERR empty"
        cmd, args = words[0], words[1:]
        try:
            if cmd == "profile" and len(args) == 1:
                self.set_profile(args[0])
                return "OK " + json.dumps(self.profile)
            if cmd == "set" and len(args) == 2 and args[0] in KEYS:
                self.profile[args[0]] = float(args[1])
                self.plan()
                return "OK " + json.dumps(self.profile)
            if cmd == "get":
                return "OK " + json.dumps(dict(self.profile, name=self.profile_name))
            if cmd == "stall" and len(args) in (1, 2):
                self.stall(float(args[0]), args[1] if len(args) == 2 else "both", replace=True)
                return "OK"
            if cmd == "drop" and not args:
                n = len(self.conns)
                self.drop_all()
                return "OK %d" % n
            if cmd == "drop" and len(args) == 2 and args[0] == "after":
                self.drop_after = int(args[1])
                return "OK"
            if cmd == "cut" and args == ["off"]:
                self.armed = None
                return "OK"
            if cmd == "cut" and len(args) == 1:
                if args[0] not in PLACES:
                    return "ERR no place %r (have: %s)" % (args[0], ", ".join(PLACES))
                self.armed = args[0]
                return "OK"
            if cmd == "cuts" and len(args) in (2, 3):
                self.set_cuts(float(args[0]), args[1], int(args[2]) if len(args) == 3 else 0)
                return "OK"
            if cmd == "refuse" and len(args) == 1:
                self.refuse_until = now() + float(args[0])
                return "OK"
            if cmd == "counters":
                return "OK " + json.dumps(self.snapshot())
            if cmd == "reset":
                self.zero()
                return "OK"
            if cmd == "gate" and args == ["off"]:
                self.gate = None
                return "OK"
            if cmd == "gate" and args[:1] == ["on"] and len(args) <= 2:
                path = args[1] if len(args) == 2 else self.gate_path
                if not path:
                    return "ERR no modem control socket (gate on PATH, or --gate-modem)"
                self.gate_path = path
                self.gate_asked += 1
                self.gate_up = call_up(path)
                self.gate = path
                if not self.gate_up:
                    self.drop_all()
                return "OK %s" % ("up" if self.gate_up else "down")
        except (ValueError, KeyError) as e:
            return "ERR %s" % e
        return "ERR unknown command: %s" % line.strip()


def call_up(path):
    """True when the modem simulator says its data call is up."""
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(1.0)
            s.connect(path)
            s.sendall(b"get manager.call.state\n")
            answer = b""
            while not answer.endswith(b"\n"):
                part = s.recv(256)
                if not part:
                    break
                answer += part
        return answer.strip() == b"OK 1"
    except OSError:
        return False


async def control_client(link, reader, writer, stop):
    try:
        while True:
            line = await reader.readline()
            if not line:
                break
            text = line.decode(errors="replace").strip()
            if text == "quit":
                writer.write(b"OK\n")
                await writer.drain()
                stop.set()
                break
            writer.write((link.command(text) + "\n").encode())
            await writer.drain()
    except (ConnectionError, OSError, asyncio.CancelledError):
        pass
    finally:
        writer.close()


def parse_overrides(items):
    out = {}
    for item in items or []:
        key, _, value = item.partition("=")
        if key not in KEYS or not value:
            raise SystemExit("linksim: bad --set %r (keys: %s)" % (item, ", ".join(KEYS)))
        out[key] = float(value)
    return out


async def main_async(args):
    host, _, port = args.to.rpartition(":")
    link = Link((host or "127.0.0.1", int(port)), args.profile, parse_overrides(args.set))
    if args.cuts:
        chance, places, seed = (args.cuts.split(":") + ["0"])[:3]
        link.set_cuts(float(chance), places, int(seed))
    if args.log:
        link.log = open(args.log, "a")
    if args.gate_modem:
        link.gate = link.gate_path = args.gate_modem
        link.gate_up = call_up(args.gate_modem)

    lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # A modest receive buffer, set before listening so the window is small
    # from the start: the sender's socket, not ours, holds what waits.
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 * 1024)
    lsock.bind((args.bind, args.port))
    lsock.listen(64)
    # asyncio reads ahead into its own buffer up to twice `limit` (128 KiB by
    # default), all of it acknowledged to the sender: keep that small, so the
    # sender's own socket holds what waits, as a radio's queue would.
    server = await asyncio.start_server(link.serve_client, sock=lsock, limit=READ_AHEAD)

    control = args.control
    tmpdir = None
    if not control:
        tmpdir = tempfile.mkdtemp(prefix="linksim.")
        control = os.path.join(tmpdir, "link.ctl")
    if os.path.exists(control):
        os.unlink(control)
    stop = asyncio.Event()
    ctl = await asyncio.start_unix_server(lambda r, w: control_client(link, r, w, stop), path=control)

    tasks = [asyncio.ensure_future(link.ticker()), asyncio.ensure_future(link.gate_poll())]
    ready = {"ready": True, "port": lsock.getsockname()[1], "to": args.to, "control": control,
             "profile": link.profile_name, "pid": os.getpid()}
    print(json.dumps(ready), flush=True)
    loop = asyncio.get_running_loop()
    import signal
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    for t in tasks:
        t.cancel()
    link.drop_all()
    server.close()
    ctl.close()
    try:
        os.unlink(control)
        if tmpdir:
            os.rmdir(tmpdir)
    except OSError:
        pass


def main(argv=None):
    p = argparse.ArgumentParser(description="Link simulator: a shaping TCP relay on loopback.")
    p.add_argument("--to", required=True, help="HOST:PORT of the server behind the link")
    p.add_argument("--profile", default="lan", help="named profile: " + ", ".join(PROFILES))
    p.add_argument("--set", action="append", metavar="KEY=VALUE", help="change one profile key")
    p.add_argument("--port", type=int, default=0, help="port to listen on (0: a free one)")
    p.add_argument("--bind", default="127.0.0.1")
    p.add_argument("--control", help="Unix socket for control commands")
    p.add_argument("--gate-modem", help="modem simulator control socket: carry traffic only during its data call")
    p.add_argument("--cuts", metavar="CHANCE:PLACES:SEED",
                   help="cut requests at placed points from the start (as the cuts command)")
    p.add_argument("--log", help="append one JSON line per connection, request, answer and cut")
    args = p.parse_args(argv)
    if args.profile not in PROFILES:
        p.error("no profile %r (have: %s)" % (args.profile, ", ".join(PROFILES)))
    asyncio.run(main_async(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
