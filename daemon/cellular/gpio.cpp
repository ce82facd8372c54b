#include "cellular/gpio.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/rootpath.h"

namespace {

struct PinRow {
    int32_t pin;
    int32_t gpio;
};

// Module pin -> kernel GPIO number, searched in this order.
constexpr PinRow kPinMap[48] = {
    {1, 25},    {2, 10},    {3, 42},    {4, 11},    {5, 24},    {13, 34},   {23, 26},   {24, 76},
    {25, 77},   {26, 79},   {27, 78},   {37, 22},   {38, 20},   {39, 21},   {40, 23},   {41, 7},
    {42, 6},    {62, 75},   {63, 4},    {64, 3},    {65, 2},    {66, 5},    {67, 0},    {68, 1},
    {73, 49},   {119, 29},  {120, 30},  {121, 28},  {122, 27},  {129, 12},  {130, 13},  {131, 14},
    {132, 15},  {133, 16},  {134, 17},  {135, 59},  {136, 38},  {137, 37},  {138, 36},  {141, 19},
    {142, 18},  {143, 53},  {144, 52},  {6, 1018},  {139, 1019}, {127, 1020}, {61, 1021}, {118, 1023},
};

constexpr int kMaxPin = 144;
constexpr int kFirstHighGpio = 1018;  // these have no register in the configuration page
constexpr off_t kTlmmBase = 0x01000000;
constexpr size_t kPage = 4096;

std::string gpioRoot() { return rootPath("/sys/class/gpio"); }
std::string pinDir(int gpio) { return gpioRoot() + "/gpio" + std::to_string(gpio); }
std::string attr(int gpio, const char* name) { return pinDir(gpio) + "/" + name; }

// A path exists unless opening it as a directory fails for want of an entry.
bool pathExists(const std::string& p) {
    DIR* d = opendir(p.c_str());
    if (d != nullptr) {
        closedir(d);
        return true;
    }
    return errno != ENOENT;
}

int writeAttr(const std::string& p, const std::string& text) {
    if (!pathExists(p)) return -1;
    int fd;
    do {
        // O_TRUNC as a shell redirection does: sysfs ignores it, a plain file needs it.
        fd = open(p.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -3;
    ssize_t w = write(fd, text.data(), text.size());
    int rc = close(fd);
    return (w != static_cast<ssize_t>(text.size()) || rc != 0) ? -3 : 0;
}

int readAttr(const std::string& p, char (&text)[17]) {
    if (!pathExists(p)) return -1;
    int fd;
    do {
        fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -3;
    ssize_t n = read(fd, text, 16);
    close(fd);
    text[n > 0 ? n : 0] = '\0';
    return 0;
}

// The kernel creates and removes a pin's directory synchronously; a desk
// stand-in may take a moment, so look again for a bounded while.
bool waitDir(const std::string& dir, bool present) {
    for (int i = 0; i < 200; ++i) {
        if (pathExists(dir) == present) return true;
        usleep(10 * 1000);
    }
    return pathExists(dir) == present;
}

// Maps the configuration page of a GPIO; nullptr on failure (message printed).
volatile uint32_t* mapRegister(int gpio, int& fd) {
    fd = open(rootPath("/dev/mem").c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        printf("cannot open /dev/mem\n");
        return nullptr;
    }
    off_t offset = kTlmmBase + 0x1000 * static_cast<off_t>(gpio & 0xFF);
    void* m = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (m == MAP_FAILED) {
        printf("cannot mmap region\n");
        close(fd);
        return nullptr;
    }
    return static_cast<volatile uint32_t*>(m);
}

}  // namespace

int gpioNumber(int pin) {
    for (const auto& r : kPinMap)
        if (r.pin == pin) return r.gpio;
    return -1;
}

// ---- sysfs ----

int GpioSysfs_ExportGpio(int pin) {
    int g = gpioNumber(pin);
    if (g < 0) return -2;
    if (pathExists(pinDir(g))) return 0;
    if (writeAttr(gpioRoot() + "/export", std::to_string(g)) != 0) return -3;
    return waitDir(pinDir(g), true) ? 0 : -3;
}

int GpioSysfs_UnexportGpio(int pin) {
    int g = gpioNumber(pin);
    if (g < 0) return -2;
    if (!pathExists(pinDir(g))) return 0;
    if (writeAttr(gpioRoot() + "/unexport", std::to_string(g)) != 0) return -3;
    return waitDir(pinDir(g), false) ? 0 : -3;
}

int GpioSysfs_WriteDirection(int pin, int direction) {
    int g = gpioNumber(pin);
    return g < 0 ? -2 : writeAttr(attr(g, "direction"), direction == 1 ? "out" : "in");
}

int GpioSysfs_ReadDirection(int pin) {
    int g = gpioNumber(pin);
    if (g < 0) return -2;
    char text[17];
    int rc = readAttr(attr(g, "direction"), text);
    if (rc != 0) return rc;
    return std::string(text).rfind("out", 0) == 0 ? 1 : 0;
}

int GpioSysfs_WriteValue(int pin, int value) {
    int g = gpioNumber(pin);
    return g < 0 ? -2 : writeAttr(attr(g, "value"), std::to_string(value));
}

int GpioSysfs_ReadValue(int pin) {
    int g = gpioNumber(pin);
    if (g < 0) return -2;
    char text[17];
    int rc = readAttr(attr(g, "value"), text);
    return rc != 0 ? rc : atoi(text);
}

int GpioSysfs_OpenValue(int pin) {
    int g = gpioNumber(pin);
    return g < 0 ? -2 : open(attr(g, "value").c_str(), O_RDONLY | O_CLOEXEC);
}

int GpioSysfs_WriteEdge(int pin, int edge) {
    int g = gpioNumber(pin);
    if (g < 0) return -2;
    const char* text = edge == 1 ? "rising" : edge == 2 ? "falling" : edge == 3 ? "both" : "none";
    return writeAttr(attr(g, "edge"), text);
}

int GpioSysfs_WriteActiveLow(int pin, int value) {
    int g = gpioNumber(pin);
    return g < 0 ? -2 : writeAttr(attr(g, "active_low"), std::to_string(value));
}

int GpioSysfs_ReadActiveLow(int pin) {
    int g = gpioNumber(pin);
    if (g < 0) return -2;
    char text[17];
    int rc = readAttr(attr(g, "active_low"), text);
    return rc != 0 ? rc : atoi(text);
}

// ---- configuration register ----

int GpioReg_SetPull(int pin, uint8_t pull) {
    int g = gpioNumber(pin);
    // GPIO 1018 and above have no register here: the low byte would name
    // another pin's page.
    if (g < 0 || g >= kFirstHighGpio) return -2;
    int fd;
    volatile uint32_t* reg = mapRegister(g, fd);
    if (reg == nullptr) return -3;
    *reg = (*reg & ~0x3u) | (pull & 0x3u);
    munmap(const_cast<uint32_t*>(reg), kPage);
    close(fd);
    return 0;
}

int GpioReg_GetPull(int pin) {
    int g = gpioNumber(pin);
    if (g < 0 || g >= kFirstHighGpio) return -2;
    int fd;
    volatile uint32_t* reg = mapRegister(g, fd);
    if (reg == nullptr) return -3;
    int pull = static_cast<int>(*reg & 0x3u);
    munmap(const_cast<uint32_t*>(reg), kPage);
    close(fd);
    return pull;
}

// ---- pins ----

int gpio_init(int pin, int direction, int level, int pull) {
    if (pin > kMaxPin) return -2;
    int g = gpioNumber(pin);
    if (g < 0) {
        printf("Not support Pin %d\n", pin);
        return -2;
    }
    int ret;
    if (g < kFirstHighGpio) {
        ret = GpioReg_SetPull(pin, static_cast<uint8_t>(pull));
        if (ret < 0) {
            printf("Pullselection setup PIN: %d, ret: %d\n", pin, ret);
            return ret;
        }
    }
    ret = GpioSysfs_ExportGpio(pin);
    if (ret < 0) {
        printf("GpioSysfs_ExportGpio, PIN:%d, ret: %d\n", pin, ret);
        return ret;
    }
    ret = GpioSysfs_WriteDirection(pin, direction);
    if (ret < 0) {
        printf("GpioSysfs_WriteDirection, PIN: %d, dir:%d, %d\n", pin, direction, ret);
        return ret;
    }
    if (direction != 1) return 0;
    ret = GpioSysfs_WriteValue(pin, level);
    if (ret < 0) printf("GpioSysfs_WriteValue, PIN:%d, level:%d, ret:%d\n", pin, level, ret);
    return ret;
}

int gpio_export(int pin) {
    int ret = GpioSysfs_ExportGpio(pin);
    if (ret != 0) printf("GpioSysfs_ExportGpio, PIN:%d, ret: %d\n", pin, ret);
    return ret;
}

int gpio_unexport(int pin) {
    if (pin > kMaxPin) return -2;
    int ret = GpioSysfs_UnexportGpio(pin);
    if (ret != 0) printf("GpioSysfs_UnexportGpio, Pin:%d, ret:%d\n", pin, ret);
    return ret;
}

int gpio_set_direction(int pin, int direction) { return pin > kMaxPin ? -2 : GpioSysfs_WriteDirection(pin, direction); }
int gpio_get_direction(int pin) { return pin > kMaxPin ? -2 : GpioSysfs_ReadDirection(pin); }
int gpio_set_level(int pin, int level) { return pin > kMaxPin ? -2 : GpioSysfs_WriteValue(pin, level); }
int gpio_get_level(int pin) { return pin > kMaxPin ? -2 : GpioSysfs_ReadValue(pin); }
int gpio_set_pull(int pin, int pull) {
    return pin > kMaxPin ? -2 : GpioReg_SetPull(pin, static_cast<uint8_t>(pull & 0xFF));
}
int gpio_get_pull(int pin) { return pin > kMaxPin ? -2 : GpioReg_GetPull(pin); }
