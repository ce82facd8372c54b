// The real daemon on pseudo-terminals: a configuration request left on the
// card is applied at start, CELL (cellular off) takes the DSP's status file
// and the next SYNC hands the settings back in "config.dsp".
#include <gtest/gtest.h>

#include <string>

#include "../support/daemon_harness.h"

namespace {

using harness::DaemonHarness;

const char* const kRequest =
    "{\"config\": {\"cellular\": false, \"temperatureUnit\": \"C\", \"transmitFreq\": 3,"
    " \"batteryType\": \"LIT10\", \"dateFormat\": \"dmy\", \"quality\": \"high\","
    " \"sensitivity\": {\"level\": \"auto\", \"high\": 200, \"medium\": 120, \"low\": 40},"
    " \"transmitTime\": {\"hour\": 6, \"minute\": 45}}}\n";

TEST(ConfigEndToEnd, RequestAtStartThenCellReadsStatusAndSyncWritesSettings) {
    DaemonHarness d;
    d.root().write("/media/sdcard/CONFIG.REQ", kRequest);
    ASSERT_TRUE(d.startAndWaitReady());

    // Applied once at start, then deleted; the configuration file is created.
    EXPECT_FALSE(d.root().exists("/media/sdcard/CONFIG.REQ"));
    const std::string config = d.root().read("/etc/trailnetd_conf.json");
    EXPECT_NE(config.find("\"tempUnit\": \"C\", \"firstSyncHour\": 6, \"firstSyncMin\": 45, "
                          "\"syncFreq\": 3, \"battType\": 2"),
              std::string::npos)
        << config;

    d.root().write("/media/sdcard/STATUS.DSP",
                   "{\"memory\": {\"size\": 30000, \"used\": 12}, \"batteries\": 90,"
                   " \"model\": \"TC-200\", \"version\": \"V1.00.30\"}");
    EXPECT_EQ(d.command("SP+CELL", "SP+OK\n"), "SP+OK\n");
    EXPECT_FALSE(d.root().exists("/media/sdcard/STATUS.DSP"));
    EXPECT_NE(d.log().find("INFO: readDspStatus: Found DSP FW version: V1.00.30"),
              std::string::npos);

    EXPECT_EQ(d.command("SP+SYNC", "SP+OK\n"), "SP+OK\n");
    EXPECT_EQ(d.root().read("/media/sdcard/config.dsp"),
              "{ \"batteryType\": \"LIT10\", \"tempUnit\": \"C\", \"dateFormat\": \"dmy\", "
              "\"sensitivity\": { \"level\": \"auto\", \"high\": 200, \"medium\": 120, "
              "\"low\": 40 }, \"multiShot\": 0, \"triggerSpeed\": \"\", \"work\": [ [ 0, 0 ], "
              "[ 0, 0 ], [ 0, 0 ], [ 0, 0 ], [ 0, 0 ], [ 0, 0 ], [ 0, 0 ] ], \"capture\": "
              "false, \"transmitTime\": { \"hour\": 6, \"minute\": 45 }, \"quality\": \"high\", "
              "\"delay\": \"\", \"timeFormat\": 0, \"transmitFreq\": 3, \"smallPicWidth\": 0 }");
    EXPECT_FALSE(d.root().exists("/media/sdcard/config.req"));
}

TEST(ConfigEndToEnd, SyncBeforeAnyStatusStillAnswersOk) {
    DaemonHarness d;
    d.root().write("/etc/trailnetd_conf.json", "{ \"syncFreq\": 3 }");
    // The persistent request turns cellular off at every start.
    d.root().write("/media/sdcard/CONFIGPR.REQ", "{\"config\": {\"cellular\": false}}");
    ASSERT_TRUE(d.startAndWaitReady());
    EXPECT_TRUE(d.root().exists("/media/sdcard/CONFIGPR.REQ"));

    EXPECT_EQ(d.command("SP+SYNC", "SP+OK\n"), "SP+OK\n");
    EXPECT_TRUE(d.waitForLog(
        "ERROR: dsp_config: could not write config file (no status file read yet)"));
    EXPECT_FALSE(d.root().exists("/media/sdcard/config.dsp"));
}

}  // namespace
