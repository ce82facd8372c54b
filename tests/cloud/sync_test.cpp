// Whole sync runs in the test process against the cloud simulator.
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

#include "cloud/camapi.h"
#include "cloud/sync.h"
#include "cloud/uploads.h"
#include "cloud_fixture.h"

namespace {

class Sync : public CloudTest {
protected:
    std::string uploadedBytes(const std::string& name) {
        std::ifstream in(sim().uploaded(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // Names announced in a recorded camera PUT.
    static std::vector<std::string> announced(json_object* put) {
        std::vector<std::string> names;
        json_object* list = member(member(put, "json"), "uploads");
        for (size_t i = 0; i < json_object_array_length(list); i++)
            names.push_back(str(json_object_array_get_idx(list, i), "name"));
        return names;
    }
    static std::vector<std::string> keys(json_object* o) {
        std::vector<std::string> out;
        json_object_object_foreach(o, k, v) {
            (void)v;
            out.push_back(k);
        }
        return out;
    }
};

using Names = std::vector<std::string>;

TEST_F(Sync, TokenIsRequestedOnceThenReusedAndRenewedWhenRevoked) {
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(seen("/camapi/v3/token/861234567890123").size(), 1u);
    EXPECT_STREQ(daemonConfig().s3token, "tok-1");
    EXPECT_NE(logAt("Get token success"), std::string::npos);

    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(seen("/camapi/v3/token/").size(), 1u);
    auto puts = seen("/camapi/v3/camera/861234567890123");
    ASSERT_EQ(puts.size(), 2u);
    EXPECT_EQ(header(puts[1], "Authorization"), "Bearer tok-1");

    // 401 for an unknown token, 403 injected: either way the token is renewed.
    for (const char* scenario : {R"({"accept_tokens": []})",
                                 R"({"accept_tokens": ["old"], "faults": [{"method": "PUT",
                                     "path": "/camapi/v3/camera/", "kind": "status", "status": 403}]})"}) {
        sim().reset();
        sim().setScenario(scenario);
        snprintf(daemonConfig().s3token, sizeof daemonConfig().s3token, "old");
        EXPECT_EQ(runSync(0), 0) << scenario;
        auto all = seen("/camapi/");
        ASSERT_EQ(all.size(), 3u) << scenario;
        EXPECT_EQ(str(all[0], "method"), "PUT");
        EXPECT_EQ(str(all[1], "method"), "GET");
        EXPECT_EQ(header(all[2], "Authorization"), "Bearer tok-1");
        EXPECT_STREQ(daemonConfig().s3token, "tok-1");
    }
    EXPECT_NE(logAt("Reset token"), std::string::npos);
}

TEST_F(Sync, AnswerIsServedRequestsThenConfigThenUploads) {
    picture("a.jpg", 1000);
    sim().setScenario(R"({"answers": [{
        "requests": {"log": {"execute": true, "content": []},
                     "pictures": {"content": [{"name": "nowhere.jpg", "date": "d"}]},
                     "updateSim": {"execute": true, "content": 0},
                     "updateModem": {"execute": false, "content": []},
                     "update": {"execute": true, "content": []}},
        "config": {"transmitFreq": 4},
        "uploads": "auto"}]})");
    EXPECT_EQ(runSync(0), 0);
    std::vector<size_t> at = {logAt("INFO: request: [ ]"), logAt("Waiting 0 minutes for SIM update"),
                              logAt("Log request"), logAt("HD picture not available: nowhere.jpg (d)"),
                              logAt("config: { \"transmitFreq\": 4 }"), logAt("Picture to upload: 1")};
    for (size_t i = 0; i < at.size(); i++) ASSERT_NE(at[i], std::string::npos) << i;
    for (size_t i = 1; i < at.size(); i++) EXPECT_LT(at[i - 1], at[i]) << i;
    EXPECT_EQ(log().find("INFO: request:", at[0] + 1), std::string::npos);  // updateModem not executed
    EXPECT_FALSE(root.exists("/usrdata/cache/fota"));
    EXPECT_FALSE(inTransmit("a.jpg"));
}

TEST_F(Sync, FirstSyncAnnouncesTheNewestPictureInOnePut) {
    picture("old.jpg", 10, 1700000000);
    picture("new.jpg", 20, 1700000500);
    picture("mid.jpg", 30, 1700000200);
    EXPECT_EQ(runSync(1), 0);
    auto puts = seen("/camapi/v3/camera/");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(announced(puts[0]), Names{"new.jpg"});
    EXPECT_FALSE(inTransmit("new.jpg"));
    EXPECT_TRUE(inTransmit("old.jpg"));
    EXPECT_TRUE(inTransmit("mid.jpg"));
}

TEST_F(Sync, FollowUpPassesCarryTheNextBatchUntilTheFolderIsEmpty) {
    daemonConfig().uploadPictureCount = 5;
    std::vector<std::string> bytes;
    for (int i = 0; i < 12; i++)
        bytes.push_back(picture("p" + std::to_string(10 + i) + ".jpg", 5000 + 997 * i, 1700000000 + i));
    EXPECT_EQ(runSync(0), 0);
    auto puts = seen("/camapi/v3/camera/");
    ASSERT_EQ(puts.size(), 2u);
    EXPECT_EQ(announced(puts[0]), (Names{"p21.jpg", "p20.jpg", "p19.jpg", "p18.jpg", "p17.jpg"}));
    EXPECT_EQ(announced(puts[1]).size(), 7u);  // batch raised to 10, 7 left
    // Only the first body carries the status report.
    EXPECT_EQ(keys(member(puts[0], "json")), (Names{"status", "uploads"}));
    EXPECT_EQ(keys(member(puts[1], "json")), (Names{"uploads"}));
    for (int i = 0; i < 12; i++) {
        std::string name = "p" + std::to_string(10 + i) + ".jpg";
        EXPECT_FALSE(inTransmit(name)) << name;
        EXPECT_TRUE(uploadedBytes(name) == bytes[i]) << name;
    }
    EXPECT_EQ(daemonConfig().uploadPictureCount, 12);
    // The PUT and every upload of the run share one connection.
    std::string client = str(puts[0], "client");
    for (json_object* up : seen("/upload/")) EXPECT_EQ(str(up, "client"), client);
}

TEST_F(Sync, BatchSizeFollowsHowUploadsWent) {
    struct Case {
        int count, files, succeed, expected;
    } cases[] = {{10, 10, 10, 15}, {10, 10, 3, 5}, {48, 48, 48, 50}, {5, 0, 0, 5}};
    for (const Case& c : cases) {
        sim().reset();
        std::string faults = c.succeed < c.files
                                 ? R"({"faults": [{"path": "/upload/", "kind": "status", "status": 500,
                                       "skip": )" + std::to_string(c.succeed) + R"(, "times": -1}]})"
                                 : "{}";
        sim().setScenario(faults);
        daemonConfig().uploadPictureCount = c.count;
        JsonPtr slots(json_object_new_array());
        for (int i = 0; i < c.files; i++) {
            std::string name = "b" + std::to_string(i) + ".jpg";
            picture(name, 100 + i);
            json_object* s = json_object_new_object();
            json_object_object_add(s, "name", json_object_new_string(name.c_str()));
            json_object_object_add(s, "host", json_object_new_string(sim().base().c_str()));
            json_object_object_add(s, "path", json_object_new_string(("/upload/" + name).c_str()));
            json_object_object_add(s, "verb", json_object_new_string("PUT"));
            json_object_object_add(s, "size", json_object_new_int(100 + i));
            json_object_array_add(slots.get(), s);
        }
        ASSERT_TRUE(camApiInit());
        EXPECT_EQ(uploadPictures(slots.get()), c.succeed);
        camApiCleanup();
        EXPECT_EQ(daemonConfig().uploadPictureCount, c.expected) << c.count << "/" << c.succeed;
        // Refused pictures stay for a later sync.
        for (int i = 0; i < c.files; i++)
            EXPECT_EQ(inTransmit("b" + std::to_string(i) + ".jpg"), i >= c.succeed);
        std::filesystem::remove_all(root.path("/media/sdcard/TRANSMIT"));
        root.mkdirs("/media/sdcard/TRANSMIT");
    }
}

TEST_F(Sync, RefusedOrBrokenSlotsKeepTheirPictures) {
    picture("keep1.jpg", 100, 1700000003);
    picture("keep2.jpg", 200, 1700000002);
    picture("keep3.jpg", 300, 1700000001);
    root.write("/media/sdcard/outside.jpg", "precious");
    sim().setScenario(R"({"upload_status": 403, "answers": [{"uploads": [
        {"name": "keep1.jpg", "host": "{base}", "path": "/upload/keep1.jpg", "size": 100},
        {"name": "../outside.jpg", "host": "{base}", "path": "/upload/x", "verb": "PUT", "size": 8},
        {"name": "bad\nname", "host": "{base}", "path": "/upload/y", "verb": "PUT", "size": 1},
        {"name": "keep2.jpg", "host": "{base}", "path": "/upload/keep2.jpg", "verb": "PUT", "size": 99},
        {"name": "keep3.jpg", "host": "{base}", "path": "/upload/keep3.jpg", "verb": "PUT", "size": 300}
    ]}]})");
    EXPECT_EQ(runSync(0), 0);
    for (const char* name : {"keep1.jpg", "keep2.jpg", "keep3.jpg"}) EXPECT_TRUE(inTransmit(name));
    EXPECT_EQ(root.read("/media/sdcard/outside.jpg"), "precious");
    auto ups = seen("/upload/");
    ASSERT_EQ(ups.size(), 1u);  // only keep3 was sent, and refused with 403
    EXPECT_EQ(json_object_get_int(member(ups[0], "status")), 403);
    EXPECT_NE(logAt("File transfer failed: HTTP 403"), std::string::npos);
    EXPECT_NE(logAt("Refused upload slot name: ../outside.jpg"), std::string::npos);
    EXPECT_NE(logAt("Refused upload slot name: bad?name"), std::string::npos);
    EXPECT_EQ(seen("/camapi/v3/camera/").size(), 1u);  // nothing uploaded: no follow-up
    EXPECT_EQ(daemonConfig().uploadPictureCount, 5);
}

TEST_F(Sync, CameraOutOfTheBoxAnnouncesItsPicturesInsteadOfDeletingThem) {
    // No configuration file; a CONFIG.REQ switches cellular work on.
    daemonConfig() = DaemonConfig{};
    root.write("/media/sdcard/CONFIG.REQ",
               R"({"config": {"cellular": true, "ssl": {"host": ")" + sim().hostPort() + R"("}}})");
    loadDaemonConfig();
    ASSERT_TRUE(isCellularEnabled());
    picture("a.jpg", 10, 1700000000);
    picture("b.jpg", 20, 1700000100);
    EXPECT_EQ(runSync(0), 0);
    auto puts = seen("/camapi/v3/camera/");
    ASSERT_GE(puts.size(), 1u);
    EXPECT_EQ(announced(puts[0]), (Names{"b.jpg", "a.jpg"}));
    for (const char* name : {"a.jpg", "b.jpg"})
        EXPECT_TRUE(inTransmit(name) || std::filesystem::exists(sim().uploaded(name))) << name << " lost unsent";
    setCellularEnabled(false);
}

TEST_F(Sync, TransmitFolderHousekeeping) {
    picture("empty.jpg", 0);
    picture("a.jpg", 10);
    root.mkdirs("/media/sdcard/TRANSMIT/sub");
    JsonPtr body(json_object_new_object());
    EXPECT_EQ(addUploadList(body.get(), 0), 1);
    EXPECT_STREQ(json_object_to_json_string(body.get()), R"({ "uploads": [ { "name": "a.jpg", "size": 10 } ] })");
    EXPECT_FALSE(inTransmit("empty.jpg"));
    EXPECT_TRUE(inTransmit("sub"));

    // Not permitted to transmit: pictures of the batch are dropped.
    daemonConfig().transmitAuto = false;
    JsonPtr body2(json_object_new_object());
    EXPECT_EQ(addUploadList(body2.get(), 0), -2);
    EXPECT_FALSE(inTransmit("a.jpg"));
    EXPECT_EQ(json_object_object_length(body2.get()), 0);

    // Read-only card or no folder: nothing is touched.
    daemonConfig().transmitAuto = true;
    picture("b.jpg", 10);
    root.mountCard(2);
    EXPECT_EQ(addUploadList(body2.get(), 0), -1);
    EXPECT_TRUE(inTransmit("b.jpg"));
    root.mountCard(1);
    std::filesystem::remove_all(root.path("/media/sdcard/TRANSMIT"));
    EXPECT_EQ(addUploadList(body2.get(), 0), -1);
    EXPECT_NE(logAt("Unable to access transmit folder"), std::string::npos);
}

TEST(ListDirectory, SortsNewestFirstBeforeTheLimit) {
    RootTree root;
    std::string dir = root.path("/media/sdcard/");
    struct F {
        const char* name;
        time_t mtime;
    } files[] = {{"b", 100}, {"c", 300}, {"a", 300}, {"d", 200}};
    for (const F& f : files) {
        root.write(std::string("/media/sdcard/") + f.name, "x");
        struct utimbuf t = {f.mtime, f.mtime};
        utime((dir + f.name).c_str(), &t);
    }
    DirEntry* entries = nullptr;
    int count = -1;
    ASSERT_EQ(listDirectory(dir.c_str(), &entries, &count, 3, newestFirst), 0);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(entries[0].name, "c");
    EXPECT_STREQ(entries[1].name, "a");
    EXPECT_STREQ(entries[2].name, "d");
    EXPECT_EQ(entries[0].mtime, 300);
    free(entries);
    EXPECT_EQ(listDirectory(nullptr, &entries, &count, 0, newestFirst), -1);
    EXPECT_EQ(listDirectory(dir.c_str(), &entries, &count, 0, nullptr), -1);
    EXPECT_EQ(listDirectory((dir + "nope/").c_str(), &entries, &count, 0, newestFirst), -1);
}

TEST(ListDirectory, TheLimitKeepsTheFirstOfTheWholeOrder) {
    RootTree root;
    std::string dir = root.path("/media/sdcard/");
    // Many equal times, so the names decide as often as the times.
    std::mt19937 draw(33);
    for (int i = 0; i < 200; i++) {
        std::string name = "P" + std::to_string(draw() % 100000) + ".JPG";
        root.write("/media/sdcard/" + name, "x");
        time_t t = 1700000000 + 2 * static_cast<time_t>(draw() % 40);
        struct utimbuf ut = {t, t};
        utime((dir + name).c_str(), &ut);
    }
    DirEntry* all = nullptr;
    int total = 0;
    ASSERT_EQ(listDirectory(dir.c_str(), &all, &total, 0, newestFirst), 0);
    std::unique_ptr<DirEntry, decltype(&free)> ownedAll(all, &free);
    ASSERT_GT(total, 150);
    for (int i = 1; i < total; i++) ASSERT_LT(newestFirst(&all[i - 1], &all[i]), 0) << i;
    for (int limit : {1, 5, 50, total - 1, total, total + 7}) {
        DirEntry* some = nullptr;
        int count = 0;
        ASSERT_EQ(listDirectory(dir.c_str(), &some, &count, limit, newestFirst), 0);
        std::unique_ptr<DirEntry, decltype(&free)> owned(some, &free);
        ASSERT_EQ(count, std::min(limit, total));
        for (int i = 0; i < count; i++) {
            EXPECT_STREQ(some[i].name, all[i].name) << "limit " << limit << " at " << i;
            EXPECT_EQ(some[i].mtime, all[i].mtime);
        }
    }
}

// A backlog is listed on every pass of a sync; each picture must be examined
// once, or the folder's linear lookups on FAT cost the square of the backlog.
TEST_F(Sync, ABacklogIsExaminedOncePerPictureAndGoesNewestFirst) {
    daemonConfig().uploadPictureCount = 5;
    const int n = 60;
    Names newestFirstNames;
    for (int i = 0; i < n; i++) {
        std::string name = "PICT" + std::to_string(1000 + i) + ".JPG";
        picture(name, 50 + i, 1700000000 + 2 * i);
        newestFirstNames.insert(newestFirstNames.begin(), name);
    }
    scanCounts() = ScanCounts{};
    EXPECT_EQ(runSync(0), 0);
    auto puts = seen("/camapi/v3/camera/");
    Names sent;
    for (json_object* put : puts)
        for (const std::string& name : announced(put)) sent.push_back(name);
    EXPECT_EQ(sent, newestFirstNames);
    EXPECT_EQ(puts.size(), 5u);  // batches of 5, 10, 15, 20 and the last 10: the rules are kept
    EXPECT_EQ(scanCounts().examined, n);
    // Every pass still reads the folder: a picture taken meanwhile goes first.
    EXPECT_EQ(scanCounts().entries, n + 55 + 45 + 30 + 10);
}

TEST_F(Sync, APictureTakenDuringASyncGoesInTheNextPass) {
    daemonConfig().uploadPictureCount = 5;
    for (int i = 0; i < 8; i++) picture("OLD" + std::to_string(i) + ".JPG", 20, 1700000000 + 2 * i);
    beginTransmitScan();
    JsonPtr first(json_object_new_object());
    ASSERT_EQ(addUploadList(first.get(), 0), 1);
    picture("NEW.JPG", 20, 1700009000);
    picture("OLD7.JPG", 30, 1700000014);  // rewritten under its name: examined anew for its size
    JsonPtr second(json_object_new_object());
    ASSERT_EQ(addUploadList(second.get(), 0), 1);
    endTransmitScan();
    json_object* list = member(second.get(), "uploads");
    ASSERT_EQ(json_object_array_length(list), 5u);
    EXPECT_EQ(str(json_object_array_get_idx(list, 0), "name"), "NEW.JPG");
    EXPECT_EQ(str(json_object_array_get_idx(list, 1), "name"), "OLD7.JPG");
    EXPECT_EQ(json_object_get_int(member(json_object_array_get_idx(list, 1), "size")), 30);
}

TEST(SlotNames, OnlyPlainFileNames) {
    for (const char* ok : {"PICT0001.JPG", "a b.jpg", "..jpg", "x..y"}) EXPECT_TRUE(isPlainFileName(ok)) << ok;
    for (const char* bad : {"", ".", "..", "../x", "a/b", "/abs", "a\\b", "tab\tname", "del\x7f"})
        EXPECT_FALSE(isPlainFileName(bad)) << bad;
}

TEST_F(Sync, AcknowledgementsGoOutOnceInOneRequestsObject) {
    daemonConfig().requestUpdateReset = REQ_RESET_UPDATE | REQ_RESET_LOG;
    EXPECT_EQ(runSync(0), 0);
    auto puts = seen("/camapi/v3/camera/");
    ASSERT_EQ(puts.size(), 1u);
    json_object* requests = member(member(puts[0], "json"), "requests");
    EXPECT_STREQ(json_object_to_json_string(requests),
                 R"({ "update": { "execute": false }, "log": { "execute": false } })");
    EXPECT_EQ(getRequestUpdateReset(), 0);
    EXPECT_NE(root.read("/etc/trailnetd_conf.json").find("\"requestUpdateReset\": 0,"), std::string::npos)
        << root.read("/etc/trailnetd_conf.json");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(member(member(seen("/camapi/v3/camera/")[1], "json"), "requests"), nullptr);
}

// A PUT that fails must not take its acknowledgements with it: the cloud
// would repeat the request (a modem download, a reboot into recovery).
TEST_F(Sync, AcknowledgementStaysUntilAPutCarryingItSucceeded) {
    snprintf(daemonConfig().s3token, sizeof daemonConfig().s3token, "tok-x");
    daemonConfig().requestUpdateReset = REQ_RESET_UPDATE_MODEM | REQ_RESET_LOG;
    sim().setScenario(R"({"accept_tokens": ["tok-x"], "faults": [{"method": "PUT",
        "path": "/camapi/v3/camera/", "kind": "status", "status": 500, "times": 1}]})");
    EXPECT_EQ(runSync(0), 0);
    auto puts = seen("/camapi/v3/camera/");
    ASSERT_EQ(puts.size(), 2u);
    for (auto* put : puts)
        EXPECT_STREQ(json_object_to_json_string(member(member(put, "json"), "requests")),
                     R"({ "log": { "execute": false }, "updateModem": { "execute": false } })");
    EXPECT_EQ(getRequestUpdateReset(), 0);
}

// The TLS session of one sync is resumed by the next: one full handshake.
TEST_F(Sync, TheSecondSyncResumesTheTlsSession) {
    picture("A.JPG", 1000);
    EXPECT_EQ(runSync(0), 0);
    picture("B.JPG", 1000);
    EXPECT_EQ(runSync(0), 0);
    CloudSimJson conns;
    for (int i = 0; i < 3000; i++) {  // the server sees the closes a moment later
        conns = sim().connections();
        if (json_object_get_int(member(conns.get(), "open")) == 0) break;
        usleep(10000);
    }
    json_object* closed = member(conns.get(), "closed");
    int full = 0, resumed = 0;
    for (size_t i = 0; i < json_object_array_length(closed); i++) {
        std::string tls = str(json_object_array_get_idx(closed, i), "tls");
        full += tls == "full";
        resumed += tls == "resumed";
    }
    EXPECT_EQ(full, 1) << json_object_to_json_string(conns.get());
    EXPECT_GE(resumed, 1);
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// A cloud that keeps failing gets a handful of attempts with growing waits,
// and the DSP hears the keep-alive every second of them.
TEST_F(Sync, AFailingCloudGetsAFewAttemptsWithGrowingWaits) {
    snprintf(daemonConfig().s3token, sizeof daemonConfig().s3token, "tok-x");
    const char* storms[] = {
        R"({"accept_tokens": ["tok-x"], "faults": [{"method": "PUT",
            "path": "/camapi/v3/camera/", "kind": "status", "status": 500, "times": -1}]})",
        R"({"accept_tokens": ["tok-x"], "faults": [{"method": "PUT",
            "path": "/camapi/v3/camera/", "kind": "status", "status": 429, "times": -1}]})",
        R"({"accept_tokens": ["tok-x"], "faults": [{"method": "PUT",
            "path": "/camapi/v3/camera/", "kind": "drop", "times": -1}]})",
    };
    for (const char* storm : storms) {
        SCOPED_TRACE(storm);
        sim().reset();
        sim().setScenario(storm);
        root.write("/media/sdcard/log.txt", "");
        long sleptBefore = clock.slept();
        EXPECT_EQ(runSync(0), -1);
        size_t puts = seen("/camapi/v3/camera/").size();
        EXPECT_GE(puts, 6u);
        EXPECT_LE(puts, 8u);
        EXPECT_TRUE(seen("/camapi/v3/token/").empty());
        long slept = clock.slept() - sleptBefore;
        EXPECT_LE(slept, 180);
        std::string l = log();
        for (const char* w : {"Next attempt in 1 s", "Next attempt in 2 s", "Next attempt in 4 s",
                              "Next attempt in 32 s"})
            EXPECT_NE(l.find(w), std::string::npos) << w;
        EXPECT_GE(count(l, "Sent ACK"), static_cast<size_t>(slept));
        EXPECT_NE(l.find("past the sync's budget"), std::string::npos);
    }
    EXPECT_NE(logAt("Put camera failed: Server returned nothing"), std::string::npos);
}

TEST_F(Sync, RetryAfterIsHonouredWithinTheBudget) {
    snprintf(daemonConfig().s3token, sizeof daemonConfig().s3token, "tok-x");
    sim().setScenario(R"({"accept_tokens": ["tok-x"], "faults": [{"method": "PUT",
        "path": "/camapi/v3/camera/", "kind": "status", "status": 503, "retry_after": "7"}]})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(seen("/camapi/v3/camera/").size(), 2u);
    EXPECT_EQ(clock.slept(), 7);
    EXPECT_NE(logAt("Next attempt in 7 s"), std::string::npos);

    // A wait past what is left of the budget ends the sync at once.
    sim().reset();
    sim().setScenario(R"({"accept_tokens": ["tok-x"], "faults": [{"method": "PUT",
        "path": "/camapi/v3/camera/", "kind": "status", "status": 429, "retry_after": "3600"}]})");
    EXPECT_EQ(runSync(0), -1);
    EXPECT_EQ(seen("/camapi/v3/camera/").size(), 1u);
    EXPECT_EQ(clock.slept(), 7);
    EXPECT_NE(logAt("Next attempt in 3600 s is past the sync's budget"), std::string::npos);
}

TEST_F(Sync, ARevokedTokenIsRenewedAtOnceThenBacksOff) {
    snprintf(daemonConfig().s3token, sizeof daemonConfig().s3token, "revoked");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(clock.slept(), 0);  // the renewal waits for nothing
    EXPECT_EQ(seen("/camapi/v3/token/").size(), 1u);

    // A cloud that refuses every token is not asked 179 times.
    sim().reset();
    sim().setScenario(R"({"accept_tokens": [], "token": "never", "auth": true, "faults": [{"method": "PUT",
        "path": "/camapi/v3/camera/", "kind": "status", "status": 401, "times": -1}]})");
    EXPECT_EQ(runSync(0), -1);
    EXPECT_LE(seen("/camapi/v3/camera/").size(), 16u);
    EXPECT_GT(clock.slept(), 0);
}

// The camera PUT stalls: each attempt ends after its stall window or its cap,
// and the sync gives up within its budget (not one window per unit of it).
// Windows of a second or two stand for the module's 90 s: the clock counts
// each real second as 45.
TEST_F(Sync, AStalledCloudEndsWithinTheBudget) {
    camApiLimits().jsonStallSeconds = 1;
    camApiLimits().connectSeconds = 1;
    camApiLimits().capBaseSeconds = 2;
    clock.scale = 45;
    snprintf(daemonConfig().s3token, sizeof daemonConfig().s3token, "tok-x");
    sim().setScenario(R"({"accept_tokens": ["tok-x"], "faults": [{"method": "PUT",
        "path": "/camapi/v3/camera/", "kind": "stall", "seconds": 30, "times": -1}]})");
    EXPECT_EQ(runSync(0), -1);
    size_t puts = seen("/camapi/v3/camera/").size();
    EXPECT_GE(puts, 2u);
    EXPECT_LE(puts, 3u);
    EXPECT_NE(logAt("Put camera failed: Transfer slower than the floor rate: cut after 2 s"),
              std::string::npos);
}

TEST_F(Sync, AnswersThatAreNotUsable) {
    // Not JSON: an answer without members.
    sim().setScenario(R"({"answers": [{"raw": "<html>proxy</html>"}]})");
    picture("a.jpg", 10);
    EXPECT_EQ(runSync(0), 0);
    EXPECT_NE(logAt("Nothing to upload"), std::string::npos);
    EXPECT_TRUE(inTransmit("a.jpg"));

    // Over the size cap: the PUT fails, logged, and the next attempt goes on.
    sim().reset();
    snprintf(daemonConfig().s3token, sizeof daemonConfig().s3token, "tok-1");
    sim().setScenario(R"({"accept_tokens": ["tok-1"], "faults": [{"method": "PUT",
        "path": "/camapi/v3/camera/", "kind": "oversize", "size": 3000000}]})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_NE(logAt("Put camera failed: Answer larger than 1048576 bytes"), std::string::npos);
    EXPECT_EQ(seen("/camapi/v3/camera/").size(), 2u);
    EXPECT_FALSE(inTransmit("a.jpg"));
}

TEST_F(Sync, TokenAnswersWithoutAUsableToken) {
    sim().setScenario(R"({"token": "0123456789012345678901234567890123456789012345678901234567890123456789"})");
    char token[65] = {};
    ASSERT_TRUE(camApiInit());
    EXPECT_EQ(requestToken(token), -1);
    EXPECT_NE(logAt("Get token failed: token longer than 64 characters"), std::string::npos);
    sim().setScenario(R"({"faults": [{"path": "/camapi/v3/token/", "kind": "notjson"}]})");
    EXPECT_EQ(requestToken(token), -1);
    EXPECT_NE(logAt("Get token failed: -1"), std::string::npos);
    camApiCleanup();
    EXPECT_EQ(requestToken(token), -1);
    EXPECT_NE(logAt("Get token failed: Fatal CURL error"), std::string::npos);
    EXPECT_STREQ(daemonConfig().s3token, "");
}

}  // namespace
