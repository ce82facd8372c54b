#!/usr/bin/env python3
"""Install layout and the init script, run against the built daemon."""
import json
import os
import signal
import subprocess
import tempfile
import time
import unittest

BUILD = os.environ["TN_BUILD_DIR"]
CMAKE = os.environ.get("TN_CMAKE", "cmake")
DAEMON = os.environ["TN_TRAILNETD"]

CONF_KEYS = [
    "powerOnTime", "tempUnit", "firstSyncHour", "firstSyncMin", "syncFreq",
    "battType", "s3token", "host", "requestUpdateReset", "dspVersion",
    "dspWantedVersion", "requestDspUpdate", "uploadPictureCount",
    "transmitUser", "transmitAuto",
]
TIMEOUT = 60.0


def wait_for(cond, timeout=TIMEOUT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def alive(pid):
    """True while pid runs (not a zombie)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class Staged(unittest.TestCase):
    """One staging install shared by the cases of this file."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="tninstall.")
        cls.stage = os.path.join(cls.tmp.name, "rootfs")
        subprocess.run([CMAKE, "--install", BUILD, "--prefix", cls.stage],
                       check=True, stdout=subprocess.DEVNULL)
        cls.init = os.path.join(cls.stage, "etc/init.d/trailnetd")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()


class Layout(Staged):
    def test_programs_init_script_and_links(self):
        daemon = os.path.join(self.stage, "usr/bin/trailnetd")
        self.assertTrue(os.access(daemon, os.X_OK))
        self.assertTrue(os.access(self.init, os.X_OK))
        for link in ("rc5.d/S99trailnetd", "rc0.d/K01trailnetd", "rc6.d/K01trailnetd"):
            path = os.path.join(self.stage, "etc", link)
            self.assertEqual(os.readlink(path), "../init.d/trailnetd", link)
            self.assertTrue(os.path.samefile(path, self.init), link)
        # Stand-ins of the platform libraries are for the desk only.
        for dirpath, _, files in os.walk(self.stage):
            for f in files:
                self.assertFalse(f.startswith(("libmcm", "libql_")), os.path.join(dirpath, f))
        subprocess.run(["sh", "-n", self.init], check=True)

    def test_example_config_has_every_key_in_order(self):
        path = os.path.join(self.stage, "etc/trailnetd_conf.json")
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)  # will hold the token
        with open(path) as f:
            text = f.read()
        # The daemon reads only the first line of this file.
        self.assertEqual(text.count("\n"), 1)
        conf = json.loads(text)
        self.assertEqual(list(conf), CONF_KEYS)
        self.assertEqual(conf["host"], "")  # the daemon's built-in default


class InitScript(Staged):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="tninit.")
        root = os.path.join(self.work.name, "root")
        for d in ("proc", "etc", "usrdata", "tmp", "dev", "media/sdcard"):
            os.makedirs(os.path.join(root, d))
        self.pidfile = os.path.join(self.work.name, "trailnetd.pid")
        self.env = dict(os.environ, TRAILNETD_ROOT=root, TRAILNETD_BIN=DAEMON,
                        TRAILNETD_PIDFILE=self.pidfile, TRAILNETD_STOP_TIMEOUT="20")
        self.started = []

    def tearDown(self):
        for pid in self.started:
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
        self.work.cleanup()

    def run_init(self, *args, env=None):
        # The daemon inherits stdout: a file, so nothing waits on a pipe.
        with open(os.path.join(self.work.name, "console"), "a") as out:
            return subprocess.run(["sh", self.init, *args], env=env or self.env,
                                  stdout=out, stderr=out, timeout=TIMEOUT).returncode

    def daemon_pid(self):
        with open(self.pidfile) as f:
            pid = int(f.read())
        self.started.append(pid)
        return pid

    def test_start_status_stop(self):
        self.assertEqual(self.run_init("status"), 3)
        self.assertEqual(self.run_init("start"), 0)
        pid = self.daemon_pid()
        self.assertTrue(alive(pid))
        self.assertEqual(self.run_init("status"), 0)
        # A second start leaves the running daemon alone.
        self.assertEqual(self.run_init("start"), 0)
        self.assertEqual(self.daemon_pid(), pid)
        self.assertEqual(self.run_init("stop"), 0)
        self.assertTrue(wait_for(lambda: not alive(pid)))
        self.assertFalse(os.path.exists(self.pidfile))
        self.assertEqual(self.run_init("status"), 3)
        self.assertEqual(self.run_init("stop"), 0)

    def test_stale_pid_file_never_kills_another_process(self):
        other = subprocess.Popen(["sleep", "300"])
        try:
            with open(self.pidfile, "w") as f:
                f.write(f"{other.pid}\n")
            self.assertEqual(self.run_init("status"), 3)
            self.assertEqual(self.run_init("stop"), 0)
            self.assertIsNone(other.poll())
            self.assertEqual(self.run_init("start"), 0)
            pid = self.daemon_pid()
            self.assertNotEqual(pid, other.pid)
            self.assertEqual(self.run_init("stop"), 0)
            self.assertTrue(wait_for(lambda: not alive(pid)))
            self.assertIsNone(other.poll())
        finally:
            other.kill()
            other.wait()

    def test_daemon_deaf_to_term_is_killed_after_timeout(self):
        fake = os.path.join(self.work.name, "bin", "trailnetd")
        ready = os.path.join(self.work.name, "deaf")
        os.makedirs(os.path.dirname(fake))
        with open(fake, "w") as f:
            f.write(f"#!/bin/sh\ntrap '' TERM\ntouch {ready}\nwhile :; do sleep 1; done\n")
        os.chmod(fake, 0o755)
        env = dict(self.env, TRAILNETD_BIN=fake, TRAILNETD_STOP_TIMEOUT="1")
        self.assertEqual(self.run_init("start", env=env), 0)
        pid = self.daemon_pid()
        self.assertTrue(wait_for(lambda: os.path.exists(ready)))
        self.assertEqual(self.run_init("status", env=env), 0)
        self.assertEqual(self.run_init("stop", env=env), 0)
        self.assertTrue(wait_for(lambda: not alive(pid)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
