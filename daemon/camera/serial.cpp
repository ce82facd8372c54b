#include "camera/serial.h"

#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {
struct SpeedEntry {
    uint32_t rate;
    speed_t constant;
};
const SpeedEntry kSpeeds[] = {
    {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800},
    {921600, B921600}, {3000000, B3000000}, {4000000, B4000000},
};
// Replies to the camera are short; one chunk normally carries a whole reply.
constexpr size_t kChunk = 64;
}  // namespace

unsigned serialSpeedConstant(uint32_t baudrate) {
    for (const SpeedEntry& s : kSpeeds)
        if (s.rate == baudrate) return s.constant;
    return 0;
}

int serialOpen(const char* path, uint32_t baudrate, uint32_t flowControl) {
    if (path == nullptr) return -1;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        printf("open -%s %u, %s\n", path, baudrate, strerror(errno));
        fflush(stdout);
        return -1;
    }
    SerialConfig cfg{baudrate, 8, 1, 0, flowControl};
    serialConfigure(fd, &cfg);
    return fd;
}

bool applySerialConfig(struct termios* tio, const SerialConfig* config) {
    speed_t speed = serialSpeedConstant(config->baudrate);
    if (speed != 0) {
        cfsetispeed(tio, speed);
        cfsetospeed(tio, speed);
    }

    tio->c_cflag &= ~CSIZE;
    switch (config->dataBits) {
        case 5: tio->c_cflag |= CS5; break;
        case 6: tio->c_cflag |= CS6; break;
        case 7: tio->c_cflag |= CS7; break;
        case 8: tio->c_cflag |= CS8; break;
        default: break;
    }

    if (config->stopBits == 1) tio->c_cflag &= ~CSTOPB;
    else if (config->stopBits == 2) tio->c_cflag |= CSTOPB;

    if (config->parity == 0) {
        tio->c_cflag &= ~PARENB;
    } else if (config->parity == 1) {
        tio->c_cflag |= PARENB | PARODD;
    } else if (config->parity == 2) {
        tio->c_cflag |= PARENB;
        tio->c_cflag &= ~PARODD;
    }

    if (config->flowControl == 0) {
        tio->c_cflag &= ~CRTSCTS;
        tio->c_iflag &= ~(IXON | IXOFF);
    } else if (config->flowControl == 1) {
        tio->c_cflag |= CRTSCTS;
        tio->c_iflag &= ~(IXON | IXOFF);
    } else if (config->flowControl == 2) {
        tio->c_cflag &= ~CRTSCTS;
        tio->c_iflag |= IXON | IXOFF;
    }

    tio->c_iflag &= ~(ICRNL | INLCR);
    tio->c_iflag |= IGNBRK;
    tio->c_oflag &= ~(OPOST | ONLCR | OCRNL);
    tio->c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT |
                     ECHOKE | IEXTEN);

    return speed != 0;
}

int serialConfigure(int fd, const SerialConfig* config) {
    if (fd < 0 || config == nullptr) return -1;
    struct termios tio;
    // The driver's current settings are the base: what is not named stays.
    if (tcgetattr(fd, &tio) != 0) memset(&tio, 0, sizeof tio);

    if (!applySerialConfig(&tio, config)) {
        printf("SERIAL: unsupported baudrate: %d\n", static_cast<int>(config->baudrate));
        fflush(stdout);
    }
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);
    return 0;
}

ssize_t serialWrite(int fd, const void* data, size_t length) {
    if (fd < 0 || data == nullptr) return -1;
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < length) {
        size_t chunk = length - done < kChunk ? length - done : kChunk;
        ssize_t n = write(fd, p + done, chunk);
        if (n < 0) {
            printf("Cannot write on uart: %s", strerror(errno));
            fflush(stdout);
            return 0;
        }
        done += static_cast<size_t>(n);
        if (static_cast<size_t>(n) < chunk) break;  // no retry: the caller sees the count
    }
    return static_cast<ssize_t>(done);
}

ssize_t serialRead(int fd, void* buffer, size_t size) {
    if (fd < 0 || buffer == nullptr) return -1;
    return read(fd, buffer, size);
}
