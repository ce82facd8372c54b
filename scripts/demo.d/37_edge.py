"""A camera at the edge: uploads that go on where the link cut them, told in figures

The link drops more often than a picture takes to cross it: the edge of
coverage, sped up for the telling (128 kbit/s up, a drop every 8 s, where
the field's edge is 16 kbit/s and a drop every 2 minutes). First
the cloud hands plain PUT slots: every attempt starts again from byte 0.
Then it hands resumable (tus) slots: the camera asks the server how much
it holds (HEAD) and sends only the rest (PATCH), across drops and syncs.
"""
import json
import os
import subprocess
import sys

IMEI = "861234567890123"
PICTURES = 2
SIZE = 160 * 1024


def run(ctx):
    try:
        tool = ctx.binary("cloud_sync_tool")
    except FileNotFoundError:
        ctx.not_landed("cloud_sync_tool (bench/cloud) is not in this build")
        return
    cloud = ctx.cloud(link="edge", link_args=["--set", "up_bps=128000", "--set", "drop_every_s=8",
                                              "--set", "delay_ms=100"])
    link = cloud.link
    ctx.write("/etc/trailnetd_conf.json", json.dumps({
        "host": cloud.host, "uploadPictureCount": 10, "transmitUser": True, "transmitAuto": True}))
    ctx.write("/media/sdcard/STATUS.DSP", json.dumps({"model": "TC-9", "batteries": 58}))
    made = ctx.transmit_pictures("EDGE", PICTURES, SIZE, 37)
    pic = PICTURES * SIZE
    ctx.say("%d pictures of %d KB; one takes %.1f s of link, the link drops every 8 s"
            % (PICTURES, SIZE // 1024, SIZE * 8.0 / 128000))

    def syncs(most):
        link.command("reset")
        out = subprocess.run([tool, IMEI, str(most)], env=ctx.env(), stdout=subprocess.PIPE,
                             text=True, timeout=300).stdout
        runs = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
        c = link.counters()
        return runs, c["bytes_up"] + c["bytes_down"], c["resets"]

    cloud.control("PUT", "/_sim/scenario", {"answer": {"uploads": "auto"}})
    runs, on_link, resets = syncs(1)
    left = runs[-1]["left"] if runs else PICTURES
    ctx.say("plain PUT slots, %d sync(s): %d of %d delivered, %d KB on the link for %d KB of "
            "pictures, all of it wasted (%d drops)"
            % (len(runs), PICTURES - left, PICTURES, on_link // 1024, pic // 1024, resets))
    ctx.fact("edge, plain PUT: delivered", "%d/%d in %d sync(s)" % (PICTURES - left, PICTURES, len(runs)))

    cloud.control("PUT", "/_sim/scenario", {"answer": {"uploads": "auto"}, "tus": {"url": "same"}})
    runs, on_link, resets = syncs(3)
    left = runs[-1]["left"] if runs else PICTURES
    patches = [r for r in cloud.requests() if r.get("method") == "PATCH"]
    resumed = sum(1 for r in patches if r.get("upload_offset", 0) > 0)
    ctx.say("resumable slots: %d of %d delivered in %d sync(s); %d PATCHes, %d of them going on "
            "from the server's offset after a drop (%d drops)"
            % (PICTURES - left, PICTURES, len(runs), len(patches), resumed, resets))
    ctx.say("bytes on the link: %d KB for %d KB of pictures (x%.2f: TLS, HTTP, a HEAD per "
            "attempt and the bytes in flight at each drop)"
            % (on_link // 1024, pic // 1024, on_link / float(pic)))

    whole = ctx.intact_at_cloud(made)
    ctx.say("byte-identical at the cloud: %d of %d" % (whole, PICTURES))
    ctx.show_log(contains="Resumable upload")
    ctx.fact("edge, resumable: delivered", "%d/%d in %d sync(s)" % (whole, PICTURES, len(runs)))
    ctx.fact("edge, resumable: link bytes / picture bytes", "%.2f" % (on_link / float(pic)))
    if whole != PICTURES:
        raise RuntimeError("only %d of %d pictures arrived whole" % (whole, PICTURES))


if __name__ == "__main__":
    HERE = os.path.dirname(os.path.abspath(__file__))
    TOP = os.path.dirname(os.path.dirname(HERE))
    sys.path.insert(0, os.path.join(TOP, "scripts"))
    import demo  # noqa: E402
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, "build")
    sys.exit(0 if demo.run_chapter(build, os.path.abspath(__file__)) else 1)
