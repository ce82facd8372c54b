// Data call through the simulated connection manager.
#include <gtest/gtest.h>

#include <atomic>

#include "cellular/cellular_state.h"
#include "cellular/data_call.h"
#include "sim_env.h"

namespace {
std::atomic<int> firstCalls{0}, secondCalls{0};
void firstHandler(const QL_Data_Call_Event*) { ++firstCalls; }
void secondHandler(const QL_Data_Call_Event*) { ++secondCalls; }

std::string eventHex(int profile, int state, int reason, size_t len = 96) {
    QL_Data_Call_Event e;
    memset(&e, 0, sizeof e);
    e.profile = static_cast<uint8_t>(profile);
    e.state = state;
    e.reason = reason;
    std::vector<uint8_t> b(len, 0);
    memcpy(b.data(), &e, len < sizeof e ? len : sizeof e);
    std::string s;
    char x[3];
    for (uint8_t c : b) {
        snprintf(x, sizeof x, "%02x", c);
        s += x;
    }
    return s;
}

class DataCall : public ::testing::Test {
protected:
    void SetUp() override {
        resetScenario();
        QL_Data_Call_Destroy();
        cellularState().dataConnected = 0;
    }
    void TearDown() override { QL_Data_Call_Destroy(); }
};
}  // namespace

TEST_F(DataCall, LockFileMustBeginWithLowerCaseSuccess) {
    sim().root().write("/tmp/.ql_manager_server.lock", "success\n");
    EXPECT_EQ(QL_Data_Call_Init_Precondition(), 0);
    sim().root().write("/tmp/.ql_manager_server.lock", "Success\n");
    EXPECT_EQ(QL_Data_Call_Init_Precondition(), -1);
    unlink(sim().root().path("/tmp/.ql_manager_server.lock").c_str());
    EXPECT_EQ(QL_Data_Call_Init_Precondition(), -1);
    EXPECT_NE(sim().apiLog().find("open /tmp/.ql_manager_server.lock failure: No such file or directory"),
              std::string::npos);
}

TEST_F(DataCall, SecondInitKeepsFirstHandlerAndListsAdapterOnce) {
    firstCalls = secondCalls = 0;
    QL_Data_Call_Init(firstHandler);
    QL_Data_Call_Init(secondHandler);
    QL_Data_Call_Init(firstHandler);
    QL_Data_Call_Info info;
    ASSERT_EQ(QL_Data_Call_Info_Get(3, 0, &info, nullptr), 0);  // opens the manager client
    ASSERT_EQ(sim().ctl("event 0x60001 " + eventHex(3, 1, 0)), "OK");
    ASSERT_TRUE(waitFor([] { return firstCalls.load() >= 1; }));
    // A second event proves the first was not delivered twice.
    ASSERT_EQ(sim().ctl("event 0x60001 " + eventHex(3, 0, 0)), "OK");
    ASSERT_TRUE(waitFor([] { return firstCalls.load() >= 2; }));
    EXPECT_EQ(firstCalls.load(), 2);
    EXPECT_EQ(secondCalls.load(), 0);
}

TEST_F(DataCall, EventsOfOtherLengthOrIdentifierAreIgnored) {
    QL_Data_Call_Init(dataCallEvent);
    QL_Data_Call_Info info;
    ASSERT_EQ(QL_Data_Call_Info_Get(3, 0, &info, nullptr), 0);
    sim().ctl("event 0x60001 " + eventHex(3, 1, 0, 95));
    sim().ctl("event 0x60002 " + eventHex(3, 1, 0));
    sim().ctl("event 0x60001 " + eventHex(3, 1, 0, 97));
    // Events are delivered in order: once this one lands, the others were seen.
    sim().ctl("event 0x60001 " + eventHex(3, 2, 0x24));
    ASSERT_TRUE(waitFor([] { return sim().daemonLog().find("Data is disconnected") != std::string::npos; }));
    EXPECT_EQ(sim().daemonLog().find("Data activated"), std::string::npos);
    EXPECT_EQ(cellularState().dataConnected.load(), 0);
}

TEST_F(DataCall, StateTwoClearsConnectedAndLogsReasonInHex) {
    cellularState().dataConnected = 1;
    QL_Data_Call_Init(dataCallEvent);
    QL_Data_Call_Info info;
    ASSERT_EQ(QL_Data_Call_Info_Get(3, 0, &info, nullptr), 0);
    sim().ctl("event 0x60001 " + eventHex(3, 2, 0x2a));
    ASSERT_TRUE(waitFor([] { return cellularState().dataConnected.load() == 0; }));
    EXPECT_TRUE(waitFor([] { return sim().daemonLog().find("Data is disconnected: 0x2a") != std::string::npos; }));
}

TEST_F(DataCall, InvalidStartFailsWithoutContactingTheManager) {
    QL_Data_Call_Start_Info s;
    memset(&s, 0, sizeof s);
    int err = 0;
    s.profile = 25;
    EXPECT_EQ(QL_Data_Call_Start(&s, &err), -1);
    EXPECT_EQ(err, 1);
    s.profile = 3;
    s.ip_family = 3;
    err = 0;
    EXPECT_EQ(QL_Data_Call_Start(&s, &err), -1);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(QL_Data_Call_Start(nullptr, &err), -1);
    EXPECT_EQ(sim().get("last_request.0x60001"), "null");
    EXPECT_NE(sim().apiLog().find("Invalid param"), std::string::npos);
}

TEST_F(DataCall, StartRequestBytesAndManagerRefusal) {
    QL_Data_Call_Start_Info s;
    memset(&s, 0, sizeof s);
    s.profile = 3;
    s.second = 1;
    strcpy(s.user, "usr");
    memset(s.password, 'p', sizeof s.password);  // no terminator: bounded at 127
    ASSERT_EQ(QL_Data_Call_Start(&s, nullptr), 0);
    std::string hex = sim().get("last_request.0x60001");
    ASSERT_EQ(hex.size(), 2u + 832);
    EXPECT_EQ(hex.substr(1, 2), "03");
    EXPECT_EQ(hex.substr(1 + 16, 2), "01");
    EXPECT_EQ(hex.substr(1 + 320, 6), "757372");
    EXPECT_EQ(hex.substr(1 + 828, 2), "70");  // byte 414: last password character
    EXPECT_EQ(hex.substr(1 + 830, 2), "00");  // byte 415: terminator kept

    sim().ctl("set manager.start_result 5");
    EXPECT_EQ(QL_Data_Call_Start(&s, nullptr), -1);
    EXPECT_NE(sim().apiLog().find("Failed to start data call up"), std::string::npos);
}

TEST_F(DataCall, OpenConnectsAndADroppedCallClearsTheFlag) {
    ASSERT_EQ(dataCallOpen(), 0);
    ASSERT_TRUE(waitFor([] { return cellularState().dataConnected.load() == 1; }));
    EXPECT_NE(sim().daemonLog().find("Profile index 3 start data call success"), std::string::npos);
    EXPECT_TRUE(waitFor([] { return sim().daemonLog().find("Data activated") != std::string::npos; }));

    // Already up: no second start.
    sim().ctl("set last_request {}");
    ASSERT_EQ(dataCallOpen(), 0);
    EXPECT_NE(sim().daemonLog().find("Profile index 3 is already connected, don't up"), std::string::npos);
    EXPECT_EQ(sim().get("last_request.0x60001"), "null");

    ASSERT_EQ(sim().ctl("drop 0x10"), "OK");
    ASSERT_TRUE(waitFor([] { return cellularState().dataConnected.load() == 0; }));
    EXPECT_TRUE(waitFor([] { return sim().daemonLog().find("Data is disconnected: 0x10") != std::string::npos; }));

    ASSERT_EQ(QL_Data_Call_Stop(3, 0, nullptr), 0);
    EXPECT_EQ(QL_Data_Call_Stop(25, 0, nullptr), -1);
}

TEST_F(DataCall, OpenGivesUpWhenTheManagerNeverComesUp) {
    sim().root().write("/tmp/.ql_manager_server.lock", "starting\n");
    EXPECT_EQ(dataCallOpen(), -1);
    std::string log = sim().daemonLog();
    size_t warnings = 0;
    for (size_t p = 0; (p = log.find("The connection manager service is not initialized", p)) != std::string::npos; ++p)
        ++warnings;
    EXPECT_EQ(warnings, 10u);
    EXPECT_NE(log.find("Data call failure"), std::string::npos);
}

TEST_F(DataCall, DefaultProfile) {
    uint8_t p = 5;
    ASSERT_EQ(QL_Data_Call_Set_Default_Profile(&p), 0);
    uint8_t got = 0;
    ASSERT_EQ(QL_Data_Call_Get_Default_Profile(&got), 0);
    EXPECT_EQ(got, 5);
    p = 25;
    EXPECT_EQ(QL_Data_Call_Set_Default_Profile(&p), -1);
}
