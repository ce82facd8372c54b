#!/usr/bin/env python3
"""One forwarded connection of the module's network: QEMU runs this for each
TCP connection the guest opens to a forwarded port (guestfwd cmd:), with the
connection on standard input and output; it joins it to 127.0.0.1:PORT on
the host and nowhere else.

    hostfwd.py PORT
"""
import os
import select
import socket
import sys


def main():
    port = int(sys.argv[-1])
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.settimeout(None)
    fin, fout = sys.stdin.fileno(), sys.stdout.fileno()
    open_in, open_out = True, True
    while open_in or open_out:
        watch = ([fin] if open_in else []) + ([s] if open_out else [])
        r, _, _ = select.select(watch, [], [])
        if fin in r:
            data = os.read(fin, 65536)
            if data:
                s.sendall(data)
            else:
                open_in = False
                s.shutdown(socket.SHUT_WR)
        if s in r:
            data = s.recv(65536)
            if data:
                view = memoryview(data)
                while view:
                    view = view[os.write(fout, view):]
            else:
                open_out = False
                os.close(fout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
