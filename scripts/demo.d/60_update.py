"""A signed update package on the SD card is installed at start

The module holds the maker's public key in /usrdata/update-keys/. The user
copies an encrypted, signed update.tar.xz and its update.tar.xz.sig onto the
card. At the next start the daemon checks the signature, decrypts the
package, installs the module files under /usrdata/, runs the package's
post-update script and unpacks the DSP firmware onto the card; the next SYNC
hands the DSP a settings file that asks it to update. A package changed by
one byte is then refused before it is opened.
"""
import json
import os
import shutil
import subprocess
import sys


def _write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def _make_key(ctx):
    """The maker's key pair; the public half goes onto the module."""
    keys = ctx.path("/build/keys")
    os.makedirs(keys, exist_ok=True)
    subprocess.run([os.path.join(ctx.top, "scripts", "make-update-key"), os.path.join(keys, "maker")],
                   check=True, capture_output=True)
    os.makedirs(ctx.path("/usrdata/update-keys"), exist_ok=True)
    shutil.copy(os.path.join(keys, "maker.pem"), ctx.path("/usrdata/update-keys/maker.pem"))
    return os.path.join(keys, "maker.key")


def _build_package(ctx, out, key):
    """Module files, a post-update script and DSP firmware, encrypted and signed."""
    work = ctx.path("/build")
    module = os.path.join(work, "usrdata")
    _write(os.path.join(module, "bin", "hello"), "#!/bin/sh\necho hello from 1.4.0\n", 0o755)
    _write(os.path.join(module, "post_update_script.sh"),
           "#!/bin/sh\ndate > \"$TRAILNETD_ROOT/usrdata/updated-at\"\n", 0o755)
    fw = os.path.join(work, "dspfw")
    _write(os.path.join(fw, "ISP.BIN"), "ISP firmware V1.00.40\n")
    _write(os.path.join(fw, "1628.BIN"), "main firmware V1.00.40\n")
    dsp = os.path.join(work, "dsp_update.tar.xz")
    subprocess.run(["tar", "-C", fw, "-cJf", dsp, "ISP.BIN", "1628.BIN"], check=True)
    # The DSP has not reported its version yet at this start: force its part.
    made = subprocess.run(
        [os.path.join(ctx.top, "scripts", "make-update-package"), "--modem-version", "1.4.0",
         "--dsp", dsp, "--dsp-version", "V1.00.40", "--force-dsp", "--encrypt",
         "--rollback-index", "1", "--sign", key, out, module],
        check=True, capture_output=True, text=True)
    return made.stdout.strip().splitlines()[-1].split(": ", 1)[1]


def _card(ctx, name):
    return os.path.exists(ctx.path("/media/sdcard/" + name))


def run(ctx):
    card_pkg = ctx.path("/media/sdcard/update.tar.xz")
    key = _make_key(ctx)
    ctx.say("The module was provisioned with the maker's public key (scripts/make-update-key):")
    ctx.say("  /usrdata/update-keys/maker.pem; from now on only packages it verifies install.")
    shipped = ctx.path("/build/update.tar.xz")
    manifest = _build_package(ctx, shipped, key)
    shutil.copyfile(shipped, card_pkg)
    shutil.copyfile(shipped + ".sig", card_pkg + ".sig")
    ctx.say("The user copies an encrypted package onto the card: update.tar.xz, %d bytes,"
            % os.path.getsize(card_pkg))
    ctx.say("and its signature update.tar.xz.sig, %d bytes (ECDSA P-256), both made by"
            % os.path.getsize(card_pkg + ".sig"))
    ctx.say("scripts/make-update-package --sign; its manifest.json:")
    ctx.say("  " + manifest)
    ctx.write("/media/sdcard/STATUS.DSP", json.dumps({"version": "V1.00.34", "model": "demo cam"}))
    ctx.say("The DSP left STATUS.DSP on the card: it runs firmware V1.00.34.")

    dsp = ctx.dsp(modem=True)
    ctx.say("The camera powers on; trailnetd checks the card before it opens the DSP's line:")
    ctx.start_daemon()
    dsp.expect(b"RDY\r\n", 60)
    ctx.show_log(contains=": update: ")
    ctx.show_log(contains="checkUpdate")

    ran = os.path.exists(ctx.path("/usrdata/updated-at"))
    hello = subprocess.run([ctx.path("/usrdata/bin/hello")], capture_output=True, text=True).stdout.strip()
    ctx.say("Module files installed: /usrdata/bin/hello says \"%s\"; post-update script ran: %s;"
            % (hello, "yes" if ran else "NO"))
    ctx.say("the script itself is gone: %s." % ("yes" if not os.path.exists(
        ctx.path("/usrdata/post_update_script.sh")) else "NO"))
    ctx.say("DSP archive kept for later recoveries: /usrdata/dsp_update.tar.xz %s."
            % ("present" if os.path.exists(ctx.path("/usrdata/dsp_update.tar.xz")) else "MISSING"))
    ctx.say("On the card for the DSP: ISP.BIN %s, 1628.BIN %s; update.tar.xz %s."
            % ("present" if _card(ctx, "ISP.BIN") else "MISSING",
               "present" if _card(ctx, "1628.BIN") else "MISSING",
               "deleted" if not _card(ctx, "update.tar.xz") else "STILL THERE"))

    ctx.say("With the cellular side off, CELL reads the DSP's status file; SYNC then writes")
    ctx.say("the DSP's settings file:")
    for cmd in ("SP+CELL", "SP+SYNC"):
        dsp.send(cmd)
        dsp.expect(b"SP+OK\n", 60)
    ctx.wait_for(lambda: _card(ctx, "config.dsp"), 15, "config.dsp")
    settings = json.loads(ctx.read("/media/sdcard/config.dsp"))
    requests = settings.get("requests")
    ctx.say("config.dsp \"requests\": %s" % json.dumps(requests))
    if requests != {"update": {"execute": True}}:
        raise RuntimeError("config.dsp does not ask the DSP to update")
    ctx.say("The DSP will now flash ISP.BIN and 1628.BIN from the card.")
    ctx.stop_daemon()

    # The same package with one byte changed, beside the maker's signature.
    with open(shipped, "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 2] ^= 0x01
    with open(card_pkg, "wb") as f:
        f.write(bytes(data))
    shutil.copyfile(shipped + ".sig", card_pkg + ".sig")
    ctx.say("")
    ctx.say("Someone slips a changed copy onto the card (one byte in its middle differs),")
    ctx.say("with the maker's signature beside it. The camera powers on again:")
    before = len([l for l in ctx.log().split("\r\n") if l])
    ctx.start_daemon()
    dsp.expect(b"RDY\r\n", 60)
    for line in [l for l in ctx.log().split("\r\n") if l][before:]:
        if ": update: " in line:
            ctx.say("log.txt | " + line)
    refused = "Update file refused (/usrdata/update.tar.xz): signature does not match" in ctx.log()
    opened = os.path.exists(ctx.path("/usrdata/update.tar.xz.dec"))
    ctx.say("Refused before it was decrypted or unpacked: %s; the changed copy deleted from the card: %s."
            % ("yes" if refused and not opened else "NO",
               "yes" if not _card(ctx, "update.tar.xz") else "NO"))
    if not refused:
        raise RuntimeError("the changed package was not refused")
    ctx.stop_daemon()


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    import demo  # noqa: E402

    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(demo.TOP, "build")
    sys.exit(0 if demo.run_chapter(build, os.path.abspath(__file__)) else 1)
