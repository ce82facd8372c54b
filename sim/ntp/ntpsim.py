#!/usr/bin/env python3
"""NTP simulator: an SNTP server on a loopback UDP port for the desk.

It stands in for the public NTP pool that the daemon's ntpd asks on European
networks. Its time is the desk's real time moved by an offset, and what it
answers is data: a good answer, none, a kiss-o'-death, an unsynchronised
server, or a date of its own.

Run:
    python3 sim/ntp/ntpsim.py [--host 127.0.0.1] [--port 0] [--control PATH]
        [--set offset_s=-3600 ...]

--port 0 takes a free port (the daemon's BusyBox ntpd always asks port 123:
a test that runs it binds 127.0.0.x:123, as root). When ready it prints one
JSON line on stdout:
    {"ready": true, "host": "127.0.0.1", "port": 123, "control": PATH, "pid": N}

Control commands, one line in and one line out on the Unix socket PATH
(answers start with "OK" or "ERR"):
    set KEY VALUE     change one key (below)
    get               the keys, as JSON
    counters          {"requests": N, "answered": N}
    quit

Keys (the behaviours, as data):
    answer      "ok" (default), "silent" (no answer), "kod" (a kiss-o'-death:
                stratum 0, code RATE), "unsynced" (leap bits 3, stratum 16)
    offset_s    seconds added to the desk's time in every answer (default 0)
    epoch       when set (seconds since 1970), the server's clock starts at
                this instant when the key is set and runs on from there
                (a server that gives a wrong date)
    drop_first  this many requests go unanswered before the first answer
    stratum     the stratum of a good answer (default 2)
"""

import argparse
import json
import os
import socket
import struct
import sys
import tempfile
import threading
import time

NTP_EPOCH = 2208988800  # seconds from 1900 to 1970

DEFAULTS = {"answer": "ok", "offset_s": 0.0, "epoch": None, "drop_first": 0, "stratum": 2}


def ntp_stamp(t):
    secs = int(t)
    frac = int((t - secs) * (1 << 32)) & 0xFFFFFFFF
    return struct.pack("!II", (secs + NTP_EPOCH) & 0xFFFFFFFF, frac)


class Server:
    def __init__(self, keys):
        self.keys = dict(DEFAULTS)
        self.lock = threading.Lock()
        self.requests = 0
        self.answered = 0
        self.epoch_set_at = time.time()
        for k, v in keys.items():
            self.set(k, v)

    def set(self, key, value):
        if key not in DEFAULTS:
            raise ValueError("unknown key " + key)
        if key == "answer":
            if value not in ("ok", "silent", "kod", "unsynced"):
                raise ValueError("answer: ok, silent, kod or unsynced")
        elif key == "epoch":
            value = None if value in (None, "", "none", "null") else float(value)
            self.epoch_set_at = time.time()
        elif key in ("drop_first", "stratum"):
            value = int(value)
        else:
            value = float(value)
        with self.lock:
            self.keys[key] = value

    def now(self):
        with self.lock:
            k = dict(self.keys)
            set_at = self.epoch_set_at
        real = time.time()
        base = k["epoch"] + (real - set_at) if k["epoch"] is not None else real
        return base + k["offset_s"]

    # A client's request (48 bytes or more, mode 3) -> the answer, or None.
    def reply(self, data):
        if len(data) < 48:
            return None
        with self.lock:
            self.requests += 1
            if self.keys["drop_first"] > 0:
                self.keys["drop_first"] -= 1
                return None
            answer = self.keys["answer"]
            stratum = self.keys["stratum"]
        if answer == "silent":
            return None
        version = (data[0] >> 3) & 7 or 4
        received = self.now()
        leap, ref = 0, b"DESK"
        if answer == "kod":
            stratum, ref = 0, b"RATE"
        elif answer == "unsynced":
            leap, stratum = 3, 16
        head = struct.pack("!BBbb", (leap << 6) | (version << 3) | 4, stratum, data[2], -20)
        # root delay and dispersion: a few milliseconds, as a near server
        head += struct.pack("!II", 0x00000100, 0x00000100) + ref
        out = head + ntp_stamp(received - 16) + data[40:48] + ntp_stamp(received) + ntp_stamp(self.now())
        with self.lock:
            self.answered += 1
        return out


def control_loop(server, path, stop):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(path)
    sock.listen(4)
    while not stop.is_set():
        conn, _ = sock.accept()
        with conn:
            line = conn.makefile("r").readline().strip()
            words = line.split(None, 2)
            try:
                if not words:
                    out = "ERR empty"
                elif words[0] == "set" and len(words) == 3:
                    value = words[2]
                    try:
                        value = json.loads(value)
                    except ValueError:
                        pass
                    server.set(words[1], value)
                    out = "OK"
                elif words[0] == "get":
                    with server.lock:
                        out = "OK " + json.dumps(server.keys)
                elif words[0] == "counters":
                    with server.lock:
                        out = "OK " + json.dumps({"requests": server.requests, "answered": server.answered})
                elif words[0] == "quit":
                    out = "OK"
                    stop.set()
                else:
                    out = "ERR unknown command"
            except ValueError as e:
                out = "ERR " + str(e)
            conn.sendall((out + "\n").encode())
    os._exit(0)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--control", default=None)
    ap.add_argument("--set", action="append", default=[], metavar="KEY=VALUE")
    args = ap.parse_args()

    keys = {}
    for kv in args.set:
        k, _, v = kv.partition("=")
        keys[k] = v
    try:
        server = Server(keys)
    except ValueError as e:
        print(json.dumps({"ready": False, "error": str(e)}), flush=True)
        return 2
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        udp.bind((args.host, args.port))
    except OSError as e:
        # The test that needs port 123 skips with this reason.
        print(json.dumps({"ready": False, "error": "cannot bind %s:%d: %s" % (args.host, args.port, e.strerror)}),
              flush=True)
        return 1
    control = args.control or os.path.join(tempfile.mkdtemp(prefix="ntpsim."), "ntp.ctl")
    if os.path.exists(control):
        os.unlink(control)
    stop = threading.Event()
    threading.Thread(target=control_loop, args=(server, control, stop), daemon=True).start()
    while not os.path.exists(control):
        time.sleep(0.01)
    print(json.dumps({"ready": True, "host": args.host, "port": udp.getsockname()[1], "control": control,
                      "pid": os.getpid()}), flush=True)
    while not stop.is_set():
        data, peer = udp.recvfrom(512)
        out = server.reply(data)
        if out is not None:
            udp.sendto(out, peer)
    return 0


if __name__ == "__main__":
    sys.exit(main())
