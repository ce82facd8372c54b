#include "cellular/cell_clock.h"

#include <unistd.h>

#include <atomic>

namespace {

class RealClock : public CellClock {
public:
    void sleep(unsigned seconds, const std::function<bool()>&) override {
        // sleep() returns early on a signal: finish the wait.
        unsigned left = seconds;
        while (left > 0) left = ::sleep(left);
    }
};

RealClock gRealClock;
std::atomic<CellClock*> gClock{nullptr};

}  // namespace

CellClock& cellClock() {
    CellClock* c = gClock.load();
    return c != nullptr ? *c : gRealClock;
}

void setCellClock(CellClock* clock) { gClock.store(clock); }
