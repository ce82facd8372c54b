#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "Logger.h"
#include "folder.h"

namespace {

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogReset();
        snprintf(LoggerFilePath, sizeof LoggerFilePath, "%slog.txt", folder.path().c_str());
    }
    void TearDown() override { LogReset(); }
    std::string logFile() const { return folder.read("log.txt"); }

    PictureFolder folder;
};

}  // namespace

TEST_F(LoggerTest, EntriesReachTheFileOnSaveInTheirFormat) {
    LogInfo("one");
    LogWarning("two");
    LogErrorPrintf("Cannot load image: %s", "/pics/a b.jpg");
    LogInfoPrintf("%s", "");
    LogError("");
    EXPECT_FALSE(folder.has("log.txt"));
    LogSave();
    std::string log = logFile();
    EXPECT_EQ(log.rfind("0,INFO,one\r\n", 0), 0u);
    std::regex line("(\\d+),(INFO|WARNING|ERROR),([^\r\n]*)\r\n");
    std::vector<std::string> messages;
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it)
        messages.push_back((*it)[2].str() + ":" + (*it)[3].str());
    EXPECT_EQ(messages, (std::vector<std::string>{"INFO:one", "WARNING:two",
                                                  "ERROR:Cannot load image: /pics/a b.jpg",
                                                  "INFO:???", "ERROR:???"}));

    // Saving again with nothing new appends nothing; a new run appends.
    LogSave();
    EXPECT_EQ(logFile(), log);
    LogReset();
    LogInfo("second run");
    LogSave();
    EXPECT_EQ(logFile(), log + "0,INFO,second run\r\n");
}

TEST_F(LoggerTest, SaveWithAnEmptyBufferCreatesNoFile) {
    LogSave();
    EXPECT_FALSE(folder.has("log.txt"));
}

TEST_F(LoggerTest, FullBufferIsAppendedBeforeThePieceThatDoesNotFit) {
    // "0,INFO," (7) + 1991 bytes + "\r\n" (2) fills the 2000 bytes exactly.
    std::string big(1991, 'a');
    LogInfo(big.c_str());
    EXPECT_FALSE(folder.has("log.txt"));
    LogInfo("next");
    // The full buffer went out first; the new entry is still buffered.
    EXPECT_EQ(logFile(), "0,INFO," + big + "\r\n");
    LogSave();
    std::string log = logFile();
    EXPECT_EQ(log.size(), 2000u + std::string("0,INFO,next\r\n").size());
    EXPECT_EQ(log.substr(2000).substr(log.substr(2000).find(",INFO,")), ",INFO,next\r\n");
}

TEST_F(LoggerTest, EntrySplitAcrossTwoAppends) {
    // 7 + 1983 + 2 leaves 8 bytes: the next prefix fits but not its message,
    // so the prefix goes out with the older entry.
    std::string big(1983, 'b');
    LogInfo(big.c_str());
    LogInfo("tail");
    std::string first = logFile();
    ASSERT_EQ(first.rfind("0,INFO," + big + "\r\n", 0), 0u);
    EXPECT_TRUE(std::regex_match(first.substr(1992), std::regex("\\d+,INFO,")));
    LogSave();
    EXPECT_EQ(logFile(), first + "tail\r\n");
}

TEST_F(LoggerTest, MessageLongerThanTheBufferIsCut) {
    std::string huge(5000, 'x');
    LogError(huge.c_str());
    LogSave();
    std::string log = logFile();
    EXPECT_EQ(log.size(), 8u + 2000u + 2u);
    EXPECT_EQ(log.substr(0, 8), "0,ERROR,");
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
}

TEST_F(LoggerTest, PrintfMessagesAreCutAt1023Characters) {
    std::string huge(3000, 'y');
    LogInfoPrintf("%s", huge.c_str());
    LogSave();
    EXPECT_EQ(logFile(), "0,INFO," + std::string(1023, 'y') + "\r\n");
}

TEST_F(LoggerTest, MissingFolderLosesOnlyWhatDoesNotFitAndSaysSo) {
    std::string good = LoggerFilePath;
    snprintf(LoggerFilePath, sizeof LoggerFilePath, "%snone/log.txt", folder.path().c_str());
    testing::internal::CaptureStdout();
    std::string big(1991, 'c');
    LogInfo(big.c_str());  // fills the buffer
    LogInfo("lost");       // three pieces, each refused
    LogSave();
    std::string out = testing::internal::GetCapturedStdout();
    size_t count = 0;
    for (size_t p = out.find("ERROR: Cannot save log"); p != std::string::npos;
         p = out.find("ERROR: Cannot save log", p + 1))
        count++;
    EXPECT_EQ(count, 4u);

    // The buffer kept the first entry: it reaches the file once the path works.
    snprintf(LoggerFilePath, sizeof LoggerFilePath, "%s", good.c_str());
    LogSave();
    EXPECT_EQ(logFile(), "0,INFO," + big + "\r\n");
}
