"""The camera page: EXIF dates read safely, the page fetched over HTTPS and HTTP."""

import http.client
import json
import os
import select
import ssl
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import cloudview  # noqa: E402


def tiff(order, date_tag, date, in_exif_ifd=True):
    """A TIFF block with one ASCII date, in IFD0 or behind the Exif IFD pointer."""
    o = "<" if order == b"II" else ">"
    text = date.encode() + b"\0"
    if in_exif_ifd:
        # header(8) | IFD0: 1 entry -> Exif IFD at 26 | Exif IFD: 1 entry -> text at 44
        ifd0 = struct.pack(o + "H", 1) + struct.pack(o + "HHII", 0x8769, 4, 1, 26) + b"\0" * 4
        exif = struct.pack(o + "H", 1) + struct.pack(o + "HHII", date_tag, 2, len(text), 44) + b"\0" * 4
        body = ifd0 + exif
    else:
        body = struct.pack(o + "H", 1) + struct.pack(o + "HHII", date_tag, 2, len(text), 26) + b"\0" * 4
    return order + struct.pack(o + "H", 42) + struct.pack(o + "I", 8) + body + text


def jpeg(tiff_bytes, before=b""):
    app1 = b"Exif\0\0" + tiff_bytes
    return b"\xff\xd8" + before + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + b"\xff\xd9"


class ExifDate(unittest.TestCase):
    def test_dates_in_either_byte_order_and_place(self):
        cases = [
            ("little endian, Exif IFD", jpeg(tiff(b"II", 0x9003, "2024:05:01 06:12:00")), "2024-05-01 06:12:00"),
            ("big endian, Exif IFD", jpeg(tiff(b"MM", 0x9003, "2023:12:31 23:59:58")), "2023-12-31 23:59:58"),
            ("DateTime in IFD0", jpeg(tiff(b"II", 0x0132, "2022:01:02 03:04:05", False)), "2022-01-02 03:04:05"),
            ("after an APP0 segment", jpeg(tiff(b"MM", 0x9003, "2021:06:07 08:09:10"),
                                           before=b"\xff\xe0\x00\x10JFIF\0" + b"\0" * 9), "2021-06-07 08:09:10"),
            ("blank date", jpeg(tiff(b"II", 0x9003, "    :  :     :  :  ")), None),
            ("zero date", jpeg(tiff(b"II", 0x9003, "0000:00:00 00:00:00")), None),
        ]
        for name, data, want in cases:
            with self.subTest(name):
                self.assertEqual(cloudview.exif_date(data), want)

    def test_malformed_input_gives_no_date_and_no_exception(self):
        good = jpeg(tiff(b"II", 0x9003, "2024:05:01 06:12:00"))
        o = "<"
        loop = b"II" + struct.pack(o + "HI", 42, 8) + struct.pack(o + "H", 1) + \
            struct.pack(o + "HHII", 0x8769, 4, 1, 8) + b"\0" * 4  # the Exif IFD is IFD0 again
        huge = b"II" + struct.pack(o + "HI", 42, 8) + struct.pack(o + "H", 60000)
        far = b"II" + struct.pack(o + "HI", 42, 8) + struct.pack(o + "H", 1) + \
            struct.pack(o + "HHII", 0x9003, 2, 20, 0x7FFFFFF0) + b"\0" * 4
        cases = [b"", b"\xff\xd8", b"not a jpeg", jpeg(b"XX*\0"), jpeg(loop), jpeg(huge), jpeg(far),
                 b"\xff\xd8\xff\xe1\x00\x01", b"\xff\xd8\xff\xda\x00\x04..", good[:40]]
        # Cut anywhere before the end of the date text (the last 6 bytes are its tail and EOI).
        cases += [good[:n] for n in range(0, len(good) - 6, 7)]
        for data in cases:
            with self.subTest(data=data[:24]):
                self.assertIsNone(cloudview.exif_date(data))

    def test_set_exif_date_rewrites_in_place(self):
        data = jpeg(tiff(b"MM", 0x9003, "2024:05:01 06:12:00"))
        out = cloudview.set_exif_date(data, "2026:01:02 03:04:05")
        self.assertEqual(len(out), len(data))
        self.assertEqual(cloudview.exif_date(out), "2026-01-02 03:04:05")


class CameraPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.cacert = os.path.join(cls.tmp.name, "cacert.pem")
        cls.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "cloudsim.py"), "--workdir", os.path.join(cls.tmp.name, "sim"),
             "--cacert-out", cls.cacert, "--view-port", "0"], stdout=subprocess.PIPE)
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

    def call(self, method, path, body=None, headers=None, plain=False):
        if plain:
            url = self.info["view"]
            host, port = url[len("http://"):].rstrip("/").split(":")
            c = http.client.HTTPConnection(host, int(port), timeout=30)
        else:
            c = http.client.HTTPSConnection("127.0.0.1", self.info["port"], context=self.ctx, timeout=30)
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, r.getheader("Content-Type", ""), data

    def setUp(self):
        self.call("POST", "/_sim/reset")

    def put_status(self, status):
        _, _, token = self.call("GET", "/camapi/v3/token/861234567890123")
        token = json.loads(token)["token"]
        status_code, _, _ = self.call("PUT", "/camapi/v3/camera/861234567890123", json.dumps({"status": status}),
                                      {"Authorization": "Bearer " + token, "Content-Type": "application/json"})
        self.assertEqual(status_code, 200)

    def test_page_shows_last_status_and_pictures_newest_first(self):
        status, _, page = self.call("GET", "/")
        self.assertEqual(status, 200)
        self.assertIn(b"No status report yet", page)
        self.assertIn(b"No pictures received yet", page)

        self.put_status({"model": "old", "batteries": [10]})
        self.put_status({"model": "TC-200 <b>x</b>", "version": "1.3.0-3-g9514c7d", "modemFirmware": "FW-9",
                         "batteries": [87], "batteryType": "LIT10", "temperature": {"value": 14, "unit": "C"},
                         "memory": {"size": 30436, "used": 1210}, "signal": {"bar": 4, "type": "LTE", "dBm": -85},
                         "notifications": ["bad_sd_format", None]})
        self.put_status_free_put()
        first = jpeg(tiff(b"II", 0x9003, "2024:05:01 06:12:00"))
        second = jpeg(tiff(b"MM", 0x9003, "2024:05:01 07:30:00"))
        self.assertEqual(self.call("PUT", "/upload/PICT0001.JPG?slot=1", first)[0], 200)
        # Uploads landing in the same clock tick still sort by arrival.
        os.utime(os.path.join(self.info["workdir"], "uploads", "PICT0001.JPG"), ns=(1, 1))
        self.assertEqual(self.call("PUT", "/upload/PICT0002.JPG?slot=2", second)[0], 200)

        for plain in (False, True):
            with self.subTest(plain=plain):
                status, ctype, page = self.call("GET", "/", plain=plain)
                self.assertEqual(status, 200)
                self.assertIn("text/html", ctype)
                text = page.decode()
                for want in ("TC-200 &lt;b&gt;x&lt;/b&gt;", "861234567890123", "4 of 5", "LTE", "87 %",
                             "LIT10", "14 &deg;C", "1210 of 30436 used (read-only)", "1.3.0-3-g9514c7d", "FW-9"):
                    self.assertIn(want, text)
                self.assertNotIn("<b>x</b>", text)
                self.assertNotIn(">old<", text)
                self.assertLess(text.index("PICT0002.JPG"), text.index("PICT0001.JPG"))
                self.assertIn("taken 2024-05-01 07:30:00", text)
                self.assertIn("taken 2024-05-01 06:12:00", text)
                status, ctype, img = self.call("GET", "/view/pictures/PICT0002.JPG", plain=plain)
                self.assertEqual((status, ctype, img), (200, "image/jpeg", second))

    def put_status_free_put(self):
        # A follow-up PUT without "status" (and PicTrimApp's PUTs) must not hide the report.
        _, _, token = self.call("GET", "/camapi/v3/token/861234567890123")
        token = json.loads(token)["token"]
        self.call("PUT", "/camapi/v3/camera/861234567890123", json.dumps({"uploads": []}),
                  {"Authorization": "Bearer " + token, "Content-Type": "application/json"})

    def test_page_is_not_api_traffic(self):
        self.call("PUT", "/_sim/scenario", json.dumps({"faults": [{"path": "*", "kind": "status", "times": -1}]}))
        try:
            self.assertEqual(self.call("GET", "/")[0], 200)
            self.assertEqual(self.call("GET", "/view/pictures/none.jpg")[0], 404)
            self.assertEqual(json.loads(self.call("GET", "/_sim/requests")[2]), [])
        finally:
            self.call("PUT", "/_sim/scenario", "{}")

    def test_plain_port_serves_the_page_only(self):
        for path in ("/_sim/requests", "/camapi/v3/token/1", "/view/pictures/..%2Fcerts%2Fca.key"):
            with self.subTest(path=path):
                self.assertEqual(self.call("GET", path, plain=True)[0], 404)
        self.assertEqual(self.call("PUT", "/", b"x", plain=True)[0], 404)


if __name__ == "__main__":
    unittest.main()
