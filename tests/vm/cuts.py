"""Power cuts of the whole module: QEMU killed (SIGKILL, no shutdown) at
seeded moments of a sync, of a burst of DSP commands (the log being
written), of PicTrimApp's image stage on the card, of the boot or of an
install; after each cut the card is checked with
fsck.vfat -n (every finding counted), the module boots again, answers RDY,
and the checks hold: no picture lost, none gone from the card before the
cloud held it whole, the configuration files parse. A last clean round
syncs everything and checks that every picture reached the cloud intact.

fsck findings are counted, not failed on: a cut leaves the card's dirty
flag set (and the kernel's vfat driver keeps it set at later clean unmounts
until a repair), the free-cluster count of FSInfo stale, and clusters of a
file being extended unreferenced; what matters to the camera is what the
checks above look at.

Used by cuts_test.py (a few cuts at a fixed seed, from ctest) and
scripts/vm-power-cuts (any seed, any number)."""
import collections
import json
import os
import random
import re
import time

import vmrig

# In turn, each at a seeded moment: a sync (uploads, deletions, the settings
# file, the log), a burst of commands (the log being written), PicTrimApp
# shrinking pictures on the card, the boot, and a boot that installs a signed
# update package from the card. TN_VM_CUT_KINDS (words) picks others.
KINDS = tuple(os.environ.get("TN_VM_CUT_KINDS", "sync commands pictrim sync boot install").split())
INSTALL_SCRIPT = b"#!/bin/sh\nsync\n"
# PicTrimApp's folder on the card, beside the daemon's TRANSMIT.
TRIM = "/TRIM"
TRIM_RUN = "PicTrimApp 640 480 50 /media/sdcard%s/ UCID0001 %s 443" % (TRIM, vmrig.API_HOST)
# The same pictures shrunk by a run that is never cut and cannot upload:
# what each picture at the cloud must equal byte for byte.
REF = "/REF"
REF_RUN = "PicTrimApp 640 480 50 /media/sdcard%s/ UCID0001 127.0.0.1 9" % REF
MARK = b"PicTrimApp processed"


def finding_kind(line):
    """A fsck.vfat finding without its numbers and names, for counting."""
    return re.sub(r"\d+", "N", line.strip())[:100]


class Round:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.seed = seed
        self.box = vmrig.Box("cuts")
        self.originals = {}  # every picture the camera left on the card
        self.cuts = []       # one dict per cut
        self.findings = collections.Counter()
        self.trim_originals = {}  # every picture put in PicTrimApp's folder
        self.package = None      # (package, signature, daemon) of the install cuts
        self.installing = False  # an install was cut: the next start must finish it

    def add_pictures(self, n, tag):
        pics = vmrig.pictures(n, 320, 240)
        for i, data in enumerate(pics.values()):
            name = "%sP%03d.JPG" % (tag, i + 1)
            # The DSP writes the next picture while the module is off.
            self.box.m.card.put("/TRANSMIT/" + name, data)
            self.originals[name] = data

    def trim_folder(self, folder):
        """PicTrimApp's folder on the card: its token, the cloud's CA and the
        image's jpegoptim (put while the module is off, whole)."""
        self.box.m.card.put(folder + "/.token", b"vm-token")
        with open(os.path.join(self.box.image, "certs", "ca.pem"), "rb") as f:
            self.box.m.card.put(folder + "/cacert.pem", f.read())
        self.box.m.card.put(folder + "/jpegoptim", vmrig.image_file(self.box, "/usr/bin/jpegoptim"))

    def add_trim_pictures(self, n, tag):
        if not self.trim_originals:
            self.trim_folder(TRIM)
            self.box.cloud_control("PUT", "/_sim/scenario", {"accept_tokens": ["vm-token"]})
        for i, data in enumerate(vmrig.pictures(n, 1280, 960).values()):
            name = "%sT%03d.JPG" % (tag, i + 1)
            self.box.m.card.put(TRIM + "/" + name, data)
            self.trim_originals[name] = data

    def check_trim(self, cloud, final=False):
        """PicTrimApp's pictures: each on the card as the DSP left it or
        shrunk exactly once, whole; gone only when the cloud holds it shrunk
        once, whole. After the last, uncut run: every one at the cloud, the
        very bytes an uncut run makes of it, and no work file left. Where
        the pictures were found is kept in self.trim_seen."""
        problems = []
        if final:
            for name in self.trim_originals:
                ref = self.box.m.card.get(REF + "/" + name)
                if cloud.get(name) != ref:
                    problems.append("%s at the cloud differs from the uncut run's (%s vs %s bytes)" % (
                        name, len(cloud.get(name) or b""), len(ref or b"")))
        left = set(self.box.m.card.ls(TRIM))
        work = [n for n in left if n.lower().endswith((".tmp", ".part"))]
        seen = {"original": 0, "shrunk": 0, "sent": 0, "work": len(work)}
        for name, data in self.trim_originals.items():
            if name in left:
                got = self.box.m.card.get(TRIM + "/" + name)
                seen["original" if got == data else "shrunk"] += 1
                if got != data and not shrunk_once(got):
                    problems.append("%s on the card is neither the original nor shrunk once, whole" % name)
                if final:
                    problems.append("%s still on the card after the last run" % name)
            else:
                seen["sent"] += 1
                if not shrunk_once(cloud.get(name)):
                    problems.append("%s gone from the card before the cloud held it shrunk once, whole" % name)
        if final and work:
            problems.append("work files left: %s" % work)
        self.trim_seen = seen
        return problems

    def check_after_cut(self):
        """What must hold on the card and the cloud whatever the moment."""
        problems = []
        cloud = self.box.uploaded()
        problems += self.check_trim(cloud)
        left = set(self.box.m.card.ls("/TRANSMIT"))
        for name, data in self.originals.items():
            if name in left:
                if self.box.m.card.get("/TRANSMIT/" + name) != data:
                    problems.append("%s changed on the card" % name)
            elif cloud.get(name) != data:
                problems.append("%s gone from the card before the cloud held it whole" % name)
        for name in ("/config.dsp",):
            text = self.box.m.card.get(name)
            if text is not None and text.strip():
                try:
                    json.loads(text)
                except ValueError:
                    problems.append("%s does not parse: %r" % (name, text[:80]))
        return problems

    def check_conf(self):
        """/etc/trailnetd_conf.json parses, read in the running guest."""
        rc, out = self.box.m.guest("cat /etc/trailnetd_conf.json")
        if rc != 0:
            return []  # none yet: the daemon writes it at the first configuration
        try:
            json.loads(out)
            return []
        except ValueError:
            return ["/etc/trailnetd_conf.json does not parse: %r" % out[:80]]

    def wake(self):
        """Power on until the data call: the seconds to RDY. An install cut
        before must be finished by this start (nothing half done)."""
        rdy = self.box.boot_to_rdy()
        self.box.m.wait_guest()
        if self.installing:
            self.install_problems += self.check_install()
            self.installing = False
        self.box.modem("set", "nw.nitz", '"%s"' % vmrig.nitz_now())
        self.box.command("SP+PROCESS", 30)
        self.box.command("SP+CELL", 120)
        return rdy

    def check_install(self):
        """After a start that followed an install cut: the package's daemon
        whole in /usrdata, no mark of an unfinished install."""
        rc, out = self.box.m.guest("ls /usrdata/update.unpacking 2>/dev/null; base64 /usrdata/bin/trailnetd")
        if "update.unpacking" in out.split("\n", 1)[0]:
            return ["the install was not finished at the next start"]
        import base64
        try:
            got = base64.b64decode(out)
        except ValueError:
            got = b""
        if rc != 0 or got != self.package[2]:
            return ["/usrdata/bin/trailnetd is not the package's after the install (%d bytes)" % len(got)]
        return []

    def one_cut(self, n):
        kind = KINDS[(n - 1) % len(KINDS)]
        self.add_pictures(self.rng.randint(1, 3), "C%02d" % n)
        cut = {"n": n, "kind": kind}
        self.install_problems = []
        if kind == "install":
            if self.package is None:
                self.package = vmrig.signed_package(self.box, INSTALL_SCRIPT)
            self.box.m.card.put("/update.tar.xz", self.package[0])
            self.box.m.card.put("/update.tar.xz.sig", self.package[1])
            self.installing = True
            # The daemon installs at its start, some seconds after power-on.
            cut["at"] = round(self.rng.uniform(3.0, 12.0), 2)
            self.box.m.boot()
            _sleep(cut["at"], self.box.m.uart)
            cut["answered"] = b"RDY" in self.box.m.uart.buffer
        elif kind == "pictrim":
            self.add_trim_pictures(2, "C%02d" % n)
            cut["rdy"] = self.box.boot_to_rdy()
            self.box.m.wait_guest()
            # Two 1280x960 pictures take PicTrimApp about 4 s of the board's
            # time here before its uploads start.
            self.box.m.guest("(%s >/tmp/pictrim.out 2>&1 &)" % TRIM_RUN)
            cut["at"] = round(self.rng.uniform(0.0, 4.0), 2)
            _sleep(cut["at"])
            cut["answered"] = False
        elif kind == "boot":
            cut["at"] = round(self.rng.uniform(0.5, 12.0), 2)
            self.box.m.boot()
            _sleep(cut["at"])
            cut["answered"] = b"RDY" in self.box.m.uart.buffer
        else:
            cut["rdy"] = self.wake()
            # A sync of a few small pictures takes about a second here.
            cut["at"] = round(self.rng.uniform(0.0, 1.5 if kind == "sync" else 1.0), 2)
            if kind == "sync":
                self.box.m.uart.send(b"SP+SYNC\r")
            else:
                for _ in range(20):
                    self.box.m.uart.send(b"SP+STATE\r")
            _sleep(cut["at"], self.box.m.uart)
            cut["answered"] = b"SP+OK" in self.box.m.uart.buffer
        conf_problems = self.install_problems + ([] if kind in ("boot", "install", "pictrim")
                                                 else self.check_conf())
        self.box.m.cut()
        rc, findings = self.box.m.card.fsck()
        cut["fsck"] = findings
        for f in findings:
            self.findings[finding_kind(f)] += 1
        cut["problems"] = conf_problems + self.check_after_cut()
        if kind == "pictrim":
            cut["trim"] = self.trim_seen
        self.cuts.append(cut)
        print("cut %2d %-8s at %5.2f s %-9s fsck findings %d%s%s%s" % (
            n, kind, cut["at"], "answered" if cut["answered"] else "midway", len(findings),
            " (pictures: %(original)d as taken, %(shrunk)d shrunk, %(sent)d sent; %(work)d work files)"
            % cut["trim"] if "trim" in cut else "",
            "".join("\n   fsck: " + f for f in findings),
            "".join("\n   PROBLEM: " + p for p in cut["problems"])), flush=True)
        return cut

    def final(self):
        """A clean wake: everything syncs, every picture is at the cloud intact."""
        self.install_problems = []
        if self.trim_originals:
            self.trim_folder(REF)
            for name, data in self.trim_originals.items():
                self.box.m.card.put(REF + "/" + name, data)
        self.wake()
        for _ in range(4):
            self.box.command("SP+SYNC")
            if not self.box.m.card.ls("/TRANSMIT"):
                break
        problems = self.install_problems + self.check_conf()
        if self.trim_originals:
            rc, out = self.box.m.guest(TRIM_RUN, 600)
            if "CODE 0 END PROGRAM" not in out:
                problems.append("PicTrimApp's last run: %s" % out[-300:])
            self.box.m.guest(REF_RUN, 600)
        self.box.command("SP+POWERDOWN", 30)
        if not self.box.m.wait_off(120):
            problems.append("no power-off after POWERDOWN")
        cloud = self.box.uploaded()
        for name, data in self.originals.items():
            if cloud.get(name) != data:
                problems.append("%s never reached the cloud intact" % name)
        left = self.box.m.card.ls("/TRANSMIT")
        if left:
            problems.append("left in TRANSMIT: %s" % left)
        problems += self.check_trim(cloud, final=True)
        rc, findings = self.box.m.card.fsck()
        return problems, findings


def shrunk_once(jpeg):
    """A picture PicTrimApp processed once, whole: its mark once, its EXIF,
    640x480 and the end-of-image marker."""
    if not jpeg or not jpeg.startswith(b"\xff\xd8") or not jpeg.endswith(b"\xff\xd9"):
        return False
    import pictrim_test
    return jpeg.count(MARK) == 1 and b"Exif\0\0" in jpeg[:65536] and pictrim_test.size_of(jpeg) == (640, 480)


def _sleep(seconds, stream=None):
    """Waits `seconds`, taking in what the UART sends meanwhile."""
    end = time.monotonic() + seconds
    while True:
        left = end - time.monotonic()
        if left <= 0:
            return
        if stream is None:
            time.sleep(left)
        else:
            stream.pump(left)


def run(seed, cuts):
    """`cuts` cuts at `seed`; returns (every problem, the round) after printing
    the figures."""
    r = Round(seed)
    ok = False
    try:
        r.box.first_card({})
        r.add_pictures(2, "A00")
        problems = []
        for n in range(1, cuts + 1):
            problems += ["cut %d: %s" % (n, p) for p in r.one_cut(n)["problems"]]
        final_problems, final_findings = r.final()
        problems += ["after the cuts: " + p for p in final_problems]
        mid = sum(1 for c in r.cuts if not c["answered"])
        print("seed %d: %d cuts (%d before the answer), %d pictures, %d fsck findings in all, "
              "%d after the last clean power-down" % (seed, cuts, mid, len(r.originals),
                                                      sum(len(c["fsck"]) for c in r.cuts), len(final_findings)))
        for kind, count in r.findings.most_common():
            print("  %4d x %s" % (count, kind))
        for f in final_findings:
            print("  after the clean power-down: " + f)
        ok = not problems
        return problems, r
    finally:
        r.box.close(keep=not ok)
