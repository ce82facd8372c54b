// The real trailnetd against pseudo-terminals: start-up, announcements and
// the DSP command protocol as the DSP sees them.
#include <gtest/gtest.h>

#include <string>

#include "../support/daemon_harness.h"

namespace {

using harness::DaemonHarness;
using harness::Ms;
using harness::visible;

const std::string kRdy = "RDY\r\n";
const std::string kOk = "SP+OK\n";

std::string unknownBlock(const std::string& word) {
    std::string b = "Unknown command : " + word + "\r\n";
    b.resize(50, '\0');
    return b;
}

// A daemon that has answered its first command: no more announcements.
class ActiveDaemon : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(d.startAndWaitReady());
        ASSERT_EQ(d.command("SP+PROCESS", kOk), kOk);
    }
    DaemonHarness d;
};

TEST(Announcements, RdyUntilTheFirstNonEmptyCommandAndNeverAfter) {
    DaemonHarness d;
    ASSERT_TRUE(d.startAndWaitReady());
    ASSERT_TRUE(d.expect(kRdy));
    // Neither an empty body, garbage before the prefix, a line without CR nor
    // an AT line counts as the DSP's first command.
    for (const char* noise : {"SP+\r", "xxSP+PROCESS\r", "SP+PROCESS", "AT\r"}) {
        d.send(noise);
        ASSERT_TRUE(d.expect(kRdy)) << noise;
        ASSERT_TRUE(d.expect(kRdy)) << noise;
    }
    // An unrecognised command still ends the announcements.
    d.sendLine("SP+HELLO");
    std::string before;
    ASSERT_TRUE(d.expect(unknownBlock("HELLO"), harness::kDefaultTimeout, &before));
    for (size_t i = 0; i < before.size(); i += kRdy.size())
        EXPECT_EQ(before.substr(i, kRdy.size()), kRdy) << visible(before);
    EXPECT_EQ(d.readFor(Ms(2500)), "");
}

TEST(StartUp, BannerAndTrimmedLogWithTheCardReadWrite) {
    DaemonHarness d;
    std::string old;
    for (int i = 1; i <= 12000; i++) old += "old " + std::to_string(i) + "\r\n";
    d.root().write("/media/sdcard/log.txt", old);
    ASSERT_TRUE(d.startAndWaitReady());
    ASSERT_TRUE(d.waitForLog("INFO: Modem: Firmware: "));
    std::string log = d.log();
    EXPECT_EQ(log.rfind("old 2001\r\n", 0), 0u) << log.substr(0, 40);
    size_t banner = log.find("old 12000\r\n") + strlen("old 12000\r\n");
    std::string tail = log.substr(banner);
    // [2024/03/07 18:05:09]INFO: main: **********
    const char* lines[] = {"]INFO: main: **********\r\n", "]INFO: main: Model: VIGL-BRISA-LTE\r\n",
                           "]INFO: main: Camera Firmware Version: 1.3.0-3-g9514c7d\r\n"};
    for (const char* l : lines) {
        ASSERT_GE(tail.size(), 21u);
        EXPECT_EQ(tail[0], '[');
        EXPECT_EQ(tail[5], '/');
        EXPECT_EQ(tail[8], '/');
        EXPECT_EQ(tail[11], ' ');
        EXPECT_EQ(tail.compare(20, strlen(l), l), 0) << visible(tail.substr(0, 80));
        tail.erase(0, 20 + strlen(l));
    }
    EXPECT_EQ(d.output().find("Log failed"), std::string::npos);
}

TEST(StartUp, WithoutCardNothingIsWrittenAndTheCameraIsAnswered) {
    DaemonHarness d(0);
    ASSERT_TRUE(d.startAndWaitReady());
    EXPECT_EQ(d.command("SP+STATE", kOk), "3\n" + kOk);
    EXPECT_FALSE(d.root().exists("/media/sdcard/log.txt"));
    EXPECT_TRUE(DaemonHarness::waitFor(
        [&] { return d.output().find("Log failed") != std::string::npos; }, Ms(10000)));
}

TEST(StartUp, MissingDevicesArePrintedAndTheDaemonRuns) {
    DaemonHarness d;
    unlink(d.root().path("/dev/smd9").c_str());
    d.start();
    ASSERT_TRUE(d.expect(kRdy, Ms(40000)));
    EXPECT_NE(d.output().find("open -" + d.root().path("/dev/smd9") +
                              " 38400, No such file or directory\n"),
              std::string::npos)
        << d.output();
    // AT lines go nowhere and the DSP side keeps working.
    d.send("AT+CSQ\r\n");
    EXPECT_EQ(d.command("SP+PROCESS", kOk), kOk);

    DaemonHarness n;
    unlink(n.root().path("/dev/ttyHS0").c_str());
    n.start();
    ASSERT_TRUE(n.waitForLog("Firmware: ", Ms(40000)));
    ASSERT_TRUE(DaemonHarness::waitFor(
        [&] { return n.output().find("/dev/ttyHS0 115200, No such") != std::string::npos; },
        Ms(10000)));
    // Still alive: it did not end by itself.
    EXPECT_FALSE(n.waitExit(Ms(1500)));
}

TEST_F(ActiveDaemon, StateFollowsTheCard) {
    EXPECT_EQ(d.command("SP+STATE", kOk), "1\n" + kOk);
    d.root().mountCard(2);
    EXPECT_EQ(d.command("sp+state", kOk), "1\n" + kOk);
    d.root().mountCard(0);
    EXPECT_EQ(d.command("SP+STATEX", kOk), "3\n" + kOk);
    d.root().mountCard(1);
    ASSERT_TRUE(d.waitForLog("INFO: uart: Sent 1\n\r\n"));
    EXPECT_NE(d.log().find("INFO: uart: SP command: SP+STATE\r\r\n"), std::string::npos);
}

TEST_F(ActiveDaemon, UnknownCommandsGetTheFiftyByteBlockOnly) {
    d.sendLine("SP+HELLO");
    EXPECT_EQ(d.readExactly(50), unknownBlock("HELLO"));
    // A body that starts with a blank is a word of its own.
    d.sendLine("SP+ STATE");
    EXPECT_EQ(d.readExactly(50), unknownBlock(" STATE"));
    std::string w24(24, 'W');
    d.sendLine("SP+" + w24);
    EXPECT_EQ(d.readExactly(50), unknownBlock(w24));
    // A 25-character word is dropped: the block carries an empty word.
    d.sendLine("SP+" + std::string(25, 'W') + " arg");
    EXPECT_EQ(d.readExactly(50), unknownBlock(""));
    EXPECT_EQ(d.readFor(Ms(1500)), "");
    ASSERT_TRUE(d.waitForLog("WARNING: executeCommand: Received command length > 25, ignored"));
    EXPECT_NE(d.log().find("INFO: uart: Unknow command: HELLO\r\n"), std::string::npos);
}

TEST_F(ActiveDaemon, OnlyTheFirstCommandOfAReadRuns) {
    d.send("SP+STATE\rSP+PROCESS\r");
    EXPECT_EQ(d.readExactly(2 + kOk.size()), "1\n" + kOk);
    EXPECT_EQ(d.readFor(Ms(1500)), "");
}

// A UART hands a command to read() in pieces when its bytes straddle two
// reads; the pieces of one line make one command.
TEST_F(ActiveDaemon, ACommandInPiecesIsOneCommand) {
    d.send("SP+PRO");
    d.send("CESS\r");
    EXPECT_EQ(d.readExactly(kOk.size()), kOk);
    d.send("SP+");
    d.send("ST");
    d.send("ATE\rSP+PROCESS\r");
    EXPECT_EQ(d.readExactly(2 + kOk.size()), "1\n" + kOk);
    EXPECT_EQ(d.readFor(Ms(1500)), "");
}

TEST_F(ActiveDaemon, AtLinesPassToTheModemAndNothingComesBack) {
    d.send("AT+CSQ\r\n");
    EXPECT_EQ(d.modem().readExactly(7, Ms(10000)), "AT+CSQ\r");
    d.send("at+cfun?");  // no CR: dropped
    EXPECT_EQ(d.modem().readFor(Ms(1000)), "");
    EXPECT_EQ(d.readFor(Ms(500)), "");
    ASSERT_TRUE(d.waitForLog("INFO: uart: AT command: AT+CSQ\r\n\r\n"));
}

TEST_F(ActiveDaemon, BadInputIsSurvived) {
    // Over-long body and AT line: ignored with a warning, no answer.
    d.sendLine("SP+PROCESS" + std::string(300, 'x'));
    ASSERT_TRUE(d.waitForLog("WARNING: executeCommand: Received command longer than 255"));
    d.send("AT" + std::string(300, 'y') + "\r\n");
    ASSERT_TRUE(d.waitForLog("WARNING: uart: AT command longer than 255"));
    EXPECT_EQ(d.modem().readFor(Ms(500)), "");
    // A NUL ends the text: nothing before it has a CR.
    d.send(std::string("SP+PRO\0CESS\r", 12));
    // A full 1024-byte read.
    d.send("SP+PROCESS\r" + std::string(1024 - 11, 'z'));
    EXPECT_EQ(d.readExactly(kOk.size()), kOk);
    EXPECT_EQ(d.readFor(Ms(1500)), "");
    // Binary noise.
    std::string noise;
    for (int i = 0; i < 2048; i++) noise += static_cast<char>((i * 37) & 0xff);
    d.send(noise);
    EXPECT_EQ(d.command("SP+PROCESS", kOk), kOk);
}

TEST_F(ActiveDaemon, LaterCommandsAnswerForTheStateThatExists) {
    // Cellular work is off until a configuration enables it.
    EXPECT_EQ(d.command("SP+GETDATETIME", kOk), kOk);
    EXPECT_EQ(d.command("SP+CELL", kOk), kOk);
    // No modem answers here: the handler thread is still switching slots,
    // so no signal has been found yet.
    EXPECT_EQ(d.command("SP+GETSIGNALBAR", "SP+ERROR\n"), "0\r\nSP+ERROR\n");
    EXPECT_EQ(d.command("sp+sync now", kOk), kOk);
    ASSERT_TRUE(d.waitForLog("INFO: sync: End cellular transfert"));
    EXPECT_EQ(d.command("SP+FIRSTSYNC", kOk), kOk);
    ASSERT_TRUE(d.waitForLog("INFO: firstsync: End first sync"));
    // The power-on time is kept in the configuration at once.
    std::string conf = d.root().read("/etc/trailnetd_conf.json");
    size_t at = conf.find("\"powerOnTime\"");
    ASSERT_NE(at, std::string::npos) << conf;
    at = conf.find_first_not_of(": ", at + strlen("\"powerOnTime\""));
    EXPECT_NE(conf.substr(at, 1), "0") << conf;
    EXPECT_NE(d.log().find("Cellular setting disabled. Date time is not valid."),
              std::string::npos);
}

TEST_F(ActiveDaemon, PowerdownAnswersThenEnds) {
    EXPECT_EQ(d.command("SP+POWERDOWN", kOk), kOk);
    int status = -1;
    ASSERT_TRUE(d.waitExit(Ms(15000), &status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(d.log().find("INFO: main: Modem powerdown"), std::string::npos);
}

}  // namespace
