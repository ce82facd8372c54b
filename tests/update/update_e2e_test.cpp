// The real trailnetd with an update package on the card at start: module
// files installed, DSP files on the card, and the next SYNC asks the DSP to
// update through its settings file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../support/daemon_harness.h"
#include "../support/fixture_shell.h"

namespace {

using harness::DaemonHarness;

std::string q(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

void sh(const std::string& cmd) { ASSERT_EQ(fixtureShell(cmd), 0) << cmd; }

TEST(UpdateAtStart, PackageOnCardIsInstalledAndNextSyncAsksTheDspToUpdate) {
    DaemonHarness d;
    RootTree& root = d.root();
    const std::string build = root.path("/build");
    root.mkdirs("/build/pkg/bin");
    root.mkdirs("/build/fw");
    root.write("/build/pkg/bin/app", "app 1.4.0");
    root.write("/build/fw/ISP.BIN", "isp V1.00.40");
    root.write("/build/fw/1628.BIN", "main V1.00.40");
    // The DSP has not reported a version yet at start: its part is forced.
    root.write("/build/pkg/manifest.json",
               "{\"dsp\": {\"version\": \"V1.00.40\", \"forceUpdate\": true}, "
               "\"modem\": {\"version\": \"1.4.0\"}}\n");
    sh("tar -C " + q(build + "/fw") + " -cJf " + q(build + "/pkg/dsp_update.tar.xz") + " ISP.BIN 1628.BIN");
    sh("tar -C " + q(build + "/pkg") + " -cJf " + q(build + "/plain.tar.xz") +
       " manifest.json bin dsp_update.tar.xz");
    sh("openssl enc -aes-256-cbc -md md5 -pass pass:Kq7vTn2wXa9pLm4R -in " + q(build + "/plain.tar.xz") +
       " -out " + q(root.path("/media/sdcard/update.tar.xz")) + " 2>/dev/null");
    root.write("/media/sdcard/STATUS.DSP", "{\"version\": \"V1.00.34\", \"model\": \"cam\"}");

    ASSERT_TRUE(d.startAndWaitReady());
    const std::string log = d.log();
    EXPECT_NE(log.find("Update file decrypted successfully"), std::string::npos) << log;
    EXPECT_NE(log.find("Update modem is required (1.3.0-3-g9514c7d => 1.4.0)"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO: update: Update dsp"), std::string::npos) << log;
    EXPECT_EQ(root.read("/usrdata/bin/app"), "app 1.4.0");
    EXPECT_TRUE(root.exists("/usrdata/dsp_update.tar.xz"));
    EXPECT_EQ(root.read("/media/sdcard/ISP.BIN"), "isp V1.00.40");
    EXPECT_EQ(root.read("/media/sdcard/1628.BIN"), "main V1.00.40");
    EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz"));
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz"));

    // With the cellular side off, CELL reads the DSP's status file (and so
    // chooses config.dsp); SYNC then writes the settings.
    ASSERT_EQ(d.command("SP+CELL", "SP+OK\n"), "SP+OK\n");
    ASSERT_EQ(d.command("SP+SYNC", "SP+OK\n"), "SP+OK\n");
    const std::string settings = root.read("/media/sdcard/config.dsp");
    const std::string requests = "\"requests\": { \"update\": { \"execute\": true } } }";
    ASSERT_GE(settings.size(), requests.size()) << settings;
    EXPECT_EQ(settings.substr(settings.size() - requests.size()), requests) << settings;
    // The files were unpacked in this run: the recovery does not unpack again.
    EXPECT_EQ(d.log().find("DSP FW version is as expected"), std::string::npos);
}

TEST(UpdateAtStart, SyncRecoversDspFirmwareFoundAtStart) {
    DaemonHarness d;
    RootTree& root = d.root();
    root.mkdirs("/build/fw");
    root.write("/build/fw/ISP.BIN", "isp V1.00.34");
    sh("tar -C " + q(root.path("/build/fw")) + " -cJf " + q(root.path("/usrdata/dsp_update.tar.xz")) +
       " ISP.BIN");
    // Without a configuration file the wanted DSP version is V1.00.34; the
    // DSP reports another one.
    root.write("/media/sdcard/STATUS.DSP", "{\"version\": \"V1.00.30\"}");

    ASSERT_TRUE(d.startAndWaitReady());
    EXPECT_NE(d.log().find("No update file found"), std::string::npos) << d.log();
    ASSERT_EQ(d.command("SP+CELL", "SP+OK\n"), "SP+OK\n");
    EXPECT_FALSE(root.exists("/media/sdcard/ISP.BIN"));
    ASSERT_EQ(d.command("SP+SYNC", "SP+OK\n"), "SP+OK\n");

    EXPECT_NE(d.log().find("Current DSP FW version (V1.00.30) is not as expected (V1.00.34)"),
              std::string::npos) << d.log();
    EXPECT_EQ(root.read("/media/sdcard/ISP.BIN"), "isp V1.00.34");
    EXPECT_NE(root.read("/media/sdcard/config.dsp").find("\"requests\": { \"update\": { \"execute\": true } }"),
              std::string::npos) << root.read("/media/sdcard/config.dsp");
}

// With the maker's key on the module, the real daemon refuses at start a
// package changed after it was signed, and starts as ever.
TEST(UpdateAtStart, ChangedSignedPackageIsRefusedAndTheDaemonStarts) {
    DaemonHarness d;
    RootTree& root = d.root();
    const std::string build = root.path("/build");
    root.mkdirs("/build/pkg/bin");
    root.mkdirs("/usrdata/update-keys");
    root.write("/build/pkg/bin/app", "app 1.4.0");
    root.write("/build/pkg/manifest.json", "{\"modem\": {\"version\": \"1.4.0\"}}\n");
    sh("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + q(build + "/maker.key") +
       " 2>/dev/null && openssl pkey -in " + q(build + "/maker.key") + " -pubout -out " +
       q(root.path("/usrdata/update-keys/maker.pem")));
    sh("tar -C " + q(build + "/pkg") + " -cJf " + q(build + "/update.tar.xz") + " manifest.json bin");
    sh("openssl dgst -sha256 -sign " + q(build + "/maker.key") + " -out " +
       q(root.path("/media/sdcard/update.tar.xz.sig")) + " " + q(build + "/update.tar.xz"));
    std::string bytes = root.read("/build/update.tar.xz");
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x01);
    root.write("/media/sdcard/update.tar.xz", bytes);

    ASSERT_TRUE(d.startAndWaitReady());
    const std::string log = d.log();
    EXPECT_NE(log.find("ERROR: update: Update file refused (/usrdata/update.tar.xz): signature does not match any "
                       "update key"),
              std::string::npos) << log;
    EXPECT_EQ(log.find("Update modem"), std::string::npos) << log;
    EXPECT_FALSE(root.exists("/usrdata/bin/app"));
    EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz"));
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz.sig"));
    ASSERT_EQ(d.command("SP+CELL", "SP+OK\n"), "SP+OK\n");
}

}  // namespace
