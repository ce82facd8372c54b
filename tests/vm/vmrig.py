"""The rig of the module-in-a-box scenarios: the booted image (sim/vm/vmsim.py),
the cloud simulator on the host's loopback behind the name the module asks
(api.trailcam.example, forwarded from the guest's 10.0.2.100:443), and the
DSP's side of the camera UART.

A scenario without qemu-system-arm, mtools or a built image is skipped with
the reason (ctest shows it as skipped)."""
import json
import os
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "sim", "vm"))
import vmsim  # noqa: E402

API_HOST = "api.trailcam.example"
ANSWER = re.compile(rb"SP\+(OK|ERROR)\n")
# The DSP's status file and the card's first configuration request, as a
# new camera's card holds them (docs/on-the-module.md, first start).
STATUS = {"memory": {"size": 30436, "used": 1210}, "batteries": 87, "batteryType": "LIT10",
          "temperature": {"value": 9, "unit": "C"}, "model": "TC-200", "version": "V1.00.34",
          "notifications": []}
CONFIG_REQ = {"config": {"cellular": True, "transmitUser": True, "transmitAuto": True,
                         "temperatureUnit": "C", "batteryType": "LIT10"}}


def figure(name, value, unit="s"):
    """A measured figure, in one greppable line of the test's output."""
    print("figure: %s = %.1f %s" % (name, value, unit), flush=True)


NITZ_ZONE_HOURS = -5


def nitz_now():
    """The network time the modem reports: now, in a zone five hours west of
    UTC (the camera of these scenarios is in North America)."""
    return time.strftime("%y/%m/%d,%H:%M:%S", time.gmtime()) + "%+03d,0" % (NITZ_ZONE_HOURS * 4)


class Box:
    """One module with its world, in a folder of its own."""

    def __init__(self, name, rtc="now", ntp=False):
        reason = vmsim.available()
        if reason:
            raise unittest.SkipTest(reason)
        self.image = vmsim.image_dir()
        self.dir = tempfile.mkdtemp(prefix="vm-%s." % name)
        self.ntp = None
        udp = {}
        if ntp:
            # The pool of European networks: the desk's NTP server, which the
            # guest reaches as europe.pool.ntp.org through the desk's UDP.
            self.ntp = subprocess.Popen([sys.executable, os.path.join(SOURCE, "sim", "ntp", "ntpsim.py"),
                                         "--port", "0"], stdout=subprocess.PIPE, text=True,
                                        preexec_fn=vmsim._die_with_parent)
            udp[123] = json.loads(self.ntp.stdout.readline() or "{}").get("port", 0)
        self.cloud_dir = os.path.join(self.dir, "cloud")
        self.cloud = subprocess.Popen(
            [sys.executable, os.path.join(SOURCE, "sim", "cloud", "cloudsim.py"), "--workdir", self.cloud_dir,
             "--certs", os.path.join(self.image, "certs")], stdout=subprocess.PIPE, text=True,
            preexec_fn=vmsim._die_with_parent)  # a killed test leaves no server behind
        ready = json.loads(self.cloud.stdout.readline() or "{}")
        if "port" not in ready:
            self.close()
            raise RuntimeError("the cloud simulator did not start")
        self.port = ready["port"]
        self.tls = ssl.create_default_context(cafile=os.path.join(self.image, "certs", "ca.pem"))
        # Upload slots name the host the module reaches the cloud by.
        self.cloud_control("PUT", "/_sim/base", {"base": "https://" + API_HOST})
        self.m = vmsim.Machine(self.image, os.path.join(self.dir, "machine"), rtc=rtc, forwards={443: self.port},
                               udp=udp)
        self.m.card.make()

    def close(self, keep=False):
        if getattr(self, "m", None):
            self.m.cut()
        for p in (self.cloud, self.ntp):
            if p and p.poll() is None:
                p.terminate()
                p.wait()
            if p:
                p.stdout.close()
        if keep or os.environ.get("TN_VM_KEEP"):
            print("vm: kept %s" % self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    # The cloud simulator's control endpoints, straight to its port.
    def cloud_control(self, method, path, body=None):
        data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
        req = urllib.request.Request("https://127.0.0.1:%d%s" % (self.port, path), data=data, method=method)
        with urllib.request.urlopen(req, context=self.tls, timeout=60) as r:
            return json.loads(r.read() or b"null")

    def uploaded(self):
        """{name: bytes} of every picture the cloud holds whole."""
        folder = os.path.join(self.cloud_dir, "uploads")
        if not os.path.isdir(folder):
            return {}
        out = {}
        for n in os.listdir(folder):
            with open(os.path.join(folder, n), "rb") as f:
                out[n] = f.read()
        return out

    def first_card(self, pictures, modem=None):
        """A new camera's card: the configuration request, the DSP's status and
        `pictures` ({name: bytes}) waiting in TRANSMIT; `modem`, a modem
        simulator scenario the guest's modem platform starts with."""
        if modem:
            self.m.card.put("/MODEM.JSN", json.dumps(modem).encode())
        self.m.card.put("/CONFIG.REQ", json.dumps(CONFIG_REQ).encode())
        self.m.card.put("/STATUS.DSP", json.dumps(STATUS).encode())
        for name, data in pictures.items():
            self.m.card.put("/TRANSMIT/" + name, data)

    def boot_to_rdy(self, timeout=180):
        """Power on; seconds until the daemon's first RDY on the UART."""
        self.m.boot()
        self.m.uart.expect(b"RDY\r\n", timeout)
        return self.m.seconds()

    def command(self, cmd, timeout=300):
        """Sends a DSP command; the answer up to SP+OK or SP+ERROR."""
        self.m.uart.send(cmd.encode() + b"\r")
        return self.m.uart.expect(ANSWER, timeout)

    def modem(self, *words):
        """A control command to the modem simulator inside the guest."""
        rc, out = self.m.guest("modem_simctl " + " ".join("'%s'" % w for w in words))
        if rc != 0:
            raise RuntimeError("modem_simctl %s: %s" % (" ".join(words), out))
        return out

    def log(self):
        """The daemon's log on the card, read in the running guest."""
        rc, out = self.m.guest("cat /media/sdcard/log.txt")
        return out if rc == 0 else ""


def european_modem():
    """The guest's modem scenario on a British network (MCC 234, the zone of
    UTC by the daemon's country table): the clock then comes from NTP."""
    with open(os.path.join(SOURCE, "sim", "vm", "guest", "etc", "modem_sim", "scenario.json")) as f:
        scenario = json.load(f)
    scenario["sim"]["slots"][0]["imsi"] = "234500000000001"
    scenario["nw"]["reg"].update({"mcc": "234", "mnc": "50"})
    return scenario


def pictures(count, width=640, height=480):
    """`count` camera-like JPEGs with EXIF ({name: bytes}), from the native
    build's campictures (TN_CAMPICTURES)."""
    tool = os.environ.get("TN_CAMPICTURES", "campictures")
    folder = tempfile.mkdtemp(prefix="vm-pictures.")
    try:
        subprocess.run([tool, "make", folder, str(count), str(width), str(height)], check=True,
                       stdout=subprocess.DEVNULL)
        out = {}
        for n in sorted(os.listdir(folder)):
            with open(os.path.join(folder, n), "rb") as f:
                out[n] = f.read()
        return out
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def image_file(box, path):
    """A file of the image's root, read with debugfs (the image stays shut)."""
    r = subprocess.run(["debugfs", "-R", "cat %s" % path, os.path.join(box.image, "root.ext4")],
                       check=True, capture_output=True)
    return r.stdout


def signed_package(box, script, version="9.0.0"):
    """An update package holding the image's own daemon as /usrdata/bin/trailnetd
    and `script` (bytes) as its post_update_script.sh, signed with the image's
    update key: (package bytes, signature bytes, the daemon's bytes)."""
    work = tempfile.mkdtemp(prefix="vm-package.")
    try:
        mod = os.path.join(work, "module")
        os.makedirs(os.path.join(mod, "bin"))
        daemon = os.path.join(mod, "bin", "trailnetd")
        subprocess.run(["debugfs", "-R", "dump /usr/bin/trailnetd %s" % daemon,
                        os.path.join(box.image, "root.ext4")], check=True, capture_output=True)
        os.chmod(daemon, 0o755)
        with open(os.path.join(mod, "post_update_script.sh"), "wb") as f:
            f.write(script)
        out = os.path.join(work, "update.tar.xz")
        subprocess.run([os.path.join(SOURCE, "scripts", "make-update-package"), "--modem-version", version,
                        "--sign", os.path.join(box.image, "update-key.pem"), out, mod],
                       check=True, capture_output=True)
        with open(out, "rb") as f, open(out + ".sig", "rb") as s, open(daemon, "rb") as d:
            return f.read(), s.read(), d.read()
    finally:
        shutil.rmtree(work, ignore_errors=True)
