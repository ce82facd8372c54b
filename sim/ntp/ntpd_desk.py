#!/usr/bin/env python3
"""The desk's `ntpd -nNqp HOST`: BusyBox ntpd's query-once for a test's PATH.

The daemon runs "ntpd -nNqp europe.pool.ntp.org" once on European networks.
On the desk this stand-in asks the NTP simulator named by $TN_NTP_SERVER
(HOST:PORT, sim/ntp/ntpsim.py) in place of HOST, by SNTP, sets the clock with
`date -u -s` (found on PATH: the tests' stand-in, which moves only the
daemon's virtual clock) and exits 0. Like ntpd -q it asks again every 2 s
while no good answer comes, until it is killed.
"""

import os
import socket
import struct
import subprocess
import sys
import time

NTP_EPOCH = 2208988800


def ask(host, port):
    req = b"\x23" + b"\0" * 47  # version 4, client
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(2)
        s.sendto(req, (host, port))
        data, _ = s.recvfrom(512)
    if len(data) < 48:
        return None
    leap, mode, stratum = data[0] >> 6, data[0] & 7, data[1]
    # An unsynchronised server or a kiss-o'-death is no answer.
    if mode != 4 or leap == 3 or stratum == 0 or stratum >= 16:
        return None
    secs, frac = struct.unpack("!II", data[40:48])
    return secs - NTP_EPOCH + frac / 2**32


def main():
    server = os.environ.get("TN_NTP_SERVER", "")
    host, _, port = server.rpartition(":")
    if not host:
        print("ntpd: TN_NTP_SERVER is not set", file=sys.stderr)
        return 1
    while True:
        try:
            t = ask(host, int(port))
        except OSError:
            t = None
        if t is not None:
            stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(round(t)))
            print("ntpd: setting time to %s" % stamp, flush=True)
            return subprocess.call(["date", "-u", "-s", stamp], stdout=subprocess.DEVNULL)
        time.sleep(2)


if __name__ == "__main__":
    sys.exit(main())
