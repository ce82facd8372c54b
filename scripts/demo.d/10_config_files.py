"""The camera's settings reach the daemon and come back to the DSP as files on the card"""
import json
import os
import stat
import sys

REQUEST = {
    "config": {
        "cellular": False,
        "temperatureUnit": "C",
        "transmitTime": {"hour": 6, "minute": 45},
        "transmitFreq": 3,
        "batteryType": "LIT10",
        "dateFormat": "dmy",
        "sensitivity": {"level": "auto", "high": 200, "medium": 120, "low": 40},
        "multiShot": 2,
        "work": [[0, 24], [0, 24], [6, 18], [6, 18], [6, 18], [0, 24], [0, 24]],
    }
}

STATUS = {
    "memory": {"size": 30436, "used": 1210},
    "batteries": 87,
    "batteryType": "LIT10",
    "temperature": {"value": 14, "unit": "C"},
    "model": "TC-200",
    "version": "V1.00.30",
    "notifications": [],
}


def show_file(ctx, absolute):
    text = ctx.read(absolute, default=None)
    if text is None:
        ctx.say("%s: (none)" % absolute)
    else:
        ctx.say("%s (%d bytes): %s" % (absolute, len(text), text))


def run(ctx):
    ctx.say("No daemon configuration yet. The camera side leaves a one-shot request on the card:")
    ctx.write("/media/sdcard/CONFIG.REQ", json.dumps(REQUEST) + "\n")
    show_file(ctx, "/media/sdcard/CONFIG.REQ")

    dsp = ctx.dsp(modem=True)
    ctx.start_daemon()
    dsp.expect(b"RDY\r\n", 30)

    ctx.say("At start the request was applied once and deleted; the configuration file was")
    ctx.say("written whole, on one line, readable by its owner only:")
    show_file(ctx, "/media/sdcard/CONFIG.REQ")
    show_file(ctx, "/etc/trailnetd_conf.json")
    mode = stat.S_IMODE(os.stat(ctx.path("/etc/trailnetd_conf.json")).st_mode)
    ctx.say("mode %o" % mode)

    ctx.say("The DSP leaves its status and sends SP+CELL; with cellular off in the")
    ctx.say("configuration the daemon reads the status file instead of dialling:")
    ctx.write("/media/sdcard/STATUS.DSP", json.dumps(STATUS))
    dsp.send("SP+CELL")
    dsp.expect(b"SP+OK\n", 30)
    show_file(ctx, "/media/sdcard/STATUS.DSP")

    ctx.say("SP+SYNC: no cloud run while cellular is off, but the settings file for the DSP")
    ctx.say("goes next to the status it answers (STATUS.DSP -> config.dsp):")
    dsp.send("SP+SYNC")
    dsp.expect(b"SP+OK\n", 60)
    show_file(ctx, "/media/sdcard/config.dsp")

    ctx.say("What the configuration and DSP files logged:")
    for module in (": config: ", ": readDspStatus: ", ": dsp_config: ", ": sync: "):
        ctx.show_log(contains=module)
    ctx.stop_daemon()


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    import demo  # noqa: E402

    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(demo.TOP, "build")
    sys.exit(0 if demo.run_chapter(build, os.path.abspath(__file__)) else 1)
