#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "update/run_tool.h"

namespace {

TEST(RunTool, ExitStatusSignalAndMissingTool) {
    EXPECT_EQ(runTool({"true"}), 0);
    EXPECT_EQ(runTool({"sh", "-c", "exit 3"}), 3);
    EXPECT_EQ(runTool({"sh", "-c", "kill -TERM $$"}), 128 + SIGTERM);
    EXPECT_EQ(runTool({"no-such-tool-for-trailnetd"}), 127);
    EXPECT_EQ(runTool({}), -1);
}

TEST(RunTool, ArgumentsStayWhole) {
    std::vector<std::string> lines;
    const std::string odd = "a'b \"c\"; touch pwned $(id) `id`";
    int st = runToolLines({"printf", "%s\\n", odd}, [&](const std::string& l, bool) {
        lines.push_back(l);
        return true;
    });
    EXPECT_EQ(st, 0);
    EXPECT_EQ(lines, std::vector<std::string>{odd});
}

TEST(RunTool, LinesCutAndEarlyStop) {
    std::vector<std::pair<std::string, bool>> lines;
    runToolLines(
        {"printf", "one\\n%s\\nlast without end", std::string(20, 'x')},
        [&](const std::string& l, bool cut) {
            lines.emplace_back(l, cut);
            return true;
        },
        8);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::make_pair(std::string("one"), false));
    EXPECT_EQ(lines[1], std::make_pair(std::string(8, 'x'), true));
    EXPECT_EQ(lines[2], std::make_pair(std::string("last wit"), true));

    // A tool that never stops writing ends once nothing more is wanted.
    int seen = 0;
    int st = runToolLines({"yes"}, [&](const std::string&, bool) { return ++seen < 3; });
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(st, 128 + SIGPIPE);
}

}  // namespace
