#!/usr/bin/env python3
"""The demo: one story told in chapters.

Every scripts/demo.d/NN_<name>.py is a chapter with run(ctx), run in name
order. Each chapter gets a fresh throw-away root tree; the context starts and
stops the daemon and the simulators there and prints a timestamped
transcript with control bytes visible.

    python3 scripts/demo.py --build build [--only NAME] [--keep]
"""
import argparse
import glob
import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "sim", "dsp"))
import dspsim  # noqa: E402

visible = dspsim.visible

STAND_INS = ("halt", "reboot", "sys_reboot", "sync", "ntpd")


class DemoContext:
    """What a chapter uses: a root tree, the daemon, simulators, a transcript."""

    def __init__(self, build, chapter, keep=False):
        self.build = os.path.abspath(build)
        self.top = TOP
        self.chapter = chapter
        self.keep = keep
        self.root = tempfile.mkdtemp(prefix="tndemo.")
        self.t0 = time.monotonic()
        self._procs = []  # (name, Popen)
        self._sims = []
        self.daemon = None
        for d in ("proc", "etc", "usrdata", "tmp", "dev", "media/sdcard", "stubs"):
            os.makedirs(self.path("/" + d), exist_ok=True)
        for tool in STAND_INS:
            self.stand_in(tool, "exit 0")
        self.mount_card(1)

    # ---- transcript ----
    def say(self, text):
        print("[%7.3fs] %s" % (time.monotonic() - self.t0, text), flush=True)

    def show_bytes(self, side, data):
        arrows = {"dsp>": "DSP    -> daemon", "<dsp": "daemon -> DSP   ",
                  "<modem": "daemon -> modem ", "modem>": "modem  -> daemon"}
        self.say("%s  %s" % (arrows.get(side, side), visible(data)))

    # ---- the root tree ----
    def path(self, absolute):
        return self.root + absolute

    def write(self, absolute, content, mode="w"):
        os.makedirs(os.path.dirname(self.path(absolute)), exist_ok=True)
        with open(self.path(absolute), mode) as f:
            f.write(content)

    def read(self, absolute, default=""):
        try:
            with open(self.path(absolute), encoding="latin-1", newline="") as f:
                return f.read()
        except OSError:
            return default

    def mount_card(self, state):
        """0 absent, 1 read-write, 2 read-only."""
        lines = "rootfs / rootfs rw 0 0\n"
        if state == 1:
            lines += "/dev/mmcblk0p1 /media/sdcard vfat rw,relatime 0 0\n"
        elif state == 2:
            lines += "/dev/mmcblk0p1 /media/sdcard vfat ro,relatime 0 0\n"
        self.write("/proc/mounts", lines)

    def stand_in(self, name, body="exit 0"):
        """A tool on the daemon's PATH that records its calls in /calls.txt."""
        p = self.path("/stubs/" + name)
        with open(p, "w") as f:
            f.write('#!/bin/sh\necho "%s $*" >> "%s"\n%s\n' % (name, self.path("/calls.txt"), body))
        os.chmod(p, 0o755)

    def calls(self):
        return self.read("/calls.txt")

    def log(self):
        return self.read("/media/sdcard/log.txt")

    def show_log(self, last=None, contains=None):
        # Lines end in CR LF; a message's own CR or LF is shown, not split on.
        lines = [l for l in self.log().split("\r\n") if l]
        if contains:
            lines = [l for l in lines if contains in l]
        if last:
            lines = lines[-last:]
        for line in lines:
            self.say("log.txt | " + visible(line.encode("latin-1", "replace")))

    # ---- programs ----
    def binary(self, name):
        for cand in glob.glob(os.path.join(self.build, "**", name), recursive=True):
            if os.path.isfile(cand) and os.access(cand, os.X_OK):
                return cand
        raise FileNotFoundError("%s not built under %s" % (name, self.build))

    def env(self, extra=None):
        env = dict(os.environ)
        env["PATH"] = self.path("/stubs") + ":" + env.get("PATH", "/usr/bin:/bin")
        env["TRAILNETD_ROOT"] = self.root
        env["TRAILNETD_FOREGROUND"] = "1"
        env.update(extra or {})
        return env

    def dsp(self, modem=True, modem_replies=None):
        """The DSP simulator on dev/ttyHS0 (and the AT channel on dev/smd9)."""
        sim = dspsim.DspSim(self.root, modem=modem, on_bytes=self.show_bytes,
                            modem_replies=modem_replies)
        self._sims.append(sim)
        return sim

    def start_process(self, name, argv, env=None, output=None):
        out = open(output or self.path("/%s.out" % name), "ab")
        p = subprocess.Popen(argv, env=self.env(env), stdout=out, stderr=subprocess.STDOUT,
                             cwd=self.root)
        out.close()
        self._procs.append((name, p))
        self.say("started %s (pid %d)" % (name, p.pid))
        return p

    def stop_process(self, p, name="process"):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self._procs = [(n, q) for n, q in self._procs if q is not p]
        self.say("stopped %s" % name)

    def start_daemon(self, env=None):
        self.daemon = self.start_process("trailnetd", [self.binary("trailnetd")], env=env,
                                         output=self.path("/daemon.out"))
        return self.daemon

    def stop_daemon(self):
        if self.daemon is not None:
            self.stop_process(self.daemon, "trailnetd")
            self.daemon = None

    def daemon_output(self):
        return self.read("/daemon.out")

    def wait_for(self, check, timeout=15.0, what="condition"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if check():
                return True
            time.sleep(0.05)
        raise TimeoutError("timed out waiting for " + what)

    def close(self):
        for name, p in list(self._procs):
            self.stop_process(p, name)
        for sim in self._sims:
            sim.close()
        if self.keep:
            self.say("root tree kept at " + self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


def load_chapter(path):
    name = os.path.splitext(os.path.basename(path))[0]
    spec = importlib.util.spec_from_file_location("chapter_" + name, path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return name, mod


def run_chapter(build, path, keep=False):
    name, mod = load_chapter(path)
    title = (mod.__doc__ or name).strip().splitlines()[0]
    print("\n=== %s: %s ===" % (name, title), flush=True)
    ctx = DemoContext(build, name, keep)
    try:
        mod.run(ctx)
        return True
    except Exception:  # a failed chapter is reported; the story goes on
        traceback.print_exc()
        print("--- chapter %s FAILED" % name, flush=True)
        return False
    finally:
        ctx.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(TOP, "build"), help="build directory")
    ap.add_argument("--only", help="run only chapters whose name contains this")
    ap.add_argument("--keep", action="store_true", help="keep the root trees")
    args = ap.parse_args()
    chapters = sorted(glob.glob(os.path.join(TOP, "scripts", "demo.d", "[0-9]*_*.py")))
    if args.only:
        chapters = [c for c in chapters if args.only in os.path.basename(c)]
    failed = [c for c in chapters if not run_chapter(args.build, c, args.keep)]
    print("\n%d chapters, %d failed" % (len(chapters), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
