#!/usr/bin/python3
"""A card that forgets what was not flushed.

Serves a backing folder through FUSE. Every change stays in this process's
own cache until it is made durable the way Linux makes it durable:
  - a file's data and attributes by fsync/fdatasync of that file,
  - a name change in a folder (create, rename, unlink, mkdir, rmdir, link,
    symlink) by fsync of that folder,
  - everything by sync/syncfs (the kernel does not pass those on to a FUSE
    file system: cardsync.so, preloaded into the programs, sends "sync"
    on the control socket instead).
A cut throws away everything not durable; the mount then shows only the
durable state, as a card does when power comes back. While the power is
off every operation fails with EIO.

Control commands, one line each on the Unix socket given by --control
(each gets one reply line):
  stats              JSON counts: ops, writes, fsync, fsyncdir, sync,
                     flushed_bytes, cuts, power ("on"/"off"), pending
  reset              zero the counts
  sync               make everything durable (what sync() would do)
  cut                throw away what is not durable, power off
  on                 power on again (after a cut)
  cut-at N           cut just before the Nth operation from now
  cut-random SEED N  cut before an operation drawn from 1..N with SEED
  cut-clear          forget a pending cut-at
  wait-cut SECONDS   reply "cut OPS" once a cut happened, "none" on time-out
  persist            write the durable state into the backing folder now
  capacity BYTES     the card holds BYTES of file data from now on (0: no
                     limit, the default): a write or a growth past it fails
                     with ENOSPC, and statfs shows what is left
  quit               persist, unmount and exit
Operations counted for cuts: every change (each write call, create,
mkdir, unlink, rmdir, rename, link, symlink, setattr) and every flush.
The backing folder always receives the durable state on persist, on cut
and at exit.

With --fat the card keeps FAT's rules, as the module's card does: no
permissions (files and folders show 0755, or 0555 when read-only; any other
chmod or chown fails with EPERM), no symbolic or hard links (EPERM), names
that compare without regard to case and may not hold "*/:<>?\| or control
characters (EINVAL), files of at most 4 GiB - 1 (EFBIG), modification times
in steps of two seconds. Without it the card is as permissive as the desk.

Usage: cardfs.py --backing DIR --mount DIR --control SOCK [--fat] [--cut-at N]
                 [--seed S --cut-within N]
Prints "READY" on standard output once mounted.
"""
import argparse
import errno
import json
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time
import traceback

import pyfuse3
import trio

ROOT = pyfuse3.ROOT_INODE


class Node:
    __slots__ = ("ino", "kind", "mode", "uid", "gid", "mtime", "data", "entries",
                 "target", "ddata", "dmode", "dmtime", "dentries", "dgen")

    def __init__(self, ino, kind, mode, uid=0, gid=0):
        self.ino = ino
        self.kind = kind  # 'f' file, 'd' folder, 'l' symbolic link
        self.mode = mode
        self.uid = uid
        self.gid = gid
        self.mtime = time.time_ns()
        self.data = bytearray()
        self.entries = {} if kind == 'd' else None
        self.target = b""
        # The durable copy: what the medium holds.
        self.ddata = b""
        self.dmode = mode
        self.dmtime = self.mtime
        self.dentries = {} if kind == 'd' else None
        self.dgen = 0

    def settle(self):
        """Make this node's own content durable; returns bytes flushed."""
        n = 0
        if self.kind == 'f':
            if self.ddata != self.data:
                n = len(self.data)
                self.ddata = bytes(self.data)
                self.dgen += 1
        elif self.kind == 'd':
            if self.dentries != self.entries:
                n = 64 * max(1, len(self.entries))
                self.dentries = dict(self.entries)
                self.dgen += 1
        if self.dmode != self.mode or self.dmtime != self.mtime:
            self.dgen += 1
        self.dmode, self.dmtime = self.mode, self.mtime
        return n

    def pending(self):
        if self.dmode != self.mode:
            return True
        if self.kind == 'f':
            return self.ddata != self.data
        if self.kind == 'd':
            return self.dentries != self.entries
        return False


class PowerOff(Exception):
    pass


# ---- FAT's rules (--fat) ----
FAT_MAX_SIZE = 0xFFFFFFFF
FAT_BAD_CHARS = set(b'"*/:<>?\\|') | set(range(0x20))


def fat_key(name):
    """The form under which FAT compares names: without regard to case."""
    return os.fsdecode(name).casefold()


def fat_time(ns):
    """A directory entry keeps the modification time in steps of 2 s."""
    step = 2 * 10**9
    return ns - ns % step


def fat_mode(kind, writable):
    perm = 0o755 if writable else 0o555
    return (stat.S_IFDIR if kind == 'd' else stat.S_IFREG) | perm


class Card(pyfuse3.Operations):
    def __init__(self, backing, fat=False):
        super().__init__()
        self.backing = backing
        self.fat = fat
        self.nodes = {}
        self.next_ino = ROOT + 1
        self.handles = {}  # fh -> (ino, epoch)
        self.listings = {}  # fh -> the folder's names as its first readdir saw them
        self.next_fh = 1
        self.epoch = 0
        self.power = True
        self.cut_at = None  # absolute op count at which the cut falls
        self.cut_event = trio.Event()
        self.written = {}  # backing path -> (ino, dgen) last written
        self.capacity = 0  # bytes of file data the card holds; 0: no limit
        self.reset_counts()
        root = Node(ROOT, 'd', stat.S_IFDIR | 0o755)
        self.nodes[ROOT] = root
        self.load(backing, root)
        self.sync_all()
        self.counts["flushed_bytes"] = 0
        self.counts["sync"] = 0
        self.persist()

    def reset_counts(self):
        self.counts = {k: 0 for k in ("ops", "writes", "fsync", "fsyncdir", "sync",
                                      "flushed_bytes", "cuts")}

    # ---- the backing folder ----
    def new_node(self, kind, mode, ctx=None):
        if self.fat:
            # Everything belongs to the mounting user; only the write bit is kept.
            mode = fat_mode(kind, mode & 0o222)
            ctx = None
        n = Node(self.next_ino, kind, mode, ctx.uid if ctx else os.getuid() if self.fat else 0,
                 ctx.gid if ctx else os.getgid() if self.fat else 0)
        if self.fat:
            n.mtime = n.dmtime = fat_time(n.mtime)
        self.next_ino += 1
        self.nodes[n.ino] = n
        return n

    def load(self, path, node):
        for name in sorted(os.listdir(path)):
            p = os.path.join(path, name)
            st = os.lstat(p)
            if stat.S_ISDIR(st.st_mode):
                child = self.new_node('d', st.st_mode)
                self.load(p, child)
            elif stat.S_ISLNK(st.st_mode):
                if self.fat:
                    continue  # a link cannot be on a FAT card
                child = self.new_node('l', st.st_mode)
                child.target = os.fsencode(os.readlink(p))
            elif stat.S_ISREG(st.st_mode):
                child = self.new_node('f', st.st_mode)
                with open(p, "rb") as f:
                    child.data = bytearray(f.read())
            else:
                continue  # sockets, fifos and devices do not live on a card
            child.uid, child.gid, child.mtime = st.st_uid, st.st_gid, st.st_mtime_ns
            if self.fat:
                child.mode = child.dmode = fat_mode(child.kind, st.st_mode & 0o200)
                child.uid, child.gid = os.getuid(), os.getgid()
                child.mtime = child.dmtime = fat_time(child.mtime)
            node.entries[os.fsencode(name)] = child.ino

    def durable_walk(self):
        """(relative path, node) of the durable tree; a folder reached twice
        (a cross-folder rename half on the medium) is kept where first seen."""
        seen = {ROOT}
        out = []
        stack = [(b"", self.nodes[ROOT])]
        while stack:
            rel, node = stack.pop()
            out.append((rel, node))
            if node.kind != 'd':
                continue
            for name, ino in sorted(node.dentries.items()):
                child = self.nodes.get(ino)
                if child is None or (child.kind == 'd' and ino in seen):
                    continue
                seen.add(ino)
                stack.append((rel + b"/" + name if rel else name, child))
        return out

    def persist(self):
        base = os.fsencode(self.backing)
        tree = self.durable_walk()
        want = {}
        for rel, node in tree:
            want[rel] = node
        # Remove what is no longer there (deepest first), or changed kind.
        for rel in sorted(self.written, key=len, reverse=True):
            if rel not in self.written:
                continue
            node = want.get(rel)
            if node is not None and self.written[rel][0] == node.ino:
                continue
            p = os.path.join(base, rel)
            if os.path.isdir(p) and not os.path.islink(p):
                shutil.rmtree(p, ignore_errors=True)
                # What was under it went too: written again below.
                for k in [k for k in self.written if k.startswith(rel + b"/")]:
                    del self.written[k]
            else:
                try:
                    os.unlink(p)
                except FileNotFoundError:
                    pass
            del self.written[rel]
        for rel, node in sorted(tree, key=lambda t: len(t[0])):
            if self.written.get(rel) == (node.ino, node.dgen):
                continue
            p = os.path.join(base, rel) if rel else base
            if node.kind == 'd':
                if os.path.lexists(p) and not os.path.isdir(p):
                    os.unlink(p)
                os.makedirs(p, exist_ok=True)
                os.chmod(p, stat.S_IMODE(node.dmode))
            elif node.kind == 'l':
                if os.path.lexists(p):
                    os.unlink(p) if not os.path.isdir(p) else shutil.rmtree(p)
                os.symlink(node.target, p)
            else:
                if os.path.isdir(p) and not os.path.islink(p):
                    shutil.rmtree(p)
                elif os.path.islink(p):
                    os.unlink(p)
                with open(p, "wb") as f:
                    f.write(node.ddata)
                os.chmod(p, stat.S_IMODE(node.dmode))
            self.written[rel] = (node.ino, node.dgen)
        # Paths under a removed folder went with it.
        for rel in list(self.written):
            if rel not in want:
                del self.written[rel]

    # ---- durability and cuts ----
    def sync_all(self):
        for node in self.nodes.values():
            self.counts["flushed_bytes"] += node.settle()
        self.counts["sync"] += 1

    def cut(self):
        """Power goes: keep only what the medium holds."""
        keep = {}
        for _, node in self.durable_walk():
            keep[node.ino] = node
        for node in keep.values():
            node.mode, node.mtime = node.dmode, node.dmtime
            if node.kind == 'f':
                node.data = bytearray(node.ddata)
            elif node.kind == 'd':
                node.entries = {k: v for k, v in node.dentries.items() if v in keep}
                node.dentries = dict(node.entries)
        self.nodes = keep
        self.handles.clear()
        self.listings.clear()
        self.epoch += 1
        self.power = False
        self.cut_at = None
        self.counts["cuts"] += 1
        try:
            self.persist()
        except OSError:
            # A fault of the desk's backing folder, said on the error output:
            # a cut inside a file operation must still end as a cut, never
            # take the mount down.
            traceback.print_exc()
        self.cut_event.set()
        # No cache invalidation from here: a cut may fall inside a write, and
        # the kernel would wait on the very request that asks. Attributes
        # and names are never cached (time-outs 0) and every open drops the
        # file's cached pages (keep_cache off).

    def op(self, kind=None):
        """Counts one operation; the cut may fall just before it."""
        if not self.power:
            raise pyfuse3.FUSEError(errno.EIO)
        self.counts["ops"] += 1
        if kind:
            self.counts[kind] += 1
        if self.cut_at is not None and self.counts["ops"] >= self.cut_at:
            self.counts["ops"] -= 1
            if kind:
                self.counts[kind] -= 1
            self.cut()
            raise pyfuse3.FUSEError(errno.EIO)

    def alive(self):
        if not self.power:
            raise pyfuse3.FUSEError(errno.EIO)

    def node(self, ino):
        n = self.nodes.get(ino)
        if n is None:
            raise pyfuse3.FUSEError(errno.ESTALE)
        return n

    def handle(self, fh):
        h = self.handles.get(fh)
        if h is None or h[1] != self.epoch:
            raise pyfuse3.FUSEError(errno.EIO)
        return self.node(h[0])

    def new_handle(self, ino):
        fh = self.next_fh
        self.next_fh += 1
        self.handles[fh] = (ino, self.epoch)
        return fh

    def pending_count(self):
        return sum(1 for n in self.nodes.values() if n.pending())

    # ---- attributes ----
    def attrs(self, node):
        a = pyfuse3.EntryAttributes()
        a.st_ino = node.ino
        a.generation = 0
        a.entry_timeout = 0
        a.attr_timeout = 0
        a.st_mode = node.mode
        a.st_nlink = 2 if node.kind == 'd' else 1
        a.st_uid, a.st_gid = node.uid, node.gid
        a.st_rdev = 0
        if node.kind == 'f':
            a.st_size = len(node.data)
        elif node.kind == 'l':
            a.st_size = len(node.target)
        else:
            a.st_size = 4096
        a.st_blksize = 4096
        a.st_blocks = (a.st_size + 511) // 512
        a.st_atime_ns = a.st_mtime_ns = a.st_ctime_ns = node.mtime
        return a

    def now(self):
        t = time.time_ns()
        return fat_time(t) if self.fat else t

    def find(self, folder, name):
        """The entry's name as stored: on FAT any spelling of it in case."""
        if name in folder.entries or not self.fat:
            return name
        key = fat_key(name)
        for stored in folder.entries:
            if fat_key(stored) == key:
                return stored
        return name

    def check_name(self, name):
        if self.fat and (any(c in FAT_BAD_CHARS for c in name) or len(name) > 255):
            raise pyfuse3.FUSEError(errno.EINVAL)

    def check_size(self, size):
        if self.fat and size > FAT_MAX_SIZE:
            raise pyfuse3.FUSEError(errno.EFBIG)

    def child(self, parent, name):
        p = self.node(parent)
        if p.kind != 'd':
            raise pyfuse3.FUSEError(errno.ENOTDIR)
        ino = p.entries.get(self.find(p, name))
        if ino is None or ino not in self.nodes:
            raise pyfuse3.FUSEError(errno.ENOENT)
        return p, self.nodes[ino]

    async def lookup(self, parent_inode, name, ctx=None):
        self.alive()
        if name == b".":
            return self.attrs(self.node(parent_inode))
        if name == b"..":
            return self.attrs(self.node(self.parent_of(parent_inode)))
        return self.attrs(self.child(parent_inode, name)[1])

    def parent_of(self, ino):
        for n in self.nodes.values():
            if n.kind == 'd' and ino in n.entries.values():
                return n.ino
        return ROOT

    async def getattr(self, inode, ctx=None):
        self.alive()
        return self.attrs(self.node(inode))

    async def setattr(self, inode, attr, fields, fh, ctx):
        self.op()
        node = self.node(inode)
        if self.fat:
            self.fat_setattr_check(node, attr, fields)
        if fields.update_size:
            size = attr.st_size
            self.check_size(size)
            self.check_room(size - len(node.data))
            if size < len(node.data):
                del node.data[size:]
            else:
                node.data.extend(b"\0" * (size - len(node.data)))
        if fields.update_mode:
            node.mode = (node.mode & ~0o7777) | (attr.st_mode & 0o7777)
        if fields.update_uid:
            node.uid = attr.st_uid
        if fields.update_gid:
            node.gid = attr.st_gid
        if fields.update_mtime:
            node.mtime = fat_time(attr.st_mtime_ns) if self.fat else attr.st_mtime_ns
        return self.attrs(node)

    def fat_setattr_check(self, node, attr, fields):
        """FAT holds only a read-only flag: read and execute stay, the write
        bit comes or goes whole; no other owner (the kernel's vfat without
        "quiet" says EPERM to the rest)."""
        if fields.update_mode:
            perm = attr.st_mode & 0o7777
            if perm not in (0o755, 0o555) and perm != node.mode & 0o7777:
                raise pyfuse3.FUSEError(errno.EPERM)
        if fields.update_uid and attr.st_uid != node.uid:
            raise pyfuse3.FUSEError(errno.EPERM)
        if fields.update_gid and attr.st_gid != node.gid:
            raise pyfuse3.FUSEError(errno.EPERM)

    async def readlink(self, inode, ctx):
        self.alive()
        return self.node(inode).target

    async def statfs(self, ctx):
        self.alive()
        s = pyfuse3.StatvfsData()
        s.f_bsize = s.f_frsize = 4096
        s.f_blocks = self.capacity // 4096 if self.capacity else 1 << 20
        used = self.used_bytes() // 4096
        s.f_bfree = s.f_bavail = max(0, s.f_blocks - used)
        s.f_files = 1 << 16
        s.f_ffree = s.f_favail = s.f_files - len(self.nodes)
        s.f_namemax = 255
        return s

    # ---- folders ----
    async def opendir(self, inode, ctx):
        self.alive()
        if self.node(inode).kind != 'd':
            raise pyfuse3.FUSEError(errno.ENOTDIR)
        return self.new_handle(inode)

    async def readdir(self, fh, start_id, token):
        node = self.handle(fh)
        # One sorted copy per listing, not per reply: a folder of thousands
        # is read in hundreds of replies. A name removed meanwhile is left
        # out; one added meanwhile waits for the next listing.
        names = self.listings.get(fh) if start_id > 0 else None
        if names is None:
            names = self.listings[fh] = sorted(node.entries)
        for i in range(start_id, len(names)):
            child = self.nodes.get(node.entries.get(names[i]))
            if child is None:
                continue
            if not pyfuse3.readdir_reply(token, names[i], self.attrs(child), i + 1):
                break

    async def releasedir(self, fh):
        self.handles.pop(fh, None)
        self.listings.pop(fh, None)

    async def fsyncdir(self, fh, datasync):
        node = self.handle(fh)
        self.op("fsyncdir")
        self.counts["flushed_bytes"] += node.settle()

    def add(self, parent_inode, name, node):
        p = self.node(parent_inode)
        if self.find(p, name) in p.entries:
            raise pyfuse3.FUSEError(errno.EEXIST)
        p.entries[name] = node.ino
        p.mtime = self.now()

    def taken(self, parent_inode, name):
        """Refuses a bad name; raises EEXIST when the folder has it already."""
        self.check_name(name)
        p = self.node(parent_inode)
        if self.find(p, name) in p.entries:
            raise pyfuse3.FUSEError(errno.EEXIST)

    async def mkdir(self, parent_inode, name, mode, ctx):
        self.op()
        self.taken(parent_inode, name)
        node = self.new_node('d', stat.S_IFDIR | (mode & 0o7777), ctx)
        self.add(parent_inode, name, node)
        return self.attrs(node)

    async def rmdir(self, parent_inode, name, ctx):
        self.op()
        p, node = self.child(parent_inode, name)
        if node.kind != 'd':
            raise pyfuse3.FUSEError(errno.ENOTDIR)
        if node.entries:
            raise pyfuse3.FUSEError(errno.ENOTEMPTY)
        del p.entries[self.find(p, name)]
        p.mtime = self.now()

    async def unlink(self, parent_inode, name, ctx):
        self.op()
        p, node = self.child(parent_inode, name)
        if node.kind == 'd':
            raise pyfuse3.FUSEError(errno.EISDIR)
        del p.entries[self.find(p, name)]
        p.mtime = self.now()

    async def rename(self, parent_inode_old, name_old, parent_inode_new, name_new, flags, ctx):
        self.op()
        if flags:
            raise pyfuse3.FUSEError(errno.EINVAL)
        po, node = self.child(parent_inode_old, name_old)
        pn = self.node(parent_inode_new)
        if pn.kind != 'd':
            raise pyfuse3.FUSEError(errno.ENOTDIR)
        self.check_name(name_new)
        name_old = self.find(po, name_old)
        # On FAT the new name replaces whatever spelling of it was there.
        stored_new = self.find(pn, name_new)
        old = self.nodes.get(pn.entries.get(stored_new))
        if old is not None and old.ino != node.ino:
            if old.kind == 'd':
                if node.kind != 'd':
                    raise pyfuse3.FUSEError(errno.EISDIR)
                if old.entries:
                    raise pyfuse3.FUSEError(errno.ENOTEMPTY)
            elif node.kind == 'd':
                raise pyfuse3.FUSEError(errno.ENOTDIR)
        del po.entries[name_old]
        pn.entries.pop(stored_new, None)
        pn.entries[name_new] = node.ino
        po.mtime = pn.mtime = self.now()

    async def symlink(self, parent_inode, name, target, ctx):
        if self.fat:
            raise pyfuse3.FUSEError(errno.EPERM)
        self.op()
        if name in self.node(parent_inode).entries:
            raise pyfuse3.FUSEError(errno.EEXIST)
        node = self.new_node('l', stat.S_IFLNK | 0o777, ctx)
        node.target = target
        self.add(parent_inode, name, node)
        return self.attrs(node)

    async def link(self, inode, new_parent_inode, new_name, ctx):
        if self.fat:
            raise pyfuse3.FUSEError(errno.EPERM)
        self.op()
        node = self.node(inode)
        if node.kind == 'd':
            raise pyfuse3.FUSEError(errno.EPERM)
        self.add(new_parent_inode, new_name, node)
        return self.attrs(node)

    async def mknod(self, parent_inode, name, mode, rdev, ctx):
        if not stat.S_ISREG(mode):
            raise pyfuse3.FUSEError(errno.EPERM)
        self.op()
        self.taken(parent_inode, name)
        node = self.new_node('f', mode, ctx)
        self.add(parent_inode, name, node)
        return self.attrs(node)

    # ---- files ----
    async def open(self, inode, flags, ctx):
        self.alive()
        node = self.node(inode)
        if node.kind != 'f':
            raise pyfuse3.FUSEError(errno.EISDIR if node.kind == 'd' else errno.ELOOP)
        if flags & os.O_TRUNC and node.data:
            self.op()
            node.data.clear()
        return pyfuse3.FileInfo(fh=self.new_handle(inode), keep_cache=False)

    async def create(self, parent_inode, name, mode, flags, ctx):
        self.op()
        self.taken(parent_inode, name)
        node = self.new_node('f', stat.S_IFREG | (mode & 0o7777), ctx)
        self.add(parent_inode, name, node)
        return pyfuse3.FileInfo(fh=self.new_handle(node.ino), keep_cache=False), self.attrs(node)

    async def read(self, fh, off, size):
        node = self.handle(fh)
        self.alive()
        return bytes(node.data[off:off + size])

    async def write(self, fh, off, buf):
        node = self.handle(fh)
        self.op("writes")
        self.check_size(off + len(buf))
        self.check_room(off + len(buf) - len(node.data))
        if off > len(node.data):
            node.data.extend(b"\0" * (off - len(node.data)))
        node.data[off:off + len(buf)] = buf
        node.mtime = self.now()
        return len(buf)

    async def flush(self, fh):
        self.handle(fh)

    def used_bytes(self):
        """File data under a name now (a file deleted, its room is free)."""
        used, seen, todo = 0, set(), [ROOT]
        while todo:
            n = self.nodes.get(todo.pop())
            if n is None or n.ino in seen:
                continue
            seen.add(n.ino)
            if n.kind == 'f':
                used += len(n.data)
            elif n.kind == 'd':
                todo.extend(n.entries.values())
        return used

    def check_room(self, growth):
        """A full card refuses to grow a file, to the last byte."""
        if self.capacity and growth > 0 and self.used_bytes() + growth > self.capacity:
            raise pyfuse3.FUSEError(errno.ENOSPC)

    async def release(self, fh):
        self.handles.pop(fh, None)

    async def fsync(self, fh, datasync):
        node = self.handle(fh)
        self.op("fsync")
        self.counts["flushed_bytes"] += node.settle()

    async def forget(self, inode_list):
        pass

    # ---- control ----
    def command(self, line):
        words = line.split()
        if not words:
            return "error empty"
        w = words[0]
        if w == "stats":
            d = dict(self.counts)
            d["power"] = "on" if self.power else "off"
            d["pending"] = self.pending_count()
            return json.dumps(d, sort_keys=True)
        if w == "reset":
            self.reset_counts()
            return "ok"
        if w == "sync":
            if not self.power:
                return "error power off"
            # A sync may be where the power goes, like any other flush.
            try:
                self.op()
            except pyfuse3.FUSEError:
                return "error power off"
            self.sync_all()
            return "ok"
        if w == "cut":
            self.cut()
            return "ok"
        if w == "on":
            self.power = True
            self.cut_event = trio.Event()
            return "ok"
        if w == "cut-at" and len(words) == 2 and words[1].isdigit() and int(words[1]) > 0:
            self.cut_at = self.counts["ops"] + int(words[1])
            return "ok"
        if w == "cut-random" and len(words) == 3 and words[2].isdigit() and int(words[2]) > 0:
            n = random.Random(words[1]).randint(1, int(words[2]))
            self.cut_at = self.counts["ops"] + n
            return "ok %d" % n
        if w == "cut-clear":
            self.cut_at = None
            return "ok"
        if w == "persist":
            self.persist()
            return "ok"
        if w == "capacity" and len(words) == 2 and words[1].isdigit():
            self.capacity = int(words[1])
            return "ok %d" % self.used_bytes()
        return "error unknown command: " + line.strip()


async def serve_client(card, stream, done):
    # A client may go before its reply (a program killed inside sync()): that
    # ends its connection, never the card.
    try:
        await serve_lines(card, stream, done)
    except (trio.BrokenResourceError, trio.ClosedResourceError, OSError):
        pass


async def serve_lines(card, stream, done):
    buf = b""
    async with stream:
        while True:
            data = await stream.receive_some(4096)
            if not data:
                return
            buf += data
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                text = line.decode(errors="replace").strip()
                words = text.split()
                if words and words[0] == "wait-cut":
                    secs = float(words[1]) if len(words) > 1 else 30.0
                    with trio.move_on_after(secs):
                        await card.cut_event.wait()
                    reply = ("cut %d" % card.counts["ops"]) if card.cut_event.is_set() else "none"
                elif words and words[0] == "quit":
                    await stream.send_all(b"ok\n")
                    done.set()
                    return
                else:
                    try:
                        reply = card.command(text)
                    except Exception as e:  # a fault of the card's own: say it, keep serving
                        traceback.print_exc()
                        reply = "error %s" % e
                await stream.send_all(reply.encode() + b"\n")


async def control_server(card, path, done, task_status=trio.TASK_STATUS_IGNORED):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    sock = trio.socket.socket(trio.socket.AF_UNIX, trio.socket.SOCK_STREAM)
    await sock.bind(path)
    sock.listen(128)
    listener = trio.SocketListener(sock)
    task_status.started()
    async with trio.open_nursery() as n:
        while True:
            stream = await listener.accept()
            n.start_soon(serve_client, card, stream, done)


# The FUSE loop reads /dev/fuse once it was told a request is there; a request
# whose caller was killed meanwhile (a power cut stops the daemon at any
# moment) is taken back by the kernel, and that read then blocks the whole
# loop, control socket included, until the next request. A thread sees the
# loop stall and sends it a request of its own: a lookup of a name that is
# never there. It is a process of its own: the blocked read holds this
# process's interpreter lock, so a thread of it could not run.
STALL_S = 2.0


async def heartbeat(path):
    while True:
        os.utime(path)
        await trio.sleep(STALL_S / 4)


def unstall(mount, beat, parent):
    """The waker (cardfs.py --unstall MOUNT BEATFILE PARENT_PID)."""
    while True:
        time.sleep(STALL_S / 2)
        try:
            os.kill(parent, 0)
            stalled = time.time() - os.stat(beat).st_mtime > STALL_S
        except OSError:
            return  # the card is gone
        if stalled:
            try:
                os.stat(os.path.join(mount, ".tncard-wake"))
            except OSError:
                pass


async def run(card, args):
    done = trio.Event()
    beat = args.control + ".beat"
    open(beat, "w").close()
    # Its own standard streams: a caller that reads ours to their end must
    # not wait for the waker too.
    waker = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--unstall", args.mount, beat,
                              str(os.getpid())], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    async with trio.open_nursery() as n:
        n.start_soon(pyfuse3.main)
        n.start_soon(heartbeat, beat)
        await n.start(control_server, card, args.control, done)
        with trio.open_signal_receiver(signal.SIGTERM, signal.SIGINT) as signals:
            async def on_signal():
                async for _ in signals:
                    done.set()
            n.start_soon(on_signal)
            print("READY", flush=True)
            await done.wait()
        # SIGKILL: the waker may be inside a lookup on this very mount, which
        # this loop, waiting here, would never answer.
        waker.kill()
        waker.wait()
        n.cancel_scope.cancel()


def main():
    if sys.argv[1:2] == ["--unstall"]:
        unstall(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    ap = argparse.ArgumentParser(description="a card that forgets what was not flushed")
    ap.add_argument("--backing", required=True)
    ap.add_argument("--mount", required=True)
    ap.add_argument("--control", required=True)
    ap.add_argument("--cut-at", type=int)
    ap.add_argument("--seed")
    ap.add_argument("--cut-within", type=int)
    ap.add_argument("--fat", action="store_true", help="keep FAT's rules")
    args = ap.parse_args()

    card = Card(args.backing, fat=args.fat)
    if args.cut_at:
        card.cut_at = args.cut_at
    elif args.seed is not None and args.cut_within:
        card.cut_at = random.Random(args.seed).randint(1, args.cut_within)
    options = set(pyfuse3.default_options)
    options.discard("default_permissions")
    options.add("fsname=tncard")
    options.add("subtype=tnfat" if args.fat else "subtype=tncard")
    pyfuse3.init(card, args.mount, options)
    try:
        trio.run(run, card, args)
    finally:
        card.persist()
        pyfuse3.close(unmount=True)
        for f in (args.control, args.control + ".beat"):
            try:
                os.unlink(f)
            except OSError:
                pass


if __name__ == "__main__":
    main()
