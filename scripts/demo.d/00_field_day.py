"""A day in the field: the camera wakes, connects, syncs its pictures and powers down

One daemon, one SD card, the DSP, modem and cloud simulators, one day told
in order: start-up with a configuration request on the card, CELL, the first
sync, pictures arriving over the day, syncs with batched uploads, a setting
changed in the cloud reaching config.dsp, an HD and a log request, signal
and date, a dropped data call, and POWERDOWN. Steps that need a piece not in
this build say so in one line and the day goes on.
"""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "sim", "cloud"))
import cloudview  # noqa: E402

IMEI = "861234567890123"
MODEM_SCENARIO = {
    "dm": {"imei": IMEI, "firmware": "EG91EXGAR08A05M1G_01.001.01.001"},
    "at": {"servingcell": '+QENG: "servingcell","NOCONN","LTE","FDD",310,410,A1B2C03,123,5110,12,5,5,'
                          '2B1F,-95,-10,-65,12,40'},
    # One card, of a carrier preferred outright, so the other slot is not probed.
    "sim": {"slots": [{"iccid": "89148000001234567890", "imsi": "311480123456789"}, {"present": False}]},
    "nw": {"signal": {"lte": {"rssi": -65, "rsrq": -10, "rsrp": -95, "snr": 12}},
           "reg": {"radio_tech": 4, "mcc": "310", "mnc": "410", "cell_id": 10627843, "lac": 0, "tac": 11039},
           "time": {"zone": -20}},  # the true date, five hours west
}
STATUS = {"memory": {"size": 30436, "used": 1210}, "batteries": 87, "batteryType": "LIT10",
          "temperature": {"value": 9, "unit": "C"}, "model": "TC-200", "version": "V1.00.34",
          "notifications": []}


class Day:
    """The world of the day: what the steps share."""

    def __init__(self, ctx, dsp, cloud, cellular, modemctl):
        self.ctx, self.dsp, self.cloud = ctx, dsp, cloud
        self.cellular = cellular  # the daemon reaches the cloud over the simulated data call
        self.modemctl = modemctl
        self.no_call = False  # cellular on, but the data call never came up
        self.taken = 0
        self.taken_bytes = 0
        self.clock = 6 * 60  # minutes since midnight on the camera's day

    # ---- the DSP's side ----
    def command(self, word, timeout=240):
        """Sends SP+WORD; returns the answer up to SP+OK or SP+ERROR."""
        self.dsp.send("SP+" + word)
        got = b""
        deadline = time.monotonic() + timeout
        while b"SP+OK\n" not in got and b"SP+ERROR\n" not in got:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no answer to SP+%s" % word)
            got += self.dsp.read_for(min(0.2, left))
        return got

    def take_pictures(self, n, hd=False):
        """The DSP writes n pictures to TRANSMIT (and the full-size ones to DCIM)."""
        ctx = self.ctx
        tmp = ctx.path("/shots")
        os.makedirs(ctx.path("/media/sdcard/TRANSMIT"), exist_ok=True)
        os.makedirs(ctx.path("/media/sdcard/DCIM/100MEDIA"), exist_ok=True)
        os.makedirs(tmp, exist_ok=True)
        subprocess.run([ctx.binary("campictures"), "make", tmp + "/", str(n), "1280", "720"], check=True,
                       stdout=subprocess.DEVNULL)
        for f in sorted(os.listdir(tmp)):
            self.taken += 1
            self.clock += 37
            name = "PICT%04d.JPG" % self.taken
            when = "2024:05:01 %02d:%02d:00" % (self.clock // 60 % 24, self.clock % 60)
            with open(os.path.join(tmp, f), "rb") as src:
                data = cloudview.set_exif_date(src.read(), when)
            os.unlink(os.path.join(tmp, f))
            # The full-size original stays on the card; TRANSMIT gets the copy to send.
            with open(ctx.path("/media/sdcard/DCIM/100MEDIA/" + name), "wb") as out:
                out.write(data)
            with open(ctx.path("/media/sdcard/TRANSMIT/" + name), "wb") as out:
                out.write(data)
            self.taken_bytes += len(data)
            ctx.say("DSP writes TRANSMIT/%s (%d KiB, motion at %s)" % (name, len(data) // 1024, when[11:16]))
            time.sleep(0.15)

    def leave_status(self, **changes):
        status = dict(STATUS, **changes)
        self.ctx.write("/media/sdcard/STATUS.DSP", json.dumps(status))

    # ---- the cloud's side ----
    def sync_in_process(self, first=False):
        """The cloud side of a sync without the cellular side (data call marked up)."""
        ctx = self.ctx
        out = subprocess.run([ctx.binary("cloud_sync_driver"), IMEI] + (["1"] if first else []),
                             env=ctx.env(), capture_output=True, text=True, timeout=600)
        return out.returncode == 0

    def sync(self, word="SYNC"):
        ctx = self.ctx
        t0 = time.monotonic()
        if self.cellular and not self.no_call:
            answer = self.command(word)
            ok = b"SP+OK\n" in answer
        elif self.no_call:
            # The daemon would spend its whole budget waiting for the call.
            ctx.say("(SP+%s not sent: no data call; the cloud side runs in-process)" % word)
            ok = self.sync_in_process(first=(word == "FIRSTSYNC"))
        else:
            # The daemon answers at once (cellular off); the cloud side runs in-process.
            self.leave_status()
            ok = self.sync_in_process(first=(word == "FIRSTSYNC"))
            answer = self.command(word)
        ctx.show_cloud(self.cloud)
        left = sorted(os.listdir(ctx.path("/media/sdcard/TRANSMIT")))
        ctx.say("%s %s in %.1f s; left in TRANSMIT: %s" % (
            word, "succeeded" if ok else "FAILED", time.monotonic() - t0, ", ".join(left) or "nothing"))
        return ok


def world(ctx):
    """Daemon, DSP, modem and cloud simulators, as the day and the console use them.

    Returns (dsp, cloud, cellular, modemctl)."""
    cellular = ctx_landed("cellHandlerStart")
    cloud = ctx.cloud(view_port=0)
    modemctl = None
    env = {}
    try:
        modem_sim = ctx.binary("modem_sim")
    except FileNotFoundError:
        modem_sim = None
    if modem_sim:
        _, modemctl = ctx.start_modem(json.dumps(MODEM_SCENARIO))
        env["PATH"] = ctx.modem_path()
        ctx.write("/sys/power/.keep", "")
    ctx.write("/media/sdcard/CONFIG.REQ", json.dumps({"config": {
        "cellular": cellular, "ssl": {"host": cloud.host}, "temperatureUnit": "C",
        "transmitTime": {"hour": 6, "minute": 0}, "transmitFreq": 4, "batteryType": "LIT10",
        "transmitUser": True, "transmitAuto": True}}) + "\n")
    # Once the cellular side is in, the config request turns it on; until then the
    # daemon must not wait for a data call that nothing opens.
    ctx.write("/media/sdcard/STATUS.DSP", json.dumps(STATUS))
    dsp = ctx.dsp(modem=modem_sim is None)
    ctx.start_daemon(env=env)
    return dsp, cloud, cellular, modemctl


def ctx_landed(operation):
    demo = sys.modules.get("demo") or sys.modules.get("__main__")
    check = getattr(demo, "landed", None)
    return check(operation) if check else True


def run(ctx):
    ctx.say("06:00  The camera wakes. A configuration request waits on the card (cellular on,")
    ctx.say("       the cloud's host), and the DSP has left its status file.")
    dsp, cloud, cellular, modemctl = world(ctx)
    day = Day(ctx, dsp, cloud, cellular, modemctl)
    dsp.expect(b"RDY\r\n", 30)
    ctx.wait_for(lambda: "Firmware:" in ctx.log(), 20, "the start-up log")
    ctx.show_log(contains=": main: ")
    ctx.show_log(contains=": config: ")
    ctx.show_log(contains="IMEI")
    ctx.show_log(contains=": Modem: ")
    if not cellular:
        ctx.not_landed("the cellular handler: CELL dials nothing and the cloud side of each sync "
                       "runs in-process (cloud_sync_driver, data call marked up)")

    ctx.say("06:01  SP+PROCESS, then SP+CELL: SIM, stable signal, data call, time zone.")
    day.command("PROCESS")
    t0 = time.monotonic()
    day.command("CELL", timeout=90)
    ctx.say("CELL answered after %.1f s" % (time.monotonic() - t0))
    if cellular and "Data activated" not in ctx.log():
        ctx.say("the data call did not come up within CELL's wait")
        ctx.fact("data call at CELL", "not up")
        day.no_call = True
    for module in (": cell: ", ": cellular: ", ": sim: ", ": Data: ", ": Datetime: "):
        ctx.show_log(contains=module, last=4)

    ctx.say("06:02  The first picture of the day, then SP+FIRSTSYNC: one picture, one PUT.")
    cloud.scenario({"answer": {"uploads": "auto"}})
    day.take_pictures(1)
    day.sync("FIRSTSYNC")

    ctx.say("Over the morning the camera sees deer: pictures arrive in TRANSMIT.")
    for burst in (2, 3, 2):
        day.take_pictures(burst)
    ctx.say("12:00  SP+SYNC. The cloud hands out 3 upload slots per answer, so the daemon")
    ctx.say("       announces the next batch while uploads succeed; the owner also switched")
    ctx.say("       the camera to Fahrenheit and 2 transmissions a day in the app.")
    cloud.scenario({"answers": [{"uploads": "auto", "slots": {"max": 3},
                                 "config": {"cellular": cellular, "temperatureUnit": "F", "transmitFreq": 2,
                                            "transmitTime": {"hour": 7, "minute": 30}, "batteryType": "LIT10",
                                            "ssl": {"host": cloud.host}, "multiShot": 3,
                                            "sensitivity": {"level": "high", "high": 220, "medium": 120, "low": 40},
                                            "transmitUser": True, "transmitAuto": True}}],
                    "answer": {"uploads": "auto", "slots": {"max": 3}}})
    day.sync("SYNC")
    if cellular:
        settings = ctx.read("/media/sdcard/config.dsp", default="")
        ctx.say("config.dsp for the DSP: %s" % (settings or "(none)"))
        try:
            parsed = json.loads(settings)
            ctx.say("the cloud's change reached the DSP: tempUnit %s, transmitFreq %s, transmitTime %s" % (
                parsed.get("tempUnit"), parsed.get("transmitFreq"), parsed.get("transmitTime")))
        except ValueError:
            pass
    else:
        saved = json.loads(ctx.read("/etc/trailnetd_conf.json", default="{}") or "{}")
        ctx.say("the cloud's change was saved: tempUnit %s, syncFreq %s, first sync %s:%02d" % (
            saved.get("tempUnit"), saved.get("syncFreq"), saved.get("firstSyncHour"), saved.get("firstSyncMin", 0)))
        ctx.not_landed("config.dsp from the daemon's own SYNC (the in-process sync has no DSP to write for)")

    ctx.say("15:00  The owner asks for PICT0002.JPG in full resolution and for the camera's log.")
    base = cloud.info["base"]
    cloud.scenario({"answers": [{"requests": {
        "pictures": {"content": [{"name": "PICT0002.JPG", "date": "2024-05-01 07:14:00", "host": base,
                                  "path": "/upload/HD-PICT0002.JPG", "verb": "PUT"}]},
        "log": {"execute": True, "content": [{"name": "log.txt", "host": base, "path": "/upload/log.txt",
                                              "verb": "PUT"}]}}}],
        "answer": {"uploads": "auto"}})
    if not (ctx_landed("serveHdRequests") and ctx_landed("serveLogRequest")):
        ctx.not_landed("HD and log requests: the daemon logs \"Request not served yet\"")
    day.take_pictures(1)
    day.sync("SYNC")
    ctx.show_log(contains=": hd", last=3)
    ctx.show_log(contains=": log: ", last=2)
    ctx.show_log(contains=": request: ", last=2)

    ctx.say("16:00  The DSP asks for the signal and the date.")
    bars = day.command("GETSIGNALBAR", timeout=60)
    ctx.say("GETSIGNALBAR: %s" % dspsim_visible(bars))
    date = day.command("GETDATETIME", timeout=60)
    ctx.say("GETDATETIME: %s" % dspsim_visible(date))

    ctx.say("17:00  The network drops the data call; the cellular side brings it back.")
    if cellular and modemctl:
        modemctl("drop", "0x10")
        ctx.wait_for(lambda: "Data is disconnected" in ctx.log(), 30, "the dropped call in the log")
        ctx.show_log(contains=": Data: ", last=2)
        try:
            ctx.wait_for(lambda: ctx.log().count("Data activated") >= 2, 180, "the data call to come back")
        except TimeoutError:
            ctx.say("the data call was not back after 180 s (the next SYNC waits for it)")
            ctx.fact("data call after the drop", "not back within 180 s")
        else:
            ctx.show_log(contains=": Data: ", last=1)
            ctx.fact("data call after the drop", "recovered")
            day.take_pictures(2)
            day.sync("SYNC")
    else:
        ctx.not_landed("recovery of a dropped data call (needs the cellular handler)")

    ctx.say("20:00  Night: SP+POWERDOWN. The daemon answers, takes the wake lock and halts.")
    day.command("POWERDOWN", timeout=30)
    ctx.wait_for(lambda: ctx.daemon.poll() is not None, 15, "the daemon to end")
    ctx.say("trailnetd ended with status %d; halt ran: %s" % (ctx.daemon.returncode, "yes" if "halt" in ctx.calls() else "no"))
    ctx.daemon = None

    received = cloud.requests()
    uploads = [r for r in received if r["path"].startswith("/upload/PICT") and 200 <= (r.get("status") or 0) < 300]
    ctx.fact("pictures taken", day.taken)
    ctx.fact("pictures uploaded", "%d of %d" % (len(uploads), day.taken))
    ctx.fact("bytes uploaded", sum(r.get("body_len", 0) for r in uploads))
    served = [r["path"] for r in received if r["path"].startswith(("/upload/HD-", "/upload/log.txt"))
              and 200 <= (r.get("status") or 0) < 300]
    ctx.fact("HD pictures and logs uploaded", ", ".join(p[len("/upload/"):] for p in served) or "none")
    ctx.fact("requests the cloud saw", len(received))
    ctx.fact("camera page, live", "scripts/demo --interactive")
    if cloud.view:
        ctx.say("The cloud's camera page (status and gallery) was at %s" % cloud.view)


def dspsim_visible(data):
    demo = sys.modules.get("demo") or sys.modules.get("__main__")
    return demo.visible(data) if hasattr(demo, "visible") else repr(data)


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(HERE, ".."))
    import demo  # noqa: E402

    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(demo.TOP, "build")
    sys.exit(0 if demo.run_chapter(build, os.path.abspath(__file__), summary=demo.Summary()) else 1)
