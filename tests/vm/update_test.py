#!/usr/bin/env python3
"""A signed update package on the card of the module in a box: a copy
changed by one byte is refused and nothing of it is unpacked; the package
as signed installs, its script points the init script at the new daemon and
reboots the module, and that daemon answers RDY. The module's update key is
the image's (scripts/module-image: OUT/update-key.pem, its public half in
/usrdata/update-keys/)."""
import unittest

import vmrig

SCRIPT = b"""#!/bin/sh
# From the next start on, the daemon the package brought runs.
mkdir -p /etc/default
echo 'DAEMON=/usrdata/bin/trailnetd' >/etc/default/trailnetd
sync
reboot
"""


class UpdateTest(unittest.TestCase):
    def test_signed_package_installs_and_a_changed_one_is_refused(self):
        box = vmrig.Box("update")
        ok = False
        try:
            package, sig, _ = vmrig.signed_package(box, SCRIPT)
            bad = bytearray(package)
            bad[len(bad) // 2] ^= 0x01
            box.first_card({})
            box.m.card.put("/update.tar.xz", bytes(bad))
            box.m.card.put("/update.tar.xz.sig", sig)
            box.boot_to_rdy()
            box.m.wait_guest()
            self.assertIn("Update file refused", box.log())
            self.assertNotEqual(0, box.m.guest("ls /usrdata/bin /usrdata/post_update_script.sh")[0],
                                "nothing of the changed package is unpacked")
            box.m.control.send(b"poweroff\n")
            self.assertTrue(box.m.wait_off(120))

            box.m.card.put("/update.tar.xz", package)
            box.m.card.put("/update.tar.xz.sig", sig)
            box.m.boot()
            # The install reboots the module: the console shows a second start.
            box.m.uart.expect(b"RDY\r\n", 300)
            box.m.wait_guest()
            self.assertEqual(2, box.m.console()[box.m.console_from:].count("rcS: up"), "one reboot")
            rc, cmdline = box.m.guest("tr '\\0' ' ' </proc/$(pidof trailnetd)/cmdline")
            self.assertIn("/usrdata/bin/trailnetd", cmdline)
            self.assertIn(b"SP+OK", box.command("SP+PROCESS", 30))
            self.assertIn("Update file signed by", box.log())
            ok = True
        finally:
            if not ok and box.m.control:
                print(box.log()[-3000:])
            box.close(keep=not ok)


if __name__ == "__main__":
    unittest.main(verbosity=2)
