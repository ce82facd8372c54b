#!/usr/bin/env python3
"""The switch that links the module's own platform libraries.

A vendor sysroot is staged from this build's stand-ins (same names, same C
headers), a second tree is configured with TN_REAL_PLATFORM=ON against it, and
trailnetd is built and installed. The daemon must name the three libraries,
link them from the sysroot, build no stand-in of its own, and keep no path of
the desk in the installed program.
"""
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.environ["TN_SOURCE_DIR"]
CMAKE = os.environ.get("TN_CMAKE", "cmake")
CXX = os.environ["TN_CXX"]
CC = os.environ["TN_CC"]
STAND_INS = os.environ["TN_STAND_INS"].split(";")
HEADERS = os.path.join(SOURCE, "platform", "include")
LIBS = ("libmcm.so", "libql_mgmt_client.so", "libql_sys_log.so")


def dynamic_section(path):
    out = subprocess.run(["readelf", "-d", path], check=True,
                         capture_output=True, text=True).stdout
    needed = [line.split("[", 1)[1].rstrip("]") for line in out.splitlines()
              if "(NEEDED)" in line]
    paths = [line.split("[", 1)[1].rstrip("]") for line in out.splitlines()
             if "(RUNPATH)" in line or "(RPATH)" in line]
    return needed, paths


class RealPlatform(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tnrealplat.")
        self.sysroot = os.path.join(self.tmp.name, "sysroot")
        os.makedirs(os.path.join(self.sysroot, "usr", "lib"))
        shutil.copytree(HEADERS, os.path.join(self.sysroot, "usr", "include"))
        for lib in STAND_INS:
            shutil.copy(lib, os.path.join(self.sysroot, "usr", "lib"))
        self.build = os.path.join(self.tmp.name, "build")

    def tearDown(self):
        self.tmp.cleanup()

    def configure(self):
        return subprocess.run(
            [CMAKE, "-S", SOURCE, "-B", self.build, "-DCMAKE_BUILD_TYPE=Release",
             f"-DCMAKE_CXX_COMPILER={CXX}", f"-DCMAKE_C_COMPILER={CC}",
             "-DTN_BUILD_TESTS=OFF", "-DTN_REAL_PLATFORM=ON",
             f"-DTN_PLATFORM_SYSROOT={self.sysroot}"],
            capture_output=True, text=True)

    def test_daemon_links_the_sysroot_libraries_and_installs_clean(self):
        r = self.configure()
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        subprocess.run([CMAKE, "--build", self.build, "-j2"], check=True, stdout=subprocess.DEVNULL)
        built = os.path.join(self.build, "daemon", "trailnetd")
        needed, paths = dynamic_section(built)
        for lib in LIBS:
            self.assertIn(lib, needed)
        self.assertIn(os.path.join(self.sysroot, "usr", "lib"), ":".join(paths))
        # No stand-in was built in this tree.
        for _, _, files in os.walk(self.build):
            for f in files:
                self.assertFalse(f.startswith(("libmcm", "libql_")), f)

        stage = os.path.join(self.tmp.name, "rootfs")
        subprocess.run([CMAKE, "--install", self.build, "--prefix", stage],
                       check=True, stdout=subprocess.DEVNULL)
        installed = os.path.join(stage, "usr", "bin", "trailnetd")
        needed, paths = dynamic_section(installed)
        for lib in LIBS:
            self.assertIn(lib, needed)
        # On the module the loader finds them in /usr/lib, never on a desk path.
        self.assertFalse([p for p in paths if self.tmp.name in p], paths)

    def test_a_sysroot_without_the_libraries_fails_at_configure(self):
        os.remove(os.path.join(self.sysroot, "usr", "lib", "libmcm.so"))
        r = self.configure()
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("TN_LIB_mcm", r.stdout + r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
