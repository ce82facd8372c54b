#!/usr/bin/env python3
"""DSP simulator: plays the camera processor on a pseudo-terminal.

The pty's slave end is linked at $ROOT/dev/ttyHS0, where trailnetd opens its
camera UART. With --modem a second pty linked at $ROOT/dev/smd9 plays the
modem's AT channel (it answers "OK" to every AT line unless told otherwise).

Interactive: every line typed is sent with a CR; every byte the daemon sends
is printed with control bytes visible (<ACK>, \\r, \\n, <NUL>).

    python3 sim/dsp/dspsim.py --root /tmp/root [--modem]

Scriptable: --script FILE runs lines of
    send TEXT            send TEXT followed by CR (escapes: \\r \\n \\xNN)
    sendraw TEXT         send TEXT as is (same escapes)
    expect TEXT [SECS]   wait until TEXT arrives (default 10 s), else fail
    quiet SECS           fail if anything arrives within SECS
and exits 0 when every step passed, 1 otherwise.

As a module: DspSim(root).send("SP+STATE"), .expect(b"SP+OK\\n", 10), ...
"""
import argparse
import os
import select
import sys
import termios
import time
import tty

CONTROL_NAMES = {0x00: "<NUL>", 0x06: "<ACK>", 0x15: "<NAK>", 0x1b: "<ESC>"}


def visible(data: bytes) -> str:
    """Bytes as text with every control byte shown."""
    out = []
    for b in data:
        if b == 0x0D:
            out.append("\\r")
        elif b == 0x0A:
            out.append("\\n")
        elif b in CONTROL_NAMES:
            out.append(CONTROL_NAMES[b])
        elif b < 0x20 or b >= 0x7F:
            out.append("<%02X>" % b)
        else:
            out.append(chr(b))
    return "".join(out)


def unescape(text: str) -> bytes:
    return text.encode("latin-1").decode("unicode_escape").encode("latin-1")


class PtyEnd:
    """One pseudo-terminal, raw on both sides, its slave linked at `link`."""

    def __init__(self, link: str):
        self.master, self.slave = os.openpty()
        # Raw before the daemon opens it: nothing is echoed back to us.
        tty.setraw(self.slave, termios.TCSANOW)
        tty.setraw(self.master, termios.TCSANOW)
        os.set_blocking(self.master, False)
        self.link = link
        os.makedirs(os.path.dirname(link), exist_ok=True)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.ttyname(self.slave), link)
        self.buffer = b""

    def write(self, data: bytes):
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.master, view)
                view = view[n:]
            except BlockingIOError:
                select.select([], [self.master], [], 1.0)

    def pump(self, timeout: float) -> bytes:
        """Reads what arrives within `timeout`; returns the new bytes."""
        r, _, _ = select.select([self.master], [], [], max(0.0, timeout))
        if not r:
            return b""
        try:
            data = os.read(self.master, 4096)
        except (BlockingIOError, OSError):
            return b""
        self.buffer += data
        return data

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
        try:
            if os.path.islink(self.link):
                os.unlink(self.link)
        except OSError:
            pass


class DspSim:
    """The camera side of the UART (and optionally the modem's AT channel)."""

    def __init__(self, root: str, modem: bool = False, on_bytes=None, modem_replies=None):
        self.uart = PtyEnd(os.path.join(root, "dev", "ttyHS0"))
        self.modem = PtyEnd(os.path.join(root, "dev", "smd9")) if modem else None
        self.on_bytes = on_bytes  # called with (side, bytes) as they arrive
        # AT line prefix -> reply; anything unknown gets "OK".
        self.modem_replies = modem_replies or {}

    def send(self, line: str, eol: bytes = b"\r"):
        self.send_raw(line.encode("latin-1") + eol)

    def send_raw(self, data: bytes):
        if self.on_bytes:
            self.on_bytes("dsp>", data)
        self.uart.write(data)

    def _pump_once(self, timeout: float) -> bytes:
        ends = [self.uart.master] + ([self.modem.master] if self.modem else [])
        r, _, _ = select.select(ends, [], [], max(0.0, timeout))
        got = b""
        if self.uart.master in r:
            got = self.uart.pump(0)
            if got and self.on_bytes:
                self.on_bytes("<dsp", got)
        if self.modem and self.modem.master in r:
            data = self.modem.pump(0)
            if data:
                if self.on_bytes:
                    self.on_bytes("<modem", data)
                self._answer_modem()
        return got

    def _answer_modem(self):
        while b"\r" in self.modem.buffer:
            line, _, rest = self.modem.buffer.partition(b"\r")
            self.modem.buffer = rest.lstrip(b"\n")
            text = line.decode("latin-1").strip()
            if not text:
                continue
            reply = "\r\nOK\r\n"
            for prefix, answer in self.modem_replies.items():
                if text.upper().startswith(prefix.upper()):
                    reply = answer
            data = reply.encode("latin-1")
            if self.on_bytes:
                self.on_bytes("modem>", data)
            self.modem.write(data)

    def expect(self, wanted: bytes, timeout: float = 10.0) -> bytes:
        """Waits for `wanted`; returns everything up to and including it and
        keeps the rest. Raises TimeoutError with what did arrive."""
        deadline = time.monotonic() + timeout
        while True:
            i = self.uart.buffer.find(wanted)
            if i >= 0:
                got = self.uart.buffer[: i + len(wanted)]
                self.uart.buffer = self.uart.buffer[i + len(wanted):]
                return got
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("expected %s, got %s" % (visible(wanted), visible(self.uart.buffer)))
            self._pump_once(left)

    def read_for(self, seconds: float) -> bytes:
        """Everything the daemon sends within `seconds` (plus what was buffered)."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self._pump_once(left)
        got, self.uart.buffer = self.uart.buffer, b""
        return got

    def close(self):
        self.uart.close()
        if self.modem:
            self.modem.close()


def run_script(sim: DspSim, path: str) -> int:
    with open(path) as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            verb, _, arg = line.partition(" ")
            try:
                if verb == "send":
                    sim.send_raw(unescape(arg) + b"\r")
                elif verb == "sendraw":
                    sim.send_raw(unescape(arg))
                elif verb == "expect":
                    text, secs = arg, 10.0
                    head, _, tail = arg.rpartition(" ")
                    if head and tail.replace(".", "", 1).isdigit():
                        text, secs = head, float(tail)
                    sim.expect(unescape(text), secs)
                elif verb == "quiet":
                    got = sim.read_for(float(arg))
                    if got:
                        raise TimeoutError("expected silence, got %s" % visible(got))
                else:
                    raise ValueError("unknown step %r" % verb)
            except (TimeoutError, ValueError) as e:
                print("%s:%d: %s" % (path, number, e), file=sys.stderr)
                return 1
    return 0


def interactive(sim: DspSim) -> int:
    print("DSP simulator on %s%s. Type a line (sent with CR), Ctrl-D to quit."
          % (sim.uart.link, " and " + sim.modem.link if sim.modem else ""))
    sys.stdout.flush()
    while True:
        r, _, _ = select.select([sys.stdin], [], [], 0.2)
        if r:
            line = sys.stdin.readline()
            if not line:
                return 0
            sim.send(line.rstrip("\r\n"))
        sim._pump_once(0.05)


def main() -> int:
    ap = argparse.ArgumentParser(description="DSP simulator on a pseudo-terminal")
    ap.add_argument("--root", default=os.environ.get("TRAILNETD_ROOT", ""),
                    help="root tree; the pty is linked at ROOT/dev/ttyHS0")
    ap.add_argument("--modem", action="store_true", help="also play the AT channel at ROOT/dev/smd9")
    ap.add_argument("--script", help="run a script of send/expect steps and exit")
    args = ap.parse_args()
    if not args.root:
        ap.error("--root (or TRAILNETD_ROOT) is required")

    def show(side, data):
        print("%s %-7s %s" % (time.strftime("%H:%M:%S"), side, visible(data)))
        sys.stdout.flush()

    sim = DspSim(args.root, modem=args.modem, on_bytes=show)
    try:
        return run_script(sim, args.script) if args.script else interactive(sim)
    except KeyboardInterrupt:
        return 0
    finally:
        sim.close()


if __name__ == "__main__":
    sys.exit(main())
