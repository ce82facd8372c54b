// The real daemon against the modem simulator: identity at start, power-down,
// and a daemon that keeps answering the DSP when the modem side fails.
#include <gtest/gtest.h>

#include "../support/daemon_harness.h"
#include "modem_sim_fixture.h"

using harness::DaemonHarness;
using harness::Ms;

namespace {
const std::string kOk = "SP+OK\n";

struct ModemRig {
    DaemonHarness d{1, false};
    std::unique_ptr<ModemSim> sim;
    std::string oldPath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    explicit ModemRig(bool withSim = true) {
        d.root().mkdirs("/sys/power");
        if (withSim) {
            d.root().write("/scenario.json",
                           "{\"dm\":{\"imei\":\"861234567890123\",\"firmware\":\"EG91EXGAR08A05M1G_01.001.01.001\"}}");
            sim = std::make_unique<ModemSim>(d.root(), d.root().path("/scenario.json"));
        }
        // The daemon finds the simulator's pidof first.
        setenv("PATH", (d.root().path("/sim/bin") + ":" + oldPath).c_str(), 1);
    }
    ~ModemRig() { setenv("PATH", oldPath.c_str(), 1); }
};
}  // namespace

TEST(ModemE2E, IdentityAtStartThenPowerDown) {
    ModemRig rig;
    ASSERT_TRUE(rig.sim->ready());
    ASSERT_TRUE(rig.d.startAndWaitReady());
    EXPECT_TRUE(rig.d.waitForLog("INFO: sync: IMEI: 861234567890123"));
    EXPECT_TRUE(rig.d.waitForLog("INFO: Modem: Firmware: EG91EXGAR08A05M1G_01.001.01.001"));

    EXPECT_EQ(rig.d.command("SP+POWERDOWN", kOk), kOk);
    int status = -1;
    ASSERT_TRUE(rig.d.waitExit(Ms(15000), &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(rig.d.root().read("/sys/power/wake_lock"), "module_powerdown\n");
    EXPECT_NE(rig.d.calls().find("halt"), std::string::npos);
}

TEST(ModemE2E, ServiceDyingMidRequestLeavesTheImeiEmpty) {
    ModemRig rig;
    ASSERT_TRUE(rig.sim->ready());
    rig.sim->ctl("fault 0x2a0 die");
    ASSERT_TRUE(rig.d.startAndWaitReady());
    EXPECT_TRUE(rig.d.waitForLog("ERROR: sync: Get IMEI error: -19"));
    // The link is opened again for the next request.
    EXPECT_TRUE(rig.d.waitForLog("INFO: Modem: Firmware: EG91EXGAR08A05M1G_01.001.01.001"));
    EXPECT_NE(rig.d.command("SP+STATE", kOk), "");
}

TEST(ModemE2E, NoModemServiceStillAnswersTheDsp) {
    ModemRig rig(false);
    ASSERT_TRUE(rig.d.startAndWaitReady(Ms(60000)));  // ~10 s waiting for the service first
    EXPECT_TRUE(rig.d.waitForLog("ERROR: sync: Get IMEI error: 9"));
    EXPECT_NE(rig.d.command("SP+STATE", kOk), "");
}
