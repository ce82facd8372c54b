"""PicTrimApp shrinks the camera's pictures and keeps their EXIF data

The camera leaves full-size pictures (with EXIF and a thumbnail) in the
transmit folder; PicTrimApp brings them to 1280x720, lets jpegoptim take
half of each file's size off, and puts the EXIF block back without its
thumbnail.
"""
import os
import shutil
import subprocess
import sys

TARGET = ("1280", "720", "50")


def describe(ctx, tool, folder):
    for name in sorted(os.listdir(folder)):
        if name.lower().endswith(".jpg"):
            out = subprocess.run([tool, "info", os.path.join(folder, name)],
                                 capture_output=True, text=True).stdout.strip()
            ctx.say("  %-14s %s" % (name, out))


def run(ctx):
    tool = ctx.binary("campictures")
    folder = ctx.path("/media/sdcard/TRANSMIT/")
    os.makedirs(folder, exist_ok=True)
    subprocess.run([tool, "make", folder, "3", "2592", "1944"], check=True)
    shutil.copy(shutil.which("jpegoptim"), folder + "jpegoptim")
    with open(folder + ".token", "w") as f:
        f.write("demo-token")

    ctx.say("pictures as the camera left them:")
    describe(ctx, tool, folder)
    argv = [ctx.binary("PicTrimApp"), *TARGET, folder, "UCID0001", "127.0.0.1:9", "443"]
    ctx.say("$ PicTrimApp %s" % " ".join(a if a != folder else "<card>/TRANSMIT/" for a in argv[1:]))
    run_ = subprocess.run(argv, capture_output=True, text=True, timeout=300)
    for line in run_.stdout.splitlines():
        ctx.say("stdout | " + line)
    ctx.say("pictures after the run:")
    describe(ctx, tool, folder)
    if os.path.exists(folder + "log.txt"):
        with open(folder + "log.txt", errors="replace") as f:
            for line in f.read().splitlines():
                ctx.say("log.txt | " + line.rstrip("\r"))
    else:
        ctx.say("log.txt: nothing to report")
    if "CODE 0 END PROGRAM" not in run_.stdout:
        raise RuntimeError("PicTrimApp did not succeed")


if __name__ == "__main__":
    # On its own: python3 scripts/demo.d/40_pictrim.py --build build
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
