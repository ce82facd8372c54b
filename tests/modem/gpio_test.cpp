// GPIO through the simulator's sysfs-like tree and register file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "cellular/gpio.h"
#include "sim_env.h"

namespace {
constexpr off_t kPage7 = 0x01000000 + 0x1000 * 7;

uint32_t readReg(off_t offset) {
    uint32_t v = 0;
    int fd = open(sim().root().path("/dev/mem").c_str(), O_RDONLY);
    EXPECT_EQ(pread(fd, &v, 4, offset), 4);
    close(fd);
    return v;
}
void writeReg(off_t offset, uint32_t v) {
    int fd = open(sim().root().path("/dev/mem").c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, &v, 4, offset), 4);
    close(fd);
}
std::string attr(int gpio, const char* name) {
    std::string s = sim().root().read("/sys/class/gpio/gpio" + std::to_string(gpio) + "/" + name);
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}
timespec exportMtime() {
    struct stat st;
    stat(sim().root().path("/sys/class/gpio/export").c_str(), &st);
    return st.st_mtim;
}

class Gpio : public ::testing::Test {
protected:
    void SetUp() override {
        resetScenario();
        gpio_unexport(41);
        gpio_unexport(6);
    }
};
}  // namespace

TEST_F(Gpio, InitSimSelectLine) {
    writeReg(kPage7, 0x1C3);  // pull bits 3, other bits set
    ASSERT_EQ(gpio_init(41, 1, 0, 0), 0);
    EXPECT_EQ(readReg(kPage7), 0x1C0u);
    EXPECT_EQ(attr(7, "direction"), "out");
    EXPECT_EQ(attr(7, "value"), "0");
    EXPECT_EQ(gpio_get_pull(41), 0);
    EXPECT_EQ(gpio_set_level(41, 1), 0);
    EXPECT_EQ(gpio_get_level(41), 1);
    EXPECT_EQ(gpio_get_direction(41), 1);

    // Exported already: nothing is written to "export".
    timespec before = exportMtime();
    EXPECT_EQ(gpio_export(41), 0);
    timespec after = exportMtime();
    EXPECT_TRUE(before.tv_sec == after.tv_sec && before.tv_nsec == after.tv_nsec);

    EXPECT_EQ(gpio_set_direction(41, 2), 0);
    EXPECT_EQ(attr(7, "direction"), "in");
    EXPECT_EQ(gpio_get_direction(41), 0);
    EXPECT_EQ(GpioSysfs_WriteEdge(41, 2), 0);
    EXPECT_EQ(attr(7, "edge"), "falling");
}

TEST_F(Gpio, HighGpioPinSkipsThePull) {
    off_t aliased = 0x01000000 + 0x1000 * (1018 & 0xFF);
    writeReg(aliased, 0x3);
    ASSERT_EQ(gpio_init(6, 1, 1, 0), 0);
    EXPECT_EQ(readReg(aliased), 0x3u);  // another pin's register stays as it was
    EXPECT_EQ(attr(1018, "value"), "1");
    EXPECT_EQ(gpio_set_pull(6, 1), -2);
    EXPECT_EQ(gpio_unexport(6), 0);
    EXPECT_FALSE(sim().root().exists("/sys/class/gpio/gpio1018"));
}

TEST_F(Gpio, UnknownPins) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(gpio_init(7, 1, 0, 0), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Not support Pin 7\n");
    EXPECT_EQ(gpio_init(145, 1, 0, 0), -2);
    EXPECT_EQ(gpio_set_level(200, 1), -2);
    EXPECT_EQ(gpio_get_level(8), -2);
}
