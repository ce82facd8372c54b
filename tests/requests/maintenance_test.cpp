// Update, modem update, SIM wait and log requests served through whole syncs.
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "../support/fixture_shell.h"
#include "requests_fixture.h"

namespace {

std::vector<unsigned> sleeps;
void recordSleep(unsigned seconds) { sleeps.push_back(seconds); }

class Maintenance : public RequestTest {
protected:
    void SetUp() override {
        RequestTest::SetUp();
        sleeps.clear();
        setSimWaitSleep(recordSleep);
    }
    // {"execute": true, "content": [slots]}
    static std::string request(const std::string& slots, bool execute = true) {
        return std::string(R"({"execute": )") + (execute ? "true" : "false") + R"(, "content": [)" + slots + "]}";
    }
    int bits() { return getRequestUpdateReset(); }
    // The acknowledgements the next camera PUT carries.
    std::string nextAcks() {
        sim().reset();
        serve("{}");
        auto puts = seen("/camapi/v3/camera/");
        if (puts.empty()) return "<no put>";
        json_object* requests = member(member(puts[0], "json"), "requests");
        return requests == nullptr ? "" : json_object_to_json_string_ext(requests, JSON_C_TO_STRING_PLAIN);
    }
    bool fotaEmpty() {
        auto dir = root.path("/usrdata/cache/fota");
        return std::filesystem::is_directory(dir) && std::filesystem::is_empty(dir);
    }
};

// ------------------------------------------------------------------ update

TEST_F(Maintenance, TwoDownloadedUpdatesFlipTheBitTwice) {
    sim().putFile("a.bin", "first");
    sim().putFile("b.bin", "second");
    serve(R"({"update": )" + request(slot("a.bin", "/files/a.bin", "GET") + "," + slot("b.bin", "/files/b.bin", "GET")) +
          "}");
    EXPECT_EQ(root.read("/usrdata/a.bin"), "first");
    EXPECT_EQ(root.read("/usrdata/b.bin"), "second");
    EXPECT_EQ(seen("/files/").size(), 2u);
    EXPECT_EQ(bits() & REQ_RESET_UPDATE, 0);
    EXPECT_EQ(nextAcks(), "");
}

TEST_F(Maintenance, DownloadedPackageIsInstalled) {
    // A package whose manifest forces the module part: one file for /usrdata/.
    std::string stage = root.path("/stage");
    root.mkdirs("/stage/bin");
    root.write("/stage/manifest.json", R"({"modem": {"version": "9.9.9", "forceUpdate": true}})");
    root.write("/stage/bin/app", "new app");
    std::string pkg = root.path("/pkg.tar.xz");
    ASSERT_EQ(fixtureShell(("tar -C '" + stage + "' -cJf '" + pkg + "' manifest.json bin/app").c_str()), 0);
    sim().putFile("update.tar.xz", root.read("/pkg.tar.xz"));

    serve(R"({"update": )" + request(slot("update.tar.xz", "/files/update.tar.xz", "GET")) + "}");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "new app");
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz"));  // the install removes it
    EXPECT_TRUE(logged("INFO: update: Update modem\r\n"));
    EXPECT_EQ(bits(), REQ_RESET_UPDATE);
    EXPECT_EQ(nextAcks(), R"({"update":{"execute":false}})");
}

TEST_F(Maintenance, FailedDownloadsLeaveTheBitAndAnyOldFileAlone) {
    root.write("/usrdata/cacert.keep", "old contents");
    std::string faults = R"("faults": [{"path": "/files/", "kind": "status", "status": 500, "times": 1}])";
    sim().putFile("cacert.keep", "new contents");
    sim().setScenario(R"({"auth": false, )" + faults + R"(, "answers": [{"uploads": null, "requests":
        {"update": )" + request(slot("cacert.keep", "/files/cacert.keep", "GET") + "," +
                                slot("missing.bin", "/files/missing.bin", "GET")) + "}}]}");
    char token[65] = "t";
    ASSERT_EQ(syncWithCloud(token, 0), 0);
    EXPECT_TRUE(logged("ERROR: update: File transfer failed: HTTP 500"));
    EXPECT_TRUE(logged("ERROR: update: File transfer failed: HTTP 404"));
    EXPECT_EQ(root.read("/usrdata/cacert.keep"), "old contents");
    EXPECT_FALSE(root.exists("/usrdata/missing.bin"));
    EXPECT_FALSE(root.exists("/usrdata/missing.bin.part"));
    EXPECT_FALSE(root.exists("/usrdata/cacert.keep.part"));
    EXPECT_EQ(bits(), 0);
    EXPECT_FALSE(logged("No update file found"));  // nothing was handed to the install
}

TEST_F(Maintenance, NotExecutedRequestsAreIgnored) {
    sim().putFile("a.bin", "x");
    serve(R"({"update": )" + request(slot("a.bin", "/files/a.bin", "GET"), false) +
          R"(, "updateModem": )" + request(slot("m.bin", "/files/a.bin", "GET"), false) +
          R"(, "updateSim": {"execute": false, "content": 5}, "log": )" +
          request(slot("log.txt", "/upload/log.txt"), false) + R"(, "update2": {"execute": true}})");
    EXPECT_TRUE(seen("/files/").empty());
    EXPECT_TRUE(seen("/upload/").empty());
    EXPECT_FALSE(logged("INFO: request:"));
    EXPECT_FALSE(logged("Log request"));
    EXPECT_FALSE(root.exists("/usrdata/cache/fota"));
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(bits(), 0);
}

TEST_F(Maintenance, HostileUpdateSlotNamesAreRefused) {
    sim().putFile("x", "#!/bin/sh\necho owned\n");
    const std::vector<std::string> hostile = {"../etc/init.d/x", "/etc/init.d/x", "..", "a/b", "x\\n"};
    std::string slots;
    for (const auto& name : hostile) {
        if (!slots.empty()) slots += ",";
        slots += slot(name, "/files/x", "GET");
    }
    serve(R"({"update": )" + request(slots) + "}");
    EXPECT_TRUE(seen("/files/").empty());
    EXPECT_FALSE(root.exists("/etc/init.d/x"));
    EXPECT_FALSE(root.exists("/usrdata/a"));
    EXPECT_TRUE(logged("ERROR: update: Refused update slot name: ../etc/init.d/x"));
    EXPECT_TRUE(logged("ERROR: update: Refused update slot name: x?\r\n"));
    EXPECT_EQ(bits(), 0);
}

// ------------------------------------------------------------ modem update

TEST_F(Maintenance, ModemPackageIsStoredThenTheModuleRebootsIntoRecovery) {
    root.mkdirs("/usrdata/cache/fota/old");
    root.write("/usrdata/cache/fota/old/stale", "s");
    root.write("/usrdata/cache/fota/.hidden", "h");
    sim().putFile("modem.bin", "modem firmware");
    serve(R"({"updateModem": )" + request(slot("whatever", "/files/modem.bin", "GET")) + "}");
    EXPECT_EQ(root.read("/usrdata/cache/fota/ipth_package.bin"), "modem firmware");
    EXPECT_FALSE(root.exists("/usrdata/cache/fota/old"));
    EXPECT_FALSE(root.exists("/usrdata/cache/fota/.hidden"));
    EXPECT_TRUE(logged("WARNING: updateModem: Update modem"));
    EXPECT_EQ(calls(), "sync " + root.path("/sys/bus/msm_subsys/devices/subsys1/restart_level") +
                           "\nsync \nsys_reboot recovery\n");
    EXPECT_EQ(bits(), REQ_RESET_UPDATE_MODEM);
    // Saved before the reboot.
    EXPECT_NE(root.read("/etc/trailnetd_conf.json").find("\"requestUpdateReset\": 4"), std::string::npos);
}

TEST_F(Maintenance, FailedModemDownloadLeavesAnEmptyFolderAndNoReboot) {
    root.mkdirs("/usrdata/cache/fota");
    root.write("/usrdata/cache/fota/ipth_package.bin", "previous");
    serve(R"({"updateModem": )" + request(slot("m", "/files/missing.bin", "GET")) + "}");
    EXPECT_TRUE(fotaEmpty());
    EXPECT_TRUE(logged("ERROR: updateModem: File transfer failed: HTTP 404"));
    EXPECT_EQ(calls(), "");
    EXPECT_EQ(bits(), 0);

    // An empty slot list still makes and empties the folder.
    std::filesystem::remove_all(root.path("/usrdata/cache"));
    serve(R"({"updateModem": )" + request("") + "}");
    EXPECT_TRUE(fotaEmpty());
}

// ------------------------------------------------- signed packages

// With an update key on the module: packages and their ".sig" slots.
class SignedRequests : public Maintenance {
protected:
    void SetUp() override {
        Maintenance::SetUp();
        root.mkdirs("/usrdata/update-keys");
        root.mkdirs("/keys");
        for (const char* k : {"maker", "other"}) {
            const std::string key = root.path(std::string("/keys/") + k + ".key");
            sh("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" + key +
               "' 2>/dev/null && openssl pkey -in '" + key + "' -pubout -out '" +
               root.path(std::string("/keys/") + k + ".pem") + "'");
        }
        sh("cp '" + root.path("/keys/maker.pem") + "' '" + root.path("/usrdata/update-keys/maker.pem") + "'");
    }
    static void sh(const std::string& cmd) { ASSERT_EQ(fixtureShell(cmd), 0) << cmd; }
    // Puts `bytes` on the simulator as `name`, and its signature by `key`
    // as `name`.sig.
    void publishSigned(const std::string& name, const std::string& bytes, const char* key = "maker") {
        root.write("/keys/file", bytes);
        sh("openssl dgst -sha256 -sign '" + root.path(std::string("/keys/") + key + ".key") + "' -out '" +
           root.path("/keys/file.sig") + "' '" + root.path("/keys/file") + "'");
        sim().putFile(name, bytes);
        sim().putFile(name + ".sig", root.read("/keys/file.sig"));
    }
    std::string modulePackage(const std::string& app) {
        root.mkdirs("/stage/bin");
        root.write("/stage/manifest.json", R"({"modem": {"version": "9.9.9", "forceUpdate": true}})");
        root.write("/stage/bin/app", app);
        sh("tar -C '" + root.path("/stage") + "' -cJf '" + root.path("/pkg.tar.xz") + "' manifest.json bin/app");
        return root.read("/pkg.tar.xz");
    }
};

TEST_F(SignedRequests, SignatureSlotMayFollowItsPackage) {
    publishSigned("update.tar.xz", modulePackage("signed app"));
    serve(R"({"update": )" +
          request(slot("update.tar.xz", "/files/update.tar.xz", "GET") + "," +
                  slot("update.tar.xz.sig", "/files/update.tar.xz.sig", "GET")) +
          "}");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "signed app");
    EXPECT_TRUE(logged("INFO: update: Update file signed by maker.pem"));
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz.sig"));
    EXPECT_EQ(bits(), REQ_RESET_UPDATE);  // the package's slot only
}

TEST_F(SignedRequests, UnsignedDownloadsInstallNothing) {
    // No signature slot: refused, and acknowledged like any package that
    // fails its checks.
    sim().putFile("update.tar.xz", modulePackage("unsigned"));
    serve(R"({"update": )" + request(slot("update.tar.xz", "/files/update.tar.xz", "GET")) + "}");
    EXPECT_FALSE(root.exists("/usrdata/bin/app"));
    EXPECT_TRUE(logged("ERROR: update: Update file refused (/usrdata/update.tar.xz): no signature"));
    EXPECT_EQ(bits(), REQ_RESET_UPDATE);
    toggleRequestUpdateReset(REQ_RESET_UPDATE);

    // Only a package and its signature may come: no other file lands in
    // /usrdata/ unsigned.
    sim().putFile("dsp_update.tar.xz", "anything");
    serve(R"({"update": )" + request(slot("dsp_update.tar.xz", "/files/dsp_update.tar.xz", "GET")) + "}");
    EXPECT_TRUE(logged("ERROR: update: Refused update slot name: dsp_update.tar.xz"));
    EXPECT_FALSE(root.exists("/usrdata/dsp_update.tar.xz"));

    // A signature that does not arrive: its package is not fetched, and the
    // request stays unacknowledged so the API asks again.
    sim().reset();
    sim().putFile("update.tar.gz", "package");
    serve(R"({"update": )" +
          request(slot("update.tar.gz", "/files/update.tar.gz", "GET") + "," +
                  slot("update.tar.gz.sig", "/files/missing.sig", "GET")) +
          "}");
    EXPECT_TRUE(logged("ERROR: update: Skipped update.tar.gz: its signature did not arrive"));
    EXPECT_TRUE(seen("/files/update.tar.gz").empty());
    EXPECT_EQ(bits(), 0);
}

TEST_F(SignedRequests, ModemPackageIsCheckedBeforeTheRebootIntoRecovery) {
    const std::string firmware = "modem firmware";
    const std::string slotPkg = slot("modem.bin", "/files/modem.bin", "GET");
    const std::string slotSig = slot("modem.bin.sig", "/files/modem.bin.sig", "GET");

    publishSigned("modem.bin", firmware, "other");
    for (const std::string& slots : {slotPkg, slotPkg + "," + slotSig}) {
        SCOPED_TRACE(slots);
        serve(R"({"updateModem": )" + request(slots) + "}");
        EXPECT_FALSE(root.exists("/usrdata/cache/fota/ipth_package.bin"));
        EXPECT_EQ(calls(), "");  // no reboot
        EXPECT_EQ(bits(), REQ_RESET_UPDATE_MODEM);
        toggleRequestUpdateReset(REQ_RESET_UPDATE_MODEM);
    }
    EXPECT_TRUE(logged("ERROR: updateModem: Modem package refused: no signature"));
    EXPECT_TRUE(logged("ERROR: updateModem: Modem package refused: signature does not match any update key"));

    publishSigned("modem.bin", firmware);
    serve(R"({"updateModem": )" + request(slotPkg + "," + slotSig) + "}");
    EXPECT_EQ(root.read("/usrdata/cache/fota/ipth_package.bin"), firmware);
    EXPECT_FALSE(root.exists("/usrdata/cache/ipth_package.bin.sig"));
    EXPECT_TRUE(logged("INFO: updateModem: Modem package signed by maker.pem"));
    EXPECT_NE(calls().find("sys_reboot recovery"), std::string::npos);
    EXPECT_EQ(bits(), REQ_RESET_UPDATE_MODEM);
}

// --------------------------------------------------------------- SIM wait

TEST_F(Maintenance, SimWaitSleepsAMinutePerMinuteThenFlipsItsBit) {
    serve(R"({"updateSim": {"execute": true, "content": 3}})");
    EXPECT_EQ(sleeps, (std::vector<unsigned>{60, 60, 60}));
    EXPECT_EQ(bits(), REQ_RESET_UPDATE_SIM);
    EXPECT_TRUE(logged("INFO: camapi: Waiting 3 minutes for SIM update"));
    EXPECT_EQ(nextAcks(), R"({"updateSim":{"execute":false}})");

    sleeps.clear();
    serve(R"({"updateSim": {"execute": true, "content": -4}})");
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(Maintenance, OverlongSimWaitIsCutToAnHour) {
    serve(R"({"updateSim": {"execute": true, "content": 100000}})");
    EXPECT_EQ(sleeps.size(), 60u);
    EXPECT_TRUE(logged("WARNING: camapi: SIM update wait of 100000 minutes cut to 60"));
    EXPECT_EQ(bits(), REQ_RESET_UPDATE_SIM);
}

// -------------------------------------------------------------------- log

TEST_F(Maintenance, LogSlotUploadsTheLogWithItsLengthAndKeepsIt) {
    logMessage("test", LOG_INFO, "before the request");
    serve(R"({"log": )" + request(slot("log.txt", "/upload/log.txt") + "," + slot("other.txt", "/upload/other")) +
          "}");
    std::string sent = uploadedBytes("log.txt");
    auto ups = seen("/upload/");
    ASSERT_EQ(ups.size(), 1u);
    EXPECT_EQ(header(ups[0], "Content-Length"), std::to_string(sent.size()));
    EXPECT_NE(sent.find("before the request"), std::string::npos);
    EXPECT_NE(sent.find("INFO: log: Log request"), std::string::npos);
    EXPECT_EQ(log().compare(0, sent.size(), sent), 0);  // kept, and only grown since
    EXPECT_FALSE(logged("other.txt"));  // skipped without a word
    EXPECT_EQ(bits(), REQ_RESET_LOG);
    EXPECT_EQ(nextAcks(), R"({"log":{"execute":false}})");
}

TEST_F(Maintenance, LogUploadFailuresAndMissingFilesKeepTheBit) {
    root.write("/media/sdcard/log.txt.1", "rotated");
    sim().setScenario(R"({"auth": false, "upload_status": 403, "answers": [{"uploads": null, "requests":
        {"log": )" + request(slot("log.txt.1", "/upload/log.txt.1") + "," + slot("log.txt.9", "/upload/x")) +
                      "}}]}");
    char token[65] = "t";
    ASSERT_EQ(syncWithCloud(token, 0), 0);
    EXPECT_TRUE(logged("ERROR: log: File transfer failed: HTTP 403"));
    EXPECT_TRUE(logged("ERROR: log: Failed to open file: " + root.path("/media/sdcard/log.txt.9")));
    EXPECT_EQ(bits(), 0);
}

TEST_F(Maintenance, HostileLogSlotNamesReadNothingOutsideTheCard) {
    root.releaseCard();  // FAT holds no links: a card that does is a folder here
    root.write("/etc/trailnetd_conf.json", "{\"s3token\": \"secret\"}");
    std::filesystem::create_symlink(root.path("/etc/trailnetd_conf.json"), root.path("/media/sdcard/log.txt.lnk"));
    root.mkdirs("/media/sdcard/log.txt.d");
    serve(R"({"log": )" +
          request(slot("log.txt/../../../etc/trailnetd_conf.json", "/upload/a") + "," +
                  slot("log.txt.lnk", "/upload/b") + "," + slot("log.txt.d", "/upload/c") + "," +
                  slot("../log.txt", "/upload/d")) +
          "}");
    EXPECT_TRUE(seen("/upload/").empty());
    EXPECT_TRUE(logged("ERROR: log: Refused log slot name: log.txt/../../../etc/trailnetd_conf.json"));
    EXPECT_TRUE(logged("ERROR: log: Failed to open file: " + root.path("/media/sdcard/log.txt.lnk")));
    EXPECT_EQ(bits(), 0);
}

}  // namespace
