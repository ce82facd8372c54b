#!/usr/bin/env python3
"""The demo: one story told in chapters.

Every scripts/demo.d/NN_<name>.py is a chapter with run(ctx), run in name
order. Each chapter gets a fresh throw-away root tree; the context starts and
stops the daemon and the simulators there and prints a timestamped
transcript with control bytes visible.

    python3 scripts/demo.py --build build [--only NAME] [--keep] [--interactive]

At the end a summary table: each chapter's result and time, the figures the
chapters noted (pictures taken, uploaded, bytes) and every DSP command with
its answer. --interactive skips the chapters: it sets up the field-day world
(daemon, DSP, modem and cloud simulators, the cloud's camera page) and opens
a DSP console for a person to type commands.
"""
import argparse
import glob
import importlib.util
import json
import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "sim", "dsp"))
sys.path.insert(0, os.path.join(TOP, "sim", "card"))
import dspsim  # noqa: E402
import fatcard  # noqa: E402

visible = dspsim.visible

STAND_INS = ("halt", "reboot", "sys_reboot", "sync", "ntpd")


class Summary:
    """What the chapters did, for the table at the end."""

    def __init__(self):
        self.chapters = []  # (name, result, seconds)
        self.facts = []     # (chapter, name, value)
        self.commands = []  # (chapter, command, answer, seconds)

    def fact(self, chapter, name, value):
        self.facts.append((chapter, name, value))

    def table(self):
        lines = ["", "=== Summary ==="]
        lines.append("%-22s %-8s %8s" % ("chapter", "result", "time"))
        for name, result, seconds in self.chapters:
            lines.append("%-22s %-8s %7.1fs" % (name, result, seconds))
        if self.facts:
            lines.append("")
            lines.append("%-22s %-34s %s" % ("chapter", "figure", "value"))
            for chapter, name, value in self.facts:
                lines.append("%-22s %-34s %s" % (chapter, name, value))
        if self.commands:
            lines.append("")
            lines.append("%-22s %-16s %7s  %s" % ("chapter", "DSP command", "time", "answer"))
            for chapter, command, answer, seconds in self.commands:
                lines.append("%-22s %-16s %6.1fs  %s" % (chapter, command, seconds, answer))
        return "\n".join(lines)


def landed(operation):
    """False while daemon/core/pending.cpp still holds a stand-in for the operation."""
    try:
        with open(os.path.join(TOP, "daemon", "core", "pending.cpp")) as f:
            return re.search(r"\b%s\s*\(" % re.escape(operation), f.read()) is None
    except OSError:
        return True


class CommandWatch:
    """Pairs each SP+ command the DSP sends with the daemon's answer."""

    def __init__(self, summary, chapter):
        self.summary, self.chapter = summary, chapter
        self.pending = None

    def bytes(self, side, data):
        if side == "dsp>" and data[:3].upper() == b"SP+":
            self.finish("(no answer)")
            word = data.split(b"\r", 1)[0].decode("latin-1")
            self.pending = [word, b"", time.monotonic()]
        elif side == "<dsp" and self.pending is not None:
            self.pending[1] += data
            got = self.pending[1]
            if b"SP+OK\n" in got or b"SP+ERROR\n" in got or (got.startswith(b"Unknown") and len(got) >= 50):
                acks = got.count(b"\x06")
                text = visible(got.replace(b"\x06", b"").rstrip(b"\0"))
                self.finish(("<ACK> x%d, " % acks if acks else "") + text)

    def finish(self, answer):
        if self.pending is not None and self.summary is not None:
            word, _, t0 = self.pending
            self.summary.commands.append((self.chapter, word, answer, time.monotonic() - t0))
        self.pending = None


class CloudSim:
    """The cloud API simulator of sim/cloud, its CA handed to the root tree."""

    def __init__(self, ctx, view_port=None):
        argv = [sys.executable, os.path.join(TOP, "sim", "cloud", "cloudsim.py"),
                "--workdir", ctx.path("/cloudsim"), "--cacert-out", ctx.path("/usrdata/cacert.pem")]
        if view_port is not None:
            argv += ["--view-port", str(view_port)]
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE)
        ready, _, _ = select.select([self.proc.stdout], [], [], 60)
        if not ready:
            self.proc.kill()
            raise TimeoutError("cloud simulator not ready")
        self.info = json.loads(self.proc.stdout.readline())
        self.host = "127.0.0.1:%d" % self.info["port"]
        self.view = self.info.get("view")
        self.seen = 0
        self.link = None

    def control(self, method, path, body=None):
        import ssl
        import urllib.request
        context = ssl.create_default_context(cafile=self.info["cacert"])
        req = urllib.request.Request(self.info["base"] + path, method=method,
                                     data=None if body is None else json.dumps(body).encode())
        with urllib.request.urlopen(req, context=context, timeout=30) as r:
            return json.loads(r.read() or b"null")

    def scenario(self, scenario):
        self.control("PUT", "/_sim/scenario", scenario)

    def requests(self):
        return self.control("GET", "/_sim/requests")

    def new_requests(self):
        """The requests recorded since the last call."""
        every = self.requests()
        new, self.seen = every[self.seen:], len(every)
        return new

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


class LinkSim:
    """The link simulator of sim/link in front of a cloud simulator: its
    clients and upload slots then go through the relay (`profile` named in
    sim/link/linksim.py; `gate` carries traffic only during the modem
    simulator's data call)."""

    def __init__(self, ctx, cloud, profile, extra=(), gate=False):
        self.control_path = ctx.path("/tmp/link.ctl")
        os.makedirs(os.path.dirname(self.control_path), exist_ok=True)
        argv = [sys.executable, os.path.join(TOP, "sim", "link", "linksim.py"),
                "--to", "127.0.0.1:%d" % cloud.info["port"], "--profile", profile,
                "--control", self.control_path] + list(extra)
        if gate:
            argv += ["--gate-modem", ctx.path("/tmp/modem_sim.ctl")]
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE)
        ready, _, _ = select.select([self.proc.stdout], [], [], 60)
        if not ready:
            self.proc.kill()
            raise TimeoutError("link simulator not ready")
        self.info = json.loads(self.proc.stdout.readline())
        self.host = "127.0.0.1:%d" % self.info["port"]
        cloud.control("PUT", "/_sim/base", {"base": "https://" + self.host})
        cloud.host = self.host
        cloud.link = self

    def command(self, line):
        """One control line; the answer line."""
        import socket
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(30)
            s.connect(self.control_path)
            s.sendall((line + "\n").encode())
            return s.makefile("r").readline().strip()

    def counters(self):
        return json.loads(self.command("counters")[3:])

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


class TusServer:
    """The tus upload server of sim/tus (node from PATH, its npm packages from
    scripts/setup) with the cloud simulator's certificate, so the daemon
    checks it against the same CA. `options` are server.js options
    ("--expiry", "30", "--relative-location", ...)."""

    def __init__(self, ctx, cloud, options=()):
        script = os.path.join(TOP, "sim", "tus", "server.js")
        if not os.path.isdir(os.path.join(TOP, "sim", "tus", "node_modules", "@tus", "server")):
            raise RuntimeError("the tus server's npm packages are missing: run scripts/setup")
        certs = os.path.join(cloud.info["workdir"], "certs")
        self.log = ctx.path("/tus/requests.jsonl")
        os.makedirs(os.path.dirname(self.log), exist_ok=True)
        argv = ["node", script, "--store", ctx.path("/tus/store"),
                "--cert", os.path.join(certs, "server.pem"),
                "--key", os.path.join(certs, "server.key"), "--log", self.log] + list(options)
        # Its own session: close() stops the whole group.
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, start_new_session=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], 60)
        line = self.proc.stdout.readline() if ready else b""
        if not line:
            self.close()
            raise TimeoutError("tus server not ready")
        self.info = json.loads(line)
        self.host = "127.0.0.1:%d" % self.info["port"]
        self.creation = self.info["creation"]

    def stored(self, upload_url):
        """The file holding an upload's bytes."""
        return os.path.join(self.info["store"], upload_url.rstrip("/").rsplit("/", 1)[-1])

    def requests(self):
        """Every finished request, oldest first (see server.js --log)."""
        try:
            with open(self.log) as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def close(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
                self.proc.wait(30)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


def describe_request(r):
    """One line: the cloud's view of a request."""
    what = "%s %s -> %s" % (r["method"], r["path"], r.get("status"))
    body = r.get("json")
    if isinstance(body, dict):
        parts = []
        if isinstance(body.get("status"), dict):
            st = body["status"]
            parts.append("status (bars %s, battery %s, %s)" % (
                (st.get("signal") or {}).get("bar"), (st.get("batteries") or ["?"])[0], st.get("model")))
        if isinstance(body.get("uploads"), list):
            parts.append("announces %s" % (", ".join(u.get("name", "?") for u in body["uploads"]) or "nothing"))
        if isinstance(body.get("requests"), dict):
            parts.append("requests %s" % json.dumps(body["requests"], separators=(",", ":"))[:120])
        what += "  " + "; ".join(parts) if parts else ""
    elif r.get("body_len"):
        what += "  %d bytes" % r["body_len"]
    answer = r.get("answer")
    if isinstance(answer, dict) and answer:
        what += "  answer: %s" % ", ".join(answer)
    return what


class DemoContext:
    """What a chapter uses: a root tree, the daemon, simulators, a transcript."""

    def __init__(self, build, chapter, keep=False, summary=None):
        self.build = os.path.abspath(build)
        self.summary = summary
        self.commands = CommandWatch(summary, chapter)
        self.clouds = []
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
        # The card is FAT, as on the camera (TN_CARD picks; fatcard.py).
        self.card_kind = fatcard.chosen(notice=False)
        self.card = None
        if self.card_kind != "folder":
            self.card = fatcard.Mounted(self.path("/media/sdcard"), self.path("/.card"),
                                        self.card_kind)
        for tool in STAND_INS:
            self.stand_in(tool, "exit 0")
        # The daemon sets the clock with "date -u -s": never the desk's.
        self.stand_in("date", '[ "$1 $2" = "-u -s" ] && exit 0\nexec /bin/date "$@"')
        self.mount_card(1)

    # ---- transcript ----
    def say(self, text):
        print("[%7.3fs] %s" % (time.monotonic() - self.t0, text), flush=True)

    def show_bytes(self, side, data):
        self.commands.bytes(side, data)
        arrows = {"dsp>": "DSP    -> daemon", "<dsp": "daemon -> DSP   ",
                  "<modem": "daemon -> modem ", "modem>": "modem  -> daemon"}
        self.say("%s  %s" % (arrows.get(side, side), visible(data)))

    def fact(self, name, value):
        """A figure for the summary table."""
        if self.summary is not None:
            self.summary.fact(self.chapter, name, value)

    def not_landed(self, what):
        """One line for a piece of the story that is not in this build yet."""
        self.say("(not landed yet: %s; the story goes on)" % what)
        self.fact("not landed yet", what)

    def cloud(self, view_port=None, link=None, link_args=(), gate=False):
        """The cloud simulator; stopped with the context. With `link` (a
        profile name) the daemon reaches it through the link simulator
        (sim.host, sim.link)."""
        sim = CloudSim(self, view_port)
        self.clouds.append(sim)
        self.say("cloud simulator ready at %s%s" % (
            sim.info["base"], "; camera page at " + sim.view if sim.view else ""))
        if link is not None:
            relay = LinkSim(self, sim, link, link_args, gate)
            self.clouds.append(relay)
            self.say("link simulator (%s) in front of it at %s" % (link, relay.host))
        return sim

    def tus_server(self, cloud, options=()):
        """The tus upload server beside `cloud` (sharing its CA); stopped
        with the context."""
        srv = TusServer(self, cloud, options)
        self.clouds.append(srv)
        self.say("tus server ready at %s; uploads are created at %s" % (srv.info["base"], srv.creation))
        return srv

    def show_cloud(self, sim):
        for r in sim.new_requests():
            self.say("cloud saw | " + describe_request(r))

    # ---- the root tree ----
    def path(self, absolute):
        return self.root + absolute

    def write(self, absolute, content, mode="w"):
        os.makedirs(os.path.dirname(self.path(absolute)), exist_ok=True)
        with open(self.path(absolute), mode) as f:
            f.write(content)

    def transmit_pictures(self, prefix, count, size, seed):
        """`count` pictures of `size` random bytes after a JPEG start, named
        PREFIX0001.JPG..., waiting in TRANSMIT; returns {name: bytes}."""
        rnd = random.Random(seed)
        made = {}
        for i in range(count):
            name = "%s%04d.JPG" % (prefix, i + 1)
            made[name] = b"\xff\xd8" + rnd.randbytes(size - 2)
            self.write("/media/sdcard/TRANSMIT/" + name, made[name], "wb")
        return made

    def intact_at_cloud(self, made, names=None):
        """How many of `names` (all of `made`) the cloud simulator holds
        byte for byte."""
        def same(name):
            try:
                with open(os.path.join(self.path("/cloudsim"), "uploads", name), "rb") as f:
                    return f.read() == made[name]
            except OSError:
                return False
        return sum(1 for name in (made if names is None else names) if same(name))

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
        # A cross build's programs start through their emulator launchers.
        launcher = os.path.join(self.build, "emulated", name)
        if os.access(launcher, os.X_OK):
            return launcher
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

    def start_modem(self, scenario):
        """The modem simulator playing `scenario` (JSON text). Returns the
        process and control(*words), which runs modem_simctl, shows its
        answer and returns it."""
        self.write("/scenario.json", scenario)
        p = self.start_process("modem_sim", [self.binary("modem_sim"), "--root", self.root,
                                             "--scenario", self.path("/scenario.json")])
        self.wait_for(lambda: "READY" in self.read("/modem_sim.out"), 20, "the modem simulator")
        simctl = self.binary("modem_simctl")

        def control(*words):
            out = subprocess.run([simctl] + list(words), env=self.env(), capture_output=True,
                                 text=True)
            self.say("modem_simctl %s -> %s" % (" ".join(words), out.stdout.strip()))
            return out.stdout.strip()
        return p, control

    def modem_path(self):
        """PATH for a daemon beside the modem simulator: its pidof and the
        recording stand-ins first."""
        return (self.path("/sim/bin") + ":" + self.path("/stubs") + ":" +
                os.environ.get("PATH", "/usr/bin:/bin"))

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
        self.commands.finish("(no answer)")
        for name, p in list(self._procs):
            self.stop_process(p, name)
        for sim in self.clouds:
            sim.close()
        for sim in self._sims:
            sim.close()
        if self.card is not None:
            self.card.close()
        if self.keep:
            self.say("root tree kept at " + self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


def load_chapter(path):
    name = os.path.splitext(os.path.basename(path))[0]
    found = importlib.util.spec_from_file_location("chapter_" + name, path)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return name, mod


def run_chapter(build, path, keep=False, summary=None):
    name, mod = load_chapter(path)
    title = (mod.__doc__ or name).strip().splitlines()[0]
    print("\n=== %s: %s ===" % (name, title), flush=True)
    ctx = DemoContext(build, name, keep, summary)
    t0 = time.monotonic()
    ok = False
    try:
        mod.run(ctx)
        ok = True
    except Exception:  # a failed chapter is reported; the story goes on
        traceback.print_exc()
        print("--- chapter %s FAILED" % name, flush=True)
    finally:
        ctx.close()
        if summary is not None:
            summary.chapters.append((name, "ok" if ok else "FAILED", time.monotonic() - t0))
    return ok


def console(ctx, dsp, cloud=None, in_process_sync=False):
    """A DSP console: a person types commands, the daemon's bytes are shown."""
    print("\nDSP console. Type a command: sync, firstsync, cell, state, getsignalbar,")
    print("getdatetime, process, powerdown (SP+ is added), or a raw SP+.../AT... line.")
    print("Also: pictures N (the DSP writes N pictures to TRANSMIT), log [N], card on|off, quit.")
    if cloud is not None and cloud.view:
        print("The cloud's camera page: %s" % cloud.view)
    print("Root tree: %s\n" % ctx.root, flush=True)
    words = ("PROCESS", "SYNC", "CELL", "FIRSTSYNC", "GETSIGNALBAR", "GETDATETIME", "STATE", "POWERDOWN")
    made = 0
    typed = b""
    ended = False
    while True:
        # Raw reads: a pasted block of lines must not sit unseen in a stdin buffer.
        if not ended and b"\n" not in typed:
            r, _, _ = select.select([sys.stdin.fileno()], [], [], 0.1)
            if r:
                chunk = os.read(sys.stdin.fileno(), 4096)
                typed += chunk if chunk else b"\n"
                ended = not chunk
        if b"\n" in typed:
            raw, typed = typed.split(b"\n", 1)
            line = raw.decode("latin-1").strip()
            verb, _, arg = line.partition(" ")
            if verb in ("quit", "exit"):
                return
            if verb == "log":
                ctx.show_log(last=int(arg) if arg.isdigit() else 10)
            elif verb == "card":
                ctx.mount_card(1 if arg != "off" else 0)
                ctx.say("SD card %s" % ("mounted" if arg != "off" else "removed"))
            elif verb == "pictures":
                folder = ctx.path("/media/sdcard/TRANSMIT/")
                os.makedirs(folder, exist_ok=True)
                n = int(arg) if arg.isdigit() else 1
                # Made beside TRANSMIT on the card, then renamed in whole.
                tmp = ctx.path("/media/sdcard/.newpics")
                os.makedirs(tmp, exist_ok=True)
                subprocess.run([ctx.binary("campictures"), "make", tmp + "/", str(n), "1280", "720"], check=True,
                               stdout=subprocess.DEVNULL)
                for f in sorted(os.listdir(tmp)):
                    made += 1
                    os.replace(os.path.join(tmp, f), folder + "PICT%04d.JPG" % (9000 + made))
                ctx.say("the DSP wrote %d picture(s) to TRANSMIT" % n)
            elif not line:
                pass
            elif verb.upper() in words:
                if in_process_sync and verb.upper() in ("SYNC", "FIRSTSYNC"):
                    ctx.say("(no cellular handler in this build: the cloud side runs in-process first)")
                    out = subprocess.run([ctx.binary("cloud_sync_driver"), "861234567890123"]
                                         + (["1"] if verb.upper() == "FIRSTSYNC" else []),
                                         env=ctx.env(), capture_output=True, text=True, timeout=600)
                    ctx.say("cloud_sync_driver: %s" % out.stdout.strip())
                    if cloud is not None:
                        ctx.show_cloud(cloud)
                dsp.send("SP+" + verb.upper())
            else:
                dsp.send(line)
        elif ended:
            # End of input: let the last command answer, then leave as quit does.
            deadline = time.monotonic() + 600
            while ctx.commands.pending is not None and time.monotonic() < deadline:
                dsp.read_for(0.1)
            return
        dsp.read_for(0.05)
        if ctx.daemon is not None and ctx.daemon.poll() is not None:
            ctx.say("trailnetd ended with status %d" % ctx.daemon.returncode)
            ctx.daemon = None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(TOP, "build"), help="build directory")
    ap.add_argument("--only", help="run only chapters whose name contains this")
    ap.add_argument("--keep", action="store_true", help="keep the root trees")
    ap.add_argument("--interactive", action="store_true",
                    help="set up the field-day world and open a DSP console instead of the chapters")
    args = ap.parse_args()
    chapters = sorted(glob.glob(os.path.join(TOP, "scripts", "demo.d", "[0-9]*_*.py")))
    if args.interactive:
        return interactive(args.build, chapters, args.keep)
    if args.only:
        chapters = [c for c in chapters if args.only in os.path.basename(c)]
    print(card_line(), flush=True)
    summary = Summary()
    t0 = time.monotonic()
    failed = [c for c in chapters if not run_chapter(args.build, c, args.keep, summary)]
    print(summary.table())
    print("\n%d chapters, %d failed, %.0f s" % (len(chapters), len(failed), time.monotonic() - t0))
    return 1 if failed else 0


def card_line():
    kind = fatcard.chosen()
    if kind == "folder":
        return "The SD card is a plain folder here (TN_CARD=folder or no FUSE)."
    return ("The SD card is FAT, as the camera's (TN_CARD=%s: %s; TN_CARD=folder for a "
            "plain folder)." % (kind, "FAT's rules on the card simulator" if kind == "fat"
                                else "a FAT32 image under fusefat"))


def interactive(build, chapters, keep):
    """The world of the chapter that offers one (world(ctx) -> (dsp, cloud, ...)), then the console."""
    for path in chapters:
        name, mod = load_chapter(path)
        if hasattr(mod, "world"):
            break
    else:
        print("no chapter sets up a world for the console", file=sys.stderr)
        return 1
    print(card_line(), flush=True)
    ctx = DemoContext(build, "interactive", keep)
    try:
        made = mod.world(ctx)
        dsp, cloud = made[0], made[1]
        console(ctx, dsp, cloud, in_process_sync=len(made) > 2 and not made[2])
    except KeyboardInterrupt:
        pass
    finally:
        ctx.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
