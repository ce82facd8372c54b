#pragma once
// The one seam for the cellular subsystem's waits. The handler thread and the
// slot switch wait in whole seconds (up to minutes per cycle); tests install
// a clock that keeps virtual time so the state machine runs in milliseconds.
#include <functional>

class CellClock {
public:
    virtual ~CellClock() = default;
    // Waits `seconds`. `next`, when given, is the condition the caller tests
    // after the wait; a test clock may end the wait as soon as it holds. The
    // module's clock always waits the whole time.
    virtual void sleep(unsigned seconds, const std::function<bool()>& next) = 0;
};

// The clock in use (the real one unless a test installed another).
CellClock& cellClock();
// Installs a clock (null restores the real one). Tests only, before the
// cellular thread starts.
void setCellClock(CellClock* clock);

inline void cellSleep(unsigned seconds, const std::function<bool()>& next = {}) {
    cellClock().sleep(seconds, next);
}
