// The platform stand-ins on their own: what the daemon gets when the service
// is absent, dies or answers nonsense.
#include <gtest/gtest.h>
#include <mcm_client.h>
#include <ql_mgmt_client.h>
#include <ql_sys_log.h>

#include "modem/mcm_msgs.h"
#include "sim_env.h"

namespace {
class Platform : public ::testing::Test {
protected:
    void SetUp() override { resetScenario(); }
};
}  // namespace

TEST_F(Platform, McmAnswersAndErrors) {
    mcm_client_handle_type h = 0;
    ASSERT_EQ(mcm_client_init(&h, nullptr, nullptr), 0u);
    McmDmRevisionAnswer a{};
    uint8_t req = 0;
    EXPECT_EQ(mcm_client_execute_command_sync(h, 0x2A1, &req, 1, &a, sizeof a), 0u);
    // A record of another size than the service's is refused, never overrun.
    uint8_t small[16];
    EXPECT_EQ(mcm_client_execute_command_sync(h, 0x2A1, &req, 1, small, sizeof small),
              static_cast<uint32_t>(MCM_ERROR_MALFORMED_MSG));
    EXPECT_EQ(mcm_client_execute_command_sync(h, 0x2FF, &req, 1, &a, sizeof a), static_cast<uint32_t>(MCM_ERROR_GENERIC));
    EXPECT_EQ(mcm_client_execute_command_sync(h + 1000, 0x2A1, &req, 1, &a, sizeof a),
              static_cast<uint32_t>(MCM_ERROR_INVALID_HANDLE));
    sim().ctl("fault 0x2a1 silent");
    EXPECT_EQ(mcm_client_execute_command_sync_ex(h, 0x2A1, &req, 1, &a, sizeof a, 200),
              static_cast<uint32_t>(MCM_ERROR_TIMEOUT));
    sim().ctl("fault clear");
    EXPECT_EQ(mcm_client_release(h), 0u);
    EXPECT_EQ(mcm_client_release(h), static_cast<uint32_t>(MCM_ERROR_INVALID_HANDLE));
}

TEST_F(Platform, ServiceAbsent) {
    sim().ctl("mcm stop");
    mcm_client_handle_type h = 0;
    EXPECT_GT(mcm_client_init(&h, nullptr, nullptr), 1u);
    sim().ctl("mcm start");
    ASSERT_EQ(mcm_client_init(&h, nullptr, nullptr), 0u);
    sim().ctl("mcm stop");
    McmDmRevisionAnswer a{};
    uint8_t req = 0;
    EXPECT_EQ(mcm_client_execute_command_sync(h, 0x2A1, &req, 1, &a, sizeof a),
              static_cast<uint32_t>(MCM_ERROR_SERVICE_UNAVAILABLE));
    sim().ctl("mcm start");
    EXPECT_EQ(mcm_client_execute_command_sync(h, 0x2A1, &req, 1, &a, sizeof a), 0u);
    mcm_client_release(h);
}

TEST_F(Platform, ManagerRecordsAndFaults) {
    int h = 0;
    ASSERT_EQ(ql_mgmt_client_open(&h, nullptr), 0);
    uint8_t rec[QL_MGMT_MSG_SIZE] = {3};
    EXPECT_EQ(ql_mgmt_client_get(h, 0x60003, rec, sizeof rec), 0);
    EXPECT_NE(ql_mgmt_client_get(h, 0x60003, rec, 100), 0);  // not a manager record
    EXPECT_NE(ql_mgmt_client_get(h, 0x69999, rec, sizeof rec), 0);
    sim().ctl("fault 0x60003 short");
    EXPECT_NE(ql_mgmt_client_get(h, 0x60003, rec, sizeof rec), 0);
    sim().ctl("fault 0x60003 die");
    EXPECT_NE(ql_mgmt_client_get(h, 0x60003, rec, sizeof rec), 0);
    sim().ctl("fault clear");
    EXPECT_EQ(ql_mgmt_client_get(h, 0x60003, rec, sizeof rec), 0);
    EXPECT_EQ(ql_mgmt_client_close(h), 0);
}

TEST_F(Platform, SystemLogLines) {
    EXPECT_EQ(ql_sys_log_puts(0, 3, "ql_api", "[f_1] hello"), 0);
    EXPECT_NE(sim().apiLog().find("<3> ql_api: [f_1] hello\n"), std::string::npos);
    EXPECT_NE(ql_sys_log_puts(1, 3, "ql_api", "x"), 0);
}

namespace {
// One AT exchange on the simulator's dev/smd9: the text up to OK or ERROR.
std::string atExchange(const std::string& cmd) {
    int fd = open(sim().root().path("/dev/smd9").c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return "no channel";
    std::string line = cmd + "\r";
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "write failed";
    std::string got;
    pollfd p{fd, POLLIN, 0};
    while (got.find("OK\r\n") == std::string::npos && got.find("ERROR\r\n") == std::string::npos &&
           poll(&p, 1, 10000) > 0) {
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return got;
}
}  // namespace

TEST_F(Platform, AtChannelAnswersLikeTheModem) {
    sim().ctl("set at.servingcell \"+QENG: \\\"servingcell\\\",\\\"NOCONN\\\",\\\"LTE\\\"\"");
    EXPECT_EQ(atExchange("at+qeng=\"servingcell\""), "\r\n+QENG: \"servingcell\",\"NOCONN\",\"LTE\"\r\n\r\nOK\r\n");
    EXPECT_EQ(atExchange("AT+CFUN=0"), "\r\nOK\r\n");
    EXPECT_EQ(sim().get("at.cfun"), "0");
    EXPECT_EQ(atExchange("AT+CFUN=1"), "\r\nOK\r\n");
    EXPECT_EQ(atExchange("AT+QMBNCFG=\"deactivate\""), "\r\nOK\r\n");
    EXPECT_EQ(atExchange("AT+CRSM=214,28539,0,0,12,\"FFFFFFFFFFFFFFFFFFFFFFFF\""), "\r\n+CRSM: 144,0,\"\"\r\n\r\nOK\r\n");
    EXPECT_EQ(atExchange("AT+NOSUCH"), "\r\nERROR\r\n");
}
