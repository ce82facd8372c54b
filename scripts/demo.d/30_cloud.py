"""The cloud API simulator, and a sync against it"""
import json
import os
import select
import subprocess
import sys
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
IMEI = "861234567890123"


def start_cloud(ctx):
    """The simulator on a free loopback port; its CA goes to usrdata/cacert.pem."""
    proc = subprocess.Popen(
        [sys.executable, os.path.join(TOP, "sim", "cloud", "cloudsim.py"),
         "--workdir", ctx.path("/cloudsim"), "--cacert-out", ctx.path("/usrdata/cacert.pem")],
        stdout=subprocess.PIPE)
    ready, _, _ = select.select([proc.stdout], [], [], 60)
    if not ready:
        proc.kill()
        raise TimeoutError("cloud simulator not ready")
    info = json.loads(proc.stdout.readline())
    ctx.say("cloud simulator ready at %s (CA handed to usrdata/cacert.pem)" % info["base"])
    return proc, info


def control(info, method, path, body=None):
    import ssl
    ctx = ssl.create_default_context(cafile=info["cacert"])
    req = urllib.request.Request(info["base"] + path, method=method,
                                 data=None if body is None else json.dumps(body).encode())
    with urllib.request.urlopen(req, context=ctx, timeout=30) as r:
        return json.loads(r.read() or b"null")


def show_requests(ctx, info):
    for r in control(info, "GET", "/_sim/requests"):
        what = "%s %s -> %s" % (r["method"], r["path"], r.get("status"))
        body = r.get("json")
        if isinstance(body, dict):
            what += "  body keys: %s" % ", ".join(body)
            if "uploads" in body:
                what += "  announced: %s" % ", ".join(u["name"] for u in body["uploads"])
        elif r["path"].startswith("/upload/"):
            what += "  %d bytes" % r["body_len"]
        ctx.say("cloud saw | " + what)


def run(ctx):
    proc, info = start_cloud(ctx)
    try:
        ctx.say("The daemon's configuration points at the simulator; three pictures wait.")
        ctx.write("/etc/trailnetd_conf.json", json.dumps({
            "host": "127.0.0.1:%d" % info["port"], "uploadPictureCount": 5,
            "transmitUser": True, "transmitAuto": True}))
        for i, name in enumerate(("PICT0001.JPG", "PICT0002.JPG", "PICT0003.JPG")):
            ctx.write("/media/sdcard/TRANSMIT/" + name, "\xff\xd8" + "x" * (1000 * (i + 1)), "w")
        ctx.write("/media/sdcard/STATUS.DSP", json.dumps({
            "model": "TC-9", "batteries": 87, "batteryType": "AA",
            "temperature": {"value": 71, "unit": "F"}, "memory": {"size": 30000, "used": 120}}))
        control(info, "PUT", "/_sim/scenario", {"answers": [{
            "config": {"transmitFreq": 4, "transmitUser": True, "transmitAuto": True,
                       "transmitTime": {"hour": 6, "minute": 30}},
            "uploads": "auto"}]})

        ctx.say("A sync runs in-process with the data connection marked up")
        ctx.say("(the daemon's own SYNC reaches the cloud once the cellular side brings the call up):")
        out = subprocess.run([ctx.binary("cloud_sync_driver"), IMEI], env=ctx.env(),
                             capture_output=True, text=True, timeout=300)
        ctx.say(out.stdout.strip())
        show_requests(ctx, info)
        left = os.listdir(ctx.path("/media/sdcard/TRANSMIT"))
        ctx.say("left in TRANSMIT: %s" % (", ".join(left) or "nothing"))

        ctx.say("Next the token is revoked: the PUT gets 401, the token is renewed, the sync goes on.")
        control(info, "POST", "/_sim/reset")
        control(info, "PUT", "/_sim/scenario", {"faults": [
            {"method": "PUT", "path": "/camapi/v3/camera/", "kind": "status", "status": 401}]})
        out = subprocess.run([ctx.binary("cloud_sync_driver"), IMEI], env=ctx.env(),
                             capture_output=True, text=True, timeout=300)
        ctx.say(out.stdout.strip())
        show_requests(ctx, info)
        ctx.say("What the daemon logged:")
        ctx.show_log(contains="token")
        ctx.show_log(contains="upload")
    finally:
        proc.terminate()
        proc.wait(30)
        ctx.say("cloud simulator stopped")


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(TOP, "scripts"))
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, "build")
    try:
        import demo  # noqa: E402
        sys.exit(0 if demo.run_chapter(build, os.path.abspath(__file__)) else 1)
    except ImportError:
        pass
    # Without the demo framework: a minimal context of the same shape.
    import glob
    import shutil
    import tempfile
    import time

    class MiniContext:
        def __init__(self):
            self.root = tempfile.mkdtemp(prefix="tndemo.")
            self.t0 = time.monotonic()
            for d in ("/proc", "/etc", "/usrdata", "/tmp", "/media/sdcard"):
                os.makedirs(self.path(d), exist_ok=True)
            self.write("/proc/mounts", "/dev/mmcblk0p1 /media/sdcard vfat rw,relatime 0 0\n")

        def say(self, text):
            print("[%7.3fs] %s" % (time.monotonic() - self.t0, text), flush=True)

        def path(self, absolute):
            return self.root + absolute

        def write(self, absolute, content, mode="w"):
            os.makedirs(os.path.dirname(self.path(absolute)), exist_ok=True)
            with open(self.path(absolute), mode) as f:
                f.write(content)

        def env(self):
            return dict(os.environ, TRAILNETD_ROOT=self.root)

        def binary(self, name):
            for cand in glob.glob(os.path.join(build, "**", name), recursive=True):
                if os.access(cand, os.X_OK):
                    return cand
            raise FileNotFoundError(name)

        def show_log(self, contains=None):
            with open(self.path("/media/sdcard/log.txt"), encoding="latin-1", newline="") as f:
                for line in f.read().split("\r\n"):
                    if line and (contains is None or contains in line):
                        self.say("log.txt | " + line)

    mini = MiniContext()
    try:
        run(mini)
    finally:
        shutil.rmtree(mini.root, ignore_errors=True)
