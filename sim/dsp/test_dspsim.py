"""The DSP simulator's script mode against the real daemon."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import dspsim  # noqa: E402

SCRIPT = r"""# a short session
expect RDY\r\n 30
send SP+PROCESS
expect SP+OK\n
send SP+STATE
expect 1\nSP+OK\n
sendraw AT+CSQ\r\n
quiet 1
send SP+NOPE
expect Unknown command : NOPE\r\n\x00\x00
"""


class Visible(unittest.TestCase):
    def test_control_bytes_are_named(self):
        self.assertEqual(dspsim.visible(b"SP+OK\n\x06\r\x00\x7f"), "SP+OK\\n<ACK>\\r<NUL><7F>")
        self.assertEqual(dspsim.unescape(r"a\r\n\x06"), b"a\r\n\x06")


class ScriptMode(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="dspsim.")
        for d in ("proc", "media/sdcard", "dev", "etc", "tmp", "usrdata"):
            os.makedirs(os.path.join(self.root, d))
        with open(os.path.join(self.root, "proc/mounts"), "w") as f:
            f.write("/dev/mmcblk0p1 /media/sdcard vfat rw 0 0\n")
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
        shutil.rmtree(self.root, ignore_errors=True)

    def run_script(self, text):
        path = os.path.join(self.root, "script.txt")
        with open(path, "w") as f:
            f.write(text)
        sim = subprocess.Popen([sys.executable, os.path.join(HERE, "dspsim.py"), "--root", self.root,
                                "--modem", "--script", path],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.procs.append(sim)
        link = os.path.join(self.root, "dev", "smd9")
        deadline = time.monotonic() + 30
        while not os.path.islink(link) and time.monotonic() < deadline:
            time.sleep(0.02)
        env = dict(os.environ, TRAILNETD_ROOT=self.root, TRAILNETD_FOREGROUND="1")
        daemon = subprocess.Popen([os.environ.get("TRAILNETD_BIN", "trailnetd")], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(daemon)
        out, err = sim.communicate(timeout=120)
        return sim.returncode, out.decode(), err.decode()

    def test_a_session_passes(self):
        code, out, err = self.run_script(SCRIPT)
        self.assertEqual(code, 0, out + err)
        self.assertIn("<modem  AT+CSQ\\r", out)

    def test_a_missing_reply_fails_with_what_came(self):
        code, out, err = self.run_script("expect RDY\\r\\n 30\nsend SP+PROCESS\nexpect SP+ERROR\\n 2\n")
        self.assertEqual(code, 1)
        self.assertIn("script.txt:3: expected SP+ERROR\\n, got ", err)
        self.assertIn("SP+OK\\n", err)


if __name__ == "__main__":
    unittest.main()
