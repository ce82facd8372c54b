#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fixture.h"

namespace {

using LoadConfig = ConfigTree;

TEST_F(LoadConfig, MissingKeysTakeDefaultsAndFileGetsAllKeys) {
    writeConfig("{ \"syncFreq\": 3 }");
    loadDaemonConfig();
    const DaemonConfig& c = daemonConfig();
    EXPECT_EQ(c.syncFreq, 3);
    EXPECT_STREQ(c.tempUnit, "F");
    EXPECT_EQ(c.firstSyncHour, 0);
    EXPECT_EQ(c.uploadPictureCount, 50);
    EXPECT_TRUE(c.transmitUser);
    EXPECT_TRUE(c.transmitAuto);
    EXPECT_STREQ(c.dspWantedVersion, "");
    EXPECT_TRUE(isCellularEnabled());
    char host[300];
    getApiHost(host, sizeof host);
    EXPECT_STREQ(host, kDefaultApiHost);
    // The exact line the module has always written: key order, spacing, no newline.
    EXPECT_EQ(configText(),
              "{ \"powerOnTime\": 0, \"tempUnit\": \"F\", \"firstSyncHour\": 0, "
              "\"firstSyncMin\": 0, \"syncFreq\": 3, \"battType\": 0, \"s3token\": \"\", "
              "\"host\": \"api.trailcam.example\", \"requestUpdateReset\": 0, "
              "\"dspVersion\": \"\", \"dspWantedVersion\": \"\", \"requestDspUpdate\": 0, "
              "\"uploadPictureCount\": 50, \"transmitUser\": true, \"transmitAuto\": true }");
    // It holds the API token: owner only.
    struct stat st;
    ASSERT_EQ(stat(root.path("/etc/trailnetd_conf.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LoadConfig, SavedValuesComeBackAfterRestart) {
    writeConfig("{}");
    loadDaemonConfig();
    setPowerOnTime(-5);  // sign-extended, not read back as a huge number
    toggleRequestUpdateReset(REQ_RESET_LOG | REQ_RESET_UPDATE_SIM);
    setS3Token("tok/en+1");
    setDspWantedVersion("V1.02.03");
    setRequestDspUpdate(1);
    daemonConfig().transmitUser = false;
    daemonConfig().battType = 3;
    setDspVersion("V1.00.30");
    ASSERT_EQ(saveDaemonConfig(), 1);
    const std::string before = configText();

    daemonConfig() = DaemonConfig{};
    setCellularEnabled(false);
    loadDaemonConfig();
    const DaemonConfig& c = daemonConfig();
    EXPECT_EQ(c.powerOnTime, -5);
    EXPECT_EQ(c.requestUpdateReset, 10);
    EXPECT_STREQ(c.s3token, "tok/en+1");
    EXPECT_STREQ(c.dspWantedVersion, "V1.02.03");
    EXPECT_STREQ(c.dspVersion, "V1.00.30");
    EXPECT_EQ(c.requestDspUpdate, 1);
    EXPECT_EQ(c.battType, 3);
    EXPECT_FALSE(c.transmitUser);
    EXPECT_FALSE(isTransmitEnabled());
    // Every one of the fifteen keys survives the round trip.
    ASSERT_EQ(saveDaemonConfig(), 1);
    EXPECT_EQ(configText(), before);
}

TEST_F(LoadConfig, EmptyWantedVersionBecomesTheDefault) {
    writeConfig("{ \"dspWantedVersion\": \"\" }");
    loadDaemonConfig();
    EXPECT_STREQ(getDspWantedVersion(), "V1.00.34");
    EXPECT_NE(configText().find("\"dspWantedVersion\": \"V1.00.34\""), std::string::npos);
}

TEST_F(LoadConfig, EmptyFileIsRewrittenFromStartValuesAndCellularStaysOff) {
    writeConfig("");
    loadDaemonConfig();
    EXPECT_FALSE(isCellularEnabled());
    EXPECT_EQ(configText(),
              "{ \"powerOnTime\": 0, \"tempUnit\": \"\", \"firstSyncHour\": 0, "
              "\"firstSyncMin\": 0, \"syncFreq\": 0, \"battType\": 0, \"s3token\": \"\", "
              "\"host\": \"\", \"requestUpdateReset\": 0, \"dspVersion\": \"\", "
              "\"dspWantedVersion\": \"\", \"requestDspUpdate\": 0, "
              "\"uploadPictureCount\": 0, \"transmitUser\": false, \"transmitAuto\": false }");
}

TEST_F(LoadConfig, NoFileSetsTheWantedVersionAllowsTransmissionAndWritesNothing) {
    loadDaemonConfig();
    EXPECT_STREQ(getDspWantedVersion(), "V1.00.34");
    // Unknown is not "off": pictures in TRANSMIT are announced, not deleted.
    EXPECT_TRUE(isTransmitEnabled());
    EXPECT_FALSE(isCellularEnabled());
    EXPECT_EQ(daemonConfig().syncFreq, 0);
    EXPECT_FALSE(root.exists("/etc/trailnetd_conf.json"));
}

TEST_F(LoadConfig, LineThatDoesNotParseCountsAsNoKeys) {
    writeConfig("{ \"syncFreq\": 3, \"s3tok");
    loadDaemonConfig();
    EXPECT_TRUE(isCellularEnabled());
    EXPECT_EQ(daemonConfig().syncFreq, 6);
    EXPECT_STREQ(daemonConfig().tempUnit, "F");
}

// ---- request files on the card ----

const char* const kReqCellular = "{\"config\": {\"cellular\": true, \"transmitFreq\": 4}}\n";
const char* const kReqPersistent = "{\"config\": {\"transmitFreq\": 2, \"temperatureUnit\": \"C\"}}";

TEST_F(LoadConfig, OneShotRequestIsAppliedOnceAndDeleted) {
    root.write("/media/sdcard/CONFIG.REQ", kReqCellular);
    loadDaemonConfig();
    EXPECT_TRUE(isCellularEnabled());
    EXPECT_EQ(daemonConfig().syncFreq, 4);
    EXPECT_FALSE(root.exists("/media/sdcard/CONFIG.REQ"));
    // Without a configuration file, the request's save creates it.
    EXPECT_NE(configText().find("\"syncFreq\": 4"), std::string::npos);
    EXPECT_TRUE(logHas("INFO: config: { \"cellular\": true, \"transmitFreq\": 4 }"));

    daemonConfig().syncFreq = 9;
    saveDaemonConfig();
    daemonConfig() = DaemonConfig{};
    loadDaemonConfig();
    EXPECT_EQ(daemonConfig().syncFreq, 9);
}

TEST_F(LoadConfig, PersistentRequestIsAppliedAtEveryStart) {
    root.write("/media/sdcard/CONFIGPR.REQ", kReqPersistent);
    for (int start = 0; start < 2; start++) {
        daemonConfig().syncFreq = 9;
        saveDaemonConfig();
        daemonConfig() = DaemonConfig{};
        loadDaemonConfig();
        EXPECT_EQ(daemonConfig().syncFreq, 2) << "start " << start;
        EXPECT_STREQ(daemonConfig().tempUnit, "C");
        EXPECT_TRUE(root.exists("/media/sdcard/CONFIGPR.REQ"));
    }
}

TEST_F(LoadConfig, OneShotRequestWinsOverPersistentOne) {
    root.write("/media/sdcard/CONFIG.REQ", kReqCellular);
    root.write("/media/sdcard/CONFIGPR.REQ", kReqPersistent);
    loadDaemonConfig();
    EXPECT_EQ(daemonConfig().syncFreq, 4);
    EXPECT_STRNE(daemonConfig().tempUnit, "C");
    EXPECT_FALSE(root.exists("/media/sdcard/CONFIG.REQ"));
    EXPECT_TRUE(root.exists("/media/sdcard/CONFIGPR.REQ"));
}

TEST_F(LoadConfig, RequestWithoutConfigObjectChangesNothing) {
    writeConfig("{ \"syncFreq\": 3 }");
    root.write("/media/sdcard/CONFIG.REQ", "{\"config\": 5}");
    loadDaemonConfig();
    EXPECT_EQ(daemonConfig().syncFreq, 3);
    EXPECT_FALSE(root.exists("/media/sdcard/CONFIG.REQ"));
}

TEST_F(LoadConfig, DspSettingsUnderTheRequestsNameStayOnTheCard) {
    // On FAT "config.req" (the DSP's settings, written after a sync that
    // read STATUS.REQ) and "CONFIG.REQ" are one file: at the next start it
    // is no request to apply and delete, it is the DSP's.
    const std::string settings = "{ \"batteryType\": \"AA\", \"tempUnit\": \"C\" }";
    root.write(root.cardKind() == sdcard::Kind::Folder ? "/media/sdcard/CONFIG.REQ"
                                                        : "/media/sdcard/config.req",
               settings);
    writeConfig("{ \"syncFreq\": 3 }");
    loadDaemonConfig();
    EXPECT_EQ(daemonConfig().syncFreq, 3);
    EXPECT_EQ(root.read("/media/sdcard/CONFIG.REQ"), settings);
    EXPECT_TRUE(logHas("CONFIG.REQ holds no configuration request, left in place"));
}

// ---- accessors ----

using ConfigAccessors = ConfigTree;

TEST_F(ConfigAccessors, UploadPictureCountStaysWithinFiveToFifty) {
    daemonConfig().uploadPictureCount = 20;
    raiseUploadPictureCount(47);
    EXPECT_EQ(getUploadPictureCount(), 50);
    daemonConfig().uploadPictureCount = 3;
    raiseUploadPictureCount(-10);
    EXPECT_EQ(getUploadPictureCount(), 5);
    daemonConfig().uploadPictureCount = 10;
    raiseUploadPictureCount(20);
    EXPECT_EQ(getUploadPictureCount(), 25);
    raiseUploadPictureCount(2147483647);  // no overflow past the top
    EXPECT_EQ(getUploadPictureCount(), 50);
    setUploadPictureCount(0);
    EXPECT_EQ(getUploadPictureCount(), 5);
    setUploadPictureCount(77);
    EXPECT_EQ(getUploadPictureCount(), 50);
}

TEST_F(ConfigAccessors, OverlongTokenAndHostAreRefusedKeepingOldValues) {
    std::string token64(64, 't');
    EXPECT_EQ(setS3Token(token64.c_str()), 1);
    EXPECT_EQ(setS3Token(std::string(65, 'x').c_str()), 0);
    char out[65];
    getS3Token(out);
    EXPECT_EQ(std::string(out), token64);
    EXPECT_TRUE(logHas("ERROR: config: API token longer than 64 characters refused"));

    std::string host256(252, 'h');
    host256 += ".net";
    EXPECT_EQ(setApiHost(host256.c_str()), 1);
    EXPECT_EQ(setApiHost((host256 + "x").c_str()), 0);
    EXPECT_EQ(std::string(daemonConfig().host), host256);
    EXPECT_TRUE(logHas("ERROR: config: API host longer than 256 characters refused"));

    // The same holds for values read from the file.
    writeConfig("{ \"s3token\": \"" + std::string(70, 'y') + "\", \"host\": \"" +
                std::string(300, 'z') + "\" }");
    loadDaemonConfig();
    getS3Token(out);
    EXPECT_EQ(std::string(out), token64);
    EXPECT_EQ(std::string(daemonConfig().host), host256);
}

TEST_F(ConfigAccessors, ApiHostFallsBackToDefaultAndFitsTheBuffer) {
    char buf[8];
    getApiHost(buf, sizeof buf);
    EXPECT_STREQ(buf, "api.tra");  // cut, terminated
    setApiHost("cloud.example.org");
    char full[300];
    getApiHost(full, sizeof full);
    EXPECT_STREQ(full, "cloud.example.org");
}

TEST_F(ConfigAccessors, PowerOnTimeUnsetMeansNow) {
    time_t before = time(nullptr);
    EXPECT_GE(getPowerOnTime(), before);
    setPowerOnTime(1700000000);
    EXPECT_EQ(getPowerOnTime(), 1700000000);
    EXPECT_NE(configText().find("\"powerOnTime\": 1700000000"), std::string::npos);
}

TEST_F(ConfigAccessors, VersionsAreCutToTheirFields) {
    std::string longVersion(40, '9');
    setDspVersion(longVersion.c_str());
    EXPECT_EQ(std::string(getDspVersion()), std::string(31, '9'));
    setDspWantedVersion(longVersion.c_str());
    EXPECT_EQ(std::string(getDspWantedVersion()), std::string(31, '9'));
}

// ---- power-safe writes ----

using SaveConfig = ConfigTree;

TEST_F(SaveConfig, FailedWriteIsReportedAndKeepsOldFile) {
    writeConfig("{ \"syncFreq\": 3 }");
    loadDaemonConfig();
    const std::string old = configText();
    // A folder where the temporary file would go: the write cannot happen.
    root.mkdirs("/etc/trailnetd_conf.json.tmp");
    daemonConfig().syncFreq = 5;
    EXPECT_EQ(saveDaemonConfig(), 0);
    EXPECT_EQ(configText(), old);
    EXPECT_EQ(daemonConfig().syncFreq, 5);  // memory stays valid
    EXPECT_TRUE(logHas("ERROR: config: could not save configuration file /etc/trailnetd_conf.json"));
}

TEST_F(SaveConfig, LeftoverTemporaryFileIsReplacedNotFollowed) {
    root.write("/etc/trailnetd_conf.json.tmp", "{ \"syncFr");  // from a cut-off save
    root.write("/tmp/victim", "keep");
    symlink(root.path("/tmp/victim").c_str(), root.path("/media/sdcard/config.dsp.tmp").c_str());
    daemonConfig().syncFreq = 4;
    ASSERT_EQ(saveDaemonConfig(), 1);
    EXPECT_FALSE(root.exists("/etc/trailnetd_conf.json.tmp"));
    EXPECT_NE(configText().find("\"syncFreq\": 4"), std::string::npos);

    root.write("/media/sdcard/STATUS.DSP", "{}");
    readDspStatus();
    ASSERT_EQ(writeDspConfig(), 1);
    EXPECT_EQ(root.read("/tmp/victim"), "keep");
}

// ---- a read-only /etc ----

TEST_F(SaveConfig, LinkedFileIsReplacedWhereItPointsAndTheLinkStays) {
    root.mkdirs("/usrdata");
    root.write("/usrdata/trailnetd_conf.json", "{ \"syncFreq\": 6 }");
    const std::string etc = root.path("/etc/trailnetd_conf.json");
    // Relative (as the module's image links it) and absolute targets.
    for (const std::string& target : {std::string("../usrdata/trailnetd_conf.json"),
                                      root.path("/usrdata/trailnetd_conf.json")}) {
        SCOPED_TRACE(target);
        unlink(etc.c_str());
        ASSERT_EQ(symlink(target.c_str(), etc.c_str()), 0);
        daemonConfig() = DaemonConfig{};
        loadDaemonConfig();  // reads through the link and saves back
        EXPECT_EQ(daemonConfig().syncFreq, 6);
        daemonConfig().battType = 2;
        ASSERT_EQ(saveDaemonConfig(), 1);
        struct stat st;
        ASSERT_EQ(lstat(etc.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_NE(root.read("/usrdata/trailnetd_conf.json").find("\"battType\": 2"), std::string::npos);
        EXPECT_FALSE(root.exists("/etc/trailnetd_conf.json.tmp"));
        EXPECT_FALSE(root.exists("/usrdata/trailnetd_conf.json.tmp"));
    }
    // A link to a file not there yet: the first save creates it.
    unlink(etc.c_str());
    ASSERT_EQ(symlink("../usrdata/new/conf.json", etc.c_str()), 0);
    root.mkdirs("/usrdata/new");
    ASSERT_EQ(saveDaemonConfig(), 1);
    EXPECT_NE(root.read("/usrdata/new/conf.json").find("\"battType\": 2"), std::string::npos);
}

// Makes `dir` read-only for this process: a read-only bind mount in a mount
// namespace of its own (root ignores permissions), or permissions otherwise.
// Empty on success, else why not.
std::string makeReadOnly(const std::string& dir) {
    if (geteuid() != 0) return chmod(dir.c_str(), 0555) == 0 ? "" : "chmod failed";
    if (unshare(CLONE_NEWNS) != 0) return "no mount namespace here";
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "cannot make mounts private";
    if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) return "bind mount refused";
    if (mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return "read-only remount refused";
    return "";
}

TEST_F(SaveConfig, ReadOnlyFolderFailsWithOneLineAndKeepsTheValuesInMemory) {
    writeConfig("{ \"syncFreq\": 3 }");
    loadDaemonConfig();
    const std::string old = configText();
    // In a child, so the namespace (and a failed save) ends with it. Exit 77: skipped.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string why = makeReadOnly(root.path("/etc"));
        if (!why.empty()) {
            root.write("/skip", why);
            _exit(77);
        }
        daemonConfig().syncFreq = 9;
        const int first = saveDaemonConfig();
        setPowerOnTime(1000);  // saves again, as the daemon does all along
        const bool kept = daemonConfig().syncFreq == 9 && getPowerOnTime() == 1000;
        _exit(first == 0 && kept ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    if (WEXITSTATUS(st) == 77) GTEST_SKIP() << "read-only /etc not possible here: " << root.read("/skip");
    EXPECT_EQ(WEXITSTATUS(st), 0) << "a save reported success, or the values in memory changed";
    EXPECT_EQ(configText(), old);
    const std::string line = "could not save configuration file /etc/trailnetd_conf.json: ";
    const std::string text = log();
    const size_t at = text.find(line);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.find(line, at + 1), std::string::npos) << "one line, not one per save:\n" << text;
    EXPECT_NE(text.find("Read-only file system; running on the values in memory", at), std::string::npos) << text;
}

}  // namespace
