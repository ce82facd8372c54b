// Device management wrappers and the identity read at start.
#include <gtest/gtest.h>

#include <atomic>

#include "cellular/ql_mcm_client.h"
#include "core/identity.h"
#include "modem/mcm_dm.h"
#include "sim_env.h"

namespace {
class Dm : public ::testing::Test {
protected:
    void SetUp() override {
        resetScenario();
        ASSERT_EQ(QL_MCM_DM_Client_Init(&h), 0);
        h = ql_mcm_handle();  // a second init leaves the output as it was
    }
    dm_client_handle_type h = 0;
};

// Written by the client's receive thread, read by the test.
std::atomic<int> gEvents{0};
std::atomic<int> gLastMode{-1};
void onDmEvent(dm_client_handle_type, int event, void* data, void*) {
    if (event == 0) gLastMode = *static_cast<int32_t*>(data);
    ++gEvents;
}
}  // namespace

TEST_F(Dm, SerialNumbersCopyOnlyValidParts) {
    QL_MCM_DM_SerialNumbers sn;
    memset(&sn, 0x5A, sizeof sn);  // what the caller cleared it to
    ASSERT_EQ(QL_MCM_DM_GetSerialNumbers(h, &sn), 0);
    EXPECT_EQ(sn.imei_valid, 1);
    EXPECT_STREQ(sn.imei, "861234567890123");
    EXPECT_EQ(sn.meid_valid, 0x5A);
    EXPECT_EQ(sim().get("last_request.0x2a0"), "\"00\"");
}

TEST_F(Dm, BadArgumentsSendNothing) {
    QL_MCM_DM_SerialNumbers sn{};
    EXPECT_EQ(QL_MCM_DM_GetSerialNumbers(0, &sn), -1);
    EXPECT_EQ(QL_MCM_DM_GetSerialNumbers(h, nullptr), -1);
    char rev[257];
    EXPECT_EQ(QL_MCM_DM_GetFirmware(0, rev), -1);
    EXPECT_EQ(sim().get("last_request.0x2a0"), "null");
    EXPECT_EQ(sim().get("last_request.0x2a1"), "null");
    EXPECT_NE(sim().apiLog().find("Parameter invalid.\th_dm:0,  serial_numbers:"), std::string::npos);
    EXPECT_EQ(QL_MCM_DM_GetAirplaneMode(h, nullptr), 4);
}

TEST_F(Dm, FirmwareFailureLeavesTheBufferUntouched) {
    char rev[257];
    ASSERT_EQ(QL_MCM_DM_GetFirmware(h, rev), 0);
    EXPECT_STREQ(rev, "EG91EXGAR08A05M1G_01.001.01.001");
    sim().ctl("set errors.0x2a1 {\"result\":1,\"error\":37}");
    memset(rev, 'x', sizeof rev);
    EXPECT_EQ(QL_MCM_DM_GetFirmware(h, rev), -19);
    EXPECT_EQ(rev[0], 'x');
    EXPECT_EQ(rev[256], 'x');
    EXPECT_NE(sim().apiLog().find("Failed to get device revid, rc=0, error=37"), std::string::npos);
}

TEST_F(Dm, BrokenAnswersBecomeErrors) {
    QL_MCM_DM_SerialNumbers sn{};
    for (const char* fault : {"short", "die", "corrupt"}) {
        sim().ctl(std::string("fault 0x2a0 ") + fault);
        EXPECT_EQ(QL_MCM_DM_GetSerialNumbers(h, &sn), -19) << fault;
    }
    // After the link broke, the next request reconnects.
    sim().ctl("fault clear");
    EXPECT_EQ(QL_MCM_DM_GetSerialNumbers(h, &sn), 0);
}

TEST_F(Dm, RadioMode) {
    int32_t mode = -1;
    ASSERT_EQ(QL_MCM_DM_GetAirplaneMode(h, &mode), 0);
    EXPECT_EQ(mode, 1);
    sim().ctl("set dm.radio_mode null");
    EXPECT_EQ(QL_MCM_DM_GetAirplaneMode(h, &mode), 0);
    EXPECT_EQ(mode, 3);

    EXPECT_EQ(QL_MCM_DM_SetAirplaneModeChgInd(h, 5), 0);
    EXPECT_EQ(sim().get("last_request.0x203"), "\"0101\"");
    gEvents = 0;
    mcmDmSetEventHandler(onDmEvent, nullptr);
    EXPECT_EQ(QL_MCM_DM_SetAirplaneMode(h, 4), 0);
    EXPECT_EQ(sim().get("last_request.0x202"), "\"04000000\"");
    ASSERT_TRUE(waitFor([] { return gEvents > 0; }));
    EXPECT_EQ(gLastMode, 4);
    EXPECT_TRUE(waitFor([] { return sim().apiLog().find("Radio mode changed to 4") != std::string::npos; }));
    // A short indication is not read past its end.
    sim().ctl("ind 0x204 01");
    mcmDmSetEventHandler(nullptr, nullptr);
    EXPECT_EQ(QL_MCM_DM_SetAirplaneModeChgInd(h, 0), 0);
    EXPECT_EQ(sim().get("last_request.0x203"), "\"0100\"");
}

TEST_F(Dm, IdentityAtStart) {
    readModemIdentity();
    EXPECT_STREQ(modemImei(), "861234567890123");
    EXPECT_STREQ(modemFirmware(), "EG91EXGAR08A05M1G_01.001.01.001");
    EXPECT_NE(sim().daemonLog().find("INFO: sync: IMEI: 861234567890123"), std::string::npos);

    // An IMEI without terminator in its 33 bytes is not taken.
    setModemImei("");
    sim().ctl("fault 0x2a0 garbage");
    readModemIdentity();
    EXPECT_STREQ(modemImei(), "");

    sim().ctl("fault clear");
    sim().ctl("set errors.0x2a0 {\"result\":1,\"error\":2}");
    sim().ctl("set errors.0x2a1 {\"result\":1,\"error\":2}");
    readModemIdentity();
    EXPECT_NE(sim().daemonLog().find("ERROR: sync: Get IMEI error: -19"), std::string::npos);
    EXPECT_NE(sim().daemonLog().find("ERROR: sync: Get device Rev ID error: -19"), std::string::npos);
}
