#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "../support/roottree.h"
#include "core/atomicfile.h"
#include "core/log.h"
#include "core/sdcard.h"
#include "core/timefmt.h"

namespace {

// Local time is what the forms print: pin the zone so the cases are fixed.
class TimeFormats : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(TimeFormats, SingleAndDoubleDigitFields) {
    char b[40];
    time_t t = 1709622184;  // 2024-03-05 07:03:04 UTC
    formatLogTimeAt(t, b, sizeof b);
    EXPECT_STREQ(b, "2024/03/05 07:03:04");
    formatDspDateTimeAt(t, b, sizeof b);
    EXPECT_STREQ(b, "2024 3 5 7 3 4");
    formatIsoTimeAt(t, b, sizeof b);
    EXPECT_STREQ(b, "2024-03-05T07:03:04.000-00:00");
    formatTimestamp(t, b, sizeof b);
    EXPECT_STREQ(b, "2024-03-05 07:03:04");

    t = 1735689598;  // 2024-12-31 23:59:58 UTC
    formatDspDateTimeAt(t, b, sizeof b);
    EXPECT_STREQ(b, "2024 12 31 23 59 58");
    formatLogTimeAt(t, b, sizeof b);
    EXPECT_STREQ(b, "2024/12/31 23:59:58");
    formatIsoTimeAt(t, b, 11);  // cut to the buffer
    EXPECT_STREQ(b, "2024-12-31");
}

TEST(ExtractBetween, ServingCellFields) {
    // Example: +QENG: "servingcell","NOCONN","LTE","FDD",302,720,...
    const char* lte =
        "+QENG: \"servingcell\",\"NOCONN\",\"LTE\",\"FDD\",302,720,1A2B3C,123,5110,12,5,5,"
        "3A,-95,-11,-65,10,20\r\nOK";
    char out[5];
    extractBetween(out, lte, strlen(lte), ",", 10, 1, ",", 1, 0, 4);
    EXPECT_STREQ(out, "5");
    extractBetween(out, lte, strlen(lte), ",", 13, 1, ",", 1, 0, 4);
    EXPECT_STREQ(out, "-95");
    // Fewer occurrences than asked: empty.
    extractBetween(out, lte, strlen(lte), ",", 40, 1, ",", 1, 0, 4);
    EXPECT_STREQ(out, "");
    // End marker missing: empty.
    extractBetween(out, "a,b", 3, ",", 1, 1, ";", 1, 0, 4);
    EXPECT_STREQ(out, "");
    // Cut to the maximum length.
    extractBetween(out, "x:abcdefgh;", 11, ":", 1, 1, ";", 1, 0, 4);
    EXPECT_STREQ(out, "abcd");
    // The window ends at the source length even when the text goes on.
    extractBetween(out, "x:abcdefgh;", 5, ":", 1, 1, nullptr, 0, 0, 4);
    EXPECT_STREQ(out, "abc");
    // No source.
    extractBetween(out, nullptr, 0, ":", 1, 1, nullptr, 0, 0, 4);
    EXPECT_STREQ(out, "");
    // A large negative offset never reads before the source.
    extractBetween(out, "ab:cd", 5, ":", 1, -100, nullptr, 0, 0, 4);
    EXPECT_STREQ(out, "ab:c");
}

TEST(FileHelpers, RegularFileAndDirectory) {
    RootTree root;
    root.write("/etc/x", "1");
    EXPECT_TRUE(isRegularFile(root.path("/etc/x").c_str()));
    EXPECT_FALSE(isRegularFile(root.path("/etc").c_str()));
    EXPECT_FALSE(isRegularFile(root.path("/etc/none").c_str()));
    EXPECT_TRUE(isDirectory(root.path("/etc").c_str()));
    EXPECT_FALSE(isDirectory(root.path("/etc/x").c_str()));
}

TEST(SdCard, MountTableStates) {
    RootTree root;
    root.mountCard(1);
    EXPECT_EQ(sdcardState(), SDCARD_RW);
    root.mountCard(2);
    EXPECT_EQ(sdcardState(), SDCARD_RO);
    root.mountCard(0);
    EXPECT_EQ(sdcardState(), SDCARD_ABSENT);
    // The last matching line wins.
    root.write("/proc/mounts",
               "/dev/a /media/sdcard vfat rw 0 0\n/dev/a /media/sdcard vfat ro 0 0\n");
    EXPECT_EQ(sdcardState(), SDCARD_RO);
    std::remove(root.path("/proc/mounts").c_str());
    EXPECT_EQ(sdcardState(), SDCARD_ABSENT);
}

TEST(Log, LineFormatAndCut) {
    RootTree root;
    root.mountCard(1);
    EXPECT_EQ(logMessage("sync", LOG_INFO, "IMEI: %s", "8612"), 1);
    std::string big(2000, 'x');
    EXPECT_EQ(logMessage("main", LOG_ERROR, "%s", big.c_str()), 1);
    EXPECT_EQ(logMessage("main", LOG_ERROR, "%s", ""), -1);
    std::string log = root.read("/media/sdcard/log.txt");
    size_t first = log.find("\r\n");
    ASSERT_NE(first, std::string::npos);
    std::string line1 = log.substr(0, first);
    // [2024/03/07 18:05:09]INFO: sync: IMEI: 8612
    ASSERT_EQ(line1.size(), 21u + strlen("INFO: sync: IMEI: 8612"));
    EXPECT_EQ(line1[0], '[');
    EXPECT_EQ(line1[5], '/');
    EXPECT_EQ(line1[20], ']');
    EXPECT_EQ(line1.substr(21), "INFO: sync: IMEI: 8612");
    // Its own time stamp: a slow machine may cross a second between the two.
    std::string line2 = log.substr(first + 2);
    ASSERT_GT(line2.size(), 21u);
    EXPECT_EQ(line2[0], '[');
    EXPECT_EQ(line2[20], ']');
    EXPECT_EQ(line2.substr(21), "ERROR: main: " + std::string(1023, 'x') + "\r\n");
}

// What the daemon does on the card, on a card with FAT's rules whatever
// TN_CARD says: no permissions, names without regard to case.
TEST(FatCard, FilesAreReplacedAndTheLogKeptWithoutPermissions) {
    if (!sdcard::whyNot(sdcard::Kind::Fat).empty())
        GTEST_SKIP() << sdcard::whyNot(sdcard::Kind::Fat);
    RootTree root(sdcard::Kind::Fat);
    root.mountCard(1);
    const std::string dsp = root.path("/media/sdcard/config.dsp");
    // FAT refuses the mode; the file is still written and replaced whole.
    ASSERT_EQ(writeFileAtomic(dsp.c_str(), "{}", 2, 0644), 1);
    ASSERT_EQ(writeFileAtomic(dsp.c_str(), "{ \"a\": 1 }", 10, 0644), 1);
    EXPECT_EQ(root.read("/media/sdcard/CONFIG.DSP"), "{ \"a\": 1 }");
    EXPECT_FALSE(root.exists("/media/sdcard/config.dsp.tmp"));

    for (int i = 0; i < 3; i++) EXPECT_EQ(logMessage("main", LOG_INFO, "line %d", i), 1);
    std::string content;
    for (int i = 1; i <= 10002; i++) content += "l" + std::to_string(i) + "\r\n";
    root.write("/media/sdcard/log.txt", content);
    EXPECT_EQ(trimLogFile(), 1);
    EXPECT_EQ(root.read("/media/sdcard/LOG.TXT").rfind("l3\r\n", 0), 0u);
    EXPECT_FALSE(root.exists("/media/sdcard/log.txt.trim"));
}

TEST(Log, NothingWrittenWithoutWritableCard) {
    RootTree root;
    root.mountCard(0);
    EXPECT_EQ(logMessage("main", LOG_INFO, "hello"), -1);
    root.mountCard(2);
    EXPECT_EQ(logMessage("main", LOG_INFO, "hello"), -1);
    EXPECT_FALSE(root.exists("/media/sdcard/log.txt"));
}

TEST(Log, TrimKeepsLastTenThousandLines) {
    RootTree root;
    root.mountCard(1);
    EXPECT_EQ(trimLogFile(), 0);
    EXPECT_FALSE(root.exists("/media/sdcard/log.txt"));
    std::string content;
    for (int i = 1; i <= 12000; i++) content += "line " + std::to_string(i) + "\r\n";
    root.write("/media/sdcard/log.txt", content);
    EXPECT_EQ(trimLogFile(), 1);
    std::string after = root.read("/media/sdcard/log.txt");
    EXPECT_EQ(after.rfind("line 2001\r\n", 0), 0u);
    EXPECT_EQ(after.size() - after.find("line 12000\r\n"), strlen("line 12000\r\n"));
    size_t lines = 0;
    for (char c : after) lines += c == '\n';
    EXPECT_EQ(lines, 10000u);
    // A short file is left as it is.
    root.write("/media/sdcard/log.txt", "a\nb\n");
    EXPECT_EQ(trimLogFile(), 1);
    EXPECT_EQ(root.read("/media/sdcard/log.txt"), "a\nb\n");
}

}  // namespace
