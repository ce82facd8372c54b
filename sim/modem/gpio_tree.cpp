#include "gpio_tree.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {
constexpr off_t kMemSize = 0x01000000 + 0x100000;  // every pin's configuration page

void writeText(const std::string& p, const char* text) {
    FILE* f = fopen(p.c_str(), "w");
    if (!f) return;
    fputs(text, f);
    fclose(f);
}
}  // namespace

GpioTree::~GpioTree() {
    if (inotify_ >= 0) close(inotify_);
}

bool GpioTree::start(std::string& error) {
    std::string dir = root_ + "/sys/class/gpio";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::filesystem::create_directories(root_ + "/dev", ec);
    writeText(dir + "/export", "");
    writeText(dir + "/unexport", "");
    int fd = open((root_ + "/dev/mem").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, kMemSize) != 0) {
        if (fd >= 0) close(fd);
        error = "cannot make dev/mem";
        return false;
    }
    close(fd);
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0 || inotify_add_watch(inotify_, dir.c_str(), IN_CLOSE_WRITE) < 0) {
        error = "cannot watch the GPIO tree";
        return false;
    }
    return true;
}

void GpioTree::apply(const std::string& file, bool exporting) {
    std::string p = root_ + "/sys/class/gpio/" + file;
    FILE* f = fopen(p.c_str(), "r");
    if (!f) return;
    char buf[32] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    if (truncate(p.c_str(), 0) != 0) return;
    char* end = nullptr;
    long gpio = strtol(buf, &end, 10);
    if (end == buf || gpio < 0 || gpio > 1023) return;
    std::string dir = root_ + "/sys/class/gpio/gpio" + std::to_string(gpio);
    std::error_code ec;
    if (!exporting) {
        std::filesystem::remove_all(dir, ec);
        return;
    }
    if (std::filesystem::exists(dir, ec)) return;
    // Attributes first, the directory appears last under its final name.
    std::string tmp = dir + ".new";
    std::filesystem::create_directories(tmp, ec);
    writeText(tmp + "/direction", "in\n");
    writeText(tmp + "/value", "0\n");
    writeText(tmp + "/edge", "none\n");
    writeText(tmp + "/active_low", "0\n");
    std::filesystem::rename(tmp, dir, ec);
}

void GpioTree::onEvent() {
    alignas(inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(inotify_, buf, sizeof buf)) > 0) {
        for (char* p = buf; p < buf + n;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            if (ev->len > 0) {
                std::string name = ev->name;
                if (name == "export") apply(name, true);
                if (name == "unexport") apply(name, false);
            }
            p += sizeof(inotify_event) + ev->len;
        }
    }
}
