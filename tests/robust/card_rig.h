#pragma once
// The rig of the rounds that cut the power under the real trailnetd: the
// daemon with the modem and cloud simulators, its card, /etc and /usrdata on
// power-cut cards (sim/card) that forget what was not flushed.
#include <cstdlib>
#include <memory>
#include <string>

#include "../modem/modem_sim_fixture.h"
#include "support/cloudsim.h"
#include "support/daemon_harness.h"
#include "support/powercard.h"

namespace cardrig {

class CardRig : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = powercard::whyNot();
        if (!why.empty()) GTEST_SKIP() << why;
        oldPath_ = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
        d.root().mkdirs("/sys/power");
        d.root().mkdirs("/media/sdcard/TRANSMIT");
        d.root().write("/scenario.json", kGoodCoverageScenario);
        d.root().mkdirs("/home/root");
        prepareRoot();
        modem.reset(new ModemSim(d.root(), d.root().path("/scenario.json")));
        ASSERT_TRUE(modem->ready());
        cloud.reset(new CloudSim(d.root().path("/usrdata/cacert.pem")));
        setenv("PATH", (d.root().path("/sim/bin") + ":" + oldPath_).c_str(), 1);
        d.addStandIn("sync", powercard::Cards::syncStandIn());
        // What the root holds by now goes onto the cards' media.
        cards.reset(new powercard::Cards(d.root()));
    }
    void TearDown() override {
        if (HasFailure() && cards) printf("%s", cards->logs().c_str());
        beforeTearDown();
        d.stop();
        cards.reset();
        cloud.reset();
        modem.reset();
        if (!oldPath_.empty()) setenv("PATH", oldPath_.c_str(), 1);
    }
    // More of the module's files, written before the cards take the folders.
    virtual void prepareRoot() {}
    // Runs before the daemon is stopped and the cards go.
    virtual void beforeTearDown() {}

    void restartModem() {
        modem.reset();
        setenv("PATH", oldPath_.c_str(), 1);
        modem.reset(new ModemSim(d.root(), d.root().path("/scenario.json")));
        ASSERT_TRUE(modem->ready());
        // What it puts in /etc stands for the module's firmware: on the medium.
        (*cards)["/etc"].command("sync");
    }
    // What the DSP puts on the card is durable: it flushes its own writes.
    void dspWrites(const std::string& abs, const std::string& bytes) {
        d.root().write(abs, bytes);
        (*cards)["/media/sdcard"].command("sync");
    }

    harness::DaemonHarness d{1, false};
    std::unique_ptr<ModemSim> modem;
    std::unique_ptr<CloudSim> cloud;
    std::unique_ptr<powercard::Cards> cards;
    std::string oldPath_;
};

}  // namespace cardrig
