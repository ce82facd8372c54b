"""The owner's requests: a full-resolution picture, the log, a modem update, and names that are refused

The cloud's answer to a camera PUT can ask for things. Here it asks for one
full-resolution picture that is on the card and one that is not, for the
daemon's log, and, in a later sync, for a modem firmware package. Names
that try to leave their folder or reach a shell are refused. The sync runs
in-process (cloud_sync_driver, data call marked up), so the chapter tells the
same story whether or not the cellular side is in this build.
"""
import json
import os
import ssl
import subprocess
import sys
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
IMEI = "861234567890123"


def put_file(cloud, name, data):
    """A file the simulator serves at /files/<name>."""
    context = ssl.create_default_context(cafile=cloud.info["cacert"])
    req = urllib.request.Request(cloud.info["base"] + "/_sim/files/" + name, method="PUT", data=data)
    with urllib.request.urlopen(req, context=context, timeout=30) as r:
        r.read()


def sync(ctx, cloud):
    out = subprocess.run([ctx.binary("cloud_sync_driver"), IMEI], env=ctx.env(),
                         capture_output=True, text=True, timeout=600)
    ctx.say("cloud_sync_driver: %s" % out.stdout.strip())
    seen = cloud.new_requests()
    for r in seen:
        ctx.say("cloud saw | " + describe(r))
    return seen


def describe(r):
    what = "%s %s -> %s" % (r["method"], r["path"], r.get("status"))
    body = r.get("json")
    if r.get("report") == "pictures":
        results = body["requests"]["pictures"]["result"]
        what += "  pictures report: " + "; ".join(
            "%s %s" % (x["name"], "ok" if x["success"] else x["message"]) for x in results)
    elif isinstance(body, dict) and "requests" in body:
        what += "  acknowledges %s" % json.dumps(body["requests"], separators=(",", ":"))
    elif r.get("body_len"):
        what += "  %d bytes" % r["body_len"]
    if r.get("sent_len"):
        what += "  %d bytes sent" % r["sent_len"]
    return what


def run(ctx):
    cloud = ctx.cloud()
    base = cloud.info["base"]
    ctx.write("/etc/trailnetd_conf.json", json.dumps({
        "host": cloud.host, "uploadPictureCount": 5, "transmitUser": True, "transmitAuto": True}))
    ctx.write("/media/sdcard/STATUS.DSP", json.dumps({"model": "TC-200", "batteries": 80}))
    os.makedirs(ctx.path("/media/sdcard/TRANSMIT"), exist_ok=True)
    picture = b"\xff\xd8\xff\xe0" + bytes(range(256)) * 800 + b"\xff\xd9"
    ctx.write("/media/sdcard/DCIM/100MEDIA/PICT0007.JPG", picture, "wb")
    ctx.write("/etc/secret.txt", "the API token lives in /etc")
    ctx.say("On the card: DCIM/100MEDIA/PICT0007.JPG (%d KiB), the full-size original." % (len(picture) // 1024))

    ctx.say("The owner asks for PICT0007.JPG and PICT0099.JPG in full resolution and for the log;")
    ctx.say("the answer also carries names that reach for a shell or for /etc.")
    slot = {"host": base, "verb": "PUT"}
    cloud.scenario({"answers": [{"uploads": None, "requests": {
        "pictures": {"content": [
            dict(slot, name="PICT0007.JPG", date="2024-05-01 07:14:00", path="/upload/HD-PICT0007.JPG"),
            dict(slot, name="PICT0099.JPG", date="2024-05-01 09:02:00", path="/upload/HD-PICT0099.JPG"),
            dict(slot, name="x; touch %s" % ctx.path("/pwned"), date="-", path="/upload/leak1"),
            dict(slot, name="../../../etc/secret.txt", date="-", path="/upload/leak2")]},
        "log": {"execute": True, "content": [
            dict(slot, name="log.txt", path="/upload/log.txt"),
            dict(slot, name="log.txt/../../../etc/secret.txt", path="/upload/leak3")]},
        "update": {"execute": True, "content": [
            dict(slot, name="../etc/init.d/S99x", path="/files/x", verb="GET")]}}}]})
    sync(ctx, cloud)
    ctx.show_log(contains=": hd: ")
    ctx.show_log(contains=": hdod: ")
    ctx.show_log(contains="Log request")
    ctx.show_log(contains="Refused")
    uploads = ctx.path("/cloudsim/uploads")
    got = sorted(os.listdir(uploads))
    ctx.say("the cloud received: %s" % ", ".join(
        "%s (%d bytes)" % (n, os.path.getsize(os.path.join(uploads, n))) for n in got))
    with open(os.path.join(uploads, "HD-PICT0007.JPG"), "rb") as f:
        same = f.read() == picture
    ctx.say("HD-PICT0007.JPG is the original byte for byte: %s" % ("yes" if same else "NO"))
    ctx.say("left in TRANSMIT: %s" % (", ".join(os.listdir(ctx.path("/media/sdcard/TRANSMIT"))) or "nothing"))
    leaked = [n for n in got if n.startswith("leak")] + (["pwned"] if os.path.exists(ctx.path("/pwned")) else [])
    ctx.say("hostile names: nothing run, nothing read outside the card: %s" % ("yes" if not leaked else leaked))
    ctx.fact("HD pictures served", "PICT0007.JPG (PICT0099.JPG unavailable)")
    ctx.fact("log uploaded", "%d bytes" % os.path.getsize(os.path.join(uploads, "log.txt")))
    ctx.fact("hostile request names refused", "5 of 5" if not leaked else "LEAKED %s" % leaked)

    ctx.say("The next sync acknowledges the log request; the cloud now asks for a modem update.")
    put_file(cloud, "modem-fw.bin", b"\x7fMODEM" + b"\x00" * 4096)
    cloud.scenario({"answers": [{"uploads": None, "requests": {"updateModem": {"execute": True, "content": [
        dict(slot, name="modem-fw.bin", path="/files/modem-fw.bin", verb="GET")]}}}]})
    sync(ctx, cloud)
    ctx.show_log(contains="updateModem")
    fota = ctx.path("/usrdata/cache/fota")
    ctx.say("in /usrdata/cache/fota: %s" % ", ".join(
        "%s (%d bytes)" % (n, os.path.getsize(os.path.join(fota, n))) for n in sorted(os.listdir(fota))))
    ctx.say("tools run (stand-ins): %s" % " | ".join(
        l.replace(ctx.root, "") for l in ctx.calls().splitlines() if l.startswith(("sync", "sys_reboot"))))
    ctx.fact("modem update", "package stored, reboot into recovery" if "sys_reboot recovery" in ctx.calls()
             else "NOT served")


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(HERE, ".."))
    import demo  # noqa: E402

    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(demo.TOP, "build")
    sys.exit(0 if demo.run_chapter(build, os.path.abspath(__file__), summary=demo.Summary()) else 1)
