#!/usr/bin/env python3
"""Self-test of the NTP simulator and the desk's ntpd stand-in: each answer
kind as the stand-in's SNTP client reads it, and a setting changed through the
control socket."""

import json
import os
import socket
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import ntpd_desk  # noqa: E402


class NtpSimTest(unittest.TestCase):
    def start(self, *settings):
        args = [sys.executable, os.path.join(HERE, "ntpsim.py")]
        for s in settings:
            args += ["--set", s]
        p = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        self.addCleanup(p.wait)
        self.addCleanup(p.terminate)
        ready = json.loads(p.stdout.readline())
        self.assertTrue(ready["ready"], ready)
        return ready

    def control(self, ready, line):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(ready["control"])
            s.sendall((line + "\n").encode())
            return s.makefile().readline().strip()

    def test_answers(self):
        # (settings, what the client makes of it: seconds off the desk's clock, or None)
        cases = [
            (["offset_s=0"], 0),
            (["offset_s=-86400"], -86400),
            (["epoch=0"], -time.time()),
            (["answer=kod"], None),
            (["answer=unsynced"], None),
        ]
        for settings, off in cases:
            with self.subTest(settings=settings):
                ready = self.start(*settings)
                t = ntpd_desk.ask("127.0.0.1", ready["port"])
                if off is None:
                    self.assertIsNone(t)
                else:
                    self.assertAlmostEqual(t - time.time(), off, delta=5)

    def test_silent_drop_and_control(self):
        ready = self.start("answer=silent")
        with self.assertRaises(socket.timeout):
            ntpd_desk.ask("127.0.0.1", ready["port"])
        self.assertEqual(self.control(ready, "set answer \"ok\""), "OK")
        self.assertEqual(self.control(ready, "set drop_first 1"), "OK")
        with self.assertRaises(socket.timeout):
            ntpd_desk.ask("127.0.0.1", ready["port"])
        self.assertIsNotNone(ntpd_desk.ask("127.0.0.1", ready["port"]))
        counters = json.loads(self.control(ready, "counters")[3:])
        self.assertEqual(counters, {"requests": 3, "answered": 1})
        self.assertTrue(self.control(ready, "set answer late").startswith("ERR"))

    def test_the_images_ntpd(self):
        # The module image's ntpd -q (ntpd_sntp, TN_NTPD_SNTP), printing what
        # it would set: a good answer sets the clock once and ends; a bad or
        # no answer is refused and asked again every 2 s until it is killed.
        binary = os.environ.get("TN_NTPD_SNTP")
        if not binary:
            self.skipTest("TN_NTPD_SNTP is not set (ctest sets it)")
        env = dict(os.environ, TN_NTPD_DRY_RUN="1")
        cases = [
            (["offset_s=0"], 0),
            (["offset_s=-86400"], -86400),
            (["drop_first=1"], 0),
            (["answer=kod"], None),
            (["answer=unsynced"], None),
            (["answer=silent"], None),
        ]
        for settings, off in cases:
            with self.subTest(settings=settings):
                ready = self.start(*settings)
                p = subprocess.Popen([binary, "-nNqp", "127.0.0.1:%d" % ready["port"]], env=env,
                                     stdout=subprocess.PIPE, text=True)
                killed = False
                try:
                    out, _ = p.communicate(timeout=4.5 if off is None else 60)
                except subprocess.TimeoutExpired:
                    p.kill()
                    out, _ = p.communicate()
                    killed = True
                if off is None:
                    self.assertTrue(killed, "ended on a refused answer: %r" % out)
                    self.assertEqual("", out)
                    asked = json.loads(self.control(ready, "counters")[3:])["requests"]
                    self.assertGreaterEqual(asked, 2, "asks again")
                    self.assertLessEqual(asked, 4, "every 2 s, not in a loop")
                else:
                    self.assertEqual(0, p.returncode, out)
                    t = float(out.split("would set time to ")[1].split()[0])
                    self.assertAlmostEqual(t - time.time(), off, delta=5)


if __name__ == "__main__":
    unittest.main()
