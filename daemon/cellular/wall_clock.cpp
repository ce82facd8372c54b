#include "cellular/wall_clock.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "update/run_tool.h"

#ifndef TN_BUILD_EPOCH
#error "TN_BUILD_EPOCH: the build's date, seconds since 1970 (set by CMake)"
#endif

namespace {

class RealClock : public WallClock {
public:
    time_t now() override { return time(nullptr); }
    // BusyBox's date on the module (root may set the clock); on a desk the
    // tests put a stand-in of their own first on PATH.
    int set(time_t t) override {
        struct tm u {};
        gmtime_r(&t, &u);
        char text[64];
        snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", u.tm_year + 1900, u.tm_mon + 1,
                 u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec);
        return runTool({"date", "-u", "-s", text});
    }
};

RealClock gRealClock;
std::atomic<WallClock*> gClock{nullptr};
std::atomic<int> gSource{CLOCK_SOURCE_NONE};

}  // namespace

WallClock& wallClock() {
    WallClock* c = gClock.load();
    return c != nullptr ? *c : gRealClock;
}

void setWallClock(WallClock* clock) { gClock.store(clock); }

ClockSource clockSource() { return static_cast<ClockSource>(gSource.load()); }
void setClockSource(ClockSource source) { gSource.store(source); }

time_t clockFloor() { return static_cast<time_t>(TN_BUILD_EPOCH); }

bool clockKnownTrue() {
    return clockSource() != CLOCK_SOURCE_NONE || wallClock().now() >= clockFloor();
}

ClockVerdict judgeNetworkTime(time_t offered, time_t now, time_t floor) {
    if (offered < floor) return CLOCK_REFUSE_EARLY;
    if (now < floor) return CLOCK_TAKE;
    // A second of slack: the network's text has whole seconds.
    return offered > now + 1 ? CLOCK_TAKE : CLOCK_KEEP;
}

void formatUtc(time_t t, char* buffer, size_t size) {
    struct tm u {};
    gmtime_r(&t, &u);
    snprintf(buffer, size, "%04d/%02d/%02d %02d:%02d:%02d", u.tm_year + 1900, u.tm_mon + 1, u.tm_mday,
             u.tm_hour, u.tm_min, u.tm_sec);
}
