// Whole sync runs through the link simulator: slow, stalling and dropping
// links between the sync code and the cloud simulator.
#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "cloud/camapi.h"
#include "cloud/sync.h"
#include "cloud_fixture.h"
#include "support/linksim.h"

namespace {

class OverLink : public CloudTest {
protected:
    std::string uploadedBytes(const std::string& name) {
        std::ifstream in(sim().uploaded(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // The daemon's host setting names the relay once the link is up.
    void useHost() {
        snprintf(daemonConfig().host, sizeof daemonConfig().host, "%s", sim().hostPort().c_str());
    }
};

TEST_F(OverLink, PicturesCrossAThreeBarLinkWholeAndTheLinkCountsThem) {
    LinkSim link(sim(), "three-bars");
    useHost();
    std::string a = picture("A.JPG", 20000, 1700000001);
    std::string b = picture("B.JPG", 30000, 1700000002);
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(uploadedBytes("A.JPG"), a);
    EXPECT_EQ(uploadedBytes("B.JPG"), b);
    EXPECT_FALSE(inTransmit("A.JPG"));
    EXPECT_FALSE(inTransmit("B.JPG"));
    // Every API byte went over the link: the uploads and more (TLS, the PUTs).
    EXPECT_GT(link.counter("bytes_up"), 50000);
    EXPECT_GE(link.counter("connections"), 1);
    EXPECT_EQ(link.counter("resets"), 0);
}

// The old transport cut every upload at 60 s whatever it had sent. Here the
// stall window is 2 s and the upload takes several windows: it still
// arrives, because bytes keep moving.
TEST_F(OverLink, AnUploadLongerThanItsWindowCompletes) {
    camApiLimits().uploadStallSeconds = 2;
    camApiLimits().connectSeconds = 5;
    camApiLimits().capBaseSeconds = 5;
    LinkSim link(sim(), "lan", {"--set", "up_bps=48000", "--set", "delay_ms=100"});
    useHost();
    std::string a = picture("SLOW.JPG", 36000);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(runSync(0), 0);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(took, 6.0);  // 36 kB at 48 kbit/s: three windows at least
    EXPECT_EQ(uploadedBytes("SLOW.JPG"), a);
    EXPECT_FALSE(inTransmit("SLOW.JPG"));
}

// libcurl counts an upload's bytes as they enter the socket. With the
// kernel's own send buffer (on a slow link it holds many seconds of bytes)
// the picture went in at once and its tail then crossed the link with no
// progress to see: the stall window cut an upload the server was getting
// whole, and it was sent again at every sync. A bounded send queue drains
// within the window. (A 4 s window and a 15 s upload here; 60 s and a
// queue of 64 KiB, 11 s at one bar, in the field.)
TEST_F(OverLink, AnUploadWhoseTailIsStillOnTheLinkIsNotCutAsStalled) {
    camApiLimits().uploadStallSeconds = 4;
    camApiLimits().connectSeconds = 5;
    camApiLimits().sendBufferBytes = 8192;
    LinkSim link(sim(), "lan", {"--set", "up_bps=64000", "--set", "delay_ms=50", "--set", "buffer_bytes=2048"});
    useHost();
    std::string a = picture("TAIL.JPG", 120000);
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(uploadedBytes("TAIL.JPG"), a);
    EXPECT_FALSE(inTransmit("TAIL.JPG"));
    EXPECT_EQ(logAt("File transfer failed"), std::string::npos) << log();
}

// libcurl resends an upload on a fresh connection when the link drops it;
// its byte counters then start from zero. The overall cap grows with the
// most the transfer has shown, so the resend is not cut as "slower than the
// floor rate" the moment it starts.
TEST_F(OverLink, AResentUploadKeepsTheCapItHad) {
    camApiLimits().capBaseSeconds = 6;
    camApiLimits().connectSeconds = 2;
    camApiLimits().uploadStallSeconds = 4;
    LinkSim link(sim(), "lan", {"--set", "up_bps=64000", "--set", "buffer_bytes=2048"});
    useHost();
    camApiLimits().sendBufferBytes = 8192;
    std::string a = picture("RESENT.JPG", 80000);
    // Once, well into the picture and past the cap's base of 6 s (8 kB/s).
    EXPECT_EQ(link.command("drop after 64000").rfind("OK", 0), 0u);
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(logAt("slower than the floor rate"), std::string::npos) << log();
    EXPECT_EQ(uploadedBytes("RESENT.JPG"), a);
    EXPECT_FALSE(inTransmit("RESENT.JPG"));
}

// Waits (with a generous time-out) until the link carried `bytes` upward.
bool waitUp(LinkSim& link, long bytes) {
    for (int i = 0; i < 6000; i++) {
        if (link.counter("bytes_up") >= bytes) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(OverLink, AStallMidUploadEndsWithinItsWindowAndThePictureStays) {
    camApiLimits().uploadStallSeconds = 2;
    LinkSim link(sim(), "lan", {"--set", "up_bps=400000"});
    useHost();
    picture("STALL.JPG", 300000);
    auto sync = std::async(std::launch::async, [] { return runSync(0); });
    ASSERT_TRUE(waitUp(link, 60000));
    EXPECT_EQ(link.command("stall 600 up"), "OK");
    // Ends on the stall (window plus libcurl's few seconds of speed
    // averaging), not on any clock of minutes; generous for a busy machine.
    ASSERT_EQ(sync.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(sync.get(), 0);  // the PUT went through; the upload waits for the next sync
    EXPECT_TRUE(inTransmit("STALL.JPG"));
    EXPECT_NE(logAt("File transfer failed: Timeout was reached"), std::string::npos);
}

TEST_F(OverLink, ADropMidUploadKeepsThePictureAndTheNextSyncDeliversIt) {
    LinkSim link(sim(), "lan", {"--set", "up_bps=800000"});
    useHost();
    std::string a = picture("DROP.JPG", 120000);
    // Every connection is reset after 60 kB up: past the TLS handshake and
    // the camera PUT, well inside the picture (libcurl's own resend on a
    // fresh connection is reset too).
    EXPECT_TRUE(link.command("set drop_after_bytes 60000").rfind("OK", 0) == 0);
    EXPECT_EQ(runSync(0), 0);
    EXPECT_TRUE(inTransmit("DROP.JPG"));
    EXPECT_GE(link.counter("resets"), 1);
    EXPECT_NE(logAt("File transfer failed:"), std::string::npos) << log();
    EXPECT_TRUE(link.command("set drop_after_bytes 0").rfind("OK", 0) == 0);
    EXPECT_EQ(runSync(0), 0);
    EXPECT_FALSE(inTransmit("DROP.JPG"));
    EXPECT_EQ(uploadedBytes("DROP.JPG"), a);
}

// The network drops the data call mid-upload: the pass uploaded nothing,
// but that is an attempt that failed, not a sync that answers OK with the
// batch left for the next wake. The sync waits for the call and sends it.
TEST_F(OverLink, UploadsLostWithTheDataCallAreSentOnceTheCallIsBack) {
    LinkSim link(sim(), "lan", {"--set", "up_bps=400000"});
    useHost();
    std::string a = picture("CALL.JPG", 200000);
    // The call is back after 5 s of the sync's waiting, the link with it.
    int down = 0;
    clock.onSleep = [&] {
        if (cellularState().dataConnected.load() == 1 || ++down < 5) return;
        EXPECT_EQ(link.command("refuse 0").rfind("OK", 0), 0u);
        cellularState().dataConnected = 1;
    };
    auto sync = std::async(std::launch::async, [] { return runSync(0); });
    ASSERT_TRUE(waitUp(link, 60000));
    // As the handler sees the network's event, then the link goes.
    EXPECT_TRUE(cellularCallLost(cellularState()));
    EXPECT_EQ(link.command("refuse 600").rfind("OK", 0), 0u);
    EXPECT_EQ(link.command("drop").rfind("OK", 0), 0u);
    ASSERT_EQ(sync.wait_for(std::chrono::seconds(120)), std::future_status::ready);
    EXPECT_EQ(sync.get(), 0);
    EXPECT_EQ(down, 5);
    EXPECT_NE(logAt("Data call lost during the uploads, none went up"), std::string::npos) << log();
    EXPECT_FALSE(inTransmit("CALL.JPG"));
    EXPECT_TRUE(uploadedBytes("CALL.JPG") == a);
}

}  // namespace
