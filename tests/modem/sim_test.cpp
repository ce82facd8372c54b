// SIM wrappers against the simulator's SIM family.
#include <gtest/gtest.h>

#include <atomic>

#include "cellular/ql_mcm_client.h"
#include "cellular/gpio.h"
#include "modem/mcm_sim.h"
#include "sim_env.h"

namespace {
const char* kIccid = "89014103211118510720";  // 20 characters

class Sim : public ::testing::Test {
protected:
    void SetUp() override {
        resetScenario();
        sim().ctl(std::string("set sim {\"active_slot\":0,\"slots\":[{\"iccid\":\"") + kIccid +
                  "\",\"imsi\":\"310410123456789\",\"phone\":\"+15551234567\",\"pin_state\":\"locked\"},"
                  "{\"iccid\":\"8944000000000000001\",\"imsi\":\"234150000000001\"}]}");
        ASSERT_EQ(QL_MCM_SIM_Client_Init(&h), 0);
        h = ql_mcm_handle();
    }
    void TearDown() override { QL_MCM_SIM_Client_Deinit(h); }
    sim_client_handle_type h = 0;
};

std::atomic<uint32_t> gEvent{0};
std::atomic<uint32_t> gCardState{0};
void onSimEvent(sim_client_handle_type, uint32_t event, void* data, void*) {
    if (data) gCardState = static_cast<QL_MCM_SIM_CardStatus*>(data)->card_state;
    gEvent = event;
}
}  // namespace

TEST_F(Sim, IccidNeedsRoomForItsTerminator) {
    char buf[22] = {};
    EXPECT_EQ(QL_MCM_SIM_GetICCID(h, MCM_SIM_SLOT_ID_1, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, kIccid);
    char small[20];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(QL_MCM_SIM_GetICCID(h, MCM_SIM_SLOT_ID_1, small, sizeof small), 5);
    EXPECT_EQ(small[0], 'x');
    EXPECT_EQ(sim().get("last_request.0xb01"), "\"010b0000\"");
}

TEST_F(Sim, ImsiFitsSixteenBytes) {
    QL_MCM_SIM_AppRecord app{MCM_SIM_SLOT_ID_1, MCM_SIM_APP_TYPE_3GPP};
    char buf[16] = {};
    EXPECT_EQ(QL_MCM_SIM_GetIMSI(h, &app, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "310410123456789");
    EXPECT_EQ(sim().get("last_request.0xb00"), "\"010b0000010b0000\"");
    sim().ctl("set sim.slots.0.imsi null");
    EXPECT_EQ(QL_MCM_SIM_GetIMSI(h, &app, buf, sizeof buf), 3);
    EXPECT_NE(sim().apiLog().find("Cannot get IMSI"), std::string::npos);
}

TEST_F(Sim, LengthFromTheServiceIsBounded) {
    sim().ctl("set sim.slots.0.iccid_length 4000");
    char buf[64];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(QL_MCM_SIM_GetICCID(h, MCM_SIM_SLOT_ID_1, buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf, 20), kIccid);
    EXPECT_EQ(buf[20], 'x');
    sim().ctl("set sim.plmn_count 1000");
    QL_MCM_SIM_PlmnList list{};
    EXPECT_EQ(QL_MCM_SIM_GetOperatorPlmnList(h, MCM_SIM_SLOT_ID_1, &list), 0);
    EXPECT_EQ(list.count, 24u);
    sim().ctl("set sim.file_length 5000");
    QL_MCM_SIM_FileRecord file{};
    QL_MCM_SIM_FileData data{};
    EXPECT_EQ(QL_MCM_SIM_ReadFile(h, &file, &data), 3);
}

TEST_F(Sim, CardStatusAndPin) {
    EXPECT_EQ(QL_MCM_SIM_GetCardStatus(h, MCM_SIM_SLOT_ID_1, nullptr), 4);
    EXPECT_EQ(sim().get("last_request.0xb0c"), "null");
    QL_MCM_SIM_CardStatus st{};
    ASSERT_EQ(QL_MCM_SIM_GetCardStatus(h, MCM_SIM_SLOT_ID_1, &st), 0);
    EXPECT_EQ(st.card_state, MCM_SIM_CARD_STATE_PRESENT);
    EXPECT_EQ(st.pin_state, MCM_SIM_PIN_STATE_ENABLED_NOT_VERIFIED);
    QL_MCM_SIM_PinRecord pin{MCM_SIM_SLOT_ID_1, MCM_SIM_APP_TYPE_3GPP, MCM_SIM_PIN_ID_1, 4, "0000"};
    EXPECT_EQ(QL_MCM_SIM_VerifyPIN(h, &pin), 12);
    memcpy(pin.pin, "1234", 4);
    EXPECT_EQ(QL_MCM_SIM_VerifyPIN(h, &pin), 0);
    ASSERT_EQ(QL_MCM_SIM_GetCardStatus(h, MCM_SIM_SLOT_ID_1, &st), 0);
    EXPECT_NE(st.pin_state, MCM_SIM_PIN_STATE_ENABLED_NOT_VERIFIED);
    pin.pin_len = 9;
    EXPECT_EQ(QL_MCM_SIM_VerifyPIN(h, &pin), 4);
}

TEST_F(Sim, ErrorWordWithZeroResultPassesOnlyForResultTestedMembers) {
    const char* err = "{\"result\":0,\"error\":5}";
    for (const char* id : {"0xb00", "0xb01", "0xb07", "0xb08", "0xb09", "0xb0a", "0xb0b", "0xb0c", "0xb02", "0xb0d"})
        sim().ctl(std::string("set errors.") + id + " " + err);
    QL_MCM_SIM_AppRecord app{MCM_SIM_SLOT_ID_1, MCM_SIM_APP_TYPE_3GPP};
    QL_MCM_SIM_PinRecord pin{MCM_SIM_SLOT_ID_1, MCM_SIM_APP_TYPE_3GPP, MCM_SIM_PIN_ID_1, 4, "1234"};
    QL_MCM_SIM_ChangePinRecord change{MCM_SIM_SLOT_ID_1, MCM_SIM_APP_TYPE_3GPP, MCM_SIM_PIN_ID_1, 4, "1234", 4, "4321"};
    char buf[32] = {};
    QL_MCM_SIM_CardStatus st{};
    QL_MCM_SIM_DepersoRecord deperso{};
    EXPECT_EQ(QL_MCM_SIM_GetIMSI(h, &app, buf, sizeof buf), 0);
    EXPECT_EQ(QL_MCM_SIM_GetICCID(h, MCM_SIM_SLOT_ID_1, buf, sizeof buf), 0);
    EXPECT_EQ(QL_MCM_SIM_VerifyPIN(h, &pin), 0);
    EXPECT_EQ(QL_MCM_SIM_ChangePin(h, &change), 0);
    EXPECT_EQ(QL_MCM_SIM_UnblockPIN(h, &change), 0);
    EXPECT_EQ(QL_MCM_SIM_EnablePIN(h, &pin), 0);
    EXPECT_EQ(QL_MCM_SIM_DisablePIN(h, &pin), 5);
    EXPECT_EQ(QL_MCM_SIM_GetCardStatus(h, MCM_SIM_SLOT_ID_1, &st), 5);
    EXPECT_EQ(QL_MCM_SIM_GetPhoneNumber(h, &app, buf, sizeof buf), 5);
    EXPECT_EQ(QL_MCM_SIM_Depersonalization(h, &deperso), 5);
    // A non-zero result with no error number is still a failure.
    sim().ctl("set errors.0xb01 {\"result\":1,\"error\":0}");
    EXPECT_NE(QL_MCM_SIM_GetICCID(h, MCM_SIM_SLOT_ID_1, buf, sizeof buf), 0);
}

TEST_F(Sim, PersonalisationLimits) {
    auto rec = std::make_unique<QL_MCM_SIM_PersoRecord>();
    memset(rec.get(), 0, sizeof *rec);
    rec->feature = 0xB07;
    rec->count = 129;
    EXPECT_EQ(QL_MCM_SIM_Personalization(h, rec.get()), 4);
    rec->count = 128;
    EXPECT_EQ(QL_MCM_SIM_Personalization(h, rec.get()), 0);
    rec->feature = 0xB09;
    EXPECT_EQ(QL_MCM_SIM_Personalization(h, rec.get()), 52);
    EXPECT_NE(sim().apiLog().find("Invalid feature type!"), std::string::npos);
}

TEST_F(Sim, SelectLineChoosesTheCardWhenTheRadioComesOn) {
    ASSERT_EQ(gpio_init(41, 1, 1, 0), 0);  // the select line: slot 1
    int fd = open(sim().root().path("/dev/smd9").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "AT+CFUN=1\r", 10), 10);
    close(fd);
    ASSERT_TRUE(waitFor([] { return sim().get("sim.active_slot") == "1"; }));
    char buf[22] = {};
    EXPECT_EQ(QL_MCM_SIM_GetICCID(h, MCM_SIM_SLOT_ID_1, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "8944000000000000001");
}

TEST_F(Sim, PulledCardReachesTheEventHandler) {
    ASSERT_EQ(QL_MCM_SIM_AddRxIndMsgHandler(onSimEvent, nullptr), 0);
    EXPECT_EQ(sim().get("last_request.0xb0f"), "\"01010101\"");
    gEvent = 0;
    ASSERT_EQ(sim().ctl("sim pull 0"), "OK");
    ASSERT_TRUE(waitFor([] { return gEvent.load() != 0; }));
    EXPECT_EQ(gEvent.load(), 0xB01u);
    EXPECT_NE(gCardState.load(), MCM_SIM_CARD_STATE_PRESENT);
    char buf[22] = {};
    EXPECT_EQ(QL_MCM_SIM_GetICCID(h, MCM_SIM_SLOT_ID_1, buf, sizeof buf), 11);
    sim().ctl("ind 0xb10 01");  // short: ignored, not read past its end
    QL_MCM_SIM_AddRxIndMsgHandler(nullptr, nullptr);
}
