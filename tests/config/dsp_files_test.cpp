#include <cstring>
#include <string>

#include "fixture.h"

namespace {

// ---- cloud configuration ----

using CloudConfig = ConfigTree;

const char* const kFullConfig =
    "{\"temperatureUnit\": \"Celsius\", \"transmitTime\": {\"hour\": 8, \"minute\": 30},"
    " \"transmitFreq\": 4, \"batteryType\": \"LIT10\", \"dateFormat\": \"dd/mm/yy\","
    " \"cellular\": true, \"transmitUser\": false, \"transmitAuto\": true,"
    " \"sensitivity\": {\"level\": \"veryveryhigh\", \"high\": 300, \"medium\": 128, \"low\": -1},"
    " \"triggerSpeed\": \"fast\", \"capture\": true, \"multiShot\": 3, \"delay\": \"5s\","
    " \"work\": [[0, 24], [1, 2], [3, 4], [5, 6], [7, 8], [9, 10], [11, 12]],"
    " \"timeFormat\": 24, \"smallPicWidth\": 70000, \"ssl\": {\"host\": \"api.example.net\"}}";

TEST_F(CloudConfig, FullObjectFillsBothRecordsWithWidthsAndCuts) {
    EXPECT_EQ(applyCloudConfig(kFullConfig), 1);
    const DaemonConfig& c = daemonConfig();
    const CameraSettings& s = cameraSettings();
    EXPECT_STREQ(c.tempUnit, "Ce");
    EXPECT_EQ(c.firstSyncHour, 8);
    EXPECT_EQ(c.firstSyncMin, 30);
    EXPECT_EQ(c.syncFreq, 4);
    EXPECT_EQ(c.battType, 2);
    EXPECT_TRUE(isCellularEnabled());
    EXPECT_FALSE(isTransmitEnabled());
    EXPECT_STREQ(c.host, "api.example.net");
    EXPECT_STREQ(s.dateFormat, "dd/m");
    EXPECT_STREQ(s.sensitivityLevel, "veryver");
    EXPECT_EQ(s.sensitivityHigh, 44);  // 300 in 8 bits
    EXPECT_EQ(s.sensitivityMedium, 128);
    EXPECT_EQ(s.sensitivityLow, 255);
    EXPECT_STREQ(s.triggerSpeed, "fast");
    EXPECT_TRUE(s.capture);
    EXPECT_EQ(s.transmitTimeHour, 8);
    EXPECT_EQ(s.transmitTimeMinute, 30);
    EXPECT_EQ(s.multiShot, 3);
    EXPECT_STREQ(s.quality, "normal");  // missing key
    EXPECT_STREQ(s.delay, "5s");
    EXPECT_EQ(s.work[0][1], 24);
    EXPECT_EQ(s.work[6][0], 11);
    EXPECT_EQ(s.timeFormat, 24);
    EXPECT_EQ(s.transmitFreq, 4);
    EXPECT_EQ(s.smallPicWidth, 70000 % 65536);
    // Ends with a save.
    EXPECT_NE(configText().find("\"host\": \"api.example.net\""), std::string::npos);
}

TEST_F(CloudConfig, SyncFrequencyFallsBackToSix) {
    for (const char* text : {"{\"transmitFreq\": 0}", "{\"transmitFreq\": -3}", "{}", "not json"}) {
        daemonConfig().syncFreq = 2;
        applyCloudConfig(text);
        EXPECT_EQ(daemonConfig().syncFreq, 6) << text;
    }
}

TEST_F(CloudConfig, BatteryTypeNeedsExactSpelling) {
    const struct {
        const char* text;
        int code;
    } cases[] = {{"{\"batteryType\": \"12V\"}", 1},   {"{\"batteryType\": \"AA_LIT\"}", 3},
                 {"{\"batteryType\": \"lit10\"}", 0}, {"{\"batteryType\": \"LIT10 \"}", 0},
                 {"{\"batteryType\": \"AA\"}", 0}};
    for (const auto& k : cases) {
        daemonConfig().battType = 2;
        applyCloudConfig(k.text);
        EXPECT_EQ(daemonConfig().battType, k.code) << k.text;
    }
    daemonConfig().battType = 3;
    applyCloudConfig("{}");
    EXPECT_EQ(daemonConfig().battType, 3);
}

TEST_F(CloudConfig, MissingTransmitTimeKeepsOldValuesWithWarnings) {
    daemonConfig().firstSyncHour = 5;
    daemonConfig().firstSyncMin = 10;
    applyCloudConfig("{\"transmitTime\": {\"minute\": 20}}");
    EXPECT_EQ(daemonConfig().firstSyncHour, 5);
    EXPECT_EQ(daemonConfig().firstSyncMin, 20);
    EXPECT_TRUE(logHas("WARNING: config: config_getFirstSyncHour - hour object not found"));
    EXPECT_FALSE(logHas("config_getFirstSyncMinute"));
    applyCloudConfig("{}");
    EXPECT_TRUE(logHas("WARNING: config: config_getFirstSyncMinute - minute object not found"));
    EXPECT_EQ(daemonConfig().firstSyncMin, 20);
}

TEST_F(CloudConfig, WorkNeedsSevenDays) {
    applyCloudConfig(kFullConfig);
    // Six days: nothing changes.
    applyCloudConfig("{\"work\": [[0, 1], [0, 1], [0, 1], [0, 1], [0, 1], [0, 1]]}");
    EXPECT_EQ(cameraSettings().work[1][0], 1);
    EXPECT_EQ(cameraSettings().work[1][1], 2);
    // Seven days, one not a pair: that day is cleared.
    applyCloudConfig("{\"work\": [[6, 18], [8], [6, 18], [6, 18], [6, 18], [6, 18], [300, 18]]}");
    EXPECT_EQ(cameraSettings().work[0][0], 6);
    EXPECT_EQ(cameraSettings().work[1][0], 0);
    EXPECT_EQ(cameraSettings().work[1][1], 0);
    EXPECT_EQ(cameraSettings().work[6][0], 44);
    applyCloudConfig("{\"work\": \"always\"}");
    EXPECT_EQ(cameraSettings().work[0][1], 18);
}

TEST_F(CloudConfig, OverlongHostIsRefused) {
    applyCloudConfig(kFullConfig);
    std::string text = "{\"ssl\": {\"host\": \"" + std::string(257, 'h') + "\"}}";
    applyCloudConfig(text.c_str());
    EXPECT_STREQ(daemonConfig().host, "api.example.net");
    EXPECT_TRUE(logHas("ERROR: config: API host longer than 256 characters refused"));
}

// ---- status file ----

using StatusFile = ConfigTree;

const char* const kStatus =
    "{\"memory\": {\"size\": 31000, \"used\": 1200}, \"batteries\": 80, \"batteryType\": "
    "\"AA_LIT\", \"temperature\": {\"value\": -4, \"unit\": \"F\"}, \"model\": \"TC-200\", "
    "\"version\": \"V1.00.34\", \"notifications\": [], \"other\": 1}";

TEST_F(StatusFile, StatusIsReadDeletedAndChoosesTheTarget) {
    root.write("/media/sdcard/STATUS.DSP", kStatus);
    EXPECT_EQ(readDspStatus(), 0);
    EXPECT_FALSE(root.exists("/media/sdcard/STATUS.DSP"));
    EXPECT_EQ(getDspMemorySize(), 31000);
    EXPECT_EQ(getDspMemoryUsed(), 1200);
    EXPECT_EQ(getDspBatteries(), 80);
    EXPECT_EQ(getDspBatteryType(), DSP_BATTERY_AA_LIT);
    EXPECT_EQ(getDspTemperatureValue(), -4);
    EXPECT_EQ(getDspTemperatureUnit(), 'F');
    EXPECT_STREQ(getDspModel(), "TC-200");
    EXPECT_STREQ(getDspNotifications(), "[]");
    EXPECT_STREQ(getDspVersion(), "V1.00.34");
    EXPECT_TRUE(logHas("INFO: readDspStatus: Found DSP FW version: V1.00.34\n\r\n"));
    EXPECT_EQ(writeDspConfig(), 1);
    EXPECT_TRUE(root.exists("/media/sdcard/config.dsp"));
}

TEST_F(StatusFile, BothFilesAreReadOneAfterTheOther) {
    root.write("/media/sdcard/STATUS.DSP", "{\"model\": \"first\"}");
    root.write("/media/sdcard/STATUS.REQ", "{\"model\": \"second\"}");
    readDspStatus();
    EXPECT_STREQ(getDspModel(), "first");
    EXPECT_TRUE(root.exists("/media/sdcard/STATUS.REQ"));
    writeDspConfig();
    EXPECT_TRUE(root.exists("/media/sdcard/config.dsp"));
    readDspStatus();
    EXPECT_STREQ(getDspModel(), "second");
    EXPECT_FALSE(root.exists("/media/sdcard/STATUS.REQ"));
    writeDspConfig();
    EXPECT_TRUE(root.exists("/media/sdcard/config.req"));
    // No status file: nothing changes, the target stays.
    readDspStatus();
    EXPECT_STREQ(getDspModel(), "second");
    std::remove(root.path("/media/sdcard/config.req").c_str());
    writeDspConfig();
    EXPECT_TRUE(root.exists("/media/sdcard/config.req"));
}

TEST_F(StatusFile, BatteryCodesAndTemperatureUnits) {
    const struct {
        const char* json;
        int battery;
        char unit;
    } cases[] = {
        {"{\"batteryType\": \"AA\", \"temperature\": {\"unit\": \"celsius\"}}", 0, 'C'},
        {"{\"batteryType\": \"12V\", \"temperature\": {\"unit\": \"Fahrenheit\"}}", 1, 'F'},
        {"{\"batteryType\": \"LIT10\", \"temperature\": {\"unit\": \"\"}}", 2, 'C'},
        {"{\"batteryType\": \"aa\", \"temperature\": {\"unit\": \"f\"}}", 4, 'C'},
        {"{\"batteryType\": \"AA_LITHIUM_LONGER_THAN_15\"}", 4, 'C'},
        {"{\"temperature\": {\"value\": 3}}", 4, 'C'},  // missing keys keep the old values
    };
    for (const auto& k : cases) {
        root.write("/media/sdcard/STATUS.DSP", k.json);
        readDspStatus();
        EXPECT_EQ(getDspBatteryType(), k.battery) << k.json;
        EXPECT_EQ(getDspTemperatureUnit(), k.unit) << k.json;
    }
}

TEST_F(StatusFile, ModelAndNotificationsAreClearedWhenMissingOrUnparsable) {
    root.write("/media/sdcard/STATUS.DSP",
               "{\"model\": \"" + std::string(40, 'M') +
                   "\", \"notifications\": \"low_battery\", \"batteries\": 300}");
    readDspStatus();
    EXPECT_EQ(std::string(getDspModel()), std::string(31, 'M'));
    EXPECT_STREQ(getDspNotifications(), "low_battery");
    EXPECT_EQ(getDspBatteries(), 44);

    root.write("/media/sdcard/STATUS.DSP",
               "{\"model\": \"x\", \"notifications\": {\"a\": [1, \"" + std::string(600, 'n') + "\"]}}");
    readDspStatus();
    EXPECT_EQ(strlen(getDspNotifications()), 511u);
    EXPECT_EQ(std::string(getDspNotifications()).substr(0, 12), "{\"a\":[1,\"nnn");

    root.write("/media/sdcard/STATUS.DSP", "{\"memory\": {\"size\": 1");  // cut off
    readDspStatus();
    EXPECT_STREQ(getDspModel(), "");
    EXPECT_STREQ(getDspNotifications(), "");
    EXPECT_EQ(getDspBatteries(), 44);
    EXPECT_FALSE(root.exists("/media/sdcard/STATUS.DSP"));  // consumed anyway

    // An empty file changes nothing at all.
    root.write("/media/sdcard/STATUS.DSP", "{\"model\": \"y\"}");
    readDspStatus();
    root.write("/media/sdcard/STATUS.DSP", "");
    readDspStatus();
    EXPECT_STREQ(getDspModel(), "y");
}

TEST_F(StatusFile, LargeFilesAreReadSafely) {
    // 4096 bytes exactly: still read whole.
    std::string pad = "{\"model\": \"big\", \"pad\": \"";
    std::string edge = pad + std::string(4096 - pad.size() - 2, 'p') + "\"}";
    ASSERT_EQ(edge.size(), 4096u);
    root.write("/media/sdcard/STATUS.DSP", edge);
    readDspStatus();
    EXPECT_STREQ(getDspModel(), "big");

    // Larger: ignored as a file that does not parse, and removed.
    std::string huge = "{\"model\": \"huge\", \"batteries\": 9, \"pad\": \"" +
                       std::string(20000, 'p') + "\"}";
    root.write("/media/sdcard/STATUS.DSP", huge);
    readDspStatus();
    EXPECT_STREQ(getDspModel(), "");
    EXPECT_NE(getDspBatteries(), 9);
    EXPECT_FALSE(root.exists("/media/sdcard/STATUS.DSP"));
    EXPECT_TRUE(logHas("WARNING: readDspStatus: /media/sdcard/STATUS.DSP larger than 4096 bytes"));
}

// ---- settings file ----

using SettingsFile = ConfigTree;

TEST_F(SettingsFile, WrittenWithFixedKeyOrderAndValues) {
    applyCloudConfig(kFullConfig);
    cameraSettings().sensitivityHigh = 200;
    root.write("/media/sdcard/STATUS.DSP", "{}");
    readDspStatus();
    ASSERT_EQ(writeDspConfig(), 1);
    EXPECT_EQ(root.read("/media/sdcard/config.dsp"),
              "{ \"batteryType\": \"LIT10\", \"tempUnit\": \"Ce\", \"dateFormat\": \"dd\\/m\", "
              "\"sensitivity\": { \"level\": \"veryver\", \"high\": 200, \"medium\": 128, "
              "\"low\": 255 }, \"multiShot\": 3, \"triggerSpeed\": \"fast\", \"work\": [ [ 0, 24 "
              "], [ 1, 2 ], [ 3, 4 ], [ 5, 6 ], [ 7, 8 ], [ 9, 10 ], [ 11, 12 ] ], \"capture\": "
              "true, \"transmitTime\": { \"hour\": 8, \"minute\": 30 }, \"quality\": \"normal\", "
              "\"delay\": \"5s\", \"timeFormat\": 24, \"transmitFreq\": 4, \"smallPicWidth\": "
              "4464 }");
}

TEST_F(SettingsFile, RequestsKeyOnlyWhileDspUpdateIsAsked) {
    root.write("/media/sdcard/STATUS.REQ", "{}");
    readDspStatus();
    setRequestDspUpdate(1);
    ASSERT_EQ(writeDspConfig(), 1);
    std::string text = root.read("/media/sdcard/config.req");
    const std::string tail = ", \"requests\": { \"update\": { \"execute\": true } } }";
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    setRequestDspUpdate(0);
    ASSERT_EQ(writeDspConfig(), 1);
    EXPECT_EQ(root.read("/media/sdcard/config.req").find("requests"), std::string::npos);
}

TEST_F(SettingsFile, UnknownBatteryTypeIsWrittenAsDefault) {
    root.write("/media/sdcard/STATUS.DSP", "{}");
    readDspStatus();
    daemonConfig().battType = 7;
    ASSERT_EQ(writeDspConfig(), 1);
    EXPECT_EQ(root.read("/media/sdcard/config.dsp").rfind("{ \"batteryType\": \"AA\",", 0), 0u);
    EXPECT_TRUE(logHas("WARNING: dsp_config: battery type 7 unknown, written as AA"));
}

TEST_F(SettingsFile, FailuresAreReported) {
    // No status file seen yet: no target.
    EXPECT_EQ(writeDspConfig(), 0);
    EXPECT_TRUE(logHas("ERROR: dsp_config: could not write config file (no status file read yet)"));

    root.write("/media/sdcard/STATUS.DSP", "{}");
    readDspStatus();
    root.write("/media/sdcard/config.dsp", "old");
    root.mkdirs("/media/sdcard/config.dsp.tmp");  // the write cannot happen
    EXPECT_EQ(writeDspConfig(), 0);
    EXPECT_TRUE(logHas("ERROR: dsp_config: could not write config file /media/sdcard/config.dsp"));
    EXPECT_EQ(root.read("/media/sdcard/config.dsp"), "old");
}

// ---- versions ----

TEST(Versions, ParseVersionTexts) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"V1.00.34", 10034}, {"1.2.3 beta", 10203}, {"v2.1.0", 20100}, {"V1.2", -1},
        {"", -1},            {"Vx.1.2", -1},        {"1..2", -1},     {"VV1.2.3", -1},
        {"99999999.0.0", -1}, {"1.-2.3", -1},
    };
    for (const auto& k : cases) EXPECT_EQ(parseVersion(k.text), k.value) << k.text;
}

using VersionCheck = ConfigTree;

TEST_F(VersionCheck, CurrentAgainstWanted) {
    setDspVersion("V1.00.34");
    daemonConfig().dspWantedVersion[0] = '\0';
    strcpy(daemonConfig().dspWantedVersion, "1.0.34");
    EXPECT_EQ(checkDspFWversion(), 1);
    EXPECT_EQ(log(), "");

    strcpy(daemonConfig().dspWantedVersion, "V1.00.35");
    EXPECT_EQ(checkDspFWversion(), 0);
    EXPECT_TRUE(logHas("WARNING: checkDspFWversion: Current DSP FW version (V1.00.34) is not as "
                       "expected (V1.00.35)\n\r\n"));

    setDspVersion("");
    EXPECT_EQ(checkDspFWversion(), 0);
    EXPECT_TRUE(logHas("ERROR: checkDspFWversion: Can't get correct DSP versions - current , "
                       "wanted V1.00.35\n\r\n"));
}

}  // namespace
