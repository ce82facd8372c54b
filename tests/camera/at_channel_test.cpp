// The AT channel in-process: the real reader thread against a pty.
#include <gtest/gtest.h>

#include <string>

#include "../support/daemon_harness.h"
#include "camera/protocol.h"

namespace {

using harness::Ms;

std::string response() {
    char buf[1024];
    size_t n = atResponse(buf, sizeof buf);
    return std::string(buf, n);
}

TEST(AtChannel, SendClearsAndCollectsTheWholeReply) {
    RootTree root;
    harness::Pty modem(root.path("/dev/smd9"));
    ASSERT_EQ(openAtChannel(), 0);

    atSend("AT+CSQ\r");
    EXPECT_EQ(modem.readExactly(7, Ms(10000)), "AT+CSQ\r");
    EXPECT_EQ(response(), "");

    // A reply split over two reads is kept together until the next atSend.
    modem.write("\r\n+CSQ: 20,99\r\n");
    ASSERT_TRUE(harness::DaemonHarness::waitFor([] { return atResponseContains("+CSQ"); },
                                                Ms(10000)));
    modem.write("\r\nOK\r\n");
    ASSERT_TRUE(
        harness::DaemonHarness::waitFor([] { return atResponseContains("OK"); }, Ms(10000)));
    EXPECT_EQ(response(), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");

    atSend("AT\r");
    EXPECT_EQ(response(), "");
    EXPECT_EQ(modem.readExactly(3, Ms(10000)), "AT\r");

    // A copy never overruns the caller's buffer.
    modem.write("\r\nOK\r\n");
    ASSERT_TRUE(
        harness::DaemonHarness::waitFor([] { return atResponseContains("OK"); }, Ms(10000)));
    char small[4];
    EXPECT_EQ(atResponse(small, sizeof small), 3u);
    EXPECT_STREQ(small, "\r\nO");

    // When the buffer would overflow, the newest read replaces the old text.
    atSend("AT+QENG\r");
    modem.write(std::string(1000, 'a'));
    ASSERT_TRUE(harness::DaemonHarness::waitFor([] { return response().size() == 1000; },
                                                Ms(10000)));
    modem.write("\r\nERROR\r\n" + std::string(40, 'b'));
    ASSERT_TRUE(harness::DaemonHarness::waitFor([] { return atResponseContains("ERROR"); },
                                                Ms(10000)));
    EXPECT_EQ(response(), "\r\nERROR\r\n" + std::string(40, 'b'));
}

}  // namespace
