"""The first good day after a month without coverage: a backlog of pictures
waiting in TRANSMIT on the FAT card, emptied by the daemon's sync.

Part of bench/run (section "backlog"); also on its own:
    python3 bench/backlog.py --build DIR [--sizes 1000,3000,9000] [--kb 2]

The card is the tests' FAT card (TN_CARD: fat, the default; folder for the
desk's own file system). fatimage works but does not serve these sizes:
writing the pictures onto it, fusefat had about 800 of 1 000 after ten
minutes, so it would measure fusefat. Pictures are small and the cloud is
on loopback, so the figures are the daemon's cost, not the link's. Per
backlog size: the camera PUTs it took, the announcement sizes (bytes of each
PUT's body), the time of each pass (one PUT and the uploads of its batch)
early and late in the sync, the daemon's CPU time and peak resident memory,
the card's CPU time (the FUSE process serving the daemon's file calls) and
the time to empty the backlog. Flat means the per-picture columns stay put
as the backlog grows ninefold.
"""
import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "sim", "card"))
import fatcard  # noqa: E402

IMEI = "861234567890123"
# Pictures a month leaves behind, 2 s apart (FAT's time step), the newest last.
FIRST_MTIME = 1_780_000_000


def descendants(pid):
    """pid and every process below it."""
    kids = {}
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % d) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            kids.setdefault(int(fields[1]), []).append(int(d))
        except OSError:
            continue
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(kids.get(p, []))
    return out


def cpu_seconds(pids):
    tick = os.sysconf("SC_CLK_TCK")
    total = 0.0
    for p in pids:
        try:
            with open("/proc/%d/stat" % p) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / tick
        except OSError:
            pass
    return total


def write_pictures(folder, count, size, seed=7):
    rnd = random.Random(seed)
    names = []
    for i in range(count):
        name = "PICT%04d.JPG" % (i + 1)
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(b"\xff\xd8" + rnd.randbytes(size - 2))
        t = FIRST_MTIME + 2 * i
        try:
            os.utime(path, (t, t))
        except OSError:
            pass  # fusefat: the time of writing, in the same order
        names.append(name)
    return names


def puts_of(cloud):
    """The camera PUTs the API host saw, in order, from its record file."""
    out = []
    with open(os.path.join(cloud.api.workdir, "requests.jsonl")) as f:
        for line in f:
            r = json.loads(line)
            if r.get("method") == "PUT" and r["path"].startswith("/camapi/v3/camera/"):
                out.append(r)
    return out


def one_backlog(h, args, work, cloud, count, size, kind, protocol):
    """Empties a backlog of `count` pictures; a dict of figures."""
    tool = h.binary(args.build, "cloud_sync_tool")
    cloud.reset()
    if protocol == "tus":
        # Resumable slots: the API host is the tus server too, and every
        # picture goes through the records file /usrdata/tus_uploads.json.
        cloud.api.control("PUT", "/_sim/scenario", {"answer": {"uploads": "auto"},
                                                    "tus": {"url": "same"}})
    root, env = h.sync_root(work, cloud, 0, size)
    # A camera whose last syncs went badly starts at the smallest batch.
    conf = os.path.join(root, "etc/trailnetd_conf.json")
    with open(conf) as f:
        settings = json.load(f)
    settings["uploadPictureCount"] = 5
    with open(conf, "w") as f:
        json.dump(settings, f)
    transmit = os.path.join(root, "media/sdcard/TRANSMIT")
    card_work = os.path.join(work, "card")
    shutil.rmtree(card_work, ignore_errors=True)
    # The whole card is FAT, the log and status file included.
    sdcard = os.path.join(root, "media/sdcard")
    mount = None
    if kind == "fatimage":
        staged = tempfile.mkdtemp(prefix="stage.", dir=work)
        for name in os.listdir(sdcard):
            shutil.move(os.path.join(sdcard, name), staged)
        mount = fatcard.Mounted(sdcard, card_work, kind)
    else:
        names = write_pictures(transmit, count, size)
        if kind == "fat":
            mount = fatcard.Mounted(sdcard, card_work, kind)
    try:
        if kind == "fatimage":
            for name in os.listdir(staged):
                src = os.path.join(staged, name)
                # Contents only: fusefat sets no modes (TRANSMIT is still empty).
                if os.path.isdir(src):
                    os.makedirs(os.path.join(sdcard, name))
                else:
                    shutil.copyfile(src, os.path.join(sdcard, name))
            shutil.rmtree(staged)
            names = write_pictures(transmit, count, size)
        card_pids = descendants(mount.proc.pid) if mount else []
        card0 = cpu_seconds(card_pids)
        t0 = time.monotonic()
        out = subprocess.run([tool, IMEI, "20"], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, timeout=getattr(args, "timeout", 3600), check=True)
        wall = time.monotonic() - t0
        card_cpu = cpu_seconds(card_pids) - card0
        syncs = [json.loads(line) for line in out.stdout.decode().splitlines() if line.strip()]
        left = syncs[-1]["left"] if syncs else count
        log_bytes = os.path.getsize(os.path.join(sdcard, "log.txt")) \
            if os.path.exists(os.path.join(sdcard, "log.txt")) else 0
    finally:
        if mount:
            mount.close()
    if left != 0:
        raise RuntimeError("backlog of %d: %d pictures left after %d syncs" % (count, left, len(syncs)))
    if protocol == "tus":
        got = sum(1 for u in cloud.api.control("GET", "/_sim/tus") if u["complete"])
    else:
        got = len(cloud.store.uploads())
    if got != count:
        raise RuntimeError("backlog of %d: %d pictures arrived" % (count, got))
    puts = puts_of(cloud)
    announced = [u["name"] for p in puts for u in (p.get("json") or {}).get("uploads", [])]
    # Nothing new arrived meanwhile: the whole run is newest-first.
    if announced != list(reversed(names)):
        raise RuntimeError("backlog of %d: not announced newest first" % count)
    passes = [b["t"] - a["t"] for a, b in zip(puts, puts[1:])]
    sizes = [p["body_len"] for p in puts]
    per = max(1, len(passes) // 10)
    return {
        "count": count, "syncs": len(syncs), "puts": len(puts), "wall": wall,
        "cpu": sum(s["cpu_ms"] for s in syncs) / 1000.0,
        "peak_kb": max(s["peak_kb"] for s in syncs),
        "card_cpu": card_cpu,
        "first_put": sizes[0], "largest_put": max(sizes),
        "early_pass": statistics.median(passes[:per]) if passes else 0.0,
        "late_pass": statistics.median(passes[-per:]) if passes else 0.0,
        "log_bytes": log_bytes,
        # Not counted by a daemon built before the counts existed.
        "entries": sum(s.get("entries", 0) for s in syncs) if "entries" in syncs[0] else None,
        "examined": sum(s.get("examined", 0) for s in syncs) if "examined" in syncs[0] else None,
    }


def section(h, args, work, sizes=None, protocols=None):
    """h: the helpers of bench/run.py (Cloud, sync_root, binary, table)."""
    kind = fatcard.chosen()
    if sizes is None:
        sizes = [50, 150] if args.quick else [1000, 3000, 9000]
    protocols = protocols or getattr(args, "protocols", "put,tus").split(",")
    size = 2 * 1024
    cloud = h.Cloud(work)
    rows = []
    try:
        for protocol in protocols:
            for n in sizes:
                rows.append(row(one_backlog(h, args, work, cloud, n, size, kind, protocol),
                                n, protocol))
    finally:
        cloud.close()
    h.table("Backlog: the first good day after a month without coverage, %d KB pictures on "
            "a %s card, loopback cloud" % (size // 1024, kind),
            ["pictures", "PUTs", "empty s", "ms/pic", "CPU ms/pic", "card CPU ms/pic",
             "early pass ms", "late pass ms", "1st PUT B", "max PUT B", "read/pic", "stat/pic",
             "peak MiB", "log KiB"],
            rows,
            "one sync empties the folder (follow-up PUTs while uploads succeed); pass: one "
            "camera PUT and the uploads of its batch (early: the first tenth of the passes, late: "
            "the last tenth, medians); CPU: the daemon's sync; card CPU: the FUSE process "
            "serving the card; read, stat: folder entries the listings read, and examined with "
            "stat(), per picture; peak: the daemon's resident memory; tus: resumable slots, "
            "each picture through the records file")


def row(f, n, protocol):
    return ["%d%s" % (n, "" if protocol == "put" else " " + protocol), "%d" % f["puts"],
            "%.1f" % f["wall"], "%.2f" % (f["wall"] * 1000 / n), "%.2f" % (f["cpu"] * 1000 / n),
            "%.2f" % (f["card_cpu"] * 1000 / n),
            "%.0f" % (f["early_pass"] * 1000), "%.0f" % (f["late_pass"] * 1000),
            "%d" % f["first_put"], "%d" % f["largest_put"],
            "-" if f["entries"] is None else "%.0f" % (f["entries"] / n),
            "-" if f["examined"] is None else "%.2f" % (f["examined"] / n),
            "%.1f" % (f["peak_kb"] / 1024), "%d" % (f["log_bytes"] // 1024)]


def main():
    sys.path.insert(0, HERE)
    import run as h
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", required=True)
    p.add_argument("--sizes", default="1000,3000,9000")
    p.add_argument("--protocols", default="put,tus", help="upload slots: put, tus")
    p.add_argument("--quick", action="store_true")
    p.add_argument("--timeout", type=int, default=3600)
    p.add_argument("--keep", action="store_true")
    args = p.parse_args()
    args.build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="tnb.")
    try:
        section(h, args, work, [int(x) for x in args.sizes.split(",")])
    finally:
        if args.keep:
            print("work folder kept at " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
