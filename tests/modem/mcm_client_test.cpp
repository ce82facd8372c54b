// Client bootstrap: one libmcm connection shared by client types.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "cellular/ql_mcm_client.h"
#include "sim_env.h"

namespace {
std::mutex gMu;
std::vector<std::string> gCalls;
void record(const std::string& s) {
    std::lock_guard<std::mutex> lk(gMu);
    gCalls.push_back(s);
}
std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lk(gMu);
    return gCalls;
}
void simInd(mcm_client_handle_type, uint32_t id, void*, uint32_t) { record("sim:" + std::to_string(id)); }
void atInd(mcm_client_handle_type, uint32_t id, void*, uint32_t) { record("at:" + std::to_string(id)); }
void nwInd(mcm_client_handle_type, uint32_t id, void*, uint32_t) { record("nw:" + std::to_string(id)); }
void anyAsync(mcm_client_handle_type, uint32_t id, void*, uint32_t, void*) { record("async:" + std::to_string(id)); }

class McmClient : public ::testing::Test {
protected:
    void SetUp() override {
        resetScenario();
        {
            std::lock_guard<std::mutex> lk(gMu);
            gCalls.clear();
        }
    }
    void TearDown() override {
        for (int t = 0; t < kMcmClientTypes; ++t) QL_MCM_Client_Deinit(ql_mcm_handle(), t);
    }
};
}  // namespace

TEST_F(McmClient, SecondInitLeavesTheHandleUntouched) {
    mcm_client_handle_type h = 0;
    ASSERT_EQ(QL_MCM_Client_Init(&h, 5, nwInd, nullptr), 0);
    EXPECT_NE(h, 0u);
    mcm_client_handle_type again = 0xABCD;
    EXPECT_EQ(QL_MCM_Client_Init(&again, 5, nwInd, nullptr), 0);
    EXPECT_EQ(again, 0xABCDu);
    EXPECT_NE(sim().apiLog().find("Client 5 is already inited"), std::string::npos);
    // Type 5 needs no sub-service: no require-service request was sent.
    EXPECT_EQ(sim().get("last_request.0x800"), "null");
}

TEST_F(McmClient, InvalidTypeAndUnreadyService) {
    mcm_client_handle_type h = 0;
    EXPECT_EQ(QL_MCM_Client_Init(&h, 17, nullptr, nullptr), 4);
    EXPECT_EQ(QL_MCM_Client_Deinit(0, 17), 4);
    unlink(sim().root().path("/tmp/mcm_sim_service_ready.flag").c_str());
    sim().ctl("set mcm.unready 8");
    EXPECT_EQ(QL_MCM_Client_Init(&h, 11, simInd, nullptr), 9);
    EXPECT_NE(sim().apiLog().find("mcm service 8 is not ready"), std::string::npos);
    EXPECT_EQ(sim().get("last_request.0x800"), "\"0800\"");
}

TEST_F(McmClient, StartsTheServiceWhenItIsNotRunning) {
    ASSERT_EQ(sim().ctl("mcm stop"), "OK");
    mcm_client_handle_type h = 0;
    ASSERT_EQ(QL_MCM_Client_Init(&h, 2, nullptr, nullptr), 0);
    EXPECT_EQ(sim().get("mcm.running"), "true");
    EXPECT_NE(sim().apiLog().find("Init mcm client succeed"), std::string::npos);
}

TEST_F(McmClient, ReleasingSimWhileNetworkIsUpKeepsTheConnection) {
    mcm_client_handle_type h = 0;
    ASSERT_EQ(QL_MCM_Client_Init(&h, 11, simInd, nullptr), 0);
    ASSERT_EQ(QL_MCM_Client_Init(&h, 5, nwInd, nullptr), 0);
    EXPECT_EQ(QL_MCM_Client_Deinit(h, 11), 0);
    EXPECT_NE(sim().apiLog().find("mcm client is still alive, reference count : 1"), std::string::npos);
    EXPECT_EQ(ql_mcm_handle(), h);
    EXPECT_EQ(QL_MCM_Client_Deinit(h, 5), 0);
    EXPECT_EQ(ql_mcm_handle(), 0u);
    EXPECT_NE(sim().apiLog().find("is released"), std::string::npos);
}

TEST_F(McmClient, IndicationsAreRoutedByTheTable) {
    mcm_client_handle_type h = 0;
    ASSERT_EQ(QL_MCM_Client_Init(&h, 11, simInd, nullptr), 0);
    ASSERT_EQ(QL_MCM_Client_Init(&h, 6, atInd, nullptr), 0);
    ASSERT_EQ(QL_MCM_Client_Init(&h, 5, nwInd, nullptr), 0);
    sim().ctl("ind 0xb10 01000000");
    sim().ctl("ind 0xb11 01000000");
    sim().ctl("ind 0x427 00");
    sim().ctl("ind 0x999 00");
    sim().ctl("ind 0x50b 00");
    ASSERT_TRUE(waitFor([] { return calls().size() >= 4; }));
    std::vector<std::string> want = {"sim:" + std::to_string(0xB10), "at:" + std::to_string(0xB10),
                                     "sim:" + std::to_string(0xB11), "nw:" + std::to_string(0x50B)};
    EXPECT_EQ(calls(), want);
    EXPECT_NE(sim().apiLog().find("uhandled MSG : 0x999"), std::string::npos);
}

TEST_F(McmClient, AsyncAnswersGoToTheirFamilyAndFamily17IsDropped) {
    mcm_client_handle_type h = 0;
    ASSERT_EQ(QL_MCM_Client_Init(&h, 2, nullptr, anyAsync), 0);
    uint8_t req = 0;
    ASSERT_EQ(mcm_client_execute_command_async(h, 0x2A1, &req, 1, 268, reinterpret_cast<void*>(7)), 0u);
    ASSERT_TRUE(waitFor([] { return !calls().empty(); }));
    EXPECT_EQ(calls()[0], "async:" + std::to_string(0x2A1));
    ql_mcm_async_cb(h, 0x1105, nullptr, 0, nullptr);  // must not index past the table
    EXPECT_EQ(calls().size(), 1u);
}

TEST_F(McmClient, RequiredServiceAndEventRegistrations) {
    EXPECT_EQ(ql_mcm_sim_reg_events(), 9);  // no connection yet
    mcm_client_handle_type h = 0;
    ASSERT_EQ(QL_MCM_Client_Init(&h, 5, nwInd, nullptr), 0);
    EXPECT_EQ(ql_mcm_required_service_updown(h, 0, 8), -18);
    EXPECT_EQ(ql_mcm_required_service_updown(h, 2, 8), 3);
    sim().ctl("set errors.0x800 {\"result\":1,\"error\":3}");
    EXPECT_EQ(ql_mcm_required_service_updown(h, 1, 8), 9);
    EXPECT_EQ(ql_mcm_sms_reg_events(), 0);
    EXPECT_EQ(sim().get("last_request.0x706"), "\"0101\"");
    EXPECT_EQ(ql_mcm_voice_register_indication(), 0);
    EXPECT_EQ(sim().get("last_request.0x100b"), "\"0101010101010101000000000000\"");
}

TEST_F(McmClient, CallbacksDuringReleaseAreSafe) {
    // Indications keep arriving while the last type is released and the
    // connection closes; nothing may run on a freed client.
    for (int round = 0; round < 20; ++round) {
        mcm_client_handle_type h = 0;
        ASSERT_EQ(QL_MCM_Client_Init(&h, 11, simInd, nullptr), 0);
        for (int i = 0; i < 5; ++i) sim().ctl("ind 0xb11 00");
        QL_MCM_Client_Deinit(h, 11);
    }
    SUCCEED();
}
