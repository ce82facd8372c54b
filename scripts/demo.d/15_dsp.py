"""The daemon starts and answers the DSP on its serial line"""
import os
import sys


def run(ctx):
    ctx.say("An SD card is mounted read-write; the DSP simulator holds dev/ttyHS0 and")
    ctx.say("also plays the modem's AT channel on dev/smd9.")
    dsp = ctx.dsp(modem=True)
    ctx.start_daemon()

    ctx.say("Until the DSP sends its first command the daemon announces itself once a second:")
    dsp.expect(b"RDY\r\n", 30)
    dsp.expect(b"RDY\r\n", 5)

    ctx.say("SP+PROCESS: the first command ends the announcements.")
    dsp.send("SP+PROCESS")
    dsp.expect(b"SP+OK\n")

    ctx.say("SP+STATE: 1 = card mounted.")
    dsp.send("SP+STATE")
    dsp.expect(b"SP+OK\n")

    ctx.say("The card goes away; SP+STATE now says 3.")
    ctx.mount_card(0)
    dsp.send("SP+STATE")
    dsp.expect(b"SP+OK\n")
    ctx.mount_card(1)

    ctx.say("An unknown command gets a fixed 50-byte block and no OK:")
    dsp.send("SP+HELLO")
    block = dsp.expect(b"\r\n" + b"\0" * 25)
    ctx.say("(%d bytes so far in that reply)" % len(block))
    dsp.read_for(0.5)

    ctx.say("An AT line is passed through to the modem; the DSP gets nothing back:")
    dsp.send_raw(b"AT+CSQ\r\n")
    rest = dsp.read_for(1.5)
    ctx.say("DSP received %d bytes after the AT line" % len(rest))

    ctx.say("What the daemon logged on the card:")
    ctx.show_log()
    ctx.stop_daemon()


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    import demo  # noqa: E402

    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(demo.TOP, "build")
    sys.exit(0 if demo.run_chapter(build, os.path.abspath(__file__)) else 1)
