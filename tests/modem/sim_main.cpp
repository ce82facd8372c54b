#include <gtest/gtest.h>

#include <memory>

#include "sim_env.h"

namespace {
std::unique_ptr<ModemSim> gSim;

class SimEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        gSim = std::make_unique<ModemSim>();
        ASSERT_TRUE(gSim->ready()) << "modem simulator did not start";
    }
    void TearDown() override { gSim.reset(); }
};
}  // namespace

ModemSim& sim() { return *gSim; }

void resetScenario() {
    ModemSim& s = sim();
    s.ctl("fault clear");
    s.ctl("mcm start");
    s.ctl("manager start");
    s.ctl("set errors {}");
    s.ctl("set last_request {}");
    s.ctl("set dm {\"imei\":\"861234567890123\",\"firmware\":\"EG91EXGAR08A05M1G_01.001.01.001\",\"radio_mode\":1}");
    s.ctl("set manager.connect true");
    s.ctl("set manager.call {\"state\":0,\"profile\":3}");
    s.ctl("set manager.start_result 0");
    s.ctl("set mcm.unready 0");
    s.root().write("/tmp/.ql_manager_server.lock", "success\n");
    s.clearLogs();
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new SimEnvironment);
    return RUN_ALL_TESTS();
}
