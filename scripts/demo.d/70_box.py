"""The module in a box: the programs booted on an ARM kernel, told in figures

The image of scripts/module-image (Debian's armmp kernel, BusyBox, our
install rules) boots under qemu-system-arm. The DSP talks to the board's
PL011, the card is a FAT32 image the kernel's vfat driver mounts, the
cloud is reached through QEMU's user network, and the power is the QEMU
process. The figures are under emulation on this machine, not the module's
speed.
"""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "vm"))


def run(ctx):
    try:
        os.environ.setdefault("TN_CAMPICTURES", ctx.binary("campictures"))
    except FileNotFoundError:
        ctx.not_landed("campictures is not in this build")
        return
    import vmrig
    try:
        box = vmrig.Box("demo")
    except unittest.SkipTest as why:
        ctx.say("(the box is not here: %s; the story goes on)" % why)
        ctx.fact("the box", "not here: %s" % why)
        return
    try:
        day(ctx, box, vmrig)
        cut(ctx, box, vmrig)
    finally:
        box.close()


def send(ctx, box, command, timeout=300):
    ctx.show_bytes("dsp>", command.encode() + b"\r")
    answer = box.command(command, timeout)
    ctx.show_bytes("<dsp", answer)
    return answer


def day(ctx, box, vmrig):
    pics = vmrig.pictures(3)
    box.first_card(pics)
    ctx.say("The camera's card (FAT32 image, made with mkfs.vfat, filled with mtools): "
            "CONFIG.REQ, STATUS.DSP, %d pictures in TRANSMIT" % len(pics))
    ctx.say("Power on: qemu-system-arm -M virt, Debian's armmp kernel, BusyBox init, "
            "/etc/init.d/trailnetd")
    rdy = box.boot_to_rdy()
    ctx.say("RDY on the PL011 after %.1f s" % rdy)
    ctx.fact("boot to RDY (emulated)", "%.1f s" % rdy)
    box.m.wait_guest()
    ctx.say("In the guest: %s" % box.m.guest("uname -sr; grep -E ' (/|/media/sdcard) ' /proc/mounts")[1]
            .strip().replace("\n", " | "))
    box.modem("set", "nw.nitz", '"%s"' % vmrig.nitz_now())
    woke = time.monotonic()
    for command in ("SP+PROCESS", "SP+CELL", "SP+FIRSTSYNC", "SP+SYNC"):
        send(ctx, box, command)
    delivered = time.monotonic() - woke
    intact = sum(1 for n, d in box.uploaded().items() if pics.get(n) == d)
    ctx.say("%d of %d pictures at the cloud byte for byte, %.1f s after the wake" % (intact, len(pics), delivered))
    ctx.fact("wake to pictures delivered (emulated)", "%.1f s, %d of %d intact" % (delivered, intact, len(pics)))
    send(ctx, box, "SP+GETDATETIME", 60)
    send(ctx, box, "SP+POWERDOWN", 30)
    off = box.m.wait_off(120)
    ctx.say("The board %s; fsck.vfat -n of the card: %s" % (
        "powered off" if off else "did NOT power off", box.m.card.fsck()[1] or "clean"))


def cut(ctx, box, vmrig):
    pics = vmrig.pictures(2)
    more = {"CUT%05d.JPG" % i: d for i, d in enumerate(pics.values())}
    for name, data in more.items():
        box.m.card.put("/TRANSMIT/" + name, data)
    ctx.say("The camera took %d more pictures. Power on, and the power goes 0.3 s into the sync:" % len(more))
    box.boot_to_rdy()
    box.m.wait_guest()
    for command in ("SP+PROCESS", "SP+CELL"):
        send(ctx, box, command)
    ctx.show_bytes("dsp>", b"SP+SYNC\r")
    box.m.uart.send(b"SP+SYNC\r")
    end = time.monotonic() + 0.3
    while time.monotonic() < end:
        box.m.uart.pump(end - time.monotonic())
    box.m.cut()
    rc, findings = box.m.card.fsck()
    ctx.say("QEMU killed. fsck.vfat -n finds %d thing(s): %s" % (len(findings), findings or "none"))
    ctx.fact("fsck findings after the cut", str(len(findings)))
    rdy = box.boot_to_rdy()
    ctx.say("Power on again: RDY after %.1f s" % rdy)
    box.m.wait_guest()
    for command in ("SP+PROCESS", "SP+CELL", "SP+SYNC"):
        send(ctx, box, command)
    cloud = box.uploaded()
    intact = sum(1 for n, d in more.items() if cloud.get(n) == d)
    left = box.m.guest("ls /media/sdcard/TRANSMIT")[1].split()
    ctx.say("After the cut: %d of %d pictures at the cloud intact, left in TRANSMIT: %s"
            % (intact, len(more), left or "nothing"))
    ctx.fact("pictures intact after the cut", "%d of %d" % (intact, len(more)))


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    import demo  # noqa: E402

    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(demo.TOP, "build")
    sys.exit(0 if demo.run_chapter(build, os.path.abspath(__file__)) else 1)
