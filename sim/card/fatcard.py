#!/usr/bin/python3
"""The SD card of a test or the demo as a FAT card, with a watchdog.

Mounts a card over --mount and keeps it until its standard input ends (the
test or demo that started it is done, or died), then unmounts it. Engines
(--engine):
  fat       the card simulator with FAT's rules (cardfs.py --fat): no
            permissions, no links, names without regard to case, 4 GiB
            files, 2 s times. Every workload of the daemon and PicTrimApp.
  fatimage  a real FAT32 image (mkfs.vfat, 32 MiB sparse) mounted with
            fusefat. fusefat 0.1a serves creating, reading, renaming and
            deleting files; it refuses a write at the end of a file still
            in its first cluster (every append to a short log), corrupts
            the cluster chain when a file of more than one cluster is
            rewritten with O_TRUNC and loses a renamed folder's entries;
            writes into such a chain can spin it for good (see
            docs/sd-card.md).
A FUSE process that hangs must not hang CI: the watchdog asks the card for a
name once a second, and when no answer came for --deadline seconds (60) it
says so on standard error, kills the engine and detaches the mount, so the
test's file operations fail (ENOTCONN) instead of blocking.

Prints "READY" once mounted; unmounts when its standard input ends.
Scripts use chosen() and Mounted (the demo context does).
Usage: fatcard.py --mount DIR --work DIR [--engine fat|fatimage] [--deadline S]
"""
import argparse
import os
import select
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
IMAGE_BYTES = 32 << 20


def say(text):
    print("fatcard: " + text, file=sys.stderr, flush=True)


def mounted(path):
    path = os.path.realpath(path)
    with open("/proc/self/mountinfo") as f:
        for line in f:
            if line.split()[4] == path:
                return True
    return False


def detach(path):
    """Lazy unmount: the last resort, never blocks on the FUSE process."""
    for cmd in (["fusermount", "-uz", path], ["umount", "-l", path]):
        if shutil.which(cmd[0]):
            subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)
            if not mounted(path):
                return


class Engine:
    def __init__(self, mount, work, kind):
        self.mount, self.work, self.kind = mount, work, kind
        self.proc = None
        self.control = os.path.join(work, "card.sock")

    def start(self):
        os.makedirs(self.work, exist_ok=True)
        if self.kind == "fat":
            medium = os.path.join(self.work, "medium")
            os.makedirs(medium, exist_ok=True)
            # What the folder held goes onto the card first.
            for name in os.listdir(self.mount):
                shutil.move(os.path.join(self.mount, name), os.path.join(medium, name))
            self.proc = subprocess.Popen(
                [sys.executable, os.path.join(HERE, "cardfs.py"), "--fat", "--backing", medium,
                 "--mount", self.mount, "--control", self.control],
                stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
            ready, _, _ = select.select([self.proc.stdout], [], [], 60)
            if not ready or self.proc.stdout.readline().strip() != b"READY":
                raise RuntimeError("the card simulator did not start")
        else:
            image = os.path.join(self.work, "card.img")
            with open(image, "wb") as f:
                f.truncate(IMAGE_BYTES)
            subprocess.run(["mkfs.vfat", "-F", "32", image], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if os.listdir(self.mount):
                raise RuntimeError("fatimage: the mount point is not empty")
            # hard_remove: no .fuse_hidden files left on the image.
            self.proc = subprocess.Popen(
                ["fusefat", "-f", "-o", "rw+,hard_remove", image, self.mount],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 30
            while not mounted(self.mount):
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("fusefat did not mount the image")
                time.sleep(0.01)

    def stop(self, timeout=15):
        """Unmounts; a process that does not go in time is killed."""
        if self.proc is None:
            return
        if self.kind == "fat":
            card_command(self.control, "quit")
        else:
            try:
                subprocess.run(["fusermount", "-u", self.mount], timeout=timeout,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                pass
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            say("the card at %s did not unmount within %d s: its FUSE process killed"
                % (self.mount, timeout))
            self.kill()
        if mounted(self.mount):
            detach(self.mount)
        self.proc = None

    def kill(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
        detach(self.mount)


def card_command(control, line, timeout=30):
    import socket
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(control)
            s.sendall(line.encode() + b"\n")
            return s.makefile().readline().strip()
    except OSError:
        return ""


class Probe:
    """Asks the card for a name it does not have, in a child of its own (a
    hung FUSE process leaves the asker blocked in the kernel), once a
    second; a card that stops answering is hung, however long a test runs."""

    def __init__(self, mount):
        self.path = os.path.join(mount, ".fatcard-probe")
        self.proc = None
        self.since = time.monotonic()
        self.last = 0.0

    def step(self):
        now = time.monotonic()
        if self.proc is not None:
            if self.proc.poll() is None:
                return
            self.proc = None
            self.since = now
        if now - self.last >= 1.0:
            self.last = now
            self.since = now
            self.proc = subprocess.Popen(["stat", self.path], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)

    def stuck_for(self):
        if self.proc is None or self.proc.poll() is not None:
            return 0.0
        return time.monotonic() - self.since

    def reap(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
            self.proc = None


# ---- for scripts: the one switch and a mounted card ----
def chosen(notice=True):
    """TN_CARD's choice ("fat" by default, "fatimage", "folder"); without
    FUSE or the tools a plain folder, with a one-line notice."""
    want = os.environ.get("TN_CARD") or "fat"
    if want not in ("fat", "fatimage", "folder"):
        want = "fat"
    if want == "folder":
        return want
    sys.path.insert(0, HERE)
    import cardctl
    why = cardctl.why_not()
    if why is None and want == "fatimage" and not (
            shutil.which("fusefat") and (shutil.which("mkfs.vfat") or os.path.exists("/usr/sbin/mkfs.vfat")
                                         or os.path.exists("/sbin/mkfs.vfat"))):
        why = "no fusefat or mkfs.vfat (fusefat, dosfstools)"
    if why is not None:
        if notice:
            print("sdcard: %s: the card is a plain folder (TN_CARD=%s)" % (why, want),
                  file=sys.stderr, flush=True)
        return "folder"
    return want


class Mounted:
    """A card of `kind` over `folder` until close(); its medium in `work`."""

    def __init__(self, folder, work, kind, deadline=None):
        sys.path.insert(0, HERE)
        import cardctl
        argv = [cardctl.card_python(), os.path.abspath(__file__), "--mount", folder,
                "--work", work, "--engine", kind]
        if deadline:
            argv += ["--deadline", str(deadline)]
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        ready, _, _ = select.select([self.proc.stdout], [], [], 60)
        if not ready or self.proc.stdout.readline().strip() != b"READY":
            self.close()
            raise RuntimeError("no %s card at %s" % (kind, folder))

    def close(self):
        if self.proc is None:
            return
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc = None


def main():
    ap = argparse.ArgumentParser(description="a FAT card with a watchdog")
    ap.add_argument("--mount", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--engine", choices=("fat", "fatimage"), default="fat")
    ap.add_argument("--deadline", type=float, default=60.0)
    args = ap.parse_args()
    # The watchdog must outlive a test killed by a signal: only the end of
    # standard input ends it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)

    engine = Engine(os.path.abspath(args.mount), os.path.abspath(args.work), args.engine)
    try:
        engine.start()
    except (RuntimeError, OSError, subprocess.CalledProcessError) as e:
        say("no FAT card at %s: %s" % (args.mount, e))
        engine.kill()
        return 1
    print("READY", flush=True)

    probe = Probe(engine.mount)
    while True:
        if probe.stuck_for() > args.deadline:
            say("the card at %s (%s) has not answered for %d s: its FUSE process is "
                "presumed hung (as fusefat spinning on a broken cluster chain); killed "
                "and detached, the test's file operations now fail"
                % (args.mount, args.engine, args.deadline))
            engine.kill()
            probe.reap()
            # Stay until the test is done so it cannot take the time-out for success.
            while os.read(0, 4096):
                pass
            return 1
        probe.step()
        ready, _, _ = select.select([0], [], [], 0.5)
        if engine.proc.poll() is not None:
            say("the card's FUSE process at %s ended by itself (status %d)"
                % (args.mount, engine.proc.returncode))
            engine.proc = None
            detach(engine.mount)
            while os.read(0, 4096):
                pass
            return 1
        if not ready:
            continue
        data = os.read(0, 4096)
        if not data:
            engine.stop()
            probe.reap()
            return 0


if __name__ == "__main__":
    sys.exit(main())
