#include <gtest/gtest.h>

#include <string>

#include "../support/roottree.h"
#include "cellular/power.h"

namespace {
// A root tree whose PATH starts with recording stand-ins for halt and reboot.
struct PowerTree {
    RootTree root;
    std::string oldPath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    PowerTree() {
        root.mkdirs("/bin");
        root.mkdirs("/sys/power");
        root.mkdirs("/sys/devices/7980000.nand");
        for (const char* tool : {"halt", "reboot"}) {
            std::string p = "/bin/" + std::string(tool);
            root.write(p, "#!/bin/sh\necho " + std::string(tool) + " >> " + root.path("/ran") + "\n");
            chmod(root.path(p).c_str(), 0755);
        }
        setenv("PATH", (root.path("/bin") + ":" + oldPath).c_str(), 1);
    }
    ~PowerTree() { setenv("PATH", oldPath.c_str(), 1); }
};
}  // namespace

TEST(Power, ShellRunCutsTo255Characters) {
    RootTree root;
    std::string out = root.path("/out");
    std::string prefix = ">" + out + " echo ";
    int status = shell_run("%s%s", prefix.c_str(), std::string(300, 'A').c_str());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(root.read("/out"), std::string(255 - prefix.size(), 'A') + "\n");
    EXPECT_NE(shell_run("exit 3"), 0);
}

TEST(Power, ModesRunTheirCommandsAfterTheWakeLock) {
    PowerTree t;
    EXPECT_EQ(module_power_down(0), 0);
    EXPECT_EQ(t.root.read("/sys/power/wake_lock"), "module_powerdown\n");
    EXPECT_EQ(t.root.read("/ran"), "halt\n");

    module_power_down(1);
    EXPECT_EQ(t.root.read("/ran"), "halt\nreboot\n");

    module_power_down(2);
    EXPECT_EQ(t.root.read("/sys/devices/7980000.nand/write_forbidden"), "1\n");
    EXPECT_EQ(t.root.read("/proc/sysrq-trigger"), "o\n");
    module_power_down(3);
    EXPECT_EQ(t.root.read("/proc/sysrq-trigger"), "b\n");
}

TEST(Power, UnknownModeRunsOnlyTheWakeLock) {
    PowerTree t;
    EXPECT_EQ(module_power_down(5), 0);
    EXPECT_EQ(t.root.read("/sys/power/wake_lock"), "module_powerdown\n");
    EXPECT_FALSE(t.root.exists("/ran"));
    EXPECT_FALSE(t.root.exists("/proc/sysrq-trigger"));
}

TEST(Power, FileMissing) {
    RootTree root;
    root.write("/tmp/flag", "");
    EXPECT_EQ(file_missing(nullptr), -1);
    EXPECT_EQ(file_missing(""), -1);
    EXPECT_EQ(file_missing(root.path("/tmp/flag").c_str()), 0);
    EXPECT_EQ(file_missing(root.path("/tmp/none").c_str()), 1);
}

TEST(Power, BoundedCommandReturnsItsStatusOrIsKilledAtTheBound) {
    RootTree root;
    std::string out = root.path("/out");
    EXPECT_EQ(shell_run_bounded(60, "echo hi > %s", out.c_str()), 0);
    EXPECT_EQ(root.read("/out"), "hi\n");
    EXPECT_NE(shell_run_bounded(60, "exit 3"), 0);

    // A tool that never ends (an NTP query without a server) is killed with
    // its shell, and nothing of it is left running to write later.
    std::string marker = root.path("/late");
    EXPECT_EQ(shell_run_bounded(1, "sleep 600; echo late > %s", marker.c_str()), -1);
    EXPECT_FALSE(root.exists("/late"));
}
