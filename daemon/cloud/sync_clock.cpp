#include "cloud/sync_clock.h"

#include <unistd.h>

#include <atomic>
#include <ctime>

namespace {

class RealClock : public SyncClock {
public:
    void sleepSecond() override {
        unsigned left = 1;
        while (left > 0) left = ::sleep(left);  // a signal ends sleep() early
    }
    long long nowMs() override {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }
};

RealClock gRealClock;
std::atomic<SyncClock*> gClock{nullptr};

}  // namespace

SyncClock& syncClock() {
    SyncClock* c = gClock.load();
    return c != nullptr ? *c : gRealClock;
}

void setSyncClock(SyncClock* clock) { gClock.store(clock); }
