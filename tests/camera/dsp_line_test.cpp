#include <gtest/gtest.h>

#include <string>

#include "camera/dsp_line.h"

namespace {

struct FrameCase {
    const char* name;
    std::string bytes;
    DspLineKind kind;
    std::string text;
};

DspLine parse(const std::string& s) { return parseDspMessage(s.data(), s.size()); }

TEST(DspFraming, OneReadIsOneMessage) {
    const FrameCase cases[] = {
        {"command", "SP+STATE\r", DSP_LINE_COMMAND, "STATE"},
        {"lower case with argument", "sp+sync now\r", DSP_LINE_COMMAND, "sync now"},
        {"CR LF ending", "SP+PROCESS\r\n", DSP_LINE_COMMAND, "PROCESS"},
        {"two commands, first wins", "SP+STATE\rSP+SYNC\r", DSP_LINE_COMMAND, "STATE"},
        {"empty body", "SP+\r", DSP_LINE_IGNORE, ""},
        {"no CR", "SP+STATE", DSP_LINE_IGNORE, ""},
        {"LF only", "SP+STATE\n", DSP_LINE_IGNORE, ""},
        {"garbage before the prefix", "xxSP+STATE\r", DSP_LINE_IGNORE, ""},
        {"one byte", "S", DSP_LINE_IGNORE, ""},
        {"prefix cut short", "SP", DSP_LINE_IGNORE, ""},
        {"NUL before the CR", std::string("SP+ST\0ATE\r", 10), DSP_LINE_IGNORE, ""},
        {"NUL after the CR", std::string("SP+STATE\r\0junk\r", 15), DSP_LINE_COMMAND, "STATE"},
        {"AT line", "AT+CSQ\r\n", DSP_LINE_AT, "AT+CSQ\r"},
        {"at line lower case", "at+cfun=1\r", DSP_LINE_AT, "at+cfun=1\r"},
        {"AT without CR", "AT+CSQ", DSP_LINE_IGNORE, ""},
        {"bare AT", "AT\r", DSP_LINE_AT, "AT\r"},
    };
    for (const auto& c : cases) {
        DspLine l = parse(c.bytes);
        EXPECT_EQ(l.kind, c.kind) << c.name;
        EXPECT_EQ(std::string(l.text), c.text) << c.name;
    }
}

TEST(DspFraming, LongLinesFitOrAreRefused) {
    std::string body255(255, 'A');
    DspLine l = parse("SP+" + body255 + "\r");
    EXPECT_EQ(l.kind, DSP_LINE_COMMAND);
    EXPECT_EQ(std::string(l.text), body255);
    EXPECT_EQ(parse("SP+" + body255 + "A\r").kind, DSP_LINE_BODY_TOO_LONG);

    std::string at255 = "AT" + std::string(252, 'X') + "\r";  // 255 with the CR
    l = parse(at255 + "\n");
    EXPECT_EQ(l.kind, DSP_LINE_AT);
    EXPECT_EQ(std::string(l.text), at255);
    EXPECT_EQ(parse("AT" + std::string(253, 'X') + "\r").kind, DSP_LINE_AT_TOO_LONG);

    // A full 1024-byte read without any NUL: bounded by its length.
    std::string full = "SP+PROCESS\r" + std::string(1024 - 11, 'z');
    l = parseDspMessage(full.data(), full.size());
    EXPECT_EQ(l.kind, DSP_LINE_COMMAND);
    EXPECT_EQ(std::string(l.text), "PROCESS");
    std::string noCr(1024, 'S');
    EXPECT_EQ(parseDspMessage(noCr.data(), noCr.size()).kind, DSP_LINE_IGNORE);
    EXPECT_EQ(parseDspMessage(nullptr, 10).kind, DSP_LINE_IGNORE);
}

TEST(DspFraming, CommandWord) {
    char w[kDspWordMax + 1];
    ASSERT_TRUE(dspCommandWord("STATE", w));
    EXPECT_STREQ(w, "STATE");
    ASSERT_TRUE(dspCommandWord("sync now please", w));
    EXPECT_STREQ(w, "sync");
    // A body that starts with a blank is its own word: it matches nothing.
    ASSERT_TRUE(dspCommandWord(" STATE", w));
    EXPECT_STREQ(w, " STATE");
    std::string w24(24, 'Q');
    ASSERT_TRUE(dspCommandWord(w24.c_str(), w));
    EXPECT_EQ(std::string(w), w24);
    EXPECT_FALSE(dspCommandWord(std::string(25, 'Q').c_str(), w));
    EXPECT_STREQ(w, "");
    // Only the word counts towards the limit.
    EXPECT_TRUE(dspCommandWord(("SYNC " + std::string(200, 'a')).c_str(), w));
    EXPECT_STREQ(w, "SYNC");
}

TEST(DspFraming, CommandMatchingByPrefixInTableOrder) {
    const std::pair<const char*, DspCommand> cases[] = {
        {"PROCESS", CMD_PROCESS},       {"process", CMD_PROCESS},
        {"SYNC", CMD_SYNC},             {"SYNCNOW", CMD_SYNC},
        {"CELL", CMD_CELL},             {"cellular", CMD_CELL},
        {"FIRSTSYNC", CMD_FIRSTSYNC},   {"GETSIGNALBAR", CMD_GETSIGNALBAR},
        {"GetDateTime", CMD_GETDATETIME}, {"STATE", CMD_STATE},
        {"STATEX", CMD_STATE},          {"POWERDOWN", CMD_POWERDOWN},
        {"PROC", CMD_UNKNOWN},          {"HELLO", CMD_UNKNOWN},
        {"", CMD_UNKNOWN},              {" STATE", CMD_UNKNOWN},
        {"GETSIGNAL", CMD_UNKNOWN},
    };
    for (const auto& c : cases) EXPECT_EQ(matchDspCommand(c.first), c.second) << c.first;
}

}  // namespace
