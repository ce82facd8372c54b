// Network wrappers against the simulator's network family.
#include <gtest/gtest.h>

#include <atomic>

#include "cellular/ql_mcm_client.h"
#include "modem/mcm_nw.h"
#include "sim_env.h"

namespace {
class Nw : public ::testing::Test {
protected:
    void SetUp() override {
        resetScenario();
        sim().ctl("set nw {\"reg\":{\"radio_tech\":14,\"mcc\":\"310\",\"mnc\":\"410\",\"cell_id\":1715004,"
                  "\"lac\":11039,\"tac\":11039},\"nitz\":\"26/12/07,22:15:00-20,0\"}");
        ASSERT_EQ(QL_MCM_NW_Client_Init(&h), 0);
        h = ql_mcm_handle();
    }
    nw_client_handle_type h = 0;
};

std::atomic<uint32_t> gBits{0};
std::atomic<int> gRsrp{0};
void onNwEvent(nw_client_handle_type, uint32_t bit, void* data, uint32_t len, void*) {
    if (bit == 4 && len == sizeof(McmNwSignal)) gRsrp = static_cast<McmNwSignal*>(data)->lte_rsrp;
    gBits |= bit;
}
}  // namespace

TEST_F(Nw, LteOnlySignalLeavesOtherFamiliesAsCleared) {
    EXPECT_EQ(QL_MCM_NW_GetSignalStrength(h, nullptr), 4);
    EXPECT_EQ(sim().get("last_request.0x507"), "null");
    ASSERT_EQ(sim().ctl("signal {\"lte\":{\"rssi\":-65,\"rsrq\":-10,\"rsrp\":-95,\"snr\":12}}"), "OK");
    QL_MCM_NW_Signal s;
    memset(&s, 0, sizeof s);
    ASSERT_EQ(QL_MCM_NW_GetSignalStrength(h, &s), 0);
    EXPECT_EQ(s.lte_valid, 1);
    EXPECT_EQ(s.gsm_valid, 0);
    EXPECT_EQ(s.lte_rsrp, -95);
    uint8_t bytes[44];
    memcpy(bytes, &s, sizeof bytes);
    EXPECT_EQ(static_cast<int16_t>(bytes[20] | bytes[21] << 8), -95);  // RSRP at offset 20
}

TEST_F(Nw, RegistrationAndItsFailure) {
    QL_MCM_NW_RegStatus r;
    memset(&r, 0, sizeof r);
    ASSERT_EQ(QL_MCM_NW_GetRegStatus(h, &r), 0);
    EXPECT_EQ(r.data_3gpp.valid, 1);
    EXPECT_EQ(r.data_3gpp.part.radio_tech, 14u);
    EXPECT_STREQ(r.data_3gpp.part.mcc, "310");
    EXPECT_EQ(r.data_3gpp.part.cell_id, 1715004u);
    EXPECT_EQ(r.data_3gpp.part.tac, 11039);
    EXPECT_EQ(r.voice_3gpp2.valid, 0);

    sim().ctl("set errors.0x502 {\"result\":1,\"error\":37}");
    memset(&r, 0x5A, sizeof r);
    EXPECT_EQ(QL_MCM_NW_GetRegStatus(h, &r), 37);
    EXPECT_EQ(r.data_3gpp.valid, 0x5A);
}

TEST_F(Nw, NitzCellAccessAndEventMask) {
    QL_MCM_NW_NitzTime t;
    memset(&t, 0, sizeof t);
    ASSERT_EQ(QL_MCM_NW_GetNitzTimeInfo(h, &t), 0);
    EXPECT_STREQ(t.time, "26/12/07,22:15:00-20,0");
    EXPECT_EQ(t.time[17], '-');

    uint32_t state = 77;
    ASSERT_EQ(QL_MCM_NW_GetCellAccessState(h, &state), 0);
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(QL_MCM_NW_GetCellAccessState(h, nullptr), 4);
    EXPECT_NE(sim().apiLog().find("Invalid param, pe_state is null"), std::string::npos);

    ASSERT_EQ(QL_MCM_NW_EventRegister(h, 0x05), 0);
    EXPECT_EQ(sim().get("last_request.0x50a"), "\"01010100010101000100\"");
    EXPECT_EQ(QL_MCM_NW_SetLowPowerMode(h, 7), 0);
    EXPECT_EQ(sim().get("last_request.0x505"), "\"01\"");
}

TEST_F(Nw, ScanIsBoundedAndOperatorNameCopied) {
    sim().ctl("set nw.scan_count 1000");
    auto list = std::make_unique<QL_MCM_NW_ScanList>();
    ASSERT_EQ(QL_MCM_NW_PerformScan(h, list.get()), 0);
    EXPECT_EQ(list->count, kMcmNwMaxScan);
    QL_MCM_NW_OperatorName name;
    ASSERT_EQ(QL_MCM_NW_GetOperatorName(h, &name), 0);
    EXPECT_STREQ(name.long_name, "Simulated Wireless");
    EXPECT_STREQ(name.short_name, "SimNet");
    QL_MCM_NW_Config cfg{1, 2};
    ASSERT_EQ(QL_MCM_NW_SetConfig(h, &cfg), 0);
    ASSERT_EQ(QL_MCM_NW_GetConfig(h, &cfg), 0);
    EXPECT_EQ(cfg.preferred, 0x10u);
}

TEST_F(Nw, SignalIndicationReachesTheHandler) {
    QL_MCM_NW_AddRxMsgHandler(h, onNwEvent, nullptr);
    gBits = 0;
    // Answer layout: header, then LTE valid at 24 and RSRP at 28 (-100 = 0xff9c).
    std::string hex(52 * 2, '0');
    hex.replace(24 * 2, 2, "01");
    hex.replace(28 * 2, 4, "9cff");
    sim().ctl("ind 0x50d " + hex);
    sim().ctl("ind 0x50e 02");  // short: only what arrived is used
    ASSERT_TRUE(waitFor([] { return (gBits.load() & 12u) == 12u; }));
    EXPECT_EQ(gRsrp.load(), -100);
    QL_MCM_NW_AddRxMsgHandler(h, nullptr, nullptr);
}
