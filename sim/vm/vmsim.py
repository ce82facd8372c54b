#!/usr/bin/env python3
"""The module in a box: boots the image of scripts/module-image under
qemu-system-arm -M virt, with the module's devices joined to the desk.

    the camera UART   the board's one PL011 (/dev/ttyAMA0, linked as the
                      daemon's /dev/ttyHS0), on RUN/uart.sock: the DSP side
                      (a test, the demo, `vmsim.py dsp RUN`) connects there
    the kernel console  virtio console hvc0: RUN/console.log, or the terminal
                      with --hand (a shell there after Enter)
    the control path  virtio port "tn.control" on RUN/control.sock: one shell
                      command a line, answered with its output and "@@rc N"
                      (the guest's sim/vm/guest/usr/sbin/tn-agent)
    the SD card       RUN/card.img, FAT32 made with mkfs.vfat, read and
                      written on the desk with mtools only (Card below)
    the root          RUN/root.img, a copy of the image's root.ext4: /etc
                      and /usrdata live there across boots and cuts
    the network       QEMU user networking with restrict=on: the guest
                      reaches nothing but 10.0.2.100:PORT for each forwarded
                      PORT, which leads to the host's 127.0.0.1:HOSTPORT
                      (sim/vm/hostfwd.py per connection)
    the desk's UDP    virtio port "tn.udp" on RUN/udp.sock: the guest's
                      udp_relay (sim/vm/udp_relay.cpp) frames each datagram
                      sent to its 127.0.0.123:PORT, and UdpRelay here passes
                      it on to the host's 127.0.0.1:HOSTPORT and frames the
                      answers back (QEMU's guestfwd carries TCP only)

Disks use cache=writeback: a write the guest kernel sent to the disk is in
the host's page cache (a killed QEMU cannot lose it), a flush reaches the
image file with fdatasync, and what the guest kernel only held in its own
page cache dies with the QEMU process, as at a cut.

Behaviours (Machine arguments): rtc "now" | "1970" | an ISO date (the
board's RTC at power-on), forwards {guest_port: host_port} (TCP),
udp {guest_port: host_port} (123: the desk's NTP server), memory_mb.

Control commands of the command line (`vmsim.py run --image DIR RUN`), one a
line on standard input, each answered with one line "OK ..." or "ERR ...":
    boot                 power on (the disks stay as they are)
    cut                  SIGKILL QEMU: the power goes at once
    off SECONDS          wait until the guest powered itself off
    guest COMMAND        run COMMAND in the guest; its output, then "OK rc=N"
    fsck                 fsck.vfat -n of the card: "OK findings=N" and the lines
    quit
Hand use: `vmsim.py run --hand --image DIR RUN` boots with the console on the
terminal; `vmsim.py dsp RUN` types DSP commands onto the UART.
"""
import argparse
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GUEST_HOST = "10.0.2.100"


class Card:
    """The SD card image: FAT32 by mkfs.vfat, files in and out with mtools."""

    def __init__(self, path):
        self.path = path

    def make(self, size_mb=64, label="CARD"):
        if os.path.exists(self.path):
            os.unlink(self.path)
        subprocess.run(["mkfs.vfat", "-F", "32", "-n", label, "-C", self.path, str(size_mb * 1024)],
                       check=True, stdout=subprocess.DEVNULL)

    def _m(self, *args, check=True):
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1", MTOOLS_NO_VFAT="0")
        return subprocess.run(list(args), env=env, check=check, capture_output=True)

    def mkdir(self, folder):
        parts = [p for p in folder.strip("/").split("/") if p]
        for i in range(len(parts)):
            self._m("mmd", "-D", "s", "-i", self.path, "::/" + "/".join(parts[:i + 1]), check=False)

    def put(self, card_path, data):
        self.mkdir(os.path.dirname(card_path))
        tmp = self.path + ".put"
        with open(tmp, "wb") as f:
            f.write(data)
        try:
            self._m("mcopy", "-o", "-i", self.path, tmp, "::" + card_path)
        finally:
            os.unlink(tmp)

    def get(self, card_path):
        """The file's bytes, or None when the card has no such file."""
        r = self._m("mtype", "-i", self.path, "::" + card_path, check=False)
        return r.stdout if r.returncode == 0 else None

    def ls(self, folder):
        """Names in `folder` (files and folders), [] when it is missing."""
        r = self._m("mdir", "-b", "-i", self.path, "::" + folder, check=False)
        if r.returncode != 0:
            return []
        return sorted(os.path.basename(line.rstrip("/")) for line in r.stdout.decode().splitlines() if line)

    def fsck(self):
        """fsck.vfat -n: (exit status, the findings). A finding is a line of its
        report with the indented lines under it joined on ("; ")."""
        r = subprocess.run(["fsck.vfat", "-n", self.path], capture_output=True, text=True)
        findings = []
        for line in (r.stdout + r.stderr).splitlines():
            if not line.strip() or re.match(r"^(fsck\.fat \d|Checking|Starting|Leaving)", line) \
                    or line.startswith(self.path) or "No changes" in line:
                continue
            if line[0].isspace() and findings:
                findings[-1] += "; " + line.strip()
            else:
                findings.append(line.strip())
        return r.returncode, findings


class Stream:
    """A byte stream over a Unix socket QEMU serves, with a buffer to wait on."""

    def __init__(self, path, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise TimeoutError("no socket at " + path)
                time.sleep(0.05)
        self.sock.setblocking(False)
        self.buffer = b""
        self.seen = b""  # everything received, for failure messages

    def send(self, data):
        self.sock.setblocking(True)
        self.sock.sendall(data)
        self.sock.setblocking(False)

    def pump(self, timeout):
        r, _, _ = select.select([self.sock], [], [], max(0.0, timeout))
        if not r:
            return False
        try:
            data = self.sock.recv(65536)
        except BlockingIOError:
            return True
        if not data:
            raise EOFError("the machine closed the line")
        self.buffer += data
        self.seen += data
        return True

    def expect(self, pattern, timeout):
        """Waits until `pattern` (bytes or a compiled bytes regex) arrived; returns
        what came up to its end and keeps the rest."""
        deadline = time.monotonic() + timeout
        while True:
            if isinstance(pattern, bytes):
                i = self.buffer.find(pattern)
                end = -1 if i < 0 else i + len(pattern)
            else:
                m = pattern.search(self.buffer)
                end = m.end() if m else -1
            if end >= 0:
                out, self.buffer = self.buffer[:end], self.buffer[end:]
                return out
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("waited %d s for %r; got %r" % (timeout, pattern, self.buffer[-400:]))
            self.pump(left)

    def close(self):
        self.sock.close()


class UdpRelay(threading.Thread):
    """The host end of the guest's udp_relay: frames from the port socket go
    as datagrams to 127.0.0.1:ports[service port], one host socket per guest
    client, and what comes back goes to the guest framed the same way
    (u16 length | u32 client IPv4 | u16 client port | u16 service port |
    datagram). Ends when QEMU closes the port."""

    def __init__(self, path, ports):
        super().__init__(daemon=True)
        self.stream = Stream(path)
        self.ports = dict(ports)
        self.clients = {}  # host socket -> frame header of its guest client
        self.datagrams = 0

    def run(self):
        buf = b""
        sock = self.stream.sock
        try:
            while True:
                r, _, _ = select.select([sock] + list(self.clients), [], [])
                for s in r:
                    if s is sock:
                        try:
                            data = sock.recv(65536)
                        except BlockingIOError:
                            continue
                        if not data:
                            return
                        buf += data
                        while len(buf) >= 2 and len(buf) >= 2 + struct.unpack(">H", buf[:2])[0]:
                            n = struct.unpack(">H", buf[:2])[0]
                            frame, buf = buf[2:2 + n], buf[2 + n:]
                            self._out(frame)
                    else:
                        data = s.recv(65536)
                        header = self.clients[s]
                        sock.setblocking(True)
                        sock.sendall(struct.pack(">H", len(header) + len(data)) + header + data)
                        sock.setblocking(False)
        except OSError:
            return
        finally:
            for s in self.clients:
                s.close()
            self.stream.close()

    def _out(self, frame):
        if len(frame) < 8:
            return
        header, data = frame[:8], frame[8:]
        port = self.ports.get(struct.unpack(">H", header[6:8])[0])
        if port is None:
            return  # no such service on this desk: dropped, as on a network
        for s, h in self.clients.items():
            if h == header:
                break
        else:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.clients[s] = header
        self.datagrams += 1
        s.sendto(data, ("127.0.0.1", port))


class Machine:
    """One module: its disks in `run`, QEMU started and stopped as power."""

    def __init__(self, image, run, rtc="now", forwards=None, memory_mb=256, hand=False, udp=None):
        self.image, self.run = os.path.abspath(image), os.path.abspath(run)
        self.rtc, self.forwards, self.memory_mb, self.hand = rtc, dict(forwards or {}), memory_mb, hand
        self.udp = dict(udp or {})
        self.udp_relay = None
        os.makedirs(self.run, exist_ok=True)
        self.card = Card(os.path.join(self.run, "card.img"))
        self.root = os.path.join(self.run, "root.img")
        if not os.path.exists(self.root):
            subprocess.run(["cp", "--sparse=always", os.path.join(self.image, "root.ext4"), self.root],
                           check=True)
        self.proc = None
        self.uart = None
        self.control = None
        self.powered_at = None
        self.boots = 0

    def argv(self):
        def disk(name, path):
            return ["-drive", "file=%s,format=raw,if=none,id=%s,cache=writeback,aio=threads" % (path, name),
                    "-device", "virtio-blk-device,drive=%s,serial=%s" % (name, name)]
        net = "user,id=net,restrict=on,ipv6=off,net=10.0.2.0/24,host=10.0.2.2"
        for guest_port, host_port in sorted(self.forwards.items()):
            net += ",guestfwd=tcp:%s:%d-cmd:%s %s %d" % (
                GUEST_HOST, guest_port, sys.executable, os.path.join(HERE, "hostfwd.py"), host_port)
        rtc = {"now": "utc", "1970": "1970-01-01T00:00:00"}.get(self.rtc, self.rtc)
        console = ["-chardev", "stdio,id=con,signal=off"] if self.hand else \
            ["-chardev", "file,id=con,append=on,path=%s" % os.path.join(self.run, "console.log")]
        argv = ["qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a7", "-smp", "1",
                "-m", str(self.memory_mb), "-nographic", "-nodefaults", "-no-user-config",
                "-kernel", os.path.join(self.image, "vmlinuz"),
                "-initrd", os.path.join(self.image, "initrd.img"),
                "-append", "console=hvc0 quiet",
                "-rtc", "base=" + rtc]
        argv += disk("root", self.root)
        if os.path.exists(self.card.path):
            argv += disk("card", self.card.path)
        argv += ["-device", "virtio-serial-device"] + console + ["-device", "virtconsole,chardev=con"]
        argv += ["-chardev", "socket,id=ctl,path=%s,server=on,wait=off" % self._sock("control"),
                 "-device", "virtserialport,chardev=ctl,name=tn.control",
                 "-chardev", "socket,id=udp,path=%s,server=on,wait=off" % self._sock("udp"),
                 "-device", "virtserialport,chardev=udp,name=tn.udp",
                 "-chardev", "socket,id=uart,path=%s,server=on,wait=off" % self._sock("uart"),
                 "-serial", "chardev:uart",
                 "-netdev", net, "-device", "virtio-net-device,netdev=net"]
        return argv

    def _sock(self, name):
        return os.path.join(self.run, name + ".sock")

    def boot(self):
        """Power on; returns once the UART and the control port are joined."""
        assert self.proc is None or self.proc.poll() is not None, "already running"
        for name in ("uart", "control", "udp"):
            if os.path.exists(self._sock(name)):
                os.unlink(self._sock(name))
        self.boots += 1
        self.console_from = len(self.console())
        log = open(os.path.join(self.run, "qemu.out"), "ab")
        self.powered_at = time.monotonic()
        self.proc = subprocess.Popen(self.argv(), stdout=None if self.hand else log, stderr=log,
                                     stdin=None if self.hand else subprocess.DEVNULL,
                                     preexec_fn=_die_with_parent)
        log.close()
        self.uart = Stream(self._sock("uart"))
        self.control = Stream(self._sock("control"))
        if not self.hand:
            self.udp_relay = UdpRelay(self._sock("udp"), self.udp)
            self.udp_relay.start()
        return self

    def seconds(self):
        """Seconds since the last power-on."""
        return time.monotonic() - self.powered_at

    def guest(self, command, timeout=60):
        """Runs a shell command in the guest: (exit status, output)."""
        self.control.send(command.encode() + b"\n")
        out = self.control.expect(re.compile(rb"@@rc (\d+)\n"), timeout)
        m = re.search(rb"@@rc (\d+)\n$", out)
        return int(m.group(1)), out[:m.start()].decode(errors="replace")

    def wait_guest(self, timeout=120):
        """Waits until the control path answers (init started the agent)."""
        deadline = time.monotonic() + timeout
        while True:
            self.control.send(b"echo @@up\n")
            try:
                self.control.expect(b"@@up\n@@rc 0\n", 1.5)
                return
            except TimeoutError:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise TimeoutError("the guest's control path never answered")

    def read(self, path):
        """A guest file's bytes (base64 over the control path)."""
        import base64
        rc, out = self.guest("base64 " + path)
        if rc != 0:
            raise FileNotFoundError(path + ": " + out)
        return base64.b64decode(out)

    def cut(self):
        """The power goes: SIGKILL, no shutdown, the page cache is lost."""
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._close()

    def wait_off(self, timeout):
        """Waits until the guest powers itself off; False when it did not.

        A halted kernel spins with its interrupts off and QEMU stays up; on
        the module the power manager then takes the supply away, so a halt
        seen on the console ends QEMU here too."""
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None:
            if "reboot: System halted" in self.console()[self.console_from:]:
                self.proc.kill()
                self.proc.wait()
                break
            if time.monotonic() > deadline:
                return False
            time.sleep(0.1)
        self._close()
        return True

    def _close(self):
        for s in (self.uart, self.control):
            if s:
                s.close()
        self.uart = self.control = None

    def console(self):
        """The kernel console's text, of every boot of this machine."""
        try:
            with open(os.path.join(self.run, "console.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""


def _die_with_parent():
    # A test that dies must not leave a machine running.
    import ctypes
    ctypes.CDLL("libc.so.6").prctl(1, signal.SIGKILL)


def image_dir():
    """The image the tests boot: TN_MODULE_IMAGE, or build-module/image."""
    return os.environ.get("TN_MODULE_IMAGE") or os.path.join(HERE, "..", "..", "build-module", "image")


def available():
    """Why the box cannot run here, or None."""
    if not shutil.which("qemu-system-arm"):
        return "qemu-system-arm is not installed (scripts/setup)"
    for tool in ("mcopy", "mkfs.vfat", "fsck.vfat"):
        if not shutil.which(tool):
            return tool + " is not installed (scripts/setup)"
    if not os.path.exists(os.path.join(image_dir(), "root.ext4")):
        return "no module image at %s (scripts/module-image)" % image_dir()
    return None


def main():
    p = argparse.ArgumentParser(description="The module in a box (qemu-system-arm -M virt).")
    sub = p.add_subparsers(dest="what", required=True)
    r = sub.add_parser("run", help="boot a machine and take control commands")
    r.add_argument("run_dir")
    r.add_argument("--image", default=image_dir())
    r.add_argument("--rtc", default="now")
    r.add_argument("--forward", action="append", default=[], metavar="GUEST:HOST",
                   help="guest port on 10.0.2.100 to the host's 127.0.0.1 port")
    r.add_argument("--udp", action="append", default=[], metavar="GUEST:HOST",
                   help="UDP port on the guest's 127.0.0.123 to the host's 127.0.0.1 port (123: NTP)")
    r.add_argument("--card-mb", type=int, default=64, help="a fresh card of this size, when RUN has none")
    r.add_argument("--hand", action="store_true", help="console on this terminal; no control commands")
    d = sub.add_parser("dsp", help="type DSP commands onto a running machine's UART")
    d.add_argument("run_dir")
    a = p.parse_args()
    if a.what == "dsp":
        return dsp_console(a.run_dir)
    forwards = {int(g): int(h) for g, h in (f.split(":") for f in a.forward)}
    udp = {int(g): int(h) for g, h in (f.split(":") for f in a.udp)}
    m = Machine(a.image, a.run_dir, rtc=a.rtc, forwards=forwards, hand=a.hand, udp=udp)
    if not os.path.exists(m.card.path):
        m.card.make(a.card_mb)
    if a.hand:
        m.boot()
        print("UART: %s (vmsim.py dsp %s); control: %s" % (m._sock("uart"), a.run_dir, m._sock("control")),
              file=sys.stderr)
        m.proc.wait()
        return 0
    for line in sys.stdin:
        words = line.split(None, 1)
        cmd = words[0] if words else ""
        arg = words[1].strip() if len(words) > 1 else ""
        try:
            if cmd == "boot":
                m.boot()
                print("OK boot %d" % m.boots)
            elif cmd == "cut":
                m.cut()
                print("OK cut")
            elif cmd == "off":
                print("OK off" if m.wait_off(float(arg or 60)) else "ERR still on")
            elif cmd == "guest":
                rc, out = m.guest(arg)
                sys.stdout.write(out)
                print("OK rc=%d" % rc)
            elif cmd == "fsck":
                rc, findings = m.card.fsck()
                for f in findings:
                    print(f)
                print("OK findings=%d rc=%d" % (len(findings), rc))
            elif cmd == "quit":
                break
            else:
                print("ERR unknown command %r" % cmd)
        except (TimeoutError, EOFError, OSError, AssertionError) as e:
            print("ERR %s" % e)
        sys.stdout.flush()
    m.cut()
    return 0


def dsp_console(run_dir):
    """Each typed line goes to the UART with a CR; what the daemon sends is shown."""
    s = Stream(os.path.join(run_dir, "uart.sock"))
    sys.path.insert(0, os.path.join(HERE, "..", "dsp"))
    from dspsim import visible
    while True:
        r, _, _ = select.select([s.sock, sys.stdin], [], [])
        if s.sock in r:
            s.pump(0)
            sys.stdout.write(visible(s.buffer) + "\n")
            sys.stdout.flush()
            s.buffer = b""
        if sys.stdin in r:
            line = sys.stdin.readline()
            if not line:
                return 0
            s.send(line.rstrip("\n").encode() + b"\r")


if __name__ == "__main__":
    sys.exit(main())
