"""Checks of the cloud simulator itself, over real TLS with its own CA."""

import hashlib
import http.client
import json
import os
import select
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


class CloudSimTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.cacert = os.path.join(cls.tmp.name, "root", "usrdata", "cacert.pem")
        cls.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "cloudsim.py"), "--workdir",
             os.path.join(cls.tmp.name, "sim"), "--cacert-out", cls.cacert],
            stdout=subprocess.PIPE)
        ready, _, _ = select.select([cls.proc.stdout], [], [], 60)
        if not ready:
            cls.proc.kill()
            raise RuntimeError("simulator not ready")
        cls.info = json.loads(cls.proc.stdout.readline())
        cls.ctx = ssl.create_default_context(cafile=cls.cacert)

    @classmethod
    def tearDownClass(cls):
        cls.proc.terminate()
        cls.proc.wait(30)
        cls.proc.stdout.close()
        cls.tmp.cleanup()

    def setUp(self):
        self.call("POST", "/_sim/reset")
        self.scenario({})

    def conn(self, host="127.0.0.1"):
        return http.client.HTTPSConnection(host, self.info["port"], context=self.ctx, timeout=30)

    def call(self, method, path, body=None, headers=None, conn=None):
        c = conn or self.conn()
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        data = r.read()
        if conn is None:
            c.close()
        return r.status, data

    def scenario(self, s):
        status, _ = self.call("PUT", "/_sim/scenario", json.dumps(s))
        self.assertEqual(status, 200)

    def requests(self):
        return json.loads(self.call("GET", "/_sim/requests")[1])

    def put_camera(self, body, token):
        return self.call("PUT", "/camapi/v3/camera/IMEI1", json.dumps(body),
                         {"Authorization": "Bearer " + token,
                          "Content-Type": "application/json"})

    def test_certificate_names_localhost_and_loopback(self):
        for host in ("127.0.0.1", "localhost"):
            self.assertEqual(self.call("GET", "/_sim/scenario", conn=None)[0], 200)
            c = self.conn(host)
            c.request("GET", "/_sim/scenario")
            self.assertEqual(c.getresponse().status, 200)
            c.close()

    def test_token_camera_upload_download_round_trip(self):
        status, data = self.call("GET", "/camapi/v3/token/IMEI1")
        self.assertEqual(status, 200)
        token = json.loads(data)["token"]
        status, data = self.put_camera({"uploads": [{"name": "a b.jpg", "size": 3}]}, token)
        self.assertEqual(status, 200)
        slot = json.loads(data)["uploads"][0]
        self.assertEqual(slot["name"], "a b.jpg")
        self.assertEqual(slot["verb"], "PUT")
        self.assertTrue(slot["host"].startswith("https://127.0.0.1:"))
        self.assertEqual(self.call(slot["verb"], slot["path"], b"\x00\x01\x02")[0], 200)
        with open(os.path.join(self.info["workdir"], "uploads", "a b.jpg"), "rb") as f:
            self.assertEqual(f.read(), b"\x00\x01\x02")
        self.call("PUT", "/_sim/files/pkg.bin", b"payload")
        self.assertEqual(self.call("GET", "/files/pkg.bin"), (200, b"payload"))
        seen = self.requests()
        self.assertEqual([r["path"] for r in seen],
                         ["/camapi/v3/token/IMEI1", "/camapi/v3/camera/IMEI1",
                          "/upload/a%20b.jpg", "/files/pkg.bin"])
        self.assertEqual(seen[2]["sha256"], hashlib.sha256(b"\x00\x01\x02").hexdigest())
        self.assertEqual(seen[1]["json"], {"uploads": [{"name": "a b.jpg", "size": 3}]})

    def test_unknown_token_is_refused(self):
        self.assertEqual(self.put_camera({}, "never-issued")[0], 401)
        self.scenario({"accept_tokens": ["old"]})
        self.assertEqual(self.put_camera({}, "old")[0], 200)

    def test_answers_are_served_in_order_then_default(self):
        self.scenario({"auth": False,
                       "answers": [{"config": {"host": "{base}"}, "uploads": None},
                                   {"status": 503, "raw": "busy"}],
                       "answer": {"requests": {"log": {"execute": True}}}})
        s1, d1 = self.put_camera({"uploads": [{"name": "x.jpg", "size": 1}]}, "")
        self.assertEqual(json.loads(d1), {"config": {"host": self.info["base"]}})
        self.assertEqual(self.put_camera({}, ""), (503, b"busy"))
        self.assertEqual(json.loads(self.put_camera({}, "")[1]),
                         {"requests": {"log": {"execute": True}}})

    def test_pictures_report_does_not_take_an_answer(self):
        self.scenario({"auth": False, "report_status": 202,
                       "answers": [{"requests": {"pictures": {"content": []}}, "uploads": None},
                                   {"config": {"a": 1}, "uploads": None}]})
        first = json.loads(self.put_camera({}, "")[1])
        self.assertEqual(first, {"requests": {"pictures": {"content": []}}})
        report = {"requests": {"pictures": {"result": []}}}
        self.assertEqual(self.put_camera(report, ""), (202, b"{}"))
        self.assertEqual(json.loads(self.put_camera({}, "")[1]), {"config": {"a": 1}})
        self.assertEqual([r.get("report") for r in self.requests()], [None, "pictures", None])

    def test_slot_options(self):
        self.scenario({"auth": False, "answer": {"slots": {
            "max": 1, "verb": "POST", "omit": ["verb"],
            "headers": [{"name": "x-a", "value": "1"}]}}})
        data = json.loads(self.put_camera(
            {"uploads": [{"name": "1.jpg", "size": 1}, {"name": "2.jpg", "size": 2}]}, "")[1])
        self.assertEqual(len(data["uploads"]), 1)
        self.assertNotIn("verb", data["uploads"][0])
        self.assertEqual(data["uploads"][0]["headers"], [{"name": "x-a", "value": "1"}])
        self.scenario({"auth": False, "answer": {"slots": {"host": "https://elsewhere:1"}}})
        data = json.loads(self.put_camera({"uploads": [{"name": "1.jpg", "size": 1}]}, "")[1])
        self.assertEqual(data["uploads"][0]["host"], "https://elsewhere:1")

    def connections_when_closed(self):
        deadline = time.monotonic() + 30
        while True:
            got = json.loads(self.call("GET", "/_sim/connections")[1])
            if got["open"] == 0 or time.monotonic() > deadline:
                return got
            time.sleep(0.05)

    def test_connections_count_api_traffic_on_the_wire(self):
        self.scenario({"auth": False})
        c = self.conn()
        body = b"x" * 50000
        self.assertEqual(self.call("PUT", "/upload/c.jpg", body, conn=c)[0], 200)
        self.assertEqual(self.call("PUT", "/upload/d.jpg", body, conn=c)[0], 200)
        c.close()
        got = self.connections_when_closed()
        self.assertEqual(got["open"], 0)
        # The control connections (scenario, this query) are not in the figures.
        self.assertEqual(len(got["closed"]), 1)
        conn = got["closed"][0]
        self.assertEqual((conn["tls"], conn["requests"]), ("full", 2))
        # Both bodies went through, wrapped in TLS records, plus a handshake.
        self.assertGreater(conn["bytes_in"], 2 * len(body))
        self.assertLess(conn["bytes_in"], 2 * len(body) + 8000)
        self.assertGreater(conn["bytes_out"], 0)
        self.call("POST", "/_sim/reset")
        self.assertEqual(self.connections_when_closed()["closed"], [])

    def test_slot_options_per_name(self):
        self.scenario({"auth": False, "answer": {"slots": {"each": {
            "2.jpg": {"verb": "POST", "headers": [{"name": "x-b", "value": "{base}"}],
                      "omit": ["size"]}}}}})
        data = json.loads(self.put_camera(
            {"uploads": [{"name": "1.jpg", "size": 1}, {"name": "2.jpg", "size": 2}]}, "")[1])
        first, second = data["uploads"]
        self.assertEqual((first["verb"], first["size"]), ("PUT", 1))
        self.assertEqual(second["verb"], "POST")
        self.assertNotIn("size", second)
        self.assertEqual(second["headers"], [{"name": "x-b", "value": self.info["base"]}])

    def test_faults(self):
        self.scenario({"auth": False, "faults": [
            {"path": "/camapi/v3/camera/", "skip": 1, "times": 1, "kind": "status", "status": 403},
            {"method": "GET", "path": "/camapi/v3/token/", "kind": "notjson"},
            {"method": "GET", "path": "/files/", "kind": "oversize", "size": 100000},
            {"method": "GET", "path": "/files/", "kind": "empty"},
            {"path": "/upload/", "kind": "drop"},
            {"path": "/files/stall", "kind": "stall", "seconds": 0.1},
        ]})
        self.assertEqual(self.put_camera({}, "")[0], 200)   # skipped
        self.assertEqual(self.put_camera({}, "")[0], 403)   # injected once
        self.assertEqual(self.put_camera({}, "")[0], 200)
        status, data = self.call("GET", "/camapi/v3/token/I")
        self.assertRaises(ValueError, json.loads, data)
        status, data = self.call("GET", "/files/x")
        self.assertEqual(len(data), 100000)
        json.loads(data)
        self.assertEqual(self.call("GET", "/files/x"), (200, b""))
        with self.assertRaises((http.client.HTTPException, OSError)):
            self.call("PUT", "/upload/a.jpg", b"abc")
        with self.assertRaises((http.client.HTTPException, OSError)):
            self.call("GET", "/files/stall")
        kinds = [r.get("fault") for r in self.requests()]
        self.assertEqual(kinds, [None, "status", None, "notjson", "oversize", "empty", "drop",
                                 "stall"])

    def test_names_never_leave_the_upload_folder(self):
        self.assertEqual(self.call("PUT", "/upload/..", b"x")[0], 400)
        self.assertEqual(self.call("PUT", "/upload/..%2Fescape", b"x")[0], 400)
        self.assertFalse(os.path.exists(os.path.join(self.info["workdir"], "escape")))

    def test_upload_status_stores_nothing_when_refused(self):
        self.scenario({"upload_status": 403})
        self.assertEqual(self.call("PUT", "/upload/r.jpg", b"abc")[0], 403)
        self.assertFalse(os.path.exists(os.path.join(self.info["workdir"], "uploads", "r.jpg")))

    def test_a_body_cut_by_the_link_is_no_upload(self):
        # The link goes away after 100 of 1000 bytes: a plain TCP end, no
        # TLS close, as a relay that lost its radio would leave it.
        raw = socket.create_connection(("127.0.0.1", self.info["port"]), timeout=30)
        tls = self.ctx.wrap_socket(raw, server_hostname="127.0.0.1")
        tls.sendall(b"PUT /upload/cut.jpg HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n" +
                    b"c" * 100)
        tls.shutdown(socket.SHUT_WR)
        # The server ends the connection once it recorded the request. What
        # comes before the end is TLS records, read raw now: through the TLS
        # socket, which after its shutdown reads the plain socket (the one it
        # wrapped was handed over to it and reads nothing).
        try:
            while tls.recv(4096):
                pass
        except OSError:
            pass
        tls.close()
        # The request is in the log once the server has seen the end; a
        # reset may have ended the read before that.
        deadline = time.monotonic() + 30
        while True:
            cut = [r for r in self.requests() if r["path"] == "/upload/cut.jpg"]
            if cut or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual([r["status"] for r in cut], [0])
        self.assertIn("cut after 100 of 1000", cut[0]["error"])
        self.assertFalse(os.path.exists(os.path.join(self.info["workdir"], "uploads", "cut.jpg")))

    def tus_slot(self, name, size):
        token = json.loads(self.call("GET", "/camapi/v3/token/IMEI1")[1])["token"]
        status, data = self.put_camera({"uploads": [{"name": name, "size": size}]}, token)
        self.assertEqual(status, 200)
        return json.loads(data)["uploads"][0]

    def tus(self, method, path, offset=None, body=b""):
        c = self.conn()
        headers = {"Tus-Resumable": "1.0.0"}
        if method == "PATCH":
            headers.update({"Upload-Offset": str(offset),
                            "Content-Type": "application/offset+octet-stream"})
        c.request(method, path, body=body if method == "PATCH" else None, headers=headers)
        r = c.getresponse()
        r.read()
        c.close()
        return r.status, r.getheader("Upload-Offset")

    def test_tus_slot_resumes_and_stores_the_whole_file(self):
        self.scenario({"tus": {"url": "same"}})
        slot = self.tus_slot("t.jpg", 10)
        self.assertEqual(slot["protocol"], "tus")
        self.assertNotIn("verb", slot)
        self.assertEqual(self.tus("HEAD", slot["path"]), (200, "0"))
        self.assertEqual(self.tus("PATCH", slot["path"], 0, b"01234"), (204, "5"))
        # An unfinished upload is handed again; a wrong offset is a conflict.
        self.assertEqual(self.tus_slot("t.jpg", 10)["path"], slot["path"])
        self.assertEqual(self.tus("PATCH", slot["path"], 3, b"xx")[0], 409)
        self.assertEqual(self.tus("PATCH", slot["path"], 5, b"56789"), (204, "10"))
        with open(os.path.join(self.info["workdir"], "uploads", "t.jpg"), "rb") as f:
            self.assertEqual(f.read(), b"0123456789")
        up = json.loads(self.call("GET", "/_sim/tus")[1])
        self.assertEqual([(u["offset"], u["received"], u["complete"]) for u in up], [(10, 10, True)])
        # Complete: the next slot is a new upload.
        self.assertNotEqual(self.tus_slot("t.jpg", 10)["path"], slot["path"])

    def test_tus_fresh_urls_expiry_and_the_partial_page(self):
        self.scenario({"tus": {"url": "fresh"}})
        a = self.tus_slot("f.jpg", 4096)
        self.assertNotEqual(self.tus_slot("f.jpg", 4096)["path"], a["path"])
        self.assertEqual(self.tus("PATCH", a["path"], 0, b"x" * 2048), (204, "2048"))
        self.assertIn("Arriving (1)", self.call("GET", "/")[1].decode())
        self.scenario({"tus": {"expire_existing": True}})
        self.assertEqual(self.tus("HEAD", a["path"])[0], 410)
        self.assertEqual(self.tus("HEAD", "/tus/nosuch")[0], 404)

    def test_tus_uploads_created_on_an_external_server(self):
        # This simulator plays the external tus server of itself.
        server = "https://127.0.0.1:%d/tus/" % self.info["port"]
        self.scenario({"tus_server": server, "tus_server_ca": self.cacert})
        slot = self.tus_slot("x.jpg", 6)
        self.assertEqual(slot["protocol"], "tus")
        self.assertEqual(slot["host"], "https://127.0.0.1:%d" % self.info["port"])
        created = [r for r in self.requests() if r["method"] == "POST"]
        self.assertEqual(len(created), 1)
        headers = dict(created[0]["headers"])
        self.assertEqual((headers["Tus-Resumable"], headers["Upload-Length"]), ("1.0.0", "6"))
        self.assertEqual(self.tus("HEAD", slot["path"]), (200, "0"))
        self.assertEqual(self.tus("PATCH", slot["path"], 0, b"abcdef"), (204, "6"))
        with open(os.path.join(self.info["workdir"], "uploads", "x.jpg"), "rb") as f:
            self.assertEqual(f.read(), b"abcdef")


if __name__ == "__main__":
    unittest.main()
