// APN profiles through the simulated connection manager.
#include <gtest/gtest.h>

#include "cellular/apn.h"
#include "sim_env.h"

namespace {
class Apn : public ::testing::Test {
protected:
    void SetUp() override {
        resetScenario();
        sim().ctl("set manager.apns {}");
    }
    // Byte `i` of the last request with this identifier.
    std::string requestByte(const char* id, int i) { return sim().get(std::string("last_request.") + id).substr(1 + 2 * i, 2); }
};

QL_APN_Info info(uint8_t profile, int32_t pdp, int32_t auth, const char* apn) {
    QL_APN_Info i;
    memset(&i, 0, sizeof i);
    i.profile = profile;
    i.pdp_type = pdp;
    i.auth = auth;
    snprintf(i.apn, sizeof i.apn, "%s", apn);
    return i;
}
}  // namespace

TEST_F(Apn, AuthenticationCodesAndDefaultProfileFlag) {
    QL_APN_Info i = info(3, 0, 0, "broadband");
    ASSERT_EQ(QL_APN_Set(&i), 0);
    EXPECT_EQ(requestByte("0x60004", 0), "00");
    EXPECT_EQ(requestByte("0x60004", 1), "03");
    EXPECT_EQ(requestByte("0x60004", 3), "ff");
    i.auth = 1;
    ASSERT_EQ(QL_APN_Set(&i), 0);
    EXPECT_EQ(requestByte("0x60004", 3), "00");
    i.auth = 4;
    ASSERT_EQ(QL_APN_Set(&i), 0);
    EXPECT_EQ(requestByte("0x60004", 3), "03");
    QL_APN_Info zero = info(0, 1, 2, "x");
    ASSERT_EQ(QL_APN_Set(&zero), 0);
    EXPECT_EQ(requestByte("0x60004", 0), "01");

    QL_APN_Info back{};
    ASSERT_EQ(QL_APN_Get(3, &back), 0);
    EXPECT_EQ(back.auth, 4);
    EXPECT_STREQ(back.apn, "broadband");
}

TEST_F(Apn, BadArgumentsNeverReachTheManager) {
    EXPECT_EQ(QL_APN_Del(0), -1);
    EXPECT_EQ(QL_APN_Del(25), -1);
    EXPECT_EQ(sim().get("last_request.0x60006"), "null");
    QL_APN_Info i = info(3, 4, 0, "x");
    EXPECT_EQ(QL_APN_Set(&i), -1);
    EXPECT_NE(sim().apiLog().find("Invalid pdp_type : 4"), std::string::npos);
    i.pdp_type = 0;
    i.auth = 5;
    EXPECT_EQ(QL_APN_Set(&i), -1);
    EXPECT_NE(sim().apiLog().find("Invalid auto_proto : 5"), std::string::npos);
    i.auth = 0;
    i.profile = 25;
    EXPECT_EQ(QL_APN_Set(&i), -1);
    EXPECT_EQ(sim().get("last_request.0x60004"), "null");
}

TEST_F(Apn, AddDeleteAndAFullApnField) {
    QL_APN_Info i = info(0, 0, 2, "");
    memset(i.apn, 'a', sizeof i.apn);  // 150 characters, no terminator
    uint8_t got = 0;
    ASSERT_EQ(QL_APN_Add(&i, &got), 0);
    EXPECT_EQ(got, 1);
    QL_APN_Info back{};
    ASSERT_EQ(QL_APN_Get(1, &back), 0);
    EXPECT_EQ(strlen(back.apn), 149u);
    ASSERT_EQ(QL_APN_Del(1), 0);
    EXPECT_EQ(QL_APN_Get(1, &back), -1);
}

TEST_F(Apn, ListOfTenFillsEight) {
    for (uint8_t p = 1; p <= 10; ++p) {
        QL_APN_Info i = info(p, 0, 0, "apn");
        ASSERT_EQ(QL_APN_Set(&i), 0);
    }
    QL_APN_List list;
    EXPECT_EQ(QL_APN_Get_Lists(&list), 8);
    EXPECT_EQ(list.count, 8);
    EXPECT_EQ(list.records[7].profile, 8);
    sim().ctl("manager stop");
    EXPECT_EQ(QL_APN_Get_Lists(&list), 0);
    sim().ctl("manager start");
}
