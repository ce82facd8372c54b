#!/usr/bin/env python3
"""Checks of the FAT cards (fatcard.py): FAT's rules on the card simulator,
the workloads fusefat serves on a real FAT32 image (which fsck.vfat then
finds clean), and the watchdog that ends a hung card."""
import errno
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import cardctl  # noqa: E402
import fatcard  # noqa: E402


def mounted(path):
    return fatcard.mounted(path)


class Base(unittest.TestCase):
    engine = "fat"

    def setUp(self):
        why = cardctl.why_not()
        if why:
            self.skipTest(why)
        self.tmp = tempfile.mkdtemp(prefix="tnfat.")
        self.m = os.path.join(self.tmp, "card")
        os.makedirs(self.m)
        self.card = fatcard.Mounted(self.m, os.path.join(self.tmp, "work"), self.engine,
                                    deadline=os.environ.pop("TN_FATCARD_TEST_DEADLINE", None))

    def tearDown(self):
        self.card.close()
        self.assertFalse(mounted(self.m), "the card stayed mounted")
        shutil.rmtree(self.tmp, ignore_errors=True)

    def p(self, name):
        return os.path.join(self.m, name)

    def put(self, name, data):
        with open(self.p(name), "wb") as f:
            f.write(data)

    def get(self, name):
        with open(self.p(name), "rb") as f:
            return f.read()

    def refused(self, code, call, *args):
        with self.assertRaises(OSError) as e:
            call(*args)
        self.assertEqual(e.exception.errno, code)


class FatRules(Base):
    def test_names_compare_without_regard_to_case(self):
        self.put("config.req", b"settings")
        self.assertEqual(self.get("CONFIG.REQ"), b"settings")
        self.refused(errno.EEXIST, os.mkdir, self.p("Config.Req"))
        # A rename over another spelling replaces that one file.
        self.put("new.tmp", b"new")
        os.rename(self.p("new.tmp"), self.p("CONFIG.REQ"))
        self.assertEqual(os.listdir(self.m), ["CONFIG.REQ"])
        os.unlink(self.p("config.REQ"))
        self.assertEqual(os.listdir(self.m), [])
        self.refused(errno.EINVAL, self.put, "a:b.jpg", b"")

    def test_no_permissions_owners_or_links(self):
        self.put("f", b"x")
        self.assertEqual(os.stat(self.p("f")).st_mode & 0o7777, 0o755)
        self.refused(errno.EPERM, os.chmod, self.p("f"), 0o600)
        os.chmod(self.p("f"), 0o555)  # the read-only flag is all FAT holds
        self.assertEqual(os.stat(self.p("f")).st_mode & 0o7777, 0o555)
        self.refused(errno.EPERM, os.chown, self.p("f"), 1234, -1)
        self.refused(errno.EPERM, os.symlink, "f", self.p("l"))
        self.refused(errno.EPERM, os.link, self.p("f"), self.p("h"))

    def test_files_stop_short_of_four_gib_and_times_are_even_seconds(self):
        self.put("big", b"")
        self.refused(errno.EFBIG, os.truncate, self.p("big"), 0x100000000)
        fd = os.open(self.p("big"), os.O_WRONLY)
        try:
            self.refused(errno.EFBIG, os.pwrite, fd, b"x", 0xFFFFFFFF)
        finally:
            os.close(fd)
        os.utime(self.p("big"), (1000000001, 1000000001))
        self.assertEqual(os.stat(self.p("big")).st_mtime, 1000000000)


class FatImage(Base):
    """What fusefat 0.1a serves; fsck.vfat finds the image clean after it."""
    engine = "fatimage"

    def setUp(self):
        if not (shutil.which("fusefat") and (shutil.which("mkfs.vfat") or os.path.exists("/usr/sbin/mkfs.vfat"))):
            self.skipTest("no fusefat or mkfs.vfat (fusefat, dosfstools)")
        super().setUp()

    def fsck(self):
        self.card.close()
        fsck = shutil.which("fsck.vfat") or "/usr/sbin/fsck.vfat"
        r = subprocess.run([fsck, "-n", os.path.join(self.tmp, "work", "card.img")],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_the_workloads_it_serves_leave_a_clean_file_system(self):
        # Settings replaced whole: a new file written from its start, flushed, renamed over.
        for n in range(3):
            fd = os.open(self.p("config.dsp.tmp"), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            os.write(fd, b'{"n": %d}' % n * 200)
            os.fsync(fd)
            os.close(fd)
            os.rename(self.p("config.dsp.tmp"), self.p("config.dsp"))
        self.assertEqual(self.get("config.dsp"), b'{"n": 2}' * 200)
        # Pictures left in TRANSMIT, read and deleted; many names in one folder.
        os.mkdir(self.p("TRANSMIT"))
        for i in range(150):
            self.put("TRANSMIT/PICT%04d.JPG" % i, bytes([i % 256]) * (1000 + i))
        self.assertEqual(len(os.listdir(self.p("TRANSMIT"))), 150)
        for i in range(0, 150, 2):
            self.assertEqual(len(self.get("TRANSMIT/PICT%04d.JPG" % i)), 1000 + i)
            os.unlink(self.p("TRANSMIT/PICT%04d.JPG" % i))
        # An HD picture under DCIM copied into TRANSMIT; a download renamed into place.
        os.makedirs(self.p("DCIM/100MEDIA"))
        self.put("DCIM/100MEDIA/IMG0001.JPG", os.urandom(300000))
        shutil.copyfile(self.p("DCIM/100MEDIA/IMG0001.JPG"), self.p("TRANSMIT/HDIMG0001.JPG"))
        self.put("update.tar.xz.part", os.urandom(200000))
        os.rename(self.p("update.tar.xz.part"), self.p("update.tar.xz"))
        self.assertEqual(len(self.get("TRANSMIT/HDIMG0001.JPG")), 300000)
        self.fsck()

    def test_what_it_does_not_serve(self):
        # Documented in docs/sd-card.md; if fusefat ever serves these, the
        # fat engine need no longer take them over.
        self.put("log.txt", b"first line\r\n")
        with self.assertRaises(OSError) as e:
            with open(self.p("log.txt"), "ab") as f:
                f.write(b"second line\r\n")
        self.assertEqual(e.exception.errno, errno.EPERM)


class FusefatHang(Base):
    """The sequence that spins fusefat 0.1a for good, reduced from
    PicTrimApp's rewrites: each step alone passes. The watchdog ends it."""
    engine = "fatimage"

    def setUp(self):
        if not shutil.which("fusefat"):
            self.skipTest("no fusefat")
        os.environ["TN_FATCARD_TEST_DEADLINE"] = "3"
        super().setUp()

    def test_rewrites_then_renames_over_two_files_spin_it_and_the_watchdog_ends_it(self):
        for name in ("P0.JPG", "P1.JPG"):
            self.put(name, b"x" * 20000)
        failed = None
        for name in ("P0.JPG", "P1.JPG"):
            try:
                self.put(name, b"y" * 6000)  # O_TRUNC rewrite: EPERM, the chain left broken
            except OSError:
                pass
            self.put("T.TMP", b"z" * 4000)  # takes the freed clusters
            try:
                os.rename(self.p("T.TMP"), self.p(name))  # the second one spins
            except OSError as e:
                failed = e.errno
        self.assertIn(failed, (errno.ECONNABORTED, errno.ENOTCONN))


class Watchdog(unittest.TestCase):
    def test_a_hung_card_is_killed_and_detached_past_its_deadline(self):
        why = cardctl.why_not()
        if why:
            self.skipTest(why)
        tmp = tempfile.mkdtemp(prefix="tnfat.")
        m = os.path.join(tmp, "card")
        os.makedirs(m)
        card = fatcard.Mounted(m, os.path.join(tmp, "work"), "fat", deadline=3)
        try:
            with open(os.path.join(m, "f"), "w") as f:
                f.write("x")
            # The FUSE process stops answering, as fusefat spinning does.
            out = subprocess.run(["pgrep", "-f", "cardfs.py --fat --backing " + tmp],
                                 capture_output=True, text=True).stdout.split()
            self.assertEqual(len(out), 1)
            os.kill(int(out[0]), signal.SIGSTOP)
            t0 = time.monotonic()
            with self.assertRaises(OSError):
                os.listdir(m)  # blocks until the watchdog ends the card
            self.assertLess(time.monotonic() - t0, 60)
        finally:
            card.close()
            self.assertFalse(mounted(m))
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
