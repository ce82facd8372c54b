#!/usr/bin/env python3
"""PicTrimApp on the module in a box: run in the guest on the FAT card with
Debian's armhf jpegoptim, it brings the camera's pictures to the target
size once (a second run leaves them as they are), keeps their EXIF data and
uploads them to the cloud behind the module's network."""
import os
import re
import struct
import time
import unittest

import vmrig

FOLDER = "/media/sdcard/TRANSMIT/"
RUN = ("cp /usr/bin/jpegoptim %sjpegoptim && PicTrimApp 640 480 50 %s UCID0001 %s 443"
       % (FOLDER, FOLDER, vmrig.API_HOST))


def size_of(jpeg):
    """(width, height) from the first start-of-frame marker."""
    i = 2
    while i + 9 < len(jpeg):
        marker, length = jpeg[i + 1], struct.unpack(">H", jpeg[i + 2:i + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2):
            h, w = struct.unpack(">HH", jpeg[i + 5:i + 9])
            return w, h
        i += 2 + length
    return None


class PicTrimTest(unittest.TestCase):
    def test_pictures_shrunk_once_with_exif_and_uploaded(self):
        box = vmrig.Box("pictrim")
        ok = False
        try:
            pics = vmrig.pictures(3, 1280, 960)
            for name, data in pics.items():
                box.m.card.put("/TRANSMIT/" + name, data)
            box.m.card.put("/TRANSMIT/.token", b"vm-token")
            with open(os.path.join(box.image, "certs", "ca.pem"), "rb") as f:
                box.m.card.put("/TRANSMIT/cacert.pem", f.read())
            box.cloud_control("PUT", "/_sim/scenario", {"accept_tokens": ["vm-token"]})
            box.boot_to_rdy()
            box.m.wait_guest()

            started = time.monotonic()
            rc, out = box.m.guest(RUN, 600)
            vmrig.figure("PicTrimApp, 3 pictures 1280x960 to 640x480 and up", time.monotonic() - started)
            self.assertIn("CODE 0 END PROGRAM", out)
            cloud = box.uploaded()
            self.assertEqual(sorted(pics), sorted(cloud))
            for name, original in pics.items():
                got = cloud[name]
                self.assertEqual((640, 480), size_of(got), name)
                self.assertLess(len(got), len(original), name)
                self.assertIn(b"Exif\0\0", got[:65536], name)
                dates = re.findall(rb"\d{4}:\d\d:\d\d \d\d:\d\d:\d\d", original[:65536])
                self.assertTrue(dates and dates[0] in got[:65536], "%s keeps its EXIF date" % name)

            # Once: a second run leaves what the first one made as it is.
            rc, listing = box.m.guest("cd %s && sha256sum *.JPG" % FOLDER)
            rc, out = box.m.guest(RUN, 600)
            self.assertEqual(listing, box.m.guest("cd %s && sha256sum *.JPG" % FOLDER)[1])
            box.m.control.send(b"poweroff\n")
            self.assertTrue(box.m.wait_off(120))
            self.assertEqual((0, []), box.m.card.fsck())
            ok = True
        finally:
            if not ok and box.m.control:
                print(box.m.guest("ls -la %s; cat %slog.txt" % (FOLDER, FOLDER), 30)[1])
            box.close(keep=not ok)


if __name__ == "__main__":
    unittest.main(verbosity=2)
