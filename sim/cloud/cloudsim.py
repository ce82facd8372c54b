#!/usr/bin/env python3
"""Cloud API simulator: a real HTTPS server on loopback for desk tests and the demo.

It makes its own CA and server certificate with the openssl CLI at start,
serves the camera API (token, camera PUT, uploads, downloads), records every
request it sees and can inject faults per request.

Run on its own:
    python3 sim/cloud/cloudsim.py --workdir /tmp/cloud --cacert-out ROOT/usrdata/cacert.pem

When ready it prints one JSON line on stdout, e.g.
    {"ready": true, "port": 40123, "base": "https://127.0.0.1:40123", ...}
and writes the same object to WORKDIR/ready.json.

Control endpoints (same port, same TLS):
    GET  /_sim/requests          every recorded request, as a JSON array
    GET  /_sim/connections       what the API traffic cost on the wire, per TCP
                                 connection (see below)
    PUT  /_sim/scenario          replace the scenario (JSON body); counters restart
    GET  /_sim/scenario          the current scenario
    POST /_sim/reset             forget requests, uploads and issued tokens
    PUT  /_sim/files/<name>      store a file that /files/<name> will serve
    PUT  /_sim/base              {"base": "https://127.0.0.1:PORT"}: the base URL that
                                 upload slots and "{base}" name from now on, e.g. a
                                 link simulator in front of this server ("" undoes it)
    GET  /                       the camera page for people: last status report and the
                                 pictures received, newest first, with their EXIF date
                                 (sim/cloud/cloudview.py); also on plain HTTP with --view-port
Connections: {"closed": [CONN, ...], "open": N} where CONN is
    {"tls": "full" | "resumed" | "failed", "requests": N,
     "bytes_in": N, "bytes_out": N, "segs_in": N, "segs_out": N}
    bytes are TCP payload as the kernel counted it (TLS records, handshake
    included; IP and TCP headers not). Connections that carried a /_sim/
    request are left out; "open" counts API connections not closed yet, so a
    caller waits for 0 before reading the figures. POST /_sim/reset forgets
    the closed ones. Connections that only showed the camera page are left
    out too.
Every record is also appended to WORKDIR/requests.jsonl before the answer goes out.
Uploaded bytes land in WORKDIR/uploads/<name>. The upload endpoint plays an
S3-style store, shaped by the scenario key
    "store": {"md5": true,          check Content-MD5 (400 BadDigest, nothing kept)
              "etag": "md5",        answer ETag "<md5 of what was kept>"; "opaque": an
                                    ETag that is no MD5; "none": no ETag
              "lie": "flip" | "drop", "lie_times": N}   (as the tus lies, before the check) A request whose body ends
before its Content-Length (the link went away) is recorded with status 0 and
an "error", gets no answer and stores nothing.

Scenario (every key optional):
    {
      "token": "tok-1",             token handed out (default "tok-<n>", new each request)
      "auth": true,                 camera PUTs need a bearer token issued here or listed below
      "accept_tokens": ["old"],
      "answers": [ANSWER, ...],     one per camera PUT, in order; then "answer"
      "answer": ANSWER,             default {"uploads": "auto"}
      "upload_status": 200,         status of the upload endpoint
      "report_status": 200,         status of the answer to a pictures result report
      "faults": [FAULT, ...]
    }
    ANSWER: {"status": 200, "config": {...}, "requests": {...},
             "uploads": "auto" | [slot, ...] | null,
             "slots": {"max": N, "verb": "PUT", "headers": [...], "omit": ["verb"],
                       "host": "https://127.0.0.1:PORT",   (default: this server)
                       "each": {"b.jpg": {"verb": "POST", "headers": [...], "omit": [...]}}},
             "raw": "text sent as the body instead of JSON"}
      "auto" makes one slot per announced picture pointing at this server's
      /upload/<name>; nothing announced gives no "uploads" member. "each"
      changes the slot of one announced name: its keys replace the slot's,
      its "omit" drops keys from that slot only. A fault whose path is
      "/upload/<name>" fails that one slot's upload. The text
      "{base}" inside any string of an answer becomes this server's base URL.
      "requests" carries the server's requests as the camera gets them, e.g.
        {"pictures": {"content": [{"name": "P1.JPG", "date": "2024-05-01",
                      "host": "{base}", "path": "/upload/HDP1.JPG", "verb": "PUT"}]},
         "update": {"execute": true, "content": [{"name": "update.tar.xz",
                    "host": "{base}", "path": "/files/update.tar.xz", "verb": "GET"}]},
         "log": {"execute": true, "content": [{"name": "log.txt",
                 "host": "{base}", "path": "/upload/log.txt", "verb": "PUT"}]}}
      Packages to download are stored with PUT /_sim/files/<name>; HD
      pictures and logs land in WORKDIR/uploads/ like any upload.
    A camera PUT whose body is only a pictures result report
    ({"requests": {"pictures": {"result": [...]}}}) is recorded with
    "report": "pictures" and answered {} (status "report_status"), without
    taking the next of "answers".
    FAULT: {"method": "PUT", "path": "/camapi/v3/camera/",   (path prefix; "*" any)
            "skip": 0, "times": 1,                            (-1: every match)
            "kind": "status" | "drop" | "reset" | "stall" | "notjson" | "oversize" | "empty",
            "status": 500, "seconds": 600, "size": 2097152,
            "retry_after": "3"}                               (status: a Retry-After header)
      status: answers the status with a small JSON error body;
      drop: closes the connection without an answer (after reading the request);
      reset: reads only the request's headers, waits "seconds" (0.5) and resets the
      connection (an RST, nothing flushed): with --rcvbuf small, a client's body
      stalls part-way first, as when a slow link dies under a request;
      stall: waits "seconds" without answering, then closes;
      notjson: 200 with an HTML body; empty: 200 with no body;
      oversize: 200 with a valid JSON body of "size" bytes.

Resumable (tus 1.0) slots, with either of these scenario keys:
    "tus": {                      this server is the tus server (/tus/<id>)
      "url": "same" | "fresh",    "same" (default): an unfinished upload of the same
                                  name and size is handed again; "fresh": a new upload
                                  at every slot
      "expire_s": N,              uploads older than N seconds answer 410
      "expire_existing": true,    every upload that exists when this scenario is set
                                  answers 410 from now on
      "lose_final": N,            the answer to the PATCH that completes an upload is
                                  lost (the connection closes) N times in all
      "lower_offset": BYTES,      the "lower_at"-th HEAD of an upload (default 2) finds
      "lower_at": N,              BYTES fewer, once per upload: the server lost them
      "cut_after": BYTES,         a PATCH body is cut after BYTES more bytes were stored
      "cut_times": N,             ... N times in all (default 1)
      "conflict": N,              the first N PATCHes answer 409
      "offset": "TEXT",           every HEAD and PATCH answer says Upload-Offset: TEXT
      "head_headers": {"K": "V"}, extra headers on HEAD answers
      "checksum": ["sha1", "md5"],  the checksum extension: OPTIONS offers these, and a
                                  PATCH with Upload-Checksum is kept only when its whole
                                  body matches (460 otherwise, nothing kept); default none
      "lie": "flip" | "drop" | "offset",   the server misbehaves "lie_times" times (1):
      "lie_times": N              flip: a byte of a PATCH body changes on its way in;
                                  drop: 1000 bytes of a PATCH body go missing while the
                                  answer says all were kept; offset: the first HEAD after
                                  a cut claims 1000 bytes more than held, and the next
                                  PATCH is appended where the upload really ends
    }
    OPTIONS /tus/... answers the tus discovery (Tus-Extension: creation,termination,
    expiration and checksum where "checksum" is set); DELETE /tus/<id> ends an upload.
    "tus_server": "https://127.0.0.1:PORT/files/"
                                  uploads are created on that tus server instead (POST
                                  with Upload-Length, 201 + Location) and its URL handed;
                                  "tus_server_ca": PEM file that checks its certificate
                                  (default this server's CA)
    With either key, "auto" slots carry "protocol": "tus" (a slot's own
    "protocol" in "slots"/"each" wins). A pictures request element with
    "protocol": "tus", a "size" and no "path" gets an upload created for
    "HD<name>". A tus upload's bytes live in WORKDIR/tus/<id> until complete,
    then land in WORKDIR/uploads/<name> like any upload. POST /tus/ is the tus
    creation request (Upload-Length, Upload-Metadata "filename"), so one
    simulator can be another's "tus_server". GET /_sim/tus lists
    every upload: {"id", "name", "length", "offset", "received", "complete",
    "expired"}; "received" counts every byte that reached it, kept or not.

New routes: add a (method, regex, handler name) entry to ROUTES and a
method on Handler; handlers get the regex match and the request body.
"""

import argparse
import base64
import copy
import http.client
import hashlib
import http.server
import json
import os
import re
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse

import cloudview

# Bodies above this are refused: the simulator must not be the thing that runs out of memory.
MAX_BODY = 64 * 1024 * 1024


def damage(body, kind):
    """A body as a lying server (or a bad link in front of it) keeps it."""
    if not body:
        return body
    if kind == "flip":
        i = len(body) // 2
        return body[:i] + bytes([body[i] ^ 0xFF]) + body[i + 1:]
    if kind == "drop":
        i = len(body) // 3
        return body[:i] + body[i + 1000:]
    return body


def checksum_matches(header, body, offered):
    """(ok, known) of an Upload-Checksum header "ALGO BASE64" against a body."""
    algo, _, value = header.strip().partition(" ")
    if algo not in offered:
        return False, False
    try:
        want = base64.b64decode(value.strip(), validate=True)
    except ValueError:
        return False, True
    return hashlib.new(algo, body).digest() == want, True


class CutBody(Exception):
    """The client's body ended before its Content-Length."""


DEFAULT_ANSWER = {"uploads": "auto"}

ROUTES = [
    ("GET", r"^/_sim/requests$", "sim_requests"),
    ("GET", r"^/_sim/connections$", "sim_connections"),
    ("GET", r"^/_sim/scenario$", "sim_get_scenario"),
    ("PUT", r"^/_sim/scenario$", "sim_put_scenario"),
    ("POST", r"^/_sim/reset$", "sim_reset"),
    ("PUT", r"^/_sim/files/([^/]+)$", "sim_put_file"),
    ("PUT", r"^/_sim/base$", "sim_put_base"),
    ("GET", r"^/_sim/tus$", "sim_tus"),
    ("HEAD", r"^/tus/([0-9a-z]+)$", "tus_head"),
    ("OPTIONS", r"^/tus/([0-9a-z]*)$", "tus_options"),
    ("DELETE", r"^/tus/([0-9a-z]+)$", "tus_delete"),
    ("POST", r"^/tus/?$", "tus_post"),
    ("GET", r"^/camapi/v3/token/([^/]+)$", "token"),
    ("PUT", r"^/camapi/v3/camera/([^/]+)$", "camera"),
    ("*", r"^/upload/([^/]+)$", "upload"),
    ("*", r"^/files/([^/]+)$", "download"),
] + [("GET", pattern, name) for pattern, name in (
    (r"^/$", "view_page"),
    (r"^/view/pictures/([^/]+)$", "view_picture"),
)]
VIEW_ROUTES = [r for r in ROUTES if r[2].startswith("view_")]


def is_api(path):
    """Camera API traffic: recorded and open to faults (control and page are not)."""
    return not (path.startswith("/_sim/") or path == "/" or path.startswith("/view/"))


def make_certs(certdir):
    """CA and a server certificate for localhost/127.0.0.1, made with the openssl CLI."""
    os.makedirs(certdir, exist_ok=True)
    ca_key = os.path.join(certdir, "ca.key")
    ca_pem = os.path.join(certdir, "ca.pem")
    srv_key = os.path.join(certdir, "server.key")
    srv_csr = os.path.join(certdir, "server.csr")
    srv_pem = os.path.join(certdir, "server.pem")
    ext = os.path.join(certdir, "server.ext")
    if all(os.path.exists(p) for p in (ca_pem, srv_key, srv_pem)):
        return ca_pem, srv_pem, srv_key

    def run(*args):
        subprocess.run(["openssl", *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
        "-nodes", "-keyout", ca_key, "-out", ca_pem, "-days", "3650",
        "-subj", "/CN=Cloud Simulator CA")
    run("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
        "-keyout", srv_key, "-out", srv_csr, "-subj", "/CN=localhost")
    with open(ext, "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                "basicConstraints=CA:FALSE\n"
                "keyUsage=digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n")
    run("x509", "-req", "-in", srv_csr, "-CA", ca_pem, "-CAkey", ca_key,
        "-CAcreateserial", "-out", srv_pem, "-days", "3650", "-extfile", ext)
    return ca_pem, srv_pem, srv_key


# struct tcp_info (linux/tcp.h): offsets of the counters read below.
TCP_INFO_SIZE = 232
TCP_INFO_FIELDS = {"bytes_received": (128, "Q"), "segs_out": (136, "I"), "segs_in": (140, "I"),
                   "notsent_bytes": (144, "I"), "bytes_sent": (200, "Q"),
                   "bytes_retrans": (208, "Q")}


def tcp_counters(sock):
    """Payload bytes and segments of a TCP socket so far; {} where the kernel can't tell."""
    try:
        raw = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, TCP_INFO_SIZE)
    except (OSError, AttributeError):
        return {}
    if len(raw) < TCP_INFO_SIZE:
        return {}
    v = {k: struct.unpack_from("=" + f, raw, off)[0] for k, (off, f) in TCP_INFO_FIELDS.items()}
    return {"bytes_in": v["bytes_received"],
            "bytes_out": v["bytes_sent"] - v["bytes_retrans"] + v["notsent_bytes"],
            "segs_in": v["segs_in"], "segs_out": v["segs_out"]}


def substitute(value, base):
    if isinstance(value, str):
        return value.replace("{base}", base)
    if isinstance(value, list):
        return [substitute(v, base) for v in value]
    if isinstance(value, dict):
        return {k: substitute(v, base) for k, v in value.items()}
    return value


class State:
    """Everything the server knows, behind one lock."""

    def __init__(self, workdir, scenario):
        self.lock = threading.Lock()
        self.workdir = workdir
        self.base = ""
        self.own_base = ""
        self.log_path = os.path.join(workdir, "requests.jsonl")
        self.upload_dir = os.path.join(workdir, "uploads")
        self.files_dir = os.path.join(workdir, "files")
        os.makedirs(self.upload_dir, exist_ok=True)
        os.makedirs(self.files_dir, exist_ok=True)
        self.tus_dir = os.path.join(workdir, "tus")
        os.makedirs(self.tus_dir, exist_ok=True)
        self.ca_pem = ""
        self.set_scenario(scenario)
        self.open_conns = []
        self.closed_conns = []
        self.reset()

    def set_scenario(self, scenario):
        self.scenario = scenario if isinstance(scenario, dict) else {}
        self.answer_index = 0
        self.fault_hits = [0] * len(self.scenario.get("faults", []))
        tus = self.scenario.get("tus", {})
        if tus.get("expire_existing"):
            for up in getattr(self, "tus", {}).values():
                up["expired"] = True
        self.tus_budget = {k: int(tus.get(k, d)) for k, d in
                           (("lose_final", 0), ("cut_times", 1), ("conflict", 0),
                            ("lie_times", 1))}
        self.store_lies = int(self.scenario.get("store", {}).get("lie_times", 1))

    def reset(self):
        self.closed_conns = []
        self.requests = []
        self.issued = []
        self.token_count = 0
        self.tus = {}
        self.tus_count = 0
        open(self.log_path, "w").close()
        for d in (self.upload_dir, self.tus_dir):
            for name in os.listdir(d):
                os.unlink(os.path.join(d, name))

    def record(self, entry):
        with self.lock:
            entry["seq"] = len(self.requests) + 1
            self.requests.append(entry)
            with open(self.log_path, "a") as f:
                f.write(json.dumps(entry) + "\n")
                f.flush()

    def connection_opened(self):
        conn = {"tls": "", "requests": 0, "control": False}
        with self.lock:
            self.open_conns.append(conn)
        return conn

    def connection_closed(self, conn, sock):
        conn.update(tcp_counters(sock))
        with self.lock:
            self.open_conns = [c for c in self.open_conns if c is not conn]
            if not conn["control"]:
                self.closed_conns.append(conn)

    def match_fault(self, method, path):
        with self.lock:
            for i, fault in enumerate(self.scenario.get("faults", [])):
                want_method = fault.get("method", "*")
                if want_method != "*" and want_method != method:
                    continue
                prefix = fault.get("path", "*")
                if prefix != "*" and not path.startswith(prefix):
                    continue
                self.fault_hits[i] += 1
                hit = self.fault_hits[i]
                skip = fault.get("skip", 0)
                times = fault.get("times", 1)
                if hit <= skip:
                    continue
                if times >= 0 and hit > skip + times:
                    continue
                return fault
        return None

    def next_answer(self):
        with self.lock:
            answers = self.scenario.get("answers", [])
            if self.answer_index < len(answers):
                answer = answers[self.answer_index]
                self.answer_index += 1
            else:
                answer = self.scenario.get("answer", DEFAULT_ANSWER)
            return copy.deepcopy(answer)

    # --- tus uploads (callers hold the lock) ---

    def tus_expired(self, up):
        limit = float(self.scenario.get("tus", {}).get("expire_s", 0) or 0)
        return up.get("expired", False) or (limit > 0 and time.time() - up["created"] >= limit)

    def tus_slot(self, name, length):
        """The URL path of an upload for `name`: an unfinished one again, or a new one."""
        mode = self.scenario.get("tus", {}).get("url", "same")
        if mode == "same":
            for up in self.tus.values():
                if (up["name"] == name and up["length"] == length and not up["complete"]
                        and not self.tus_expired(up)):
                    return "/tus/" + up["id"]
        self.tus_count += 1
        uid = "u%d%s" % (self.tus_count, hashlib.sha256(os.urandom(8)).hexdigest()[:8])
        self.tus[uid] = {"id": uid, "name": name, "length": int(length), "offset": 0,
                         "received": 0, "complete": False, "created": time.time(),
                         "cut": False, "lowered": False}
        open(os.path.join(self.tus_dir, uid), "wb").close()
        return "/tus/" + uid

    def tus_take(self, key):
        """One unit of a limited tus behaviour (lose_final, cut_times, conflict)."""
        if self.tus_budget.get(key, 0) > 0:
            self.tus_budget[key] -= 1
            return True
        return False

    def issue_token(self):
        with self.lock:
            self.token_count += 1
            token = self.scenario.get("token") or "tok-%d" % self.token_count
            self.issued.append(token)
            return token

    def token_ok(self, token):
        with self.lock:
            if not self.scenario.get("auth", True):
                return True
            return token in self.issued or token in self.scenario.get("accept_tokens", [])


def safe_name(quoted):
    """A stored file name never leaves its folder."""
    name = urllib.parse.unquote(quoted)
    if not name or "/" in name or "\\" in name or name in (".", "..") or "\0" in name:
        return None
    return name


def is_result_report(request):
    """The camera's report on the pictures it was asked for, not a sync PUT."""
    if not isinstance(request, dict) or set(request) != {"requests"}:
        return False
    requests = request["requests"]
    if not isinstance(requests, dict) or set(requests) != {"pictures"}:
        return False
    pictures = requests["pictures"]
    return isinstance(pictures, dict) and "result" in pictures


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "CloudSim/1"
    state = None  # set by serve()

    def log_message(self, fmt, *args):  # quiet: the record tells the story
        pass

    # --- plumbing -------------------------------------------------------

    def handle(self):
        # The handshake is done here, not on first read, so that the record of
        # the connection can say whether the client resumed a TLS session.
        self.conn = self.state.connection_opened()
        try:
            try:
                self.connection.do_handshake()
                self.conn["tls"] = "resumed" if self.connection.session_reused else "full"
            except (ssl.SSLError, OSError):
                self.conn["tls"] = "failed"
                self.close_connection = True
                return
            super().handle()
        finally:
            self.state.connection_closed(self.conn, self.connection)

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            chunks = []
            total = 0
            while True:
                line = self.rfile.readline(1024)
                size = int(line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    break
                total += size
                if total > MAX_BODY:
                    raise ValueError("body too large")
                chunks.append(self.rfile.read(size))
                self.rfile.readline(1024)
            return b"".join(chunks)
        length = int(self.headers.get("Content-Length") or 0)
        if length > MAX_BODY:
            raise ValueError("body too large")
        body = self.rfile.read(length) if length > 0 else b""
        # A link that went away mid-body may end with a plain EOF (TLS lets a
        # ragged end pass as one): a cut body is no upload.
        if len(body) < length:
            raise CutBody("body cut after %d of %d bytes" % (len(body), length))
        return body

    def send(self, status, body=b"", content_type="application/json", extra=None):
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
        elif isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.wfile.flush()

    def reset_connection(self):
        """A reset (RST), as a link that died sends it: nothing is flushed."""
        self.close_connection = True
        raw = self.connection
        try:
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            os.close(raw.detach())
        except OSError:
            pass

    def drop(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def handle_any(self):
        method = self.command
        url = urllib.parse.urlsplit(self.path)
        path = url.path
        self.conn["requests"] += 1
        if not is_api(path):
            self.conn["control"] = True
        entry = {
            "method": method,
            "path": path,
            "query": url.query,
            "headers": [[k, v] for k, v in self.headers.items()],
            "client": "%s:%d" % self.client_address[:2],
        }
        m = re.match(r"^/tus/([0-9a-z]+)$", path)
        if m and method == "PATCH":
            fault = self.state.match_fault(method, path)
            if fault is not None:
                self.close_connection = True  # the body is left unread
                self.apply_fault(fault, entry)
                return
            self.tus_patch(m.group(1), entry)
            return
        try:
            body = self.read_body()
        except CutBody as e:
            entry.update(status=0, error=str(e))
            self.state.record(entry)
            self.close_connection = True
            return
        except (ValueError, OSError) as e:
            entry.update(status=413, error=str(e))
            self.state.record(entry)
            self.send(413, {"error": "body too large"})
            self.close_connection = True
            return
        entry["body_len"] = len(body)
        entry["sha256"] = hashlib.sha256(body).hexdigest()
        if body and "json" in self.headers.get("Content-Type", ""):
            try:
                entry["json"] = json.loads(body)
            except ValueError:
                entry["body_text"] = body[:4096].decode("latin-1")

        if is_api(path):
            fault = self.state.match_fault(method, path)
            if fault is not None:
                self.apply_fault(fault, entry)
                return

        for want, pattern, name in ROUTES:
            m = re.match(pattern, path)
            if m and (want == "*" or want == method):
                self.tus_headers = None
                status, answer, ctype = getattr(self, name)(m, body, entry)
                break
        else:
            status, answer, ctype = 404, {"error": "no such resource"}, "application/json"
        entry["status"] = status
        if isinstance(answer, dict):
            entry["answer"] = answer
        if is_api(path):  # the record is of the API traffic only
            self.state.record(entry)
        self.send(status, answer, ctype, extra=getattr(self, "tus_headers", None))

    def apply_fault(self, fault, entry):
        kind = fault.get("kind", "status")
        entry["fault"] = kind
        if kind == "status":
            status = fault.get("status", 500)
            entry["status"] = status
            self.state.record(entry)
            extra = {}
            if "retry_after" in fault:
                extra["Retry-After"] = str(fault["retry_after"])
            self.send(status, fault.get("body", {"error": "injected %d" % status}), extra=extra)
        elif kind == "drop":
            entry["status"] = 0
            self.state.record(entry)
            self.drop()
        elif kind == "reset":
            entry["status"] = 0
            self.state.record(entry)
            time.sleep(float(fault.get("seconds", 0.5)))
            self.reset_connection()
        elif kind == "stall":
            entry["status"] = 0
            self.state.record(entry)
            time.sleep(float(fault.get("seconds", 600)))
            self.drop()
        elif kind == "notjson":
            entry["status"] = 200
            self.state.record(entry)
            self.send(200, "<html><body>Gateway says hello</body></html>", "application/json")
        elif kind == "empty":
            entry["status"] = 200
            self.state.record(entry)
            self.send(200, b"")
        elif kind == "oversize":
            size = int(fault.get("size", 2 * 1024 * 1024))
            entry["status"] = 200
            self.state.record(entry)
            pad = max(0, size - len('{"pad":""}'))
            self.send(200, b'{"pad":"' + b"x" * pad + b'"}')
        else:
            entry["status"] = 500
            self.state.record(entry)
            self.send(500, {"error": "unknown fault kind %s" % kind})

    do_GET = do_PUT = do_POST = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = handle_any

    # --- control --------------------------------------------------------

    def sim_requests(self, m, body, entry):
        with self.state.lock:
            return 200, list(self.state.requests), "application/json"

    def sim_connections(self, m, body, entry):
        with self.state.lock:
            closed = [{k: v for k, v in c.items() if k != "control"}
                      for c in self.state.closed_conns]
            still = sum(1 for c in self.state.open_conns if not c["control"] and c is not self.conn)
        return 200, {"closed": closed, "open": still}, "application/json"

    def sim_get_scenario(self, m, body, entry):
        return 200, self.state.scenario, "application/json"

    def sim_put_scenario(self, m, body, entry):
        try:
            scenario = json.loads(body or b"{}")
        except ValueError:
            return 400, {"error": "scenario is not JSON"}, "application/json"
        with self.state.lock:
            self.state.set_scenario(scenario)
        return 200, {"ok": True}, "application/json"

    def sim_reset(self, m, body, entry):
        with self.state.lock:
            self.state.reset()
        return 200, {"ok": True}, "application/json"

    def sim_put_file(self, m, body, entry):
        name = safe_name(m.group(1))
        if name is None:
            return 400, {"error": "bad name"}, "application/json"
        with open(os.path.join(self.state.files_dir, name), "wb") as f:
            f.write(body)
        return 200, {"ok": True, "size": len(body)}, "application/json"

    def sim_put_base(self, m, body, entry):
        try:
            base = json.loads(body or b"{}").get("base", "")
        except (ValueError, AttributeError):
            return 400, {"error": "body is not a JSON object"}, "application/json"
        with self.state.lock:
            self.state.base = base or self.state.own_base
        return 200, {"ok": True, "base": self.state.base}, "application/json"

    def sim_tus(self, m, body, entry):
        with self.state.lock:
            out = [dict(id=u["id"], name=u["name"], length=u["length"], offset=u["offset"],
                        received=u["received"], complete=u["complete"],
                        expired=self.state.tus_expired(u))
                   for u in self.state.tus.values()]
        return 200, out, "application/json"

    # --- the camera page ------------------------------------------------

    def view_page(self, m, body, entry):
        with self.state.lock:
            requests = list(self.state.requests)
        with self.state.lock:
            partial = [dict(name=u["name"], length=u["length"], offset=u["offset"],
                            received=u["received"]) for u in self.state.tus.values()
                       if not u["complete"] and u["offset"] > 0 and not self.state.tus_expired(u)]
        return 200, cloudview.render_page(requests, self.state.upload_dir, partial=partial), \
            "text/html; charset=utf-8"

    def view_picture(self, m, body, entry):
        name = safe_name(m.group(1))
        path = os.path.join(self.state.upload_dir, name) if name else None
        if path is None or not os.path.isfile(path):
            return 404, {"error": "no such picture"}, "application/json"
        with open(path, "rb") as f:
            return 200, f.read(), "image/jpeg"

    # --- camera API -----------------------------------------------------

    def bearer(self):
        auth = self.headers.get("Authorization", "")
        return auth[len("Bearer "):].strip() if auth.startswith("Bearer ") else None

    def token(self, m, body, entry):
        entry["imei"] = m.group(1)
        return 200, {"token": self.state.issue_token()}, "application/json"

    def camera(self, m, body, entry):
        entry["imei"] = m.group(1)
        token = self.bearer()
        if token is None or not self.state.token_ok(token):
            return 401, {"error": "unauthorized"}, "application/json"
        try:
            request = json.loads(body) if body else {}
        except ValueError:
            return 400, {"error": "body is not JSON"}, "application/json"
        if is_result_report(request):
            entry["report"] = "pictures"
            return self.state.scenario.get("report_status", 200), {}, "application/json"
        announced = request.get("uploads", []) if isinstance(request, dict) else []
        answer = self.state.next_answer()
        status = answer.pop("status", 200)
        if "raw" in answer:
            return status, answer["raw"], "application/json"
        slots = answer.pop("slots", {})
        uploads = answer.pop("uploads", "auto")
        answer = substitute(answer, self.state.base)
        content = answer.get("requests", {}).get("pictures", {}).get("content", [])
        for element in content if isinstance(content, list) else []:
            if (isinstance(element, dict) and element.get("protocol") == "tus"
                    and "path" not in element and "size" in element):
                element["host"], element["path"] = self.tus_create(
                    "HD" + str(element.get("name")), element.pop("size"),
                    element.get("host", self.state.base))
        if uploads == "auto":
            made = self.make_slots(announced, slots)
            if made:
                answer["uploads"] = made
        elif uploads is not None:
            answer["uploads"] = substitute(uploads, self.state.base)
        return status, answer, "application/json"

    def make_slots(self, announced, opts):
        made = []
        limit = opts.get("max", len(announced))
        for i, item in enumerate(announced[:limit]):
            if not isinstance(item, dict) or "name" not in item:
                continue
            name = str(item["name"])
            slot = {
                "name": name,
                "host": opts.get("host", self.state.base),
                "path": "/upload/%s?slot=%d" % (urllib.parse.quote(name, safe=""), i + 1),
                "verb": opts.get("verb", "PUT"),
                "size": item.get("size", 0),
                "headers": substitute(opts.get("headers", [
                    {"name": "x-sim-slot", "value": str(i + 1)}]), self.state.base),
            }
            own = dict(opts.get("each", {}).get(name, {}))
            omit = list(opts.get("omit", [])) + list(own.pop("omit", []))
            protocol = own.get("protocol", opts.get("protocol", self.tus_default()))
            if protocol is not None:
                slot["protocol"] = protocol
            if protocol == "tus":
                slot.pop("verb")
                slot["host"], slot["path"] = self.tus_create(name, slot["size"], slot["host"])
            slot.update(substitute(own, self.state.base))
            for key in omit:
                slot.pop(key, None)
            made.append(slot)
        return made

    def tus_default(self):
        sc = self.state.scenario
        return "tus" if ("tus" in sc or "tus_server" in sc) else None

    def tus_create(self, name, length, host):
        """(host, path) of a tus upload of `length` bytes for `name`."""
        server = self.state.scenario.get("tus_server")
        if not server:
            with self.state.lock:
                return host, self.state.tus_slot(name, length)
        url = urllib.parse.urlsplit(server)
        ctx = ssl.create_default_context(
            cafile=self.state.scenario.get("tus_server_ca") or self.state.ca_pem)
        conn = http.client.HTTPSConnection(url.hostname, url.port or 443, context=ctx, timeout=30)
        try:
            meta = "filename " + base64.b64encode(name.encode()).decode()
            conn.request("POST", url.path or "/", body=b"",
                         headers={"Tus-Resumable": "1.0.0", "Upload-Length": str(int(length)),
                                  "Upload-Metadata": meta, "Content-Length": "0"})
            answer = conn.getresponse()
            answer.read()
            location = answer.getheader("Location", "")
            if answer.status != 201 or not location:
                raise OSError("tus server answered %d" % answer.status)
        finally:
            conn.close()
        made = urllib.parse.urlsplit(urllib.parse.urljoin(server, location))
        own_host = self.state.scenario.get("tus_host") or "%s://%s" % (made.scheme, made.netloc)
        return own_host, made.path + ("?" + made.query if made.query else "")

    def tus_find(self, uid):
        """(status, upload) of a tus request: 404 unknown, 410 expired, else 0."""
        up = self.state.tus.get(uid)
        if up is None:
            return 404, None
        if self.state.tus_expired(up):
            return 410, up
        return 0, up

    def tus_answer(self, up, status, extra=None):
        tus = self.state.scenario.get("tus", {})
        headers = {"Tus-Resumable": "1.0.0", "Cache-Control": "no-store",
                   "Upload-Offset": str(tus.get("offset", up["offset"]))}
        headers.update(extra or {})
        return headers

    def tus_options(self, m, body, entry):
        tus = self.state.scenario.get("tus", {})
        sums = [a for a in tus.get("checksum", []) if a in hashlib.algorithms_available]
        self.tus_headers = {"Tus-Resumable": "1.0.0", "Tus-Version": "1.0.0",
                            "Tus-Extension": ",".join(["creation", "termination", "expiration"]
                                                      + (["checksum"] if sums else []))}
        if sums:
            self.tus_headers["Tus-Checksum-Algorithm"] = ",".join(sums)
        return 204, b"", "text/plain"

    def tus_delete(self, m, body, entry):
        with self.state.lock:
            if self.state.tus.pop(m.group(1), None) is None:
                return 404, b"", "text/plain"
        self.tus_headers = {"Tus-Resumable": "1.0.0"}
        return 204, b"", "text/plain"

    def tus_post(self, m, body, entry):
        """The tus creation request, so that one simulator can stand in for
        the external tus server of another ("tus_server")."""
        try:
            length = int(self.headers.get("Upload-Length", ""))
        except ValueError:
            return 400, b"", "text/plain"
        name = "upload"
        for item in self.headers.get("Upload-Metadata", "").split(","):
            key, _, value = item.strip().partition(" ")
            if key == "filename":
                try:
                    name = safe_name(base64.b64decode(value).decode()) or name
                except ValueError:
                    pass
        with self.state.lock:
            path = self.state.tus_slot(name, length)
        self.tus_headers = {"Tus-Resumable": "1.0.0", "Location": path}
        return 201, b"", "text/plain"

    def tus_head(self, m, body, entry):
        with self.state.lock:
            status, up = self.tus_find(m.group(1))
            if status:
                return status, b"", "text/plain"
            tus = self.state.scenario.get("tus", {})
            lower = int(tus.get("lower_offset", 0))
            up["heads"] = up.get("heads", 0) + 1
            if (lower and up["heads"] == int(tus.get("lower_at", 2)) and not up["lowered"]
                    and not up["complete"]):
                up["lowered"] = True
                up["offset"] = max(0, up["offset"] - lower)
                with open(os.path.join(self.state.tus_dir, up["id"]), "r+b") as f:
                    f.truncate(up["offset"])
            entry["tus_offset"] = up["offset"]
            if (tus.get("lie") == "offset" and up["cut"] and not up["complete"]
                    and self.state.tus_take("lie_times")):
                up["lied_offset"] = up["offset"] + 1000
                entry["lie"] = "offset"
                self.tus_headers = {"Tus-Resumable": "1.0.0", "Cache-Control": "no-store",
                                    "Upload-Offset": str(up["lied_offset"]),
                                    "Upload-Length": str(up["length"])}
                return 200, b"", "text/plain"
            self.tus_headers = self.tus_answer(up, 200, dict(
                {"Upload-Length": str(up["length"])},
                **self.state.scenario.get("tus", {}).get("head_headers", {})))
        return 200, b"", "text/plain"

    def tus_patch(self, uid, entry):
        """Appends the body as it arrives: what reached the server stays, as on a real one."""
        def finish(status, headers=None, drop=False):
            entry["status"] = 0 if drop else status
            self.state.record(entry)
            if drop:
                self.drop()
            else:
                self.send(status, b"", "text/plain", extra=headers)
        with self.state.lock:
            status, up = self.tus_find(uid)
            conflict = status == 0 and self.state.tus_take("conflict")
        self.close_connection = True  # a refused body is left unread
        if status:
            return finish(status)
        try:
            claimed = int(self.headers.get("Upload-Offset", ""))
        except ValueError:
            return finish(400)
        length = int(self.headers.get("Content-Length") or 0)
        entry.update(tus=uid, upload_offset=claimed, body_len=length)
        if (self.headers.get("Content-Type") != "application/offset+octet-stream"
                or self.headers.get("Tus-Resumable") != "1.0.0"):
            return finish(415)
        with self.state.lock:
            refusal = None
            lied = up.pop("lied_offset", None)
            if lied is not None and claimed == lied:
                claimed = up["offset"]  # the lie goes on: appended where the upload ends
                entry["lie"] = "offset"
            if conflict or claimed != up["offset"]:
                refusal = (409, self.tus_answer(up, 409))
            elif claimed + length > up["length"]:
                refusal = (400, None)
            tus = self.state.scenario.get("tus", {})
            cut = int(tus.get("cut_after", 0) or 0)
            if refusal is None and cut and not self.state.tus_take("cut_times"):
                cut = 0
        if refusal is not None:
            return finish(*refusal)
        offered = [a for a in tus.get("checksum", []) if a in hashlib.algorithms_available]
        lie = tus.get("lie") if tus.get("lie") in ("flip", "drop") else None
        if offered or lie:
            return self.tus_patch_whole(up, uid, claimed, length, offered, lie, entry, finish)
        got = 0
        with open(os.path.join(self.state.tus_dir, uid), "r+b") as f:
            f.seek(claimed)
            while got < length:
                want = min(16384, length - got)
                if cut:
                    want = min(want, cut - got)
                # What arrived so far, not a whole chunk: a reset must not take
                # the bytes already here with it.
                try:
                    data = self.rfile.read1(want) if want > 0 else b""
                except OSError:
                    data = b""
                if data:
                    f.write(data)
                    f.flush()
                    got += len(data)
                    with self.state.lock:
                        up["offset"] = claimed + got
                        up["received"] += len(data)
                if not data or (cut and got >= cut):
                    with self.state.lock:
                        up["cut"] = True
                    entry["error"] = "body cut after %d of %d bytes" % (got, length)
                    entry["stored_len"] = got
                    return finish(0, drop=True)
        entry["stored_len"] = got
        with self.state.lock:
            complete = up["offset"] == up["length"]
            if complete and not up["complete"]:
                up["complete"] = True
                shutil.copyfile(os.path.join(self.state.tus_dir, uid),
                                os.path.join(self.state.upload_dir, up["name"]))
            entry["stored"] = up["name"] if complete else None
            lose = complete and self.state.tus_take("lose_final")
            headers = self.tus_answer(up, 204)
        if lose:
            entry["lost_answer"] = True
            return finish(0, drop=True)
        self.close_connection = False
        return finish(204, headers)

    def tus_patch_whole(self, up, uid, claimed, length, offered, lie, entry, finish):
        """A PATCH taken whole before a byte is kept: a checksum server can
        only judge a complete body, and the lies are told about one."""
        try:
            data = self.rfile.read(length) if length > 0 else b""
        except OSError:
            data = b""
        if len(data) < length:
            entry["error"] = "body cut after %d of %d bytes" % (len(data), length)
            entry["stored_len"] = 0
            with self.state.lock:
                up["cut"] = True
                up["received"] += len(data)
            return finish(0, drop=True)
        with self.state.lock:
            up["received"] += len(data)
            if lie and self.state.tus_take("lie_times"):
                data = damage(data, lie)
                entry["lie"] = lie
        header = self.headers.get("Upload-Checksum")
        if offered and header is not None:
            ok, known = checksum_matches(header, data, offered)
            if not ok:
                entry["checksum"] = "mismatch" if known else "unknown"
                self.close_connection = False
                return finish(460 if known else 400, {"Tus-Resumable": "1.0.0"})
            entry["checksum"] = "ok"
        with open(os.path.join(self.state.tus_dir, uid), "r+b") as f:
            f.seek(claimed)
            f.write(data)
        entry["stored_len"] = len(data)
        with self.state.lock:
            # A dropped chunk is answered as if it had been kept.
            up["offset"] = claimed + length
            complete = up["offset"] == up["length"]
            if complete and not up["complete"]:
                up["complete"] = True
                with open(os.path.join(self.state.tus_dir, uid), "rb") as f:
                    kept = f.read(up["length"])
                with open(os.path.join(self.state.upload_dir, up["name"]), "wb") as f:
                    f.write(kept)
            entry["stored"] = up["name"] if complete else None
            lose = complete and self.state.tus_take("lose_final")
            headers = self.tus_answer(up, 204)
        if lose:
            entry["lost_answer"] = True
            return finish(0, drop=True)
        self.close_connection = False
        return finish(204, headers)

    def upload(self, m, body, entry):
        name = safe_name(m.group(1))
        if name is None:
            return 400, {"error": "bad name"}, "application/json"
        store = self.state.scenario.get("store", {})
        with self.state.lock:
            if store.get("lie") in ("flip", "drop") and self.state.store_lies > 0:
                self.state.store_lies -= 1
                body = damage(body, store["lie"])
                entry["lie"] = store["lie"]
        sent_md5 = self.headers.get("Content-MD5")
        if sent_md5 is not None and store.get("md5", True):
            if base64.b64encode(hashlib.md5(body).digest()).decode() != sent_md5.strip():
                entry["checksum"] = "mismatch"
                return 400, {"error": "BadDigest"}, "application/json"
            entry["checksum"] = "ok"
        entry["stored"] = name
        status = self.state.scenario.get("upload_status", 200)
        if 200 <= status < 300:
            with open(os.path.join(self.state.upload_dir, name), "wb") as f:
                f.write(body)
            etag = store.get("etag", "md5")
            if etag == "md5":
                self.tus_headers = {"ETag": '"%s"' % hashlib.md5(body).hexdigest()}
            elif etag == "opaque":
                self.tus_headers = {"ETag": '"%s-1"' % hashlib.md5(body).hexdigest()}
        return status, b"", "text/plain"

    def download(self, m, body, entry):
        name = safe_name(m.group(1))
        path = os.path.join(self.state.files_dir, name) if name else None
        if path is None or not os.path.isfile(path):
            return 404, {"error": "no such file"}, "application/json"
        with open(path, "rb") as f:
            data = f.read()
        entry["sent_len"] = len(data)
        return 200, data, "application/octet-stream"


class ViewHandler(Handler):
    """Plain HTTP for a person's browser: the camera page and nothing else."""

    def handle(self):
        self.conn = {"tls": "", "requests": 0, "control": True}  # no TLS, not counted
        http.server.BaseHTTPRequestHandler.handle(self)

    def handle_any(self):
        path = urllib.parse.urlsplit(self.path).path
        for want, pattern, name in VIEW_ROUTES:
            m = re.match(pattern, path)
            if m and self.command in (want, "HEAD"):
                status, answer, ctype = getattr(self, name)(m, b"", {})
                break
        else:
            status, answer, ctype = 404, {"error": "no such page"}, "application/json"
            self.close_connection = True  # any body is left unread
        self.send(status, answer, ctype)

    do_GET = do_HEAD = handle_any


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, addr, handler, context, rcvbuf=0):
        super().__init__(addr, handler, bind_and_activate=False)
        # A small receive buffer, set before listen() so that accepted
        # connections advertise a small window: a client's large write then
        # stalls part-way, as on a slow link.
        if rcvbuf:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        try:
            self.server_bind()
            self.server_activate()
        except OSError:
            self.server_close()
            raise
        self.context = context

    def get_request(self):
        sock, addr = super().get_request()
        # Headers and body go out in separate writes: without this, Nagle and
        # the client's delayed ACK hold every answer body back ~40 ms, which a
        # real API server does not do.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr

    def handle_error(self, request, client_address):
        pass  # peers that drop mid-handshake are part of the job


def serve(args):
    workdir = os.path.abspath(args.workdir)
    os.makedirs(workdir, exist_ok=True)
    ca_pem, srv_pem, srv_key = make_certs(args.certs or os.path.join(workdir, "certs"))
    if args.cacert_out:
        os.makedirs(os.path.dirname(os.path.abspath(args.cacert_out)), exist_ok=True)
        shutil.copyfile(ca_pem, args.cacert_out)

    scenario = {}
    if args.scenario:
        with open(args.scenario) as f:
            scenario = json.load(f)
    state = State(workdir, scenario)
    state.ca_pem = ca_pem
    Handler.state = state

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(srv_pem, srv_key)
    server = Server((args.bind, args.port), Handler, context, args.rcvbuf)
    port = server.server_address[1]
    state.base = state.own_base = "https://%s:%d" % (args.bind, port)
    ready = {"ready": True, "port": port, "base": state.base, "cacert": ca_pem,
             "workdir": workdir, "pid": os.getpid()}
    if args.view_port is not None:
        view = http.server.ThreadingHTTPServer((args.bind, args.view_port), ViewHandler)
        view.daemon_threads = True
        threading.Thread(target=view.serve_forever, kwargs={"poll_interval": 0.2},
                         daemon=True).start()
        ready["view"] = "http://%s:%d/" % (args.bind, view.server_address[1])
    tmp = os.path.join(workdir, "ready.json.tmp")
    with open(tmp, "w") as f:
        json.dump(ready, f)
    os.replace(tmp, os.path.join(workdir, "ready.json"))
    print(json.dumps(ready), flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


def main(argv=None):
    p = argparse.ArgumentParser(description="Cloud API simulator (HTTPS on loopback).")
    p.add_argument("--workdir", required=True, help="folder for certificates, uploads and the request log")
    p.add_argument("--port", type=int, default=0, help="TCP port (0: a free one, printed when ready)")
    p.add_argument("--bind", default="127.0.0.1", help="address to listen on")
    p.add_argument("--cacert-out", help="copy the CA certificate here (e.g. ROOT/usrdata/cacert.pem)")
    p.add_argument("--certs", help="folder of certificates to reuse or create (default WORKDIR/certs)")
    p.add_argument("--scenario", help="JSON scenario file loaded at start")
    p.add_argument("--rcvbuf", type=int, default=0,
                   help="receive buffer of the API's connections in bytes (0: the kernel's)")
    p.add_argument("--view-port", type=int, help="also serve the camera page on plain HTTP here (0: a free port)")
    args = p.parse_args(argv)
    try:
        serve(args)
    except subprocess.CalledProcessError as e:
        sys.stderr.write("cloudsim: openssl failed: %s\n" % e.stderr.decode(errors="replace"))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
