#!/usr/bin/env python3
"""Benchmarks side by side with what a user would pick instead; prints tables.

    python3 bench/run.py --build DIR [--only image,sync,footprint,link] [--quick]

Run through bench/run, which installs the peers (bench/packages.txt) and builds.
Nothing here is a test: figures are printed, not checked. Wall times on a
shared machine are noisy, so every comparison alternates its contestants run
by run and reports medians and the ratio of medians. Each timed program is
pinned to one CPU, as the module has one core.

Sections:
  image      the image stage per picture (12 MP and 5 MP to 1280x720, size
             goal) against vipsthumbnail + jpegoptim and ImageMagick convert +
             jpegoptim on copies of the same files; peak RSS; the split inside
  sync       the daemon's sync uploading 50 x 300 KB against one curl process
             over one connection; the daemon's peak RSS for 100 KB vs 5 MB
  footprint  idle trailnetd RSS and threads, stripped sizes, SP+STATE round trip
  link       bytes each way, TLS handshakes and TCP connections per host for
             syncs of 1, 10 and 50 pictures, against the picture bytes
  weather    the link simulator's profiles (lan, three-bars, one-bar, edge):
             10 pictures of 300 KB over up to 3 syncs in one process; what
             arrived, bytes on the link, waste, time against the link's floor
             (one-bar and edge take many minutes of real time; --profiles
             picks, e.g. --profiles edge in a second process, and a profile
             may carry changes: "edge:drop_every_s=300;delay_ms=500")
             with a row per upload protocol (--protocols put,tus): plain PUT
             slots, and resumable (tus) uploads that go on from the server's
             offset after a drop (--tus-chunk N: PATCHes of at most N bytes)
  expect     uploads with and without "Expect: 100-continue" on one-bar
  hd         an HD request of 3 MB (--hd-mb) at one-bar, the link dropped
             half-way, one sync, per upload protocol
  backlog    1 000, 3 000 and 9 000 small pictures waiting on the FAT card
             (TN_CARD), emptied by one sync: PUTs, time and CPU per picture,
             pass times early and late, announcement sizes, peak RSS
             (bench/backlog.py)
"""
import argparse
import glob
import json
import os
import random
import resource
import shutil
import signal
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
IMEI = "861234567890123"
PERCENT = 50  # the size goal: each file shrinks by half, as PicTrimApp's default job
TARGET = (1280, 720)


# ---- running and measuring ---------------------------------------------------

def one_cpu():
    cpus = sorted(os.sched_getaffinity(0))
    return {cpus[-1]}


def run_checked(argv, env=None, cwd=None, pin=True, timeout=600):
    """Runs one program (pinned to the bench CPU); its standard output, or raises."""
    def pin_me():
        if pin:
            os.sched_setaffinity(0, PIN)
    p = subprocess.Popen(argv, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         preexec_fn=pin_me)
    try:
        out, err = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        raise RuntimeError("%s timed out" % argv[0])
    if p.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (argv[0], p.returncode,
                                                  err.decode(errors="replace")[-500:]))
    return out.decode(errors="replace")


def measured(argvs, env=None, cwd=None, pin=True, timeout=900):
    """Runs the commands one after another in a fresh helper process, so that
    the peak RSS and CPU time reported are theirs alone (children included).
    Returns (Measure, outputs)."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            outs = []
            t0 = time.monotonic()
            for argv in argvs:
                outs.append(run_checked(argv, env=env, cwd=cwd, pin=pin, timeout=timeout))
            total = time.monotonic() - t0
            ru = resource.getrusage(resource.RUSAGE_CHILDREN)
            os.write(w, json.dumps({"s": total, "cpu": ru.ru_utime + ru.ru_stime,
                                    "peak": ru.ru_maxrss, "outs": outs}).encode())
            os._exit(0)
        except BaseException as e:  # noqa: B902 - reported to the parent
            os.write(w, json.dumps({"error": str(e)}).encode())
            os._exit(1)
    os.close(w)
    data = b""
    while True:
        chunk = os.read(r, 65536)
        if not chunk:
            break
        data += chunk
    os.close(r)
    os.waitpid(pid, 0)
    got = json.loads(data)
    if "error" in got:
        raise RuntimeError(got["error"])
    return Measure(got["s"], got["cpu"], got["peak"]), got["outs"]


class Measure:
    def __init__(self, wall, cpu, peak):
        self.wall, self.cpu, self.peak = wall, cpu, peak

    def __add__(self, other):
        return Measure(self.wall + other.wall, self.cpu + other.cpu, max(self.peak, other.peak))

    def per(self, n):
        return Measure(self.wall / n, self.cpu / n, self.peak)


def median(xs):
    return statistics.median(xs) if xs else float("nan")


def table(title, header, rows, note=None):
    print()
    print(title)
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = "  ".join("%-*s" % (widths[0], header[0]) if i == 0 else "%*s" % (w, h)
                     for i, (w, h) in enumerate(zip(widths, header)))
    print(line)
    print("-" * len(line))
    for row in rows:
        print("  ".join("%-*s" % (widths[0], c) if i == 0 else "%*s" % (w, c)
                        for i, (w, c) in enumerate(zip(widths, row))))
    if note:
        print(note)
    sys.stdout.flush()


COMPARE_HEADER = ["case", "program", "wall ms", "CPU ms", "ratio wall", "ratio CPU",
                  "peak MiB"]
COMPARE_NOTE = ("ratio: %s median / this one's median (below 1.00: ours is faster); CPU: user + "
                "system time of the process and its children, less disturbed by other load "
                "than wall time")


def compare_rows(label, got, ours):
    """Table rows of medians and ratios; `got` maps a name to its Measures."""
    def med(name, attr):
        return median([getattr(m, attr) for m in got[name]])
    rows = []
    for name, ms in got.items():
        rows.append([label, name, "%.0f" % (med(name, "wall") * 1000),
                     "%.0f" % (med(name, "cpu") * 1000),
                     "-" if name == ours else "%.2f" % (med(ours, "wall") / med(name, "wall")),
                     "-" if name == ours else "%.2f" % (med(ours, "cpu") / med(name, "cpu")),
                     "%.1f" % (max(m.peak for m in ms) / 1024)])
    return rows


def size_goal(nbytes, percent=PERCENT):
    """The goal PicTrimApp gives jpegoptim, in KB (same integer arithmetic)."""
    goal = int(nbytes * (100 - percent) / 102400)
    return max(goal, 20)


def binary(build, name):
    for cand in glob.glob(os.path.join(build, "**", name), recursive=True):
        if os.path.isfile(cand) and os.access(cand, os.X_OK):
            return cand
    raise FileNotFoundError("%s not built under %s" % (name, build))


# ---- 1. the image stage ------------------------------------------------------

def image_section(args, work):
    jpegoptim = shutil.which("jpegoptim")
    vips = shutil.which("vipsthumbnail")
    convert = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else None
    tool = binary(args.build, "pictrim_stage_tool")
    pictures = binary(args.build, "campictures")
    sizes = [("12 MP", 4000, 3000), ("5 MP", 2560, 1920)]
    if args.quick:
        sizes = [("0.3 MP", 640, 480)]
    per_run = 1 if args.quick else 3
    runs = 1 if args.quick else args.runs
    tw, th = TARGET

    results = []
    splits = []
    for label, w, h in sizes:
        src = os.path.join(work, "src-%dx%d" % (w, h))
        os.makedirs(src, exist_ok=True)
        subprocess.run([pictures, "make", src, "1", str(w), str(h)], check=True,
                       stdout=subprocess.DEVNULL)
        original = os.path.join(src, "PICT0001.JPG")

        def folder(name):
            d = os.path.join(work, name) + "/"
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
            for i in range(per_run):
                shutil.copyfile(original, "%sPICT%04d.JPG" % (d, i + 1))
            return d

        def pictrim():
            d = folder("p")
            shutil.copy(jpegoptim, d + "jpegoptim")
            return [[tool, "stage", d, str(tw), str(th), str(PERCENT)]], None

        def optimise(outs):
            # jpegoptim with the goal PicTrimApp would give for each resized file
            return [[jpegoptim, "-S%d" % size_goal(os.path.getsize(o)), "-s", "-q", o]
                    for o in outs]

        def vips_job():
            d = folder("v")
            ins = sorted(glob.glob(d + "*.JPG"))
            return [[vips, *ins, "-s", "%dx%d!" % (tw, th), "-o", "%s_t.jpg[Q=100]"]], \
                lambda: optimise(sorted(glob.glob(d + "*_t.jpg")))

        def convert_job():
            d = folder("c")
            ins = sorted(glob.glob(d + "*.JPG"))
            return [[convert, i, "-resize", "%dx%d!" % (tw, th), "-quality", "100",
                     i[:-4] + "_t.jpg"] for i in ins], \
                lambda: optimise(sorted(glob.glob(d + "*_t.jpg")))

        contestants = [("PicTrimApp stage", pictrim)]
        if vips:
            contestants.append(("vipsthumbnail + jpegoptim", vips_job))
        if convert:
            contestants.append(("convert + jpegoptim", convert_job))
        got = {name: [] for name, _ in contestants}
        for r in range(runs):
            order = contestants[r % len(contestants):] + contestants[:r % len(contestants)]
            for name, job in order:
                first, then = job()
                m, _ = measured(first)
                if then:
                    m = m + measured(then())[0]
                got[name].append(m.per(per_run))
        results += compare_rows(label, got, "PicTrimApp stage")

        # The split: the same library calls one at a time.
        steps = {}
        for r in range(1 if args.quick else 2):
            d = folder("s")
            shutil.copy(jpegoptim, d + "jpegoptim")
            _, outs = measured([[tool, "split", d, str(tw), str(th), str(PERCENT)]])
            for i, line in enumerate(outs[0].splitlines()):
                if i == 0 and per_run > 1:
                    continue  # the first picture of a run pays for fresh buffers
                for k, v in json.loads(line).items():
                    steps.setdefault(k, []).append(v)
        splits.append([label] + ["%.0f" % median(steps.get(k, [])) for k in
                                 ("mark", "exif", "decode", "resize", "encode", "optimizer",
                                  "restore", "replace")])

    table("Image stage per picture, to %dx%d with a size goal (%d runs of %d pictures, "
          "alternating; one CPU)" % (tw, th, runs, per_run),
          COMPARE_HEADER, results, COMPARE_NOTE % "PicTrimApp's")
    table("Inside the stage, ms per picture (median; buffers already in the pool)",
          ["picture", "mark check", "EXIF", "decode", "resize", "encode", "jpegoptim",
           "EXIF back", "flush + rename"], splits)


# ---- the cloud simulator -----------------------------------------------------

def stop_process(proc):
    """Ends a simulator started with a stdout pipe: SIGTERM, then SIGKILL."""
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    proc.stdout.close()


class Sim:
    def __init__(self, work, name):
        self.workdir = os.path.join(work, name)
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(TOP, "sim", "cloud", "cloudsim.py"),
             "--workdir", self.workdir, "--certs", os.path.join(work, "certs")],
            stdout=subprocess.PIPE)
        import select
        ready, _, _ = select.select([self.proc.stdout], [], [], 60)
        if not ready:
            self.proc.kill()
            raise RuntimeError("cloud simulator not ready")
        self.info = json.loads(self.proc.stdout.readline())
        self.base = self.info["base"]
        self.cacert = self.info["cacert"]
        self.ctx = ssl.create_default_context(cafile=self.cacert)

    def control(self, method, path, body=None):
        req = urllib.request.Request(self.base + path, method=method,
                                     data=None if body is None else json.dumps(body).encode())
        with urllib.request.urlopen(req, context=self.ctx, timeout=60) as r:
            return json.loads(r.read() or b"null")

    def connections(self):
        """Figures of the API connections, once all of them are closed."""
        deadline = time.monotonic() + 60
        while True:
            got = self.control("GET", "/_sim/connections")
            if got["open"] == 0 or time.monotonic() > deadline:
                return got["closed"]
            time.sleep(0.05)

    def uploads(self):
        return [r for r in self.control("GET", "/_sim/requests")
                if r["path"].startswith("/upload/") and r.get("status") == 200]

    def close(self):
        stop_process(self.proc)


class Cloud:
    """The API host and a second host for the pictures, as the real service has."""

    def __init__(self, work):
        self.api = Sim(work, "api")
        self.store = Sim(work, "store")

    def reset(self):
        for s in (self.api, self.store):
            s.control("POST", "/_sim/reset")
        self.api.control("PUT", "/_sim/scenario", {"answer": {
            "uploads": "auto", "slots": {"host": self.store.base}}})

    def close(self):
        self.api.close()
        self.store.close()


def make_files(folder, count, size, seed=1):
    os.makedirs(folder, exist_ok=True)
    rnd = random.Random(seed)
    names = []
    for i in range(count):
        name = "PICT%04d.JPG" % (i + 1)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(b"\xff\xd8" + rnd.randbytes(size - 2))
        names.append(name)
    return names


def sync_root(work, cloud, count, size):
    """A root tree whose daemon configuration points at the API host, with
    `count` pictures of `size` bytes waiting in TRANSMIT."""
    root = os.path.join(work, "root")
    shutil.rmtree(root, ignore_errors=True)
    for d in ("proc", "etc", "usrdata", "tmp", "dev", "media/sdcard/TRANSMIT"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    with open(os.path.join(root, "proc/mounts"), "w") as f:
        f.write("rootfs / rootfs rw 0 0\n/dev/mmcblk0p1 /media/sdcard vfat rw,relatime 0 0\n")
    shutil.copyfile(cloud.api.cacert, os.path.join(root, "usrdata/cacert.pem"))
    with open(os.path.join(root, "etc/trailnetd_conf.json"), "w") as f:
        json.dump({"host": cloud.api.base[len("https://"):], "uploadPictureCount": 50,
                   "transmitUser": True, "transmitAuto": True}, f)
    with open(os.path.join(root, "media/sdcard/STATUS.DSP"), "w") as f:
        json.dump({"model": "TC-9", "batteries": 87, "batteryType": "AA",
                   "temperature": {"value": 71, "unit": "F"},
                   "memory": {"size": 30000, "used": 120}}, f)
    folder = os.path.join(root, "media/sdcard/TRANSMIT")
    make_files(folder, count, size)
    env = dict(os.environ, TRAILNETD_ROOT=root)
    return root, env


def daemon_sync(args, work, cloud, count, size):
    """One sync; its Measure. Fails unless every picture arrived."""
    tool = binary(args.build, "cloud_sync_tool")
    cloud.reset()
    _, env = sync_root(work, cloud, count, size)
    m, _ = measured([[tool, IMEI]], env=env)
    got = len(cloud.store.uploads())
    if got != count:
        raise RuntimeError("daemon sync uploaded %d of %d pictures" % (got, count))
    return m


# ---- 2. sync uploads ---------------------------------------------------------

def sync_section(args, work, cloud):
    count = 5 if args.quick else 50
    size = 300 * 1024
    runs = 1 if args.quick else args.runs
    files = os.path.join(work, "curl-files")
    names = make_files(files, count, size)
    curl = ["curl", "-s", "-S", "--fail", "--cacert", cloud.store.cacert]
    for n in names:
        curl += ["-T", os.path.join(files, n), "%s/upload/%s" % (cloud.store.base, n)]

    got = {"trailnetd sync": []}
    if shutil.which("curl"):
        got["curl, one connection"] = []
    # The daemon flushes every log line to the card; with the root tree in
    # memory that cost drops out, which shows how much of the gap it is.
    shm = None
    if os.path.isdir("/dev/shm"):
        shm = tempfile.mkdtemp(prefix="tnb.", dir="/dev/shm")
        got["trailnetd sync, card in memory"] = []
    for r in range(runs):
        order = list(got)
        if r % 2:
            order.reverse()
        for who in order:
            if who == "trailnetd sync":
                m = daemon_sync(args, work, cloud, count, size)
            elif who == "trailnetd sync, card in memory":
                m = daemon_sync(args, shm, cloud, count, size)
            else:
                cloud.reset()
                m, _ = measured([curl])
                if len(cloud.store.uploads()) != count:
                    raise RuntimeError("curl did not upload every file")
                conns = cloud.store.connections()
                if len(conns) != 1:
                    raise RuntimeError("curl used %d connections" % len(conns))
            got[who].append(m)
    if shm:
        shutil.rmtree(shm, ignore_errors=True)
    table("Uploads: %d pictures of %d KB over loopback HTTPS (%d alternating runs)"
          % (count, size // 1024, runs), COMPARE_HEADER,
          compare_rows("%d x %d KB" % (count, size // 1024), got, "trailnetd sync"),
          COMPARE_NOTE % "trailnetd's" + "\ntrailnetd: token, camera PUT with status and "
          "announcement, the uploads to a second host; every log line flushed to the card")

    rows = []
    for size_kb in ((100, 5 * 1024) if not args.quick else (100, 1024)):
        n = 10 if not args.quick else 2
        m = daemon_sync(args, work, cloud, n, size_kb * 1024)
        rows.append(["%d x %s" % (n, "%d KB" % size_kb if size_kb < 1024 else
                                  "%d MB" % (size_kb // 1024)), "%.0f" % (m.wall * 1000),
                     "%.1f" % (m.peak / 1024)])
    table("Daemon's sync memory by picture size", ["pictures", "ms", "peak MiB"], rows,
          "uploads stream from the file: the peak must not follow the picture size")


# ---- 3. footprint ------------------------------------------------------------

def proc_status(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            k, _, v = line.partition(":")
            out[k] = v.strip()
    return out


RUNTIME_LIBS = ("libc.so", "libstdc++.so", "libm.so", "libgcc_s.so", "ld-linux", "libjson-c.so")


def rss_by_origin(pid, program):
    """Resident KiB of a process by where the pages come from: the program
    itself (its file, heap, stacks, anonymous memory), the C/C++ runtime and
    json-c, and everything else, which is libcurl and what it loads."""
    groups = {"trailnetd itself": [0, set()], "C/C++ runtime and json-c": [0, set()],
              "libcurl and the libraries it loads": [0, set()]}
    name = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            parts = line.split()
            if "-" in parts[0] and not parts[0].endswith(":"):
                path = parts[5] if len(parts) > 5 else ""
                base = os.path.basename(path)
                if not path or path.startswith("[") or os.path.realpath(path) == os.path.realpath(program) \
                        or path.startswith(os.path.dirname(os.path.dirname(program))):
                    name = "trailnetd itself"
                elif base.startswith(RUNTIME_LIBS):
                    name = "C/C++ runtime and json-c"
                else:
                    name = "libcurl and the libraries it loads"
                groups[name][1].add(path or "anon")
            elif parts[0] == "Rss:":
                groups[name][0] += int(parts[1])
    return [(k, v[0], len(v[1])) for k, v in groups.items()]


def footprint_section(args, work):
    sys.path.insert(0, os.path.join(TOP, "scripts"))
    import demo  # the demo's context: root tree, DSP simulator, daemon start/stop

    ctx = demo.DemoContext(args.build, "bench")
    ctx.say = lambda text: None  # no transcript here
    rows = []
    trips = []
    try:
        dsp = ctx.dsp(modem=True)
        ctx.show_bytes = lambda side, data: None
        dsp.on_bytes = None
        daemon = ctx.start_daemon()
        dsp.expect(b"RDY\r\n", 60)
        dsp.send("SP+PROCESS")
        dsp.expect(b"SP+OK\n", 60)
        for _ in range(10 if args.quick else 100):
            t0 = time.monotonic()
            dsp.send("SP+STATE")
            dsp.expect(b"SP+OK\n", 60)
            trips.append(time.monotonic() - t0)
        # Idle: nothing asked for a while.
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            dsp.read_for(0.2)
        st = proc_status(daemon.pid)
        rows.append(["trailnetd idle, RSS", st.get("VmRSS", "?")])
        rows.append(["trailnetd idle, peak RSS so far", st.get("VmHWM", "?")])
        rows.append(["trailnetd idle, threads", st.get("Threads", "?")])
        for what, kib, n in rss_by_origin(daemon.pid, binary(args.build, "trailnetd")):
            rows.append(["  %s (%d mappings)" % (what, n), "%d kB" % kib])
    finally:
        ctx.close()
    trips.sort()
    rows.append(["SP+STATE -> SP+OK, median", "%.2f ms" % (median(trips) * 1000)])
    rows.append(["SP+STATE -> SP+OK, 90th percentile",
                 "%.2f ms" % (trips[int(len(trips) * 0.9) - 1] * 1000)])
    for prog in ("trailnetd", "PicTrimApp"):
        dst = os.path.join(work, prog + ".stripped")
        shutil.copyfile(binary(args.build, prog), dst)
        subprocess.run(["strip", dst], check=True)
        rows.append([prog + " stripped", "%d KiB" % (os.path.getsize(dst) // 1024)])
    table("Footprint (%s build, this machine's architecture)" % args.build_type,
          ["what", "figure"], rows)


# ---- 4. link cost ------------------------------------------------------------

def link_section(args, work, cloud):
    size = 300 * 1024
    rows = []
    for count in ((1, 3) if args.quick else (1, 10, 50)):
        walls = []
        for r in range(1 if args.quick else 3):
            walls.append(daemon_sync(args, work, cloud, count, size).wall)
        # The figures of the last run.
        api = cloud.api.connections()
        store = cloud.store.connections()
        pic = count * size
        total_in = sum(c["bytes_in"] for c in api + store)
        total_out = sum(c["bytes_out"] for c in api + store)
        over = total_in + total_out - pic

        def hs(conns):
            full = sum(1 for c in conns if c["tls"] == "full")
            resumed = sum(1 for c in conns if c["tls"] == "resumed")
            return "%d/%d/%d" % (len(conns), full, resumed)
        rows.append([str(count), "%d" % (pic // 1024), "%.1f" % (total_in / 1024),
                     "%.1f" % (total_out / 1024), hs(api), hs(store),
                     "%.2f%%" % (100.0 * over / pic), "%.0f" % (median(walls) * 1000)])
    table("Cost on the link per sync of N pictures of %d KB (bytes counted by the "
          "simulators: TCP payload, TLS included)" % (size // 1024),
          ["N", "picture KiB", "up KiB", "down KiB", "API conn/full/res",
           "store conn/full/res", "overhead", "ms"], rows,
          "overhead: (up + down - picture bytes) / picture bytes; conn/full/res: TCP "
          "connections, full TLS handshakes, resumed sessions per host")


# ---- 5. link weather ----------------------------------------------------------

class Link:
    """The link simulator (sim/link/linksim.py) in front of one cloud simulator."""

    def __init__(self, work, target, profile):
        self.control_path = os.path.join(work, "link-%s.ctl" % profile)
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(TOP, "sim", "link", "linksim.py"), "--to", target,
             "--profile", profile, "--control", self.control_path], stdout=subprocess.PIPE)
        import select
        ready, _, _ = select.select([self.proc.stdout], [], [], 60)
        if not ready:
            self.proc.kill()
            raise RuntimeError("link simulator not ready")
        self.port = json.loads(self.proc.stdout.readline())["port"]

    def command(self, line):
        import socket as so
        with so.socket(so.AF_UNIX, so.SOCK_STREAM) as s:
            s.settimeout(60)
            s.connect(self.control_path)
            s.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                part = s.recv(65536)
                if not part:
                    break
                answer += part
        answer = answer.decode().strip()
        if not answer.startswith("OK"):
            raise RuntimeError("link simulator: %s -> %s" % (line, answer))
        return answer[3:]

    def close(self):
        stop_process(self.proc)


def linked_syncs(args, work, sim, link, profile, count, size, most, env_extra=None,
                 scenario=None, before=None):
    """`count` pictures over up to `most` syncs of one process, through the
    link (its profile restarted, so stalls and drops come at the same times
    each run). Returns a dict of figures."""
    tool = binary(args.build, "cloud_sync_tool")
    sim.control("POST", "/_sim/reset")
    relay = "https://127.0.0.1:%d" % link.port
    sim.control("PUT", "/_sim/base", {"base": relay})
    sim.control("PUT", "/_sim/scenario", scenario or {"answer": {"uploads": "auto"}})
    class Host:
        pass
    host = Host()
    host.api = Host()
    host.api.base, host.api.cacert = relay, sim.cacert
    root, env = sync_root(os.path.join(work, "w-%d" % len(os.listdir(work))), host, count, size)
    env.update(env_extra or {})
    name, _, changes = profile.partition(":")
    prof = json.loads(link.command("profile " + name))
    for change in filter(None, changes.split(";")):
        key, _, value = change.partition("=")
        prof = json.loads(link.command("set %s %s" % (key, value)))
    link.command("reset")
    if before:
        before(root, link)
    m, outs = measured([[tool, IMEI, str(most)]], env=env, timeout=4 * 3600)
    counters = json.loads(link.command("counters"))
    syncs = [json.loads(l) for l in outs[0].splitlines() if l.startswith("{")]
    conns = sim.connections()
    requests = [r for r in sim.control("GET", "/_sim/requests") if not r["path"].startswith("/_sim")]
    delivered = {r["path"].split("/")[-1] for r in requests
                 if r["path"].startswith("/upload/") and r.get("status") == 200}
    # Resumable uploads: whole once the server holds every byte.
    delivered |= {u["name"] for u in sim.control("GET", "/_sim/tus") if u["complete"]}
    left = syncs[-1]["left"] if syncs else count
    return {"profile": profile, "rates": prof, "syncs": syncs, "counters": counters,
            "conns": conns, "requests": len(requests), "delivered": len(delivered),
            "left": left, "wall": m.wall, "count": count, "size": size}


def floor_seconds(got):
    """The least time the link needs for the job: the picture bytes at the
    upward rate, a round trip per TCP connect, per TLS handshake and per
    request, and the time the link itself was stalled."""
    p = got["rates"]
    pic = got["count"] * got["size"]
    up = p.get("up_bps", 0)
    rtt = 2 * p.get("delay_ms", 0) / 1000.0
    send = pic * 8.0 / up if up else 0.0
    trips = 2 * len(got["conns"]) + got["requests"]
    stalled = got["counters"]["stalls"] * p.get("stall_s", 0)
    return send + rtt * trips + stalled


# The cloud's answer per upload protocol: plain PUT slots, or resumable (tus)
# uploads handed again while unfinished.
PROTOCOL_SCENARIOS = {
    "put": {"answer": {"uploads": "auto"}},
    "tus": {"answer": {"uploads": "auto"}, "tus": {"url": "same"}},
}


def weather_section(args, work):
    count, size, most = (2, 20 * 1024, 3) if args.quick else (10, 300 * 1024, 3)
    count = args.weather_count or count
    size = (args.weather_kb * 1024) if args.weather_kb else size
    profiles = args.profiles.split(",") if args.profiles else (
        ["lan", "one-bar"] if args.quick else ["lan", "three-bars", "one-bar", "edge"])
    protocols = args.protocols.split(",")
    sim = Sim(work, "weather")
    rows, notes = [], []
    clean = None
    extra = {"TN_BENCH_TUS_CHUNK": str(args.tus_chunk)} if args.tus_chunk else {}
    try:
        for profile, protocol in [(p, q) for p in profiles for q in protocols]:
            link = Link(work, sim.base[len("https://"):], profile.partition(":")[0])
            try:
                got = linked_syncs(args, work, sim, link, profile, count, size, most, extra,
                                   PROTOCOL_SCENARIOS[protocol])
            finally:
                link.close()
            if protocol != "put":
                profile = "%s %s" % (profile, protocol)
            c = got["counters"]
            pic = count * size
            on_link = c["bytes_up"] + c["bytes_down"]
            if profile == "lan" and clean is None:
                clean = on_link / float(count)
            # Waste: what the link carried beyond what a clean (lan) run
            # needed for the pictures that arrived: aborted uploads, requests
            # sent again, the extra syncs.
            per_picture = clean if clean is not None else pic / float(count)
            waste = max(0.0, on_link - per_picture * got["delivered"])
            took = sum(s["ms"] for s in got["syncs"]) / 1000.0
            floor = floor_seconds(got)
            full = sum(1 for x in got["conns"] if x["tls"] == "full")
            resumed = sum(1 for x in got["conns"] if x["tls"] == "resumed")
            rows.append([profile, "%d/%d in %d" % (got["delivered"], count, len(got["syncs"])),
                         str(got["left"]),
                         "%.3f" % (on_link / float(pic)), "%.0f" % (waste / 1024),
                         "%.1f%%" % (100.0 * waste / pic), "%.1f" % took, "%.1f" % floor,
                         "%.2f" % (took / floor) if floor > 0 else "-",
                         "%d/%d" % (full, resumed), "%d/%d" % (c["stalls"], c["resets"])])
            print("weather: %s: %s" % (profile, "  ".join(rows[-1])))
            notes.append("%s: syncs %s" % (profile, ", ".join(
                "%d (%.1f s, result %d, %d left)" % (s["sync"], s["ms"] / 1000.0, s["result"],
                                                     s["left"]) for s in got["syncs"])))
            sys.stdout.flush()
    finally:
        sim.close()
    table("Link weather: %d pictures of %d KB over up to %d syncs of one process, through "
          "the link simulator" % (count, size // 1024, most),
          ["profile", "delivered", "kept", "link/pic", "waste KiB", "waste", "time s", "floor s",
           "time/floor", "TLS full/res", "stalls/resets"], rows,
          "delivered: pictures the server got whole; kept: pictures still in TRANSMIT "
          "after the last sync (an upload the camera saw fail stays, even when the server "
          "got it); link/pic: bytes both ways on the link / picture bytes; waste: link bytes beyond "
          "what the lan run needed for the pictures that arrived, / picture bytes; floor: "
          "picture bytes at the upward rate + a round trip per connection, handshake and "
          "request + the link's own stalls\n" + "\n".join(notes))


def hd_section(args, work):
    """One HD request of a few MB at one bar, the link dropped half-way:
    delivered in the one sync or not, per upload protocol."""
    size = (200 * 1024) if args.quick else args.hd_mb * 1024 * 1024
    pattern = bytes(range(256)) * (size // 256 + 1)
    sim = Sim(work, "hd")
    link = Link(work, sim.base[len("https://"):], "one-bar")
    rows = []
    extra = {"TN_BENCH_TUS_CHUNK": str(args.tus_chunk)} if args.tus_chunk else {}

    def place(root, link):
        os.makedirs(os.path.join(root, "media/sdcard/DCIM"), exist_ok=True)
        with open(os.path.join(root, "media/sdcard/DCIM/FULL0001.JPG"), "wb") as f:
            f.write(pattern[:size])
        link.command("drop after %d" % (size // 2))
    try:
        for protocol in args.protocols.split(","):
            element = {"name": "FULL0001.JPG", "date": "2026-12-08 10:00:00", "host": "{base}"}
            if protocol == "tus":
                element.update(protocol="tus", size=size)
            else:
                element.update(path="/upload/HDFULL0001.JPG", verb="PUT")
            scenario = {"answers": [{"requests": {"pictures": {"content": [element]}}}],
                        "answer": {}}
            if protocol == "tus":
                scenario["tus"] = {"url": "same"}
            got = linked_syncs(args, work, sim, link, "one-bar", 0, 1, 1, extra, scenario, place)
            c = got["counters"]
            took = sum(s["ms"] for s in got["syncs"]) / 1000.0
            whole = os.path.join(sim.workdir, "uploads", "HDFULL0001.JPG")
            ok = os.path.exists(whole) and open(whole, "rb").read() == pattern[:size]
            rows.append([protocol, "yes" if ok else "no", "%.1f" % took,
                         "%.3f" % ((c["bytes_up"] + c["bytes_down"]) / float(size)),
                         "%d/%d" % (c["stalls"], c["resets"])])
            print("hd: %s" % "  ".join(rows[-1]))
            sys.stdout.flush()
    finally:
        link.close()
        sim.close()
    table("An HD request of %d KB at one-bar, the link dropped half-way, one sync"
          % (size // 1024), ["protocol", "delivered", "time s", "link/pic", "stalls/resets"], rows)


def expect_section(args, work):
    """The same upload sync on one-bar with and without waiting for "100 Continue"."""
    count, size = (2, 10 * 1024) if args.quick else (5, 100 * 1024)
    sim = Sim(work, "expect")
    link = Link(work, sim.base[len("https://"):], "one-bar")
    rows = []
    try:
        for r in range(1 if args.quick else 2):
            for label, extra in (("without Expect", {}), ("Expect: 100-continue", {"TN_BENCH_EXPECT": "1"})):
                got = linked_syncs(args, work, sim, link, "one-bar", count, size, 1, extra)
                c = got["counters"]
                took = sum(s["ms"] for s in got["syncs"]) / 1000.0
                rows.append([label, str(r + 1), "%d/%d" % (got["delivered"], count),
                             "%.1f" % took, "%d" % c["bytes_up"], "%d" % c["bytes_down"]])
                sys.stdout.flush()
    finally:
        link.close()
        sim.close()
    table("Uploads with and without Expect: 100-continue, one-bar (%d pictures of %d KB, "
          "one sync each)" % (count, size // 1024),
          ["uploads", "run", "delivered", "time s", "bytes up", "bytes down"], rows)


PIN = None


def main():
    global PIN
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", required=True)
    p.add_argument("--build-type", default="RelWithDebInfo")
    p.add_argument("--only", default="image,sync,footprint,link,weather,expect,hd,backlog")
    p.add_argument("--profiles", help="link weather: comma-separated profiles (default all four)")
    p.add_argument("--protocols", default="put,tus",
                   help="link weather: upload protocols of the slots, a row each (put, tus)")
    p.add_argument("--weather-count", type=int, help="link weather: pictures (default 10)")
    p.add_argument("--weather-kb", type=int, help="link weather: KB per picture (default 300)")
    p.add_argument("--tus-chunk", type=int, default=0,
                   help="resumable uploads in PATCHes of at most this many bytes (0: the whole rest)")
    p.add_argument("--hd-mb", type=int, default=3, help="hd: size of the full-resolution picture")
    p.add_argument("--runs", type=int, default=7, help="alternating runs per comparison")
    p.add_argument("--quick", action="store_true", help="tiny inputs, one run: a smoke run")
    p.add_argument("--keep", action="store_true", help="keep the work folder")
    args = p.parse_args()
    args.build = os.path.abspath(args.build)
    PIN = one_cpu()
    only = set(args.only.split(","))
    work = tempfile.mkdtemp(prefix="tnb.")
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
    except OSError:
        pass
    print("bench: %s, %s, %d CPU(s) online, %d MiB memory, kernel %s; timed programs pinned "
          "to CPU %s; load average %.2f at start"
          % (os.uname().machine, model, os.cpu_count(),
             os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // (1 << 20),
             os.uname().release, ",".join(map(str, sorted(PIN))), os.getloadavg()[0]))
    try:
        if "image" in only:
            image_section(args, work)
        cloud = None
        try:
            if only & {"sync", "link"}:
                cloud = Cloud(work)
            if "sync" in only:
                sync_section(args, work, cloud)
            if "link" in only:
                link_section(args, work, cloud)
        finally:
            if cloud:
                cloud.close()
        if "footprint" in only:
            footprint_section(args, work)
        if "weather" in only:
            weather_section(args, work)
        if "expect" in only:
            expect_section(args, work)
        if "hd" in only:
            hd_section(args, work)
        if "backlog" in only:
            import backlog
            backlog.section(sys.modules[__name__], args, work)
    finally:
        if args.keep:
            print("work folder kept at " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
