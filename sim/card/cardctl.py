#!/usr/bin/env python3
"""Drives the power-cut card (cardfs.py): `cardctl.py SOCKET COMMAND...`
sends one control command and prints the reply; `Card` starts and stops one
mount for scripts and tests."""
import os
import shutil
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def card_python():
    """A Python with pyfuse3, or None."""
    for py in filter(None, [os.environ.get("TN_CARD_PYTHON"), "/usr/bin/python3", "python3"]):
        exe = shutil.which(py)
        if exe and subprocess.run([exe, "-c", "import pyfuse3, trio"],
                                  capture_output=True).returncode == 0:
            return exe
    return None


def why_not():
    """One line saying why the card cannot run here, or None."""
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse on this machine"
    if card_python() is None:
        return "no Python with pyfuse3 (python3-pyfuse3)"
    if os.geteuid() != 0 and shutil.which("fusermount3") is None:
        return "no fusermount3 (fuse3)"
    return None


def send(sock, line, timeout=60.0):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    try:
        s.connect(sock)
        s.sendall(line.encode() + b"\n")
        buf = b""
        while not buf.endswith(b"\n"):
            chunk = s.recv(4096)
            if not chunk:
                break
            buf += chunk
        return buf.decode().strip()
    finally:
        s.close()


class Card:
    """One card: `backing` served at `mount`, controlled through `control`."""

    def __init__(self, backing, mount, control, extra=()):
        self.backing, self.mount, self.control = backing, mount, control
        os.makedirs(backing, exist_ok=True)
        os.makedirs(mount, exist_ok=True)
        self.log = open(control + ".log", "ab")
        self.proc = subprocess.Popen(
            [card_python(), os.path.join(HERE, "cardfs.py"), "--backing", backing,
             "--mount", mount, "--control", control, *extra],
            stdout=subprocess.PIPE, stderr=self.log)
        line = self.proc.stdout.readline()
        if line.strip() != b"READY":
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError("card did not start: see " + control + ".log")

    def __call__(self, line, timeout=60.0):
        return send(self.control, line, timeout)

    def stats(self):
        import json
        return json.loads(self("stats"))

    def close(self):
        if self.proc is None:
            return
        try:
            self("quit", timeout=30)
            self.proc.wait(timeout=30)
        except Exception:
            self.proc.kill()
            self.proc.wait()
            subprocess.run(["umount", "-l", self.mount], capture_output=True)
        self.proc = None
        self.log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: cardctl.py SOCKET COMMAND...")
    print(send(sys.argv[1], " ".join(sys.argv[2:])))
