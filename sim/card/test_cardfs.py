#!/usr/bin/env python3
"""The power-cut card forgets exactly what Linux would not have on the medium."""
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cardctl  # noqa: E402


def write(path, data, sync=False, flags=os.O_WRONLY | os.O_CREAT | os.O_TRUNC):
    fd = os.open(path, flags, 0o644)
    try:
        os.write(fd, data)
        if sync:
            os.fsync(fd)
    finally:
        os.close(fd)


def sync_folder(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class CardTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tncard.")
        self.backing = os.path.join(self.tmp, "medium")
        self.m = os.path.join(self.tmp, "mnt")
        os.makedirs(self.backing)
        with open(os.path.join(self.backing, "old.txt"), "wb") as f:
            f.write(b"old\n")
        os.makedirs(os.path.join(self.backing, "DCIM"))
        self.card = cardctl.Card(self.backing, self.m, os.path.join(self.tmp, "card.sock"))

    def tearDown(self):
        self.card.close()
        subprocess.run(["rm", "-rf", self.tmp])

    def p(self, rel):
        return os.path.join(self.m, rel)

    def power_cycle(self):
        self.assertEqual(self.card("cut"), "ok")
        self.assertEqual(self.card("on"), "ok")

    def test_file_data_needs_its_fsync(self):
        write(self.p("old.txt"), b"new, unflushed\n")
        write(self.p("kept.txt"), b"flushed\n", sync=True)
        sync_folder(self.m)
        write(self.p("kept.txt"), b"more\n", flags=os.O_WRONLY | os.O_APPEND)
        self.assertEqual(read(self.p("kept.txt")), b"flushed\nmore\n")
        self.power_cycle()
        self.assertEqual(read(self.p("old.txt")), b"old\n")
        self.assertEqual(read(self.p("kept.txt")), b"flushed\n")

    def test_names_need_their_folder_fsync(self):
        # Data flushed but its name not: the file is gone after the cut.
        write(self.p("DCIM/pic.jpg"), b"jpeg", sync=True)
        # The rename of a flushed file, its folder not flushed: undone.
        write(self.p("a.tmp"), b"A", sync=True)
        sync_folder(self.m)
        os.rename(self.p("a.tmp"), self.p("a.txt"))
        os.unlink(self.p("old.txt"))
        self.power_cycle()
        self.assertFalse(os.path.exists(self.p("DCIM/pic.jpg")))
        self.assertEqual(read(self.p("a.tmp")), b"A")
        self.assertFalse(os.path.exists(self.p("a.txt")))
        self.assertEqual(read(self.p("old.txt")), b"old\n")
        # The same rename with its folder flushed stays.
        os.rename(self.p("a.tmp"), self.p("a.txt"))
        sync_folder(self.m)
        self.power_cycle()
        self.assertEqual(sorted(os.listdir(self.m)), ["DCIM", "a.txt", "old.txt"])
        # A name made durable without its data: an empty file, as on a card.
        write(self.p("DCIM/empty.jpg"), b"unflushed data")
        sync_folder(self.p("DCIM"))
        self.power_cycle()
        self.assertEqual(read(self.p("DCIM/empty.jpg")), b"")

    def test_new_folder_needs_its_parent_flushed(self):
        os.mkdir(self.p("update"))
        write(self.p("update/x"), b"x", sync=True)
        sync_folder(self.p("update"))
        self.power_cycle()
        self.assertFalse(os.path.exists(self.p("update")))
        os.mkdir(self.p("update"))
        write(self.p("update/x"), b"x", sync=True)
        sync_folder(self.p("update"))
        sync_folder(self.m)
        self.power_cycle()
        self.assertEqual(read(self.p("update/x")), b"x")

    def test_sync_makes_everything_durable(self):
        # Through the control command, sync() of a program with the preload
        # library, and the sync tool (which calls sync() too).
        lib = os.environ.get("TN_CARDSYNC_LIB")
        env = dict(os.environ, LD_PRELOAD=lib or "",
                   TN_CARD_SYNC="%s=%s" % (self.m, self.card.control))
        write(self.p("one.txt"), b"1")
        self.assertEqual(self.card("sync"), "ok")
        write(self.p("two.txt"), b"2")
        if lib:
            subprocess.run(["/bin/sync"], env=env, check=True)
        write(self.p("three.txt"), b"3")
        os.mkdir(self.p("dir"))
        if lib:
            code = ("import ctypes, os; l = ctypes.CDLL(None); "
                    "fd = os.open(%r, os.O_RDONLY); assert l.syncfs(fd) == 0" % self.m)
            subprocess.run([sys.executable, "-c", code], env=env, check=True)
        write(self.p("four.txt"), b"4")
        st = self.card.stats()
        self.assertEqual(st["sync"], 3 if lib else 1)
        self.power_cycle()
        names = sorted(os.listdir(self.m))
        self.assertNotIn("four.txt", names)
        self.assertEqual(read(self.p("one.txt")), b"1")
        if lib:
            self.assertEqual(read(self.p("two.txt")), b"2")
            self.assertEqual(read(self.p("three.txt")), b"3")
            self.assertIn("dir", names)

    def test_cut_at_nth_operation_and_power_off(self):
        self.card("reset")
        self.assertEqual(self.card("cut-at 3"), "ok")
        with self.assertRaises(OSError):  # create, write, fsync: the cut falls on the fsync
            write(self.p("a"), b"a", sync=True)
        self.assertEqual(self.card("wait-cut 10"), "cut 2")
        with self.assertRaises(OSError):
            os.listdir(self.m)
        self.assertEqual(json.loads(self.card("stats"))["power"], "off")
        self.assertEqual(self.card("on"), "ok")
        self.assertFalse(os.path.exists(self.p("a")))
        # Nothing pending after a cut, and the backing folder holds the durable state.
        self.assertEqual(self.card.stats()["pending"], 0)
        write(self.p("b"), b"b", sync=True)
        sync_folder(self.m)
        self.card("persist")
        self.assertEqual(read(os.path.join(self.backing, "b")), b"b")
        self.assertFalse(os.path.exists(os.path.join(self.backing, "a")))
        # A folder replaced by another of the same name: the medium gets the new one whole.
        os.rename(self.p("DCIM"), self.p("OLD"))
        os.mkdir(self.p("DCIM"))
        write(self.p("DCIM/new.jpg"), b"n", sync=True)
        sync_folder(self.p("DCIM"))
        sync_folder(self.m)
        self.card("persist")
        self.assertEqual(read(os.path.join(self.backing, "DCIM/new.jpg")), b"n")

    def test_client_gone_before_its_reply(self):
        # A program killed inside sync() leaves before the card answers.
        import socket
        for _ in range(10):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(self.card.control)
            s.sendall(b"sync\nstats\n" * 50)
            s.close()
        self.assertEqual(self.card.stats()["power"], "on")
        write(self.p("after.txt"), b"x", sync=True)
        self.assertEqual(read(self.p("after.txt")), b"x")

    def test_random_cut_is_seeded_and_counts(self):
        a = self.card("cut-random 7 1000")
        self.card("cut-clear")
        self.assertEqual(self.card("cut-random 7 1000"), a)
        self.card("cut-clear")
        self.card("reset")
        fd = os.open(self.p("c"), os.O_WRONLY | os.O_CREAT, 0o644)
        for _ in range(3):
            os.write(fd, b"x" * 100000)
        os.fsync(fd)
        os.close(fd)
        sync_folder(self.m)
        st = self.card.stats()
        self.assertGreaterEqual(st["writes"], 3)
        self.assertEqual((st["fsync"], st["fsyncdir"]), (1, 1))
        self.assertEqual(st["ops"], 1 + st["writes"] + 2)
        self.assertGreaterEqual(st["flushed_bytes"], 300000)
        self.assertIn("error", self.card("no-such-command"))

    def test_a_full_card_refuses_the_last_byte_and_frees_room_on_delete(self):
        used = int(self.card("capacity 0").split()[1])
        self.assertEqual(self.card("capacity %d" % (used + 10000)), "ok %d" % used)
        write(self.p("a.jpg"), b"a" * 9000)
        with self.assertRaises(OSError) as e:
            write(self.p("b.jpg"), b"b" * 1001)
        self.assertEqual(e.exception.errno, 28)  # ENOSPC
        st = os.statvfs(self.m)
        self.assertLess(st.f_bavail * st.f_frsize, 4096)
        write(self.p("c.jpg"), b"c" * 1000)  # to the last byte
        os.unlink(self.p("a.jpg"))
        write(self.p("b.jpg"), b"b" * 1001)
        self.assertEqual(self.card("capacity 0"), "ok %d" % (used + 2001))


if __name__ == "__main__":
    why = cardctl.why_not()
    if why:
        print("skipped: " + why)
        sys.exit(77)
    unittest.main()
