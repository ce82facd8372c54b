// What the daemon answers the DSP is on the medium when the answer leaves:
// the card, /etc and /usrdata are power-cut cards (sim/card) that forget
// whatever was not flushed, and power goes right after the answer. A SIGKILL
// alone cannot show this, the page cache outlives the process.
#include <json-c/json.h>
#include <signal.h>

#include <string>

#include "support/daemon_harness.h"
#include "support/powercard.h"

namespace {

using harness::DaemonHarness;
using harness::Ms;

std::string lines(int n, const char* what) {
    std::string s;
    for (int i = 0; i < n; i++) s += "[2026-01-01 00:00:00]INFO: old: " + std::string(what) + "\r\n";
    return s;
}

class DurableAnswers : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = powercard::whyNot();
        if (!why.empty()) GTEST_SKIP() << why;
        // No modem service: the identity read fails at once with its flag.
        d.root().write("/tmp/mcm_service_ready.flag", "");
        d.addStandIn("sync", powercard::Cards::syncStandIn());
    }
    void TearDown() override {
        d.stop();
        cards.reset();
    }
    void mount() { cards.reset(new powercard::Cards(d.root())); }
    // Power goes now: the daemon dies with it, the cards keep what is durable.
    void powerCut() {
        if (d.running()) {
            ASSERT_TRUE(d.killTree());
        }
        cards->cut();
        cards->powerOn();
    }
    void start() { d.start(cards->env()); }
    bool startAndWaitReady() {
        start();
        return d.expect("RDY\r\n", Ms(40000));
    }

    DaemonHarness d;
    std::unique_ptr<powercard::Cards> cards;
};

const char kRequest[] =
    R"({"config": {"transmitFreq": 5, "cellular": false, "ssl": {"host": "cam7.example"}}})" "\n";

// The one-shot request is applied once: its deletion is durable before the
// daemon announces itself, and so is the configuration it led to.
TEST_F(DurableAnswers, ConfigRequestIsGoneForGoodOnceApplied) {
    d.root().write("/media/sdcard/CONFIG.REQ", kRequest);
    mount();
    ASSERT_TRUE(startAndWaitReady());
    powerCut();
    EXPECT_FALSE(d.root().exists("/media/sdcard/CONFIG.REQ"));
    EXPECT_NE(d.root().read("/etc/trailnetd_conf.json").find("cam7.example"), std::string::npos);
}

// The log trim at start renames the short log over the long one: the rename
// reaches the medium, so the lines written after it are not lost with it.
TEST_F(DurableAnswers, LogTrimAtStartKeepsTheLinesAfterIt) {
    d.root().write("/media/sdcard/CONFIG.REQ", kRequest);
    d.root().write("/media/sdcard/log.txt", lines(10500, "before"));
    mount();
    ASSERT_TRUE(startAndWaitReady());
    ASSERT_NE(d.command("SP+STATE", "SP+OK\n"), "");
    powerCut();
    std::string log = d.root().read("/media/sdcard/log.txt");
    EXPECT_NE(log.find("Sent OK"), std::string::npos);
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 10100);
    EXPECT_FALSE(d.root().exists("/media/sdcard/log.txt.trim"));
}

// CELL without the cellular side consumes STATUS.DSP; SYNC answers with the
// settings file; POWERDOWN leaves nothing behind unflushed for the halt.
TEST_F(DurableAnswers, CellSyncAndPowerdownAnswersAreOnTheMedium) {
    d.root().write("/media/sdcard/CONFIG.REQ", kRequest);
    d.root().write("/media/sdcard/STATUS.DSP",
                   R"({"memory": {"size": 31000, "used": 1200}, "batteries": 80})");
    mount();
    ASSERT_TRUE(startAndWaitReady());
    ASSERT_NE(d.command("SP+CELL", "SP+OK\n"), "");
    powerCut();
    EXPECT_FALSE(d.root().exists("/media/sdcard/STATUS.DSP")) << "a stale status read again";

    // Cellular off again for this start (a saved configuration turns it on).
    d.root().write("/media/sdcard/CONFIG.REQ", kRequest);
    d.root().write("/media/sdcard/STATUS.DSP", R"({"batteries": 70})");
    ASSERT_EQ((*cards)["/media/sdcard"].command("sync"), "ok");
    ASSERT_TRUE(startAndWaitReady());
    ASSERT_NE(d.command("SP+CELL", "SP+OK\n"), "");
    cards->reset();
    ASSERT_NE(d.command("SP+SYNC", "SP+OK\n"), "");
    printf("flushes of one SYNC: %ld fsync, %ld folder fsync, %ld sync, %ld bytes flushed\n",
           cards->total("fsync"), cards->total("fsyncdir"), cards->total("sync"),
           cards->total("flushed_bytes"));
    powerCut();
    json_object* settings = json_tokener_parse(d.root().read("/media/sdcard/config.dsp").c_str());
    EXPECT_NE(settings, nullptr) << "config.dsp not on the medium after SP+OK";
    json_object_put(settings);

    d.root().write("/media/sdcard/CONFIG.REQ", kRequest);
    ASSERT_EQ((*cards)["/media/sdcard"].command("sync"), "ok");
    ASSERT_TRUE(startAndWaitReady());
    cards->reset();
    ASSERT_NE(d.command("SP+POWERDOWN", "SP+OK\n"), "");
    int status = 0;
    ASSERT_TRUE(d.waitExit(Ms(20000), &status));
    for (const char* f : {"/media/sdcard", "/etc", "/usrdata"})
        EXPECT_EQ((*cards)[f].stat("pending"), 0) << f << " left unflushed at the halt";
    EXPECT_GE(cards->total("sync"), 1);
}

}  // namespace
