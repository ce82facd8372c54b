#!/usr/bin/env python3
"""The DSP's day on the module in a box: boot to RDY on the PL011, PROCESS,
CELL, FIRSTSYNC with pictures the camera left on the card before the boot,
SYNC, GETDATETIME (a true date), POWERDOWN after which the board powers off
and QEMU ends by itself; every picture arrives byte-identical, TRANSMIT is
empty and fsck.vfat finds the card clean. TN_VM_RTC=1970 starts the board's
clock at 1 January 1970 (a module whose battery was changed): the modem's
network time must then set it before any HTTPS request can succeed.
TN_VM_NET=europe puts the module on a British network: the clock then comes
from the desk's NTP server by the guest's ntpd, over UDP, and the camera's
date is in UTC."""
import calendar
import os
import re
import time
import unittest

import vmrig


class DayTest(unittest.TestCase):
    def test_a_day_on_the_module(self):
        europe = os.environ.get("TN_VM_NET") == "europe"
        box = vmrig.Box("day", rtc=os.environ.get("TN_VM_RTC", "now"), ntp=europe)
        ok = False
        try:
            pics = vmrig.pictures(4)
            box.first_card(pics, modem=vmrig.european_modem() if europe else None)
            vmrig.figure("boot to RDY", box.boot_to_rdy())
            box.m.wait_guest()
            if not europe:
                box.modem("set", "nw.nitz", '"%s"' % vmrig.nitz_now())
            woke = time.monotonic()
            self.assertIn(b"SP+OK", box.command("SP+PROCESS", 30))
            self.assertIn(b"SP+OK", box.command("SP+CELL", 120))
            self.assertIn(b"SP+OK", box.command("SP+FIRSTSYNC"))
            self.assertEqual(1, len(box.uploaded()), "FIRSTSYNC sends one picture")
            self.assertIn(b"SP+OK", box.command("SP+SYNC"))
            vmrig.figure("wake to pictures delivered", time.monotonic() - woke)
            answer = box.command("SP+GETDATETIME", 60)
            m = re.search(rb"(\d{4}) (\d+) (\d+) (\d+) (\d+) (\d+)\r\n", answer)
            self.assertIsNotNone(m, "no date in %r" % answer)
            told = calendar.timegm(tuple(int(g) for g in m.groups()) + (0, 0, 0))
            local_now = time.time() + (0 if europe else vmrig.NITZ_ZONE_HOURS * 3600)
            self.assertLess(abs(told - local_now), 600, "the camera gets a true date: %r" % answer)
            if europe:
                self.assertIn("clock: Set by NTP from europe.pool.ntp.org", box.log())
                self.assertGreater(box.m.udp_relay.datagrams, 0, "the guest's ntpd asked the desk")
            self.assertIn(b"SP+OK", box.command("SP+POWERDOWN", 30))
            self.assertTrue(box.m.wait_off(120), "the board did not power off after POWERDOWN")

            self.assertEqual(pics, box.uploaded(), "every picture arrives byte-identical")
            self.assertEqual([], box.m.card.ls("/TRANSMIT"))
            rc, findings = box.m.card.fsck()
            self.assertEqual((0, []), (rc, findings), "the card after the day")
            ok = True
        finally:
            if not ok:
                if box.m.control:
                    print(box.m.guest("cat /proc/tty/driver/ttyAMA; tail -20 /media/sdcard/log.txt", 20)[1])
                print(box.m.console()[-3000:])
                print((box.m.card.get("/log.txt") or b"")[-4000:].decode(errors="replace"))
            box.close(keep=not ok)


if __name__ == "__main__":
    unittest.main(verbosity=2)
