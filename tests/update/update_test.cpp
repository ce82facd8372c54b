// Package checks against real packages built with the system's tar, xz,
// gzip, zip and openssl.
#include "update_fixture.h"

namespace {

using namespace updatetest;

const char* const kModemManifest = "{\"modem\": {\"version\": \"9.9.9\"}}";

// ---------------------------------------------------------------- module part

TEST_F(UpdatePackages, PlainPackageInstallsModuleFilesAndRunsScript) {
    onCard(package({{"manifest.json", kModemManifest},
                    {"bin/app", "new app"},
                    {"post_update_script.sh", "#!/bin/sh\necho ran > \"$TRAILNETD_ROOT/trace\"\n"}}));
    checkUpdate("V1.00.34", "1.3.0");

    EXPECT_EQ(root.read("/usrdata/bin/app"), "new app");
    EXPECT_EQ(root.read("/trace"), "ran\n");
    EXPECT_FALSE(root.exists("/usrdata/post_update_script.sh"));
    EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz"));
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz"));
    EXPECT_TRUE(logged("INFO: update: Update modem is required (1.3.0 => 9.9.9)"));
    EXPECT_TRUE(logged("INFO: update: Update modem\r\n"));
    EXPECT_FALSE(logged("decrypted"));  // a plain package is not decrypted
    EXPECT_FALSE(updateDecision().dspUpdateRequired);
}

TEST_F(UpdatePackages, EncryptedGzipPackageIsDecryptedAndInstalled) {
    onCard(encrypt(package({{"manifest.json", kModemManifest}, {"bin/app", "from gz"}}, "z")),
           "update.tar.gz");
    checkUpdate("", "1.3.0");

    EXPECT_TRUE(logged("ERROR: update: Update file decrypted successfully"));
    EXPECT_EQ(root.read("/usrdata/bin/app"), "from gz");
    EXPECT_FALSE(root.exists("/usrdata/update.tar.gz"));
    EXPECT_FALSE(root.exists("/usrdata/update.tar.gz.dec"));
    EXPECT_FALSE(root.exists("/media/sdcard/update.tar.gz"));
}

TEST_F(UpdatePackages, ModuleNotNewerIsNotInstalled) {
    onCard(package({{"manifest.json", "{\"modem\": {\"version\": \"1.2.9\"}}"}, {"bin/app", "old"}}));
    checkUpdate("", "1.3.0");
    EXPECT_FALSE(root.exists("/usrdata/bin/app"));
    EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz"));
}

// Power may go while module files are unpacked, and any of them may reach
// the medium before the rest: the new daemon among them, which then reports
// the package's version. A marker on the medium for the whole unpack makes
// the next start unpack the kept package again whatever the version says.
TEST_F(UpdatePackages, InterruptedUnpackIsFinishedEvenWhenTheNewVersionAlreadyRuns) {
    const std::string pkg = package(
        {{"manifest.json", kModemManifest},
         {"bin/app", "app 9.9.9"},
         {"lib/libcam.so", "lib 9.9.9"},
         {"post_update_script.sh",
          "#!/bin/sh\ntest -f \"$TRAILNETD_ROOT/usrdata/update.unpacking\" && echo marked >> \"$TRAILNETD_ROOT/trace\"\n"}});
    // While it unpacks, the marker names the package (the script sees it).
    onCard(pkg);
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/trace"), "marked\n");
    EXPECT_FALSE(root.exists("/usrdata/update.unpacking"));

    // What a cut halfway leaves: the package (still on the card), the
    // marker, the new daemon and an old library.
    onCard(pkg);
    root.write("/usrdata/update.unpacking", "/usrdata/update.tar.xz\n");
    root.write("/usrdata/bin/app", "app 9.9.9");
    root.write("/usrdata/lib/libcam.so", "lib 1.3.0");
    checkUpdate("", "9.9.9");
    EXPECT_TRUE(logged("INFO: update: Finishing the interrupted install of /usrdata/update.tar.xz"));
    EXPECT_EQ(root.read("/usrdata/lib/libcam.so"), "lib 9.9.9");
    EXPECT_EQ(root.read("/trace"), "marked\nmarked\n");
    EXPECT_FALSE(root.exists("/usrdata/update.unpacking"));
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz"));
    EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz"));

    // Without the marker the version decides, as before.
    onCard(pkg);
    root.write("/usrdata/lib/libcam.so", "lib 1.3.0");
    checkUpdate("", "9.9.9");
    EXPECT_EQ(root.read("/usrdata/lib/libcam.so"), "lib 1.3.0");

    // A marker with no package, or with one that cannot be read, cannot be
    // finished: it is reported and goes, so it forces no later package.
    root.write("/usrdata/update.unpacking", "/usrdata/update.tar.xz\n");
    checkUpdate("", "9.9.9");
    EXPECT_TRUE(logged("ERROR: update: No package to finish the interrupted install"));
    EXPECT_FALSE(root.exists("/usrdata/update.unpacking"));
    root.write("/usrdata/update.unpacking", "/usrdata/update.tar.xz\n");
    root.write("/media/sdcard/update.tar.xz", std::string(3000, 'z'));
    checkUpdate("", "9.9.9");
    EXPECT_FALSE(root.exists("/usrdata/update.unpacking"));
}

TEST_F(UpdatePackages, PackagesThatInstallNothing) {
    // Without a manifest.
    onCard(package({{"bin/app", "x"}}));
    checkUpdate("", "1.3.0");
    EXPECT_FALSE(root.exists("/usrdata/bin/app"));
    EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz"));
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz"));

    // Corrupted: neither a tar archive nor decryptable. The card copy goes
    // even when an earlier manifest asked to keep it.
    onCard(package({{"manifest.json", "{\"keepUpdateFile\": 1}"}}));
    checkUpdate("", "1.3.0");
    ASSERT_TRUE(updateDecision().keepPackage);
    root.write("/media/sdcard/update.tar.xz", std::string(3000, 'z'));
    checkUpdate("", "1.3.0");
    EXPECT_TRUE(logged("ERROR: update: Update file is corrupted ("));
    EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz"));
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz"));
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz.dec"));
    EXPECT_FALSE(updateDecision().keepPackage);
}

TEST_F(UpdatePackages, DoBackupCarriesOverUntilACorruptedPackage) {
    const std::string withBackup =
        package({{"manifest.json", "{\"doBackup\": 1, \"modem\": {\"version\": \"9.9.9\"}}"}, {"a", "1"}});
    onCard(withBackup);
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/home/root/backup.tar.xz"), slurp(withBackup));

    // The next manifest does not name doBackup: the last value holds.
    sh("rm " + q(root.path("/home/root/backup.tar.xz")));
    const std::string silent = package({{"manifest.json", kModemManifest}, {"b", "2"}});
    onCard(silent);
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/home/root/backup.tar.xz"), slurp(silent));

    // A corrupted package clears it.
    root.write("/media/sdcard/update.tar.xz", "garbage");
    checkUpdate("", "1.3.0");
    EXPECT_FALSE(updateDecision().doBackup);
    sh("rm " + q(root.path("/home/root/backup.tar.xz")));
    onCard(silent, "update.tar.gz");  // the backup follows the package's name
    checkUpdate("", "1.3.0");
    EXPECT_FALSE(root.exists("/home/root/backup.tar.xz"));
    EXPECT_FALSE(root.exists("/home/root/backup.tar.gz"));
}

TEST_F(UpdatePackages, BothCardPackagesOnlyXzIsInstalled) {
    for (int keep : {0, 1}) {
        SCOPED_TRACE(keep);
        const std::string m = "{\"keepUpdateFile\": " + std::to_string(keep) +
                              ", \"modem\": {\"version\": \"9.9.9\"}}";
        onCard(package({{"manifest.json", m}, {"from_xz", "x"}}), "update.tar.xz");
        onCard(package({{"manifest.json", m}, {"from_gz", "g"}}, "z"), "update.tar.gz");
        root.write("/usrdata/update.tar.gz", "stale working copy");
        checkUpdate("", "1.3.0");

        EXPECT_TRUE(root.exists("/usrdata/from_xz"));
        EXPECT_FALSE(root.exists("/usrdata/from_gz"));
        EXPECT_FALSE(root.exists("/usrdata/update.tar.gz"));
        EXPECT_FALSE(root.exists("/usrdata/update.tar.xz"));
        EXPECT_EQ(root.exists("/media/sdcard/update.tar.xz"), keep == 1);
        EXPECT_EQ(root.exists("/media/sdcard/update.tar.gz"), keep == 1);
        sh("rm -f " + q(root.path("/usrdata/from_xz")));
    }
}

TEST_F(UpdatePackages, CardHousekeepingWithoutPackage) {
    const char* stale[] = {"DRAMPARA.txt", "ISP.BIN", "1628.BIN", "1628A.BIN", "1628M.BIN"};
    const char* quorvan[] = {"QUORVANL.bin", "QUORVANM.bin", "VIGLMCU.bin"};
    for (const char* f : stale) root.write(std::string("/media/sdcard/") + f, "old");
    for (const char* f : quorvan) root.write(std::string("/media/sdcard/") + f, "q");
    setRequestDspUpdate(1);

    checkUpdate("", "1.3.0");
    EXPECT_TRUE(logged("INFO: update: No update file found"));
    EXPECT_EQ(getRequestDspUpdate(), 0);
    for (const char* f : stale) EXPECT_FALSE(root.exists(std::string("/media/sdcard/") + f)) << f;
    // Without a package the check returns before its clean-up.
    for (const char* f : quorvan) EXPECT_TRUE(root.exists(std::string("/media/sdcard/") + f)) << f;

    // "FW" on the card keeps the DSP files; the second set goes with any
    // package check, but only when its first file is there.
    for (const char* f : stale) root.write(std::string("/media/sdcard/") + f, "old");
    root.write("/media/sdcard/FW", "");
    onCard(package({{"manifest.json", "{}"}}));
    checkUpdate("", "1.3.0");
    for (const char* f : stale) EXPECT_TRUE(root.exists(std::string("/media/sdcard/") + f)) << f;
    for (const char* f : quorvan) EXPECT_FALSE(root.exists(std::string("/media/sdcard/") + f)) << f;

    root.write("/media/sdcard/VIGLMCU.bin", "q");
    onCard(package({{"manifest.json", "{}"}}));
    checkUpdate("", "1.3.0");
    EXPECT_TRUE(root.exists("/media/sdcard/VIGLMCU.bin"));
}

// ---------------------------------------------------------------- DSP part

TEST_F(UpdatePackages, DspTarPartIsUnpackedOntoTheCard) {
    onCard(package({{"manifest.json", "{\"dsp\": {\"version\": \"V2.1.11\"}}"},
                    {"dsp_update.tar.xz", dspTar({{"ISP.BIN", "isp"}, {"1628.BIN", "fw"}})}}));
    checkUpdate("2.1.10", "1.3.0");

    EXPECT_TRUE(logged("INFO: update: Update DSP is required (2.1.10 => V2.1.11)"));
    EXPECT_TRUE(logged("INFO: update: Update dsp"));
    EXPECT_TRUE(root.exists("/usrdata/dsp_update.tar.xz"));
    EXPECT_EQ(root.read("/media/sdcard/ISP.BIN"), "isp");
    EXPECT_EQ(root.read("/media/sdcard/1628.BIN"), "fw");
    EXPECT_EQ(getRequestDspUpdate(), 1);
    EXPECT_STREQ(getDspWantedVersion(), "V2.1.11");
    EXPECT_STREQ(getDspRecoveryPath(), "/usrdata/dsp_update.tar.xz");
    EXPECT_EQ(getDspRecoveryKind(), DSP_RECOVERY_TARXZ);
    EXPECT_TRUE(dspFilesExpanded());
    EXPECT_FALSE(root.exists("/usrdata/bin"));  // no module part asked for

    // The recovery right after does not unpack again.
    sh("rm " + q(root.path("/media/sdcard/ISP.BIN")));
    EXPECT_EQ(recoverDspFirmware(), 1);
    EXPECT_FALSE(root.exists("/media/sdcard/ISP.BIN"));
}

// A DSP-only package (no module part unpacks it whole) brings its own DSP
// archive: the one an earlier package left in /usrdata/ is replaced.
TEST_F(UpdatePackages, NewDspArchiveReplacesTheOneKeptFromBefore) {
    root.write("/usrdata/dsp_update.tar.xz", dspTar({{"ISP.BIN", "isp old"}}));
    ASSERT_EQ(locateDspUpdateFile(), 0);
    onCard(package({{"manifest.json", "{\"dsp\": {\"version\": \"V2.1.12\"}}"},
                    {"dsp_update.tar.xz", dspTar({{"ISP.BIN", "isp new"}})}}));
    checkUpdate("2.1.11", "1.3.0");
    EXPECT_EQ(root.read("/media/sdcard/ISP.BIN"), "isp new");
    EXPECT_STREQ(getDspWantedVersion(), "V2.1.12");

    // The recovery delivers the new one too.
    sh("rm " + q(root.path("/media/sdcard/ISP.BIN")));
    resetUpdateState();
    setDspVersion("V2.1.11");
    EXPECT_EQ(recoverDspFirmware(), 1);
    EXPECT_EQ(root.read("/media/sdcard/ISP.BIN"), "isp new");
}

TEST_F(UpdatePackages, DspZipPartAndVersionRules) {
    const std::string zipPart = dspZip({{"ISP.BIN", "zipped"}});
    struct {
        const char* name;
        const char* current;
        const char* dsp;
        bool delivered;
    } cases[] = {
        {"older with V", "2.1.10", "{\"version\": \"V2.1.3\"}", false},
        {"older but forced", "2.1.10", "{\"version\": \"V2.1.3\", \"forceUpdate\": true}", true},
        {"current unparsable", "", "{\"version\": \"9.9.9\"}", false},
        {"current unparsable, forced", "", "{\"version\": \"9.9.9\", \"forceUpdate\": true}", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetUpdateState();
        sh("rm -f " + q(root.path("/media/sdcard/ISP.BIN")) + " " + q(root.path("/usrdata/dsp_update.zip")));
        onCard(package({{"manifest.json", std::string("{\"dsp\": ") + c.dsp + "}"},
                        {"dsp_update.zip", zipPart}}));
        checkUpdate(c.current, "1.3.0");
        EXPECT_EQ(root.exists("/media/sdcard/ISP.BIN"), c.delivered);
        EXPECT_EQ(getRequestDspUpdate(), c.delivered ? 1 : 0);
        EXPECT_EQ(dspFilesExpanded(), c.delivered);
        if (c.delivered) {
            EXPECT_EQ(root.read("/media/sdcard/ISP.BIN"), "zipped");
            EXPECT_EQ(getDspRecoveryKind(), DSP_RECOVERY_ZIP);
            EXPECT_STREQ(getDspWantedVersion(), c.current[0] ? "V2.1.3" : "9.9.9");
        }
    }
}

TEST_F(UpdatePackages, BrokenDspPartIsReported) {
    onCard(package({{"manifest.json", "{\"dsp\": {\"version\": \"3.0.0\"}}"},
                    {"dsp_update.tar.xz", "not an archive"}}));
    checkUpdate("2.0.0", "1.3.0");
    EXPECT_TRUE(logged("ERROR: checkUpdate: Problem while expanding DSP update files"));
    EXPECT_EQ(getRequestDspUpdate(), 0);
    EXPECT_FALSE(dspFilesExpanded());
    EXPECT_STREQ(getDspWantedVersion(), "3.0.0");  // stored in every case
}

// ---------------------------------------------------------------- hostile input

TEST_F(UpdatePackages, MembersEscapingTheInstallFolderWriteNothing) {
    const std::string outside = root.path("/outside");
    root.mkdirs("/outside");
    const std::string good = stage({{"manifest.json", kModemManifest}, {"good", "g"}, {"esc.txt", "e"}});

    // ../ and absolute names (tar keeps them with -P).
    const std::string parent = root.path("/build/parent.tar");
    sh("tar -C " + q(good) + " -cPf " + q(parent) + " manifest.json good --transform='s,^esc,../esc,' esc.txt 2>/dev/null");
    const std::string absolute = root.path("/build/absolute.tar");
    sh("tar -C " + q(good) + " -cPf " + q(absolute) + " manifest.json good --transform=" +
       q("s,^esc," + outside + "/abs,") + " esc.txt 2>/dev/null");
    // A link pointing outside, then a file through it.
    const std::string linked = root.path("/build/linked.tar");
    const std::string a = stage({{"manifest.json", kModemManifest}, {"good", "g"}});
    sh("ln -s " + q(outside) + " " + q(a + "/out"));
    const std::string b = stage({{"out/evil.txt", "evil"}});
    sh("tar -C " + q(a) + " -cf " + q(linked) + " manifest.json good out && tar -C " + q(b) + " -rf " +
       q(linked) + " out/evil.txt");

    for (const std::string& pkg : {parent, absolute, linked}) {
        SCOPED_TRACE(pkg);
        sh("xz -kf " + q(pkg));
        onCard(pkg + ".xz");
        checkUpdate("", "1.3.0");
        EXPECT_FALSE(root.exists("/esc.txt"));
        EXPECT_FALSE(root.exists("/outside/abs.txt"));
        EXPECT_FALSE(root.exists("/outside/evil.txt"));
        EXPECT_FALSE(root.exists("/usrdata/good"));  // the whole package is refused
        EXPECT_FALSE(root.exists("/usrdata/update.tar.xz"));
        EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz"));
    }
    EXPECT_TRUE(logged("ERROR: update: Update file has an unsafe member: ../esc.txt"));
    EXPECT_TRUE(logged("ERROR: update: Update file has an unsafe member: out -> " + outside));
    EXPECT_TRUE(logged("ERROR: update: Update file has an unsafe member: " + outside + "/abs.txt"));
}

TEST_F(UpdatePackages, DspArchiveEscapingTheCardWritesNothing) {
    const std::string files = stage({{"ISP.BIN", "isp"}});
    const std::string dsp = root.path("/build/dsp.tar.xz");
    sh("tar -C " + q(files) + " -cPJf " + q(dsp) + " --transform='s,^ISP,../ISP,' ISP.BIN 2>/dev/null");
    onCard(package({{"manifest.json", "{\"dsp\": {\"version\": \"3.0.0\"}}"}, {"dsp_update.tar.xz", slurp(dsp)}}));
    checkUpdate("2.0.0", "1.3.0");

    EXPECT_FALSE(root.exists("/media/ISP.BIN"));
    EXPECT_FALSE(root.exists("/media/sdcard/ISP.BIN"));
    EXPECT_TRUE(logged("ERROR: update: DSP update file has an unsafe member: ../ISP.BIN"));
    EXPECT_TRUE(logged("Problem while expanding DSP update files"));
    EXPECT_EQ(getRequestDspUpdate(), 0);
}

TEST_F(UpdatePackages, PathsWithBlankQuoteAndSemicolonStayWhole) {
    // The whole tree lives below a folder whose name would break or extend
    // a shell command.
    const std::string odd = root.dir() + "/it's a root; touch pwned";
    sh("mkdir -p " + q(odd + "/media/sdcard") + " " + q(odd + "/usrdata") + " " + q(odd + "/proc"));
    sh("cp " + q(root.path("/proc/mounts")) + " " + q(odd + "/proc/mounts"));
    const std::string pkg = encrypt(package({{"manifest.json", "{\"modem\": {\"version\": \"9.9.9\"}, "
                                                               "\"dsp\": {\"version\": \"9.9.9\"}}"},
                                             {"bin/app", "odd"},
                                             {"dsp_update.zip", dspZip({{"ISP.BIN", "odd isp"}})}}));
    sh("cp " + q(pkg) + " " + q(odd + "/media/sdcard/update.tar.xz"));
    setenv("TRAILNETD_ROOT", odd.c_str(), 1);
    checkUpdate("1.0.0", "1.3.0");
    setenv("TRAILNETD_ROOT", root.dir().c_str(), 1);

    EXPECT_EQ(root.read("/it's a root; touch pwned/usrdata/bin/app"), "odd");
    EXPECT_EQ(root.read("/it's a root; touch pwned/media/sdcard/ISP.BIN"), "odd isp");
    EXPECT_FALSE(root.exists("/it's a root; touch pwned/media/sdcard/update.tar.xz"));
    EXPECT_FALSE(root.exists("/pwned"));
    struct stat st;
    EXPECT_NE(stat("pwned", &st), 0);
}

// ---------------------------------------------------------------- the helper script

TEST_F(UpdatePackages, HelperScriptBuildsAnInstallablePackage) {
    const std::string module = stage({{"bin/app", "scripted"},
                                      {"post_update_script.sh", "#!/bin/sh\ntouch \"$TRAILNETD_ROOT/trace\"\n"}});
    const std::string dsp = root.path("/build/dsp.zip");
    std::ofstream(dsp, std::ios::binary) << dspZip({{"ISP.BIN", "helper isp"}});
    const std::string out = root.path("/build/helper.tar.gz");
    // The script meets the stage's tools (BusyBox in its stage), not the fixtures'.
    const std::string cmd = std::string(MAKE_UPDATE_PACKAGE) + " --modem-version 1.4.0 --dsp-version V2.0.0 --dsp " +
                            q(dsp) + " --keep --encrypt " + q(out) + " " + q(module) + " >/dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    onCard(out, "update.tar.gz");
    checkUpdate("V1.9.9", "1.3.0");

    EXPECT_TRUE(logged("Update file decrypted successfully"));
    EXPECT_EQ(root.read("/usrdata/bin/app"), "scripted");
    EXPECT_TRUE(root.exists("/trace"));
    EXPECT_EQ(root.read("/media/sdcard/ISP.BIN"), "helper isp");
    EXPECT_STREQ(getDspWantedVersion(), "V2.0.0");
    EXPECT_TRUE(root.exists("/media/sdcard/update.tar.gz"));  // --keep
}

// ---------------------------------------------------------------- recovery

TEST_F(UpdatePackages, LocateDspUpdateFile) {
    EXPECT_EQ(locateDspUpdateFile(), 1);
    root.write("/usrdata/dsp_update.zip", "z");
    EXPECT_EQ(locateDspUpdateFile(), 0);
    EXPECT_STREQ(getDspRecoveryPath(), "/usrdata/dsp_update.zip");
    EXPECT_EQ(getDspRecoveryKind(), DSP_RECOVERY_ZIP);
    root.write("/usrdata/dsp_update.tar.xz", "t");
    EXPECT_EQ(locateDspUpdateFile(), 0);
    EXPECT_STREQ(getDspRecoveryPath(), "/usrdata/dsp_update.tar.xz");
    EXPECT_EQ(getDspRecoveryKind(), DSP_RECOVERY_TARXZ);
}

TEST_F(UpdatePackages, RecoveryOutcomes) {
    // The DSP runs the wanted version.
    setDspVersion("V1.2.3");
    setDspWantedVersion("1.2.3");
    EXPECT_EQ(recoverDspFirmware(), 0);
    EXPECT_TRUE(logged("INFO: update: DSP FW version is as expected"));

    // Another version, and no file remembered on disk.
    setDspVersion("V1.2.2");
    setDspRecoveryPackage("/usrdata/dsp_update.tar.xz", DSP_RECOVERY_TARXZ);
    EXPECT_EQ(recoverDspFirmware(), -1);
    EXPECT_TRUE(logged("ERROR: update: Can't find /usrdata/dsp_update.tar.xz for DSP FW recovery"));

    // A file that does not unpack.
    root.write("/usrdata/dsp_update.tar.xz", "broken");
    EXPECT_EQ(recoverDspFirmware(), -1);
    EXPECT_TRUE(logged(
        "ERROR: update: Error when unziping / untaring /usrdata/dsp_update.tar.xz for DSP FW recovery"));

    // A good file is unpacked onto the card, every time it is asked for.
    root.write("/usrdata/dsp_update.tar.xz", dspTar({{"ISP.BIN", "again"}}));
    EXPECT_EQ(recoverDspFirmware(), 1);
    EXPECT_EQ(root.read("/media/sdcard/ISP.BIN"), "again");
    sh("rm " + q(root.path("/media/sdcard/ISP.BIN")));
    EXPECT_EQ(recoverDspFirmware(), 1);
    EXPECT_TRUE(root.exists("/media/sdcard/ISP.BIN"));
    EXPECT_FALSE(dspFilesExpanded());

    // An unknown kind is a failure.
    setDspRecoveryPackage("/usrdata/dsp_update.tar.xz", 7);
    EXPECT_EQ(recoverDspFirmware(), -1);
}

}  // namespace
