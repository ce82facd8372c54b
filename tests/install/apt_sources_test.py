#!/usr/bin/env python3
"""The set-up scripts' apt handling, offline: file:// repositories made here.

One repository is good (two tiny armhf packages made with dpkg-deb, one
depending on the other), one is missing, and one is caught "mid-sync": its
Release names a Packages file of another size. scripts/armhf-sysroot must
name both broken indexes, go on with the good one, unpack the packages with
their dependency, rebuild only when its inputs change, and fail naming a
package that cannot be had. The same shared functions run scripts/setup and
scripts/setup-armhf; they are checked against the private configuration the
sysroot run leaves (installs simulated: nothing touches the host's dpkg).
"""
import hashlib
import os
import subprocess
import tempfile
import unittest

SOURCE = os.environ["TN_SOURCE_DIR"]
SYSROOT = os.path.join(SOURCE, "scripts", "armhf-sysroot")
APT_LIB = os.path.join(SOURCE, "scripts", "apt-lib.sh")


def make_deb(pool, name, files, links=(), depends=None):
    root = os.path.join(pool, "src-" + name)
    os.makedirs(os.path.join(root, "DEBIAN"))
    control = [f"Package: {name}", "Version: 1.0-1", "Architecture: armhf",
               "Maintainer: desk <desk@localhost>", f"Description: {name} probe"]
    if depends:
        control.append(f"Depends: {depends}")
    with open(os.path.join(root, "DEBIAN", "control"), "w") as f:
        f.write("\n".join(control) + "\n")
    for path, text in files.items():
        full = os.path.join(root, path.lstrip("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)
    for path, target in links:
        full = os.path.join(root, path.lstrip("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        os.symlink(target, full)
    deb = os.path.join(pool, f"{name}_1.0-1_armhf.deb")
    subprocess.run(["dpkg-deb", "--root-owner-group", "--build", root, deb],
                   check=True, capture_output=True)
    with open(deb, "rb") as f:
        sha = hashlib.sha256(f.read()).hexdigest()
    with open(os.path.join(pool, "Packages"), "a") as f:
        f.write("\n".join(control)
                + f"\nFilename: ./{os.path.basename(deb)}"
                + f"\nSize: {os.path.getsize(deb)}"
                + f"\nSHA256: {sha}\n\n")


class AptSourcesTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        t = self.tmp.name
        good = os.path.join(t, "good")
        os.makedirs(good)
        make_deb(good, "tn-probe-dep", {"/usr/share/tn-probe/dep": "dep\n"})
        make_deb(good, "tn-probe", {"/usr/share/tn-probe/hello": "hello\n"},
                 links=[("/usr/lib/tn-probe/hello", "/usr/share/tn-probe/hello")],
                 depends="tn-probe-dep")
        # A Release that promises a Packages file of another size, as a
        # mirror does while it syncs.
        syncing = os.path.join(t, "syncing")
        os.makedirs(syncing)
        with open(os.path.join(syncing, "Packages"), "w") as f:
            f.write("Package: tn-late\nVersion: 1\nArchitecture: armhf\n\n")
        with open(os.path.join(syncing, "Release"), "w") as f:
            f.write("Origin: desk\nLabel: desk\nSuite: desk\nCodename: desk\n"
                    "Date: Sat, 01 Jan 2022 00:00:00 UTC\nArchitectures: armhf\nSHA256:\n"
                    " 0000000000000000000000000000000000000000000000000000000000000000 999 Packages\n")
        self.sources = os.path.join(t, "sources")
        with open(self.sources, "w") as f:
            for repo in ("good", "missing", "syncing"):
                f.write(f"Types: deb\nURIs: file:{t}/{repo}\nSuites: ./\nTrusted: yes\n\n")
        self.cache = os.path.join(t, "cache")
        self.list = os.path.join(t, "probe.list")
        with open(self.list, "w") as f:
            f.write("# probe\ntn-probe\n")

    def tearDown(self):
        self.tmp.cleanup()

    def run_sysroot(self, *args):
        env = dict(os.environ, TN_CACHE=self.cache, ARMHF_SOURCES=self.sources)
        return subprocess.run([SYSROOT, *args], env=env, capture_output=True,
                              text=True, timeout=300)

    def test_sysroot_goes_on_past_broken_indexes_and_names_what_is_missing(self):
        r = self.run_sysroot("--list", self.list)
        self.assertEqual(r.returncode, 0, r.stderr)
        # Each broken index named, with apt's reason.
        failed = [l for l in r.stderr.splitlines() if "index not read" in l]
        self.assertTrue(any("missing" in l and "not found" in l.lower() for l in failed), r.stderr)
        self.assertTrue(any("syncing" in l and ("size" in l or "Hash" in l) for l in failed), r.stderr)
        dest = r.stdout.strip().splitlines()[-1]
        self.assertEqual(dest, os.path.join(self.cache, "armhf-sysroot"))
        # The package and its dependency; the absolute link resolves inside.
        with open(os.path.join(dest, "usr/share/tn-probe/dep")) as f:
            self.assertEqual(f.read(), "dep\n")
        link = os.path.join(dest, "usr/lib/tn-probe/hello")
        self.assertFalse(os.readlink(link).startswith("/"))
        with open(link) as f:
            self.assertEqual(f.read(), "hello\n")
        self.assertTrue(os.path.islink(os.path.join(dest, "lib")))

        # Same inputs: nothing unpacked again.
        again = self.run_sysroot("--list", self.list)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertNotIn("unpacking", again.stderr)
        # Another list into another folder (what an image build does).
        other = os.path.join(self.tmp.name, "image-root")
        with open(self.list, "w") as f:
            f.write("tn-probe-dep\n")
        r = self.run_sysroot("--list", self.list, "--dest", other)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.strip().splitlines()[-1], other)
        self.assertTrue(os.path.exists(os.path.join(other, "usr/share/tn-probe/dep")))
        self.assertFalse(os.path.exists(os.path.join(other, "usr/share/tn-probe/hello")))

        # A package no index has: named, with apt's reason, and a failure.
        with open(self.list, "a") as f:
            f.write("tn-absent\n")
        r = self.run_sysroot("--list", self.list, "--update")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("cannot have tn-absent: Unable to locate package tn-absent", r.stderr)
        self.assertNotIn("cannot have tn-probe-dep", r.stderr)

        # The set-up scripts' install step on the same sources: the package
        # that can be had goes in, the other is named and fails the step.
        env = dict(os.environ, APT_CONFIG=os.path.join(self.cache, "armhf-apt", "apt.conf"))
        r = subprocess.run(
            ["bash", "-c", f'. "{APT_LIB}"; apt_update_tolerant setup apt-get -q && '
             'apt_install_each setup "apt-get -q -s" tn-probe tn-absent'],
            env=env, capture_output=True, text=True, timeout=300)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("setup: index not read:", r.stderr)
        self.assertIn("setup: cannot install tn-absent: Unable to locate package tn-absent", r.stderr)
        self.assertNotIn("cannot install tn-probe", r.stderr)


if __name__ == "__main__":
    unittest.main()
