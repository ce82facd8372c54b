// The real trailnetd under a storm of bytes on the camera UART: random bytes,
// NULs, over-long command and AT lines, lines without an end. It must stay up
// and answer the next well-formed command, with its configuration whole.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "invariants.h"
#include "support/daemon_harness.h"

namespace {

using harness::DaemonHarness;
using harness::Ms;

const char kConf[] =
    R"({"powerOnTime": 0, "tempUnit": "C", "firstSyncHour": 8, "firstSyncMin": 30, "syncFreq": 4,)"
    R"( "battType": 0, "s3token": "tok", "host": "api.example.net", "requestUpdateReset": 0,)"
    R"( "dspVersion": "V1.00.34", "dspWantedVersion": "V1.00.34", "requestDspUpdate": 0,)"
    R"( "uploadPictureCount": 20, "transmitUser": true, "transmitAuto": true})";

// Random bytes that cannot form an "SP+" command: a storm may hold anything
// but an order to power down.
std::string noise(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) {
        c = static_cast<char>(rng());
        if (c == '+') c = '-';
    }
    return s;
}

void expectStateAnswer(DaemonHarness& d, const std::string& when) {
    std::string reply = d.command("SP+STATE", "SP+OK\n", Ms(30000));
    EXPECT_NE(reply.find("1\n"), std::string::npos) << when << ": " << harness::visible(reply);
    EXPECT_TRUE(d.running()) << when;
}

TEST(DspStorm, DaemonKeepsAnsweringThroughRandomBytesAndOverlongLines) {
    DaemonHarness d;
    // No modem service here: with its ready flag the identity read fails at
    // once instead of after a ten-second wait at every start.
    d.root().write("/tmp/mcm_service_ready.flag", "");
    d.root().write("/etc/trailnetd_conf.json", kConf);
    ASSERT_TRUE(d.startAndWaitReady());
    expectStateAnswer(d, "before the storm");

    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        for (int i = 0; i < 150; i++) d.send(noise(rng, 1 + rng() % 2048));
        expectStateAnswer(d, "after noise with seed " + std::to_string(seed));
    }

    const std::string lines[] = {
        "SP+" + std::string(300, 'A') + "\r",                 // body longer than its buffer
        "SP+" + std::string(5000, 'B') + "\r",                // longer than one read
        "SP+" + std::string(60, 'W') + " x\r",                // command word too long
        "AT" + std::string(2000, 'C') + "\r\n",               // AT line too long
        std::string(10000, 'D'),                              // no line end at all
        "SP+\r", "SP+ \r", "\r\r\r\n\n", std::string(64, '\0'),
        std::string("SP+STATE\0SP+POWERDOWN\r", 23),      // the text ends at the NUL
        "SP+BOGUS" + std::string(1000, ' ') + "\r",
    };
    for (const auto& l : lines) d.send(l);
    expectStateAnswer(d, "after the over-long lines");

    // Still one message per read: a well-formed command right after noise.
    d.send(std::string("\x06\xff\xfe", 3));
    expectStateAnswer(d, "after a short burst");
    robust::expectConfigWhole(d.root().path("/etc/trailnetd_conf.json"), "after the storm");
    EXPECT_EQ(d.output().find("runtime error"), std::string::npos) << d.output();
}

}  // namespace
