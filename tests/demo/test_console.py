"""The demo's DSP console, used as a person would: type, read the answer, quit."""
import os
import select
import subprocess
import sys
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("TN_BUILD_DIR", os.path.join(TOP, "build"))


class Console(unittest.TestCase):
    def read_until(self, proc, text, timeout=120):
        seen = ""
        deadline = time.monotonic() + timeout
        while text not in seen:
            left = deadline - time.monotonic()
            self.assertGreater(left, 0, "no %r in:\n%s" % (text, seen))
            ready, _, _ = select.select([proc.stdout], [], [], left)
            if ready:
                chunk = os.read(proc.stdout.fileno(), 4096).decode(errors="replace")
                self.assertTrue(chunk, "the console ended early:\n" + seen)
                seen += chunk
        return seen

    def test_commands_typed_reach_the_daemon_and_quit_ends_everything(self):
        proc = subprocess.Popen([sys.executable, os.path.join(TOP, "scripts", "demo.py"), "--build", BUILD,
                                 "--interactive"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        try:
            self.read_until(proc, "DSP console")
            self.read_until(proc, "RDY\\r\\n")
            proc.stdin.write(b"state\n")
            proc.stdin.flush()
            seen = self.read_until(proc, "SP+OK\\n")
            self.assertIn("SP+STATE\\r", seen)
            self.assertIn("daemon -> DSP     1\\n", seen)
            proc.stdin.write(b"pictures 1\nquit\n")
            proc.stdin.flush()
            seen = self.read_until(proc, "stopped trailnetd")
            self.assertIn("wrote 1 picture", seen)
            self.assertEqual(proc.wait(60), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            proc.stdin.close()
            proc.stdout.close()


if __name__ == "__main__":
    unittest.main()
