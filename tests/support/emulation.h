#pragma once
// The armhf build runs the whole suite under qemu user-mode emulation, with
// TN_EMULATED=1 in every test's environment. A test that cannot work there
// (it needs a kernel feature qemu does not emulate, or starts a program built
// for the host) skips with its reason instead of failing or vanishing:
//   TN_SKIP_IF_EMULATED("needs ptrace");
#include <cstdlib>
#include <cstring>

inline bool runningEmulated() {
    const char* v = std::getenv("TN_EMULATED");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

#define TN_SKIP_IF_EMULATED(why)                                          \
    do {                                                                  \
        if (runningEmulated()) GTEST_SKIP() << "under emulation: " << why; \
    } while (0)
