#pragma once
// A sysfs-like GPIO tree under the root: writing a number to
// sys/class/gpio/export makes its gpioN directory appear (and unexport
// removes it), and dev/mem is a sparse file large enough to map the pins'
// configuration pages.
#include <string>

class GpioTree {
public:
    explicit GpioTree(std::string root) : root_(std::move(root)) {}
    ~GpioTree();
    bool start(std::string& error);
    int fd() const { return inotify_; }
    void onEvent();  // when fd() is readable

private:
    void apply(const std::string& file, bool exporting);
    std::string root_;
    int inotify_ = -1;
};
