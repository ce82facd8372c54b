// Whole syncs against a cloud that misbehaves, a card that goes away and a
// data call that drops, in the test process. After every fault: no picture
// lost or changed, the configuration file whole, and a clean sync afterwards
// brings every picture up byte-identical.
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "cloud/cloud_fixture.h"
#include "cloud/sync.h"
#include "invariants.h"

namespace {

using Ms = std::chrono::milliseconds;

class CloudFaults : public CloudTest {
protected:
    void SetUp() override {
        CloudTest::SetUp();
        ASSERT_EQ(saveDaemonConfig(), 1);
    }

    void makePictures(int count, size_t baseSize) {
        for (int i = 0; i < count; i++) {
            char name[32];
            snprintf(name, sizeof name, "PICT%04d.JPG", next_++);
            // Older pictures first, so batches go out in a known order.
            made_[name] = picture(name, baseSize + 7919 * i, 1700000000 + next_);
        }
    }
    size_t check(const std::string& when) {
        robust::expectConfigWhole(root.path("/etc/trailnetd_conf.json"), when);
        return robust::expectNoPictureLost(made_, root.path("/media/sdcard/TRANSMIT"),
                                           sim().workdir() + "/uploads", when);
    }
    // Clean syncs until the folder is empty; every picture then is in the cloud.
    void drainWithCleanSyncs() {
        sim().setScenario("{}");
        for (int i = 0; i < 10 && check("before a clean sync") > 0; i++) EXPECT_EQ(runSync(0), 0);
        EXPECT_EQ(check("after the clean syncs"), 0u);
    }
    // Requests seen so far whose path starts with `prefix`.
    size_t count(const std::string& prefix) { return seen(prefix).size(); }
    // Waits (bounded) until the simulator saw `n` requests under `prefix`.
    bool waitForRequests(const std::string& prefix, size_t n, Ms timeout = Ms(60000)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (count(prefix) < n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(Ms(20));
        }
        return true;
    }

    robust::Pictures made_;
    int next_ = 1;
};

// Each entry: a fault scenario for one sync.
TEST_F(CloudFaults, EveryPictureSurvivesDropsErrorsGarbageAndOversizedAnswers) {
    daemonConfig().uploadPictureCount = 3;
    makePictures(9, 20000);
    const char* scenarios[] = {
        // The connection goes down under the first two uploads.
        R"({"faults": [{"path": "/upload/", "kind": "drop", "times": 2}]})",
        // The camera PUT: an error, then a gateway's HTML, then 2 MB of JSON,
        // then no answer at all. Each is retried within the sync's budget.
        R"({"faults": [{"method": "PUT", "path": "/camapi/v3/camera/", "kind": "status", "status": 500}]})",
        R"({"faults": [{"method": "PUT", "path": "/camapi/v3/camera/", "kind": "notjson"}]})",
        R"({"faults": [{"method": "PUT", "path": "/camapi/v3/camera/", "kind": "oversize", "size": 2097152}]})",
        R"({"faults": [{"method": "PUT", "path": "/camapi/v3/camera/", "kind": "drop"}]})",
        // Every upload refused: everything stays on the card.
        R"({"faults": [{"path": "/upload/", "kind": "status", "status": 500, "times": -1}]})",
        // Slots with the wrong size and names that leave the folder.
        R"({"answers": [{"uploads": [
            {"name": "PICT0009.JPG", "size": 1, "host": "{base}", "path": "/upload/PICT0009.JPG", "verb": "PUT"},
            {"name": "../../etc/trailnetd_conf.json", "size": 10, "host": "{base}", "path": "/upload/x", "verb": "PUT"},
            {"name": "..", "size": 0, "host": "{base}", "path": "/upload/y", "verb": "PUT"}]}]})",
        // The token endpoint answers garbage after the token was revoked.
        R"({"accept_tokens": [], "faults": [{"path": "/camapi/v3/token/", "kind": "notjson", "times": 3}]})",
    };
    for (const char* s : scenarios) {
        sim().setScenario(s);  // a reset would forget what the cloud received
        runSync(0);
        check(std::string("after ") + s);
        makePictures(1, 5000);
    }
    drainWithCleanSyncs();
}

TEST_F(CloudFaults, UploadStalledPastItsTimeoutKeepsThePicture) {
    makePictures(2, 30000);
    // A stall longer than the upload's window: the transfer is given up, not
    // the picture. The window is shortened (60 s in the field) so the run
    // takes seconds; the rule is the same.
    camApiLimits().uploadStallSeconds = 4;
    sim().setScenario(R"({"faults": [{"path": "/upload/", "kind": "stall", "seconds": 20}]})");
    EXPECT_EQ(runSync(0), 0);
    check("after the stalled upload");
    EXPECT_NE(log().find("File transfer failed"), std::string::npos);
    drainWithCleanSyncs();
}

// The card leaves the mount table while an upload hangs and comes back when
// the next upload starts.
TEST_F(CloudFaults, CardUnmountedAndBackDuringASync) {
    makePictures(4, 40000);
    // The hung upload holds the sync still while the test changes the card.
    sim().setScenario(R"({"faults": [{"path": "/upload/", "kind": "stall", "seconds": 4}]})");
    auto sync = std::async(std::launch::async, [] { return runSync(0); });
    ASSERT_TRUE(waitForRequests("/upload/", 1));
    root.mountCard(0);
    ASSERT_TRUE(waitForRequests("/upload/", 2));
    root.mountCard(1);
    sync.get();
    check("after the card came back");
    drainWithCleanSyncs();
}

// The card is pulled while an upload hangs: its files go with it. It comes
// back after the sync.
TEST_F(CloudFaults, CardPulledDuringASyncAndPutBack) {
    // The pull renames the card's folder away: a plain folder, not a mount.
    root.releaseCard();
    makePictures(4, 40000);
    // The hung upload holds the sync still while the test changes the card.
    sim().setScenario(R"({"faults": [{"path": "/upload/", "kind": "stall", "seconds": 4}]})");
    auto sync = std::async(std::launch::async, [] { return runSync(0); });
    ASSERT_TRUE(waitForRequests("/upload/", 1));
    root.mountCard(0);
    std::string card = root.path("/media/sdcard"), pulled = root.path("/pulled");
    ASSERT_EQ(rename(card.c_str(), pulled.c_str()), 0);
    mkdir(card.c_str(), 0755);  // the empty mount point stays
    sync.get();
    EXPECT_EQ(rmdir(card.c_str()), 0) << "the sync wrote onto the bare mount point";
    ASSERT_EQ(rename(pulled.c_str(), card.c_str()), 0);
    root.mountCard(1);
    check("after the card was put back");
    drainWithCleanSyncs();
}

// The data call drops while an upload hangs: the next camera PUT finds no
// link, the sync waits for the call to come back and then finishes.
TEST_F(CloudFaults, DataCallDropsMidSyncAndComesBack) {
    makePictures(4, 40000);
    daemonConfig().uploadPictureCount = 2;
    sim().setScenario(R"({"faults": [{"path": "/upload/", "kind": "stall", "seconds": 2}]})");
    auto sync = std::async(std::launch::async, [] { return runSync(0); });
    ASSERT_TRUE(waitForRequests("/upload/", 1));
    size_t puts = count("/camapi/v3/camera/");
    cellularState().dataConnected = 0;
    sim().setScenario(R"({"faults": [{"path": "/camapi/", "kind": "drop", "times": -1}]})");
    // Down until the sync has failed a camera PUT on the dead link.
    ASSERT_TRUE(waitForRequests("/camapi/v3/camera/", puts + 1));
    sim().setScenario("{}");
    cellularState().dataConnected = 1;
    EXPECT_EQ(sync.get(), 0);
    check("after the data call came back");
    drainWithCleanSyncs();
}

}  // namespace
