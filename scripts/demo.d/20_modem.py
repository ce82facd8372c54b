"""The modem: identity from the modem simulator, a data call opened and dropped, power-down"""
import os
import subprocess
import sys


def run(ctx):
    ctx.say("The modem simulator plays the MCM service, the connection manager and the")
    ctx.say("AT channel (dev/smd9) from a scenario file.")
    sim, control = ctx.start_modem('{"dm": {"imei": "861234567890123", '
                                   '"firmware": "EG91EXGAR08A05M1G_01.001.01.001"}, '
                                   '"at": {"servingcell": "+QENG: \\"servingcell\\",\\"NOCONN\\",\\"LTE\\",\\"FDD\\",310,410,'
                                   'A1B2C03,123,5110,12,5,5,2B1F,-95,-10,-65,12,40"}}')

    ctx.write("/sys/power/.keep", "")
    dsp = ctx.dsp(modem=False)
    # The daemon finds the simulator's pidof first on PATH.
    ctx.start_daemon(env={"PATH": ctx.modem_path()})
    dsp.expect(b"RDY\r\n", 30)
    ctx.say("At start the daemon read its identity through the device-management client:")
    ctx.wait_for(lambda: "Firmware:" in ctx.log(), 20, "the firmware line")
    ctx.show_log(contains="IMEI")
    ctx.show_log(contains="Firmware")
    ctx.say("The platform's API log of the same requests (tmp/ql_sys_log.txt, last lines):")
    for line in ctx.read("/tmp/ql_sys_log.txt").splitlines()[-4:]:
        ctx.say("ql_api | " + line)

    ctx.say("The daemon's data-call code opens profile 3 on the connection manager; the")
    ctx.say("manager's event sets dataConnected. Then the network drops the call.")
    probe = subprocess.Popen([ctx.binary("datacall_probe"), "20"], env=ctx.env(),
                             stdout=subprocess.PIPE, text=True)
    seen = []
    for line in probe.stdout:
        ctx.say("datacall_probe | " + line.rstrip())
        seen.append(line)
        if line.startswith("dataConnected: 1"):
            control("drop", "0x10")
    probe.wait(30)
    ctx.show_log(contains="Data")

    ctx.say("POWERDOWN: the daemon answers OK, takes the wake lock, runs halt and ends.")
    dsp.send("SP+POWERDOWN")
    dsp.expect(b"SP+OK\n")
    ctx.wait_for(lambda: ctx.daemon.poll() is not None, 15, "the daemon to end")
    ctx.say("exit status %d; wake_lock holds %r; halt ran: %s" % (
        ctx.daemon.returncode, ctx.read("/sys/power/wake_lock"), "halt" in ctx.calls()))
    ctx.daemon = None
    control("quit")
    sim.wait(10)


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    import demo  # noqa: E402

    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(demo.TOP, "build")
    sys.exit(0 if demo.run_chapter(build, os.path.abspath(__file__)) else 1)
