#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "camera/serial.h"

namespace {

struct PtyPair {
    int master = -1, slave = -1;
    PtyPair() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
    ~PtyPair() {
        close(master);
        close(slave);
    }
};

TEST(Serial, ConfigureGivesRaw8N1) {
    PtyPair p;
    SerialConfig cfg{115200, 8, 1, 0, 0};
    ASSERT_EQ(serialConfigure(p.slave, &cfg), 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(p.slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & (CSTOPB | PARENB | CRTSCTS));
    EXPECT_FALSE(t.c_iflag & (ICRNL | INLCR | IXON | IXOFF));
    EXPECT_TRUE(t.c_iflag & IGNBRK);
    EXPECT_FALSE(t.c_oflag & (OPOST | ONLCR));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN));

}

// Pseudo-terminals force 8 bits without parity, so the framing bits are
// checked on the attributes themselves.
TEST(Serial, FramingBits) {
    struct termios t {};
    SerialConfig odd7{9600, 7, 2, 1, 2};
    EXPECT_TRUE(applySerialConfig(&t, &odd7));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_FALSE(t.c_cflag & CRTSCTS);

    SerialConfig even5{38400, 5, 1, 2, 1};
    EXPECT_TRUE(applySerialConfig(&t, &even5));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB));
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));

    // Values outside the lists leave their setting, except the size bits.
    SerialConfig odd{250000, 9, 3, 7, 9};
    EXPECT_FALSE(applySerialConfig(&t, &odd));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
    EXPECT_EQ(t.c_cflag & CSIZE, 0u);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB));
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
}

TEST(Serial, UnsupportedRateKeepsSpeedButAppliesTheRest) {
    PtyPair p;
    SerialConfig base{38400, 8, 1, 0, 0};
    serialConfigure(p.slave, &base);
    SerialConfig bad{250000, 8, 2, 0, 0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(serialConfigure(p.slave, &bad), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SERIAL: unsupported baudrate: 250000\n");
    struct termios t;
    ASSERT_EQ(tcgetattr(p.slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_lflag & ICANON);
    EXPECT_EQ(serialSpeedConstant(1800), 0u);
    EXPECT_EQ(serialSpeedConstant(4000000), static_cast<unsigned>(B4000000));
}

TEST(Serial, BadArguments) {
    SerialConfig cfg{115200, 8, 1, 0, 0};
    EXPECT_EQ(serialConfigure(-1, &cfg), -1);
    PtyPair p;
    EXPECT_EQ(serialConfigure(p.slave, nullptr), -1);
    char b[4];
    EXPECT_EQ(serialWrite(-1, "x", 1), -1);
    EXPECT_EQ(serialWrite(p.slave, nullptr, 1), -1);
    EXPECT_EQ(serialWrite(p.slave, "x", 0), 0);
    EXPECT_EQ(serialRead(-1, b, sizeof b), -1);
    EXPECT_EQ(serialRead(p.slave, nullptr, 4), -1);
    EXPECT_EQ(serialOpen(nullptr, 115200, 0), -1);

    testing::internal::CaptureStdout();
    EXPECT_EQ(serialOpen("/nonexistent/ttyX", 115200, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "open -/nonexistent/ttyX 115200, No such file or directory\n");
}

// Datagram sockets keep the boundary of each write visible.
TEST(Serial, WritesInChunksOf64) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    std::string text(150, 'a');
    EXPECT_EQ(serialWrite(sv[0], text.data(), text.size()), 150);
    std::vector<ssize_t> sizes;
    char buf[256];
    for (int i = 0; i < 3; i++) sizes.push_back(recv(sv[1], buf, sizeof buf, MSG_DONTWAIT));
    EXPECT_EQ(sizes, (std::vector<ssize_t>{64, 64, 22}));
    close(sv[0]);
    close(sv[1]);
}

TEST(Serial, WriteErrorDropsTheRestAndReportsZero) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    signal(SIGPIPE, SIG_IGN);
    testing::internal::CaptureStdout();
    EXPECT_EQ(serialWrite(fds[1], "hello", 5), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot write on uart: Broken pipe");
    close(fds[1]);
}

TEST(Serial, OpenPtyAndExchangeBytes) {
    PtyPair p;
    int fd = serialOpen(ttyname(p.slave), 115200, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(serialWrite(fd, "SP+OK\n", 6), 6);
    char buf[16] = {};
    ASSERT_EQ(read(p.master, buf, sizeof buf), 6);
    // Raw: no NL to CR NL translation on the way out.
    EXPECT_EQ(std::string(buf, 6), "SP+OK\n");
    // Non-blocking: nothing to read is an immediate -1.
    EXPECT_EQ(serialRead(fd, buf, sizeof buf), -1);
    close(fd);
}

}  // namespace
