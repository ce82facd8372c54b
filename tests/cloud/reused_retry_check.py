#!/usr/bin/env python3
"""Does libcurl resend a request on a fresh connection without its first bytes?

A tiny HTTP server (TLS or plain) answers a HEAD on the first connection,
then reads only the headers of the next request on that same (reused)
connection, waits until the client is blocked sending the body, and resets
the connection. libcurl retries a request whose reused connection died
before any answer; the server reads the retried request on the second
connection whole and tells where its body began. The client is
reused_retry_client (set up as the daemon's tus transport).

    reused_retry_check.py CLIENT [--plain] [--size N] [--json]

The last line says what libcurl did:
  RESENT-CUT FROM N  the retried body began at byte N, not 0 (the fault)
  RESENT-EMPTY       the retried request carried no body at all
  RESENT-WHOLE       the retried body began at 0
  NOT-RESENT: ...    libcurl gave up instead (its own error)
--expect RESULT exits 1 unless the line starts with RESULT; --pinned
VERSION=RESULT does so only on that libcurl version (others only report).

Seen with libcurl 7.88.1 (Debian 12), OpenSSL 3: over TLS the retried body
begins at 65536 (the upload buffer libcurl had filled is dropped; the seek
callback is never asked) and libcurl reports success once the server
answers; a body under 64 KiB is not sent at all. Over plain HTTP the first
body send counts its bytes, so libcurl asks to rewind and fails cleanly when
refused. The difference: OpenSSL's SSL_write reports nothing written until
the whole buffer is in the socket, so libcurl's count of body bytes written
stays 0, and it rewinds only when that count is not 0.
"""

import argparse
import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time


def make_cert(folder):
    key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    return cert, key


def read_head(conn):
    """The request's headers, read a byte at a time so no body byte is taken."""
    data = b""
    while not data.endswith(b"\r\n\r\n"):
        b = conn.recv(1)
        if not b:
            return None
        data += b
    return data.decode("latin-1")


def content_length(head):
    for line in head.split("\r\n"):
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-length":
            return int(value)
    return 0


class Server:
    def __init__(self, ctx):
        self.ctx = ctx
        self.lsock = socket.socket()
        self.lsock.bind(("127.0.0.1", 0))
        # A small window, so the client's body waits in its own socket.
        self.lsock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.lsock.listen(4)
        self.port = self.lsock.getsockname()[1]
        self.seen = []  # one dict per request: connection, method, body start, bytes
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def accept(self):
        raw, _ = self.lsock.accept()
        # The TLS socket takes the descriptor over: it is the one to reset.
        return self.ctx.wrap_socket(raw, server_side=True) if self.ctx else raw

    def run(self):
        try:
            conn = self.accept()
            head = read_head(conn)
            self.seen.append({"conn": 1, "request": head.split(" ")[0]})
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
            head = read_head(conn)
            self.seen.append({"conn": 1, "request": head.split(" ")[0], "body": "reset"})
            # Long enough for the client to fill its socket and wait on it.
            time.sleep(0.5)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()
            self.lsock.settimeout(10)
            conn = self.accept()
            conn.settimeout(5)
            head = read_head(conn)
            want = content_length(head)
            body = b""
            try:
                while len(body) < want:
                    part = conn.recv(65536)
                    if not part:
                        break
                    body += part
            except socket.timeout:
                pass
            start = struct.unpack(">I", body[:4])[0] if len(body) >= 4 else None
            self.seen.append({"conn": 2, "request": head.split(" ")[0], "length": want,
                              "received": len(body), "body_start": start})
            conn.sendall(b"HTTP/1.1 204 No Content\r\n\r\n")
            conn.close()
        except (OSError, AttributeError, socket.timeout):
            pass


def main():
    p = argparse.ArgumentParser()
    p.add_argument("client")
    p.add_argument("--plain", action="store_true", help="HTTP without TLS")
    p.add_argument("--size", type=int, default=200000)
    p.add_argument("--expect", help="fail unless the result line starts with this")
    p.add_argument("--pinned", help="VERSION=RESULT: --expect RESULT on that libcurl version")
    a = p.parse_args()
    with tempfile.TemporaryDirectory() as d:
        ctx = None
        cert = "/dev/null"
        if not a.plain:
            cert, key = make_cert(d)
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(cert, key)
        srv = Server(ctx)
        url = "%s://127.0.0.1:%d/files/x" % ("http" if a.plain else "https", srv.port)
        out = subprocess.run([a.client, url, cert, str(a.size)], capture_output=True, text=True,
                             timeout=60).stdout
        srv.thread.join(15)
    reads = [l for l in out.splitlines() if l.startswith("read ")]
    print("client:", "; ".join(l for l in out.splitlines() if not l.startswith("read ")))
    print("client reads:", ", ".join(l[5:] for l in reads))
    print("server:", json.dumps(srv.seen))
    retried = [s for s in srv.seen if s["conn"] == 2]
    if not retried:
        result = "NOT-RESENT: " + out.strip().splitlines()[-1]
    elif retried[0].get("body_start") in (0, None) and retried[0]["received"] == retried[0]["length"]:
        result = "RESENT-WHOLE"
    elif retried[0].get("body_start") is None:
        result = "RESENT-EMPTY: %d of %d body bytes came" % (retried[0]["received"],
                                                            retried[0]["length"])
    else:
        result = "RESENT-CUT FROM %d (%d of %d body bytes came)" % (
            retried[0]["body_start"], retried[0]["received"], retried[0]["length"])
    print(result)
    version = next((l.split()[1] for l in out.splitlines() if l.startswith("libcurl ")), "")
    if a.pinned:
        pinned, _, want = a.pinned.partition("=")
        if pinned == version:
            a.expect = want
        else:
            print("libcurl %s is not %s: only reported" % (version, pinned))
    if a.expect and not result.startswith(a.expect):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
