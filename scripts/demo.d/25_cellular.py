"""Cellular: two SIM cards, the slot choice, the data call, a drop, the time zone"""
import json
import os
import sys
import time

IMEI = "861234567890123"
# Slot 0: a carrier of priority 99; slot 1: one preferred outright (priority 1).
MODEM_SCENARIO = {
    "dm": {"imei": IMEI, "firmware": "EG91EXGAR08A05M1G_01.001.01.001"},
    "sim": {"slots": [{"iccid": "8930261000000000001F", "imsi": "302610000000001"},
                      {"iccid": "89302760000000000002", "imsi": "302760000000002",
                       "pin_state": "locked", "pin": "61830572"}]},
    "nw": {"signal": {"lte": {"rssi": -65, "rsrq": -10, "rsrp": -95, "snr": 12}},
           "reg": {"radio_tech": 4, "mcc": "302", "mnc": "220", "cell_id": 10627843, "lac": 0, "tac": 11039},
           "time": {"zone": -20}},  # the true date, five hours west
}


def run(ctx):
    ctx.say("The modem simulator holds two cards: slot 0 of a carrier of priority 99, slot 1")
    ctx.say("of one preferred outright, with a PIN to verify. The network gives its time")
    ctx.say("with an offset of -20 quarter hours (five hours west).")
    _, modem = ctx.start_modem(json.dumps(MODEM_SCENARIO))

    cloud = ctx.cloud()
    cloud.scenario({"answer": {"uploads": "auto", "config": {"transmitFreq": 4}}})
    ctx.write("/media/sdcard/CONFIG.REQ", json.dumps({"config": {
        "cellular": True, "transmitUser": True, "transmitAuto": True,
        "ssl": {"host": cloud.host}}}) + "\n")
    ctx.write("/media/sdcard/STATUS.DSP", json.dumps({"batteries": 80, "model": "TC-200"}))
    for i in range(1, 4):
        ctx.write("/media/sdcard/TRANSMIT/PICT%04d.JPG" % i, "\xff\xd8" + "p" * (4000 * i))
    ctx.write("/sys/power/.keep", "")
    dsp = ctx.dsp(modem=False)
    ctx.start_daemon(env={"PATH": ctx.modem_path()})
    dsp.expect(b"RDY\r\n", 30)

    ctx.say("SP+CELL: the handler probes slot 0, then slot 1, keeps slot 1 (priority 1),")
    ctx.say("verifies its PIN, writes the carrier's APN, waits for a stable signal and")
    ctx.say("opens the data call. CELL answers once the call is up.")
    t0 = time.monotonic()
    dsp.send("SP+CELL")
    dsp.expect(b"SP+OK\n", 90)
    ctx.say("CELL answered after %.1f s" % (time.monotonic() - t0))
    for part in (": cellular: ", ": sim: ", ": Data: "):
        ctx.show_log(contains=part)
    ctx.say("APN written into modem profile 3: %s" % modem("get", "manager.apns.3.apn"))

    ctx.say("SP+FIRSTSYNC over the data call: the status report carries the card and the cell.")
    dsp.send("SP+FIRSTSYNC")
    dsp.expect(b"SP+OK\n", 120)
    for r in cloud.new_requests():
        status = (r.get("json") or {}).get("status") if isinstance(r.get("json"), dict) else None
        if status:
            sig = status.get("signal", {})
            ctx.say("cloud saw | status: sim %s, imsi %s, %s/%s, cell %s, area %s, %s, %s bars, %s dBm" % (
                status.get("sim"), sig.get("imsi"), sig.get("mcc"), sig.get("mnc"), sig.get("cellid"),
                sig.get("lac"), sig.get("type"), sig.get("bar"), sig.get("dBm")))
        else:
            ctx.say("cloud saw | %s %s -> %s" % (r["method"], r["path"], r.get("status")))

    ctx.say("SP+GETDATETIME answers the local time of the zone from the network (UTC+05:00):")
    dsp.send("SP+GETDATETIME")
    dsp.expect(b"SP+OK\n", 40)
    ctx.say("UTC now is %s" % time.strftime("%Y %m %d %H:%M:%S", time.gmtime()))

    ctx.say("The network drops the call. The handler notices, closes, and opens it again.")
    modem("drop", "0x10")
    ctx.wait_for(lambda: ctx.log().count("Data activated") >= 2, 60, "the call to come back")
    ctx.show_log(contains=": Data: ", last=3)

    ctx.say("SP+SYNC: the pictures of TRANSMIT arrive in the cloud.")
    dsp.send("SP+SYNC")
    dsp.expect(b"SP+OK\n", 120)
    for r in cloud.new_requests():
        ctx.say("cloud saw | %s %s -> %s%s" % (r["method"], r["path"], r.get("status"),
                                              "  %d bytes" % r["body_len"] if r["path"].startswith("/upload/")
                                              else ""))
    left = os.listdir(ctx.path("/media/sdcard/TRANSMIT"))
    ctx.say("left in TRANSMIT: %s" % (", ".join(left) or "nothing"))
    modem("quit")


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    import demo  # noqa: E402

    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(demo.TOP, "build")
    sys.exit(0 if demo.run_chapter(build, os.path.abspath(__file__)) else 1)
