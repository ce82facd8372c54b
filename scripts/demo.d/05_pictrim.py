"""PicTrimApp shrinks the camera's pictures, keeps their EXIF data and uploads them

The camera leaves full-size pictures (with EXIF and a thumbnail) in the
transmit folder; PicTrimApp brings them to 1280x720, lets jpegoptim take
half of each file's size off, puts the EXIF block back without its
thumbnail, announces the pictures to the cloud simulator and sends each
into the upload slot it answers with.
"""
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile

TARGET = ("1280", "720", "50")


def describe(ctx, tool, folder):
    for name in sorted(os.listdir(folder)):
        if name.lower().endswith(".jpg"):
            out = subprocess.run([tool, "info", os.path.join(folder, name)],
                                 capture_output=True, text=True).stdout.strip()
            ctx.say("  %-14s %s" % (name, out))


def start_cloud(ctx, cacert):
    script = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "sim", "cloud", "cloudsim.py")
    workdir = tempfile.mkdtemp(prefix="pictrim-cloud.")
    proc = subprocess.Popen([sys.executable, script, "--workdir", workdir,
                             "--cacert-out", cacert], stdout=subprocess.PIPE)
    ready, _, _ = select.select([proc.stdout], [], [], 60)
    if not ready:
        proc.kill()
        raise RuntimeError("cloud simulator did not start")
    info = json.loads(proc.stdout.readline())
    ctx.say("cloud simulator ready at %s (its CA copied to the folder as cacert.pem)"
            % info["base"])
    return proc, info, workdir


def show_cloud(ctx, workdir):
    with open(os.path.join(workdir, "requests.jsonl")) as f:
        for line in f:
            r = json.loads(line)
            what = ""
            if "json" in r and "uploads" in r["json"]:
                what = " announces " + ", ".join(
                    "%s (%d bytes)" % (u["name"], u["size"]) for u in r["json"]["uploads"])
            elif "answer" in r and "uploads" in r["answer"]:
                what = " -> %d upload slots" % len(r["answer"]["uploads"])
            if r["path"].startswith("/upload/"):
                what = " stores %d bytes" % r["body_len"]
            ctx.say("cloud | %s %s -> %s%s" % (r["method"], r["path"], r["status"], what))


def run(ctx):
    tool = ctx.binary("campictures")
    folder = ctx.path("/media/sdcard/TRANSMIT/")
    os.makedirs(folder, exist_ok=True)
    subprocess.run([tool, "make", folder, "3", "2592", "1944"], check=True)
    shutil.copy(shutil.which("jpegoptim"), folder + "jpegoptim")
    with open(folder + ".token", "w") as f:
        f.write("demo-token")
    cloud, info, workdir = start_cloud(ctx, folder + "cacert.pem")
    try:
        ctx.say("pictures as the camera left them:")
        describe(ctx, tool, folder)
        host = "127.0.0.1:%d" % info["port"]
        argv = [ctx.binary("PicTrimApp"), *TARGET, folder, "UCID0001", host, "443"]
        ctx.say("$ PicTrimApp %s" % " ".join(
            a if a != folder else "<card>/TRANSMIT/" for a in argv[1:]))
        # The simulator takes the demo token only if told to.
        import urllib.request
        import ssl
        req = urllib.request.Request(info["base"] + "/_sim/scenario", method="PUT",
                                     data=json.dumps({"accept_tokens": ["demo-token"]}).encode())
        urllib.request.urlopen(req, context=ssl.create_default_context(
            cafile=folder + "cacert.pem"), timeout=30).read()

        result = subprocess.run(argv, capture_output=True, text=True, timeout=300)
        for line in result.stdout.splitlines():
            ctx.say("stdout | " + line)
        show_cloud(ctx, workdir)
        ctx.say("the cloud received:")
        describe(ctx, tool, os.path.join(workdir, "uploads"))
        left = sorted(n for n in os.listdir(folder) if n.lower().endswith(".jpg"))
        ctx.say("pictures left in the folder: %s" % (", ".join(left) or "none"))
        with open(folder + "sent.txt") as f:
            ctx.say("sent.txt: " + ", ".join(f.read().split()))
        with open(folder + "log.txt", errors="replace") as f:
            for line in f.read().splitlines():
                ctx.say("log.txt | " + line.rstrip("\r"))
        if "CODE 0 END PROGRAM" not in result.stdout:
            raise RuntimeError("PicTrimApp did not succeed")
    finally:
        cloud.terminate()
        cloud.wait(30)
        cloud.stdout.close()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    # On its own: python3 scripts/demo.d/05_pictrim.py --build build
    import argparse
    import tempfile
    import time

    class Ctx:
        def __init__(self, build):
            self.build = os.path.abspath(build)
            self.root = tempfile.mkdtemp(prefix="pictrim-demo.")
            self.t0 = time.monotonic()

        def say(self, text):
            print("[%7.3fs] %s" % (time.monotonic() - self.t0, text), flush=True)

        def path(self, absolute):
            return self.root + absolute

        def binary(self, name):
            for dirpath, _, files in os.walk(self.build):
                if name in files:
                    return os.path.join(dirpath, name)
            raise FileNotFoundError(name)

    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ctx = Ctx(ap.parse_args().build)
    try:
        run(ctx)
    finally:
        shutil.rmtree(ctx.root, ignore_errors=True)
    sys.exit(0)
