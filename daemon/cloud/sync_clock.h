#pragma once
// The one seam for the sync run's waits: the wait for the data call and the
// back-off between attempts sleep one second at a time through it, and the
// sync's budget reads the time from it. Tests install a clock that keeps
// virtual seconds, so minutes of back-off run in milliseconds.
class SyncClock {
public:
    virtual ~SyncClock() = default;
    virtual void sleepSecond() = 0;
    // Milliseconds on a monotonic scale.
    virtual long long nowMs() = 0;
};

SyncClock& syncClock();
// Installs a clock (null restores the real one). Tests only.
void setSyncClock(SyncClock* clock);
