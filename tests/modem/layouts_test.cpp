// Wire records against hand-written bytes: a field moved by one byte breaks
// the daemon against the real service even when the simulator agrees.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cellular/mgmt_msgs.h"
#include "modem/mcm_msgs.h"

namespace {
template <class T>
T fromBytes(const std::vector<uint8_t>& b) {
    T t;
    EXPECT_EQ(b.size(), sizeof t);
    memcpy(&t, b.data(), sizeof t);
    return t;
}
}  // namespace

TEST(Layouts, SerialNumberAnswer) {
    std::vector<uint8_t> b(76, 0);
    b[8] = 1;
    memcpy(&b[9], "861234567890123", 15);
    b[42] = 0;
    auto a = fromBytes<McmDmSerialNumbersAnswer>(b);
    EXPECT_EQ(a.hdr.result, 0);
    EXPECT_EQ(a.sn.imei_valid, 1);
    EXPECT_STREQ(a.sn.imei, "861234567890123");
    EXPECT_EQ(a.sn.meid_valid, 0);
}

TEST(Layouts, FirmwareAndRadioModeAnswers) {
    std::vector<uint8_t> fw(268, 0);
    fw[0] = 1;  // result 1, little-endian
    fw[4] = 0x25;
    memcpy(&fw[8], "EG91EXGAR08A05M1G", 17);
    auto f = fromBytes<McmDmRevisionAnswer>(fw);
    EXPECT_EQ(f.hdr.result, 1);
    EXPECT_EQ(f.hdr.error, 0x25);
    EXPECT_STREQ(f.revision, "EG91EXGAR08A05M1G");

    std::vector<uint8_t> rm(16, 0);
    rm[8] = 1;
    rm[12] = 5;
    auto r = fromBytes<McmDmRadioModeAnswer>(rm);
    EXPECT_EQ(r.mode_valid, 1);
    EXPECT_EQ(r.mode, 5);
}

TEST(Layouts, DataCallStartRequest) {
    MgmtDataCallStartReq r;
    memset(&r, 0, sizeof r);
    r.profile = 3;
    r.ip_family = 2;
    r.second = 1;
    strcpy(r.user, "u");
    strcpy(r.password, "p");
    uint8_t b[416];
    memcpy(b, &r, sizeof b);
    EXPECT_EQ(b[0], 3);
    EXPECT_EQ(b[4], 2);
    EXPECT_EQ(b[8], 1);
    EXPECT_EQ(b[160], 'u');
    EXPECT_EQ(b[288], 'p');
}

TEST(Layouts, DataCallEventAndInfo) {
    std::vector<uint8_t> e(96, 0);
    e[0] = 3;
    memcpy(&e[1], "rmnet_data0", 11);
    e[24] = 1;
    e[28] = 0x10;
    e[32] = 10;
    auto ev = fromBytes<QL_Data_Call_Event>(e);
    EXPECT_EQ(ev.profile, 3);
    EXPECT_STREQ(ev.iface, "rmnet_data0");
    EXPECT_EQ(ev.ip_family, 0);
    EXPECT_EQ(ev.state, 1);
    EXPECT_EQ(ev.reason, 0x10);
    EXPECT_EQ(ev.address[0], 10);

    std::vector<uint8_t> i(200, 0);
    memcpy(&i[8], "rmnet0", 6);
    i[24] = 1;
    memcpy(&i[80], "rmnet1", 6);
    auto info = fromBytes<MgmtDataCallInfo>(i);
    EXPECT_STREQ(info.iface, "rmnet0");
    EXPECT_EQ(info.state, 1);
    EXPECT_STREQ(info.iface2, "rmnet1");
}
