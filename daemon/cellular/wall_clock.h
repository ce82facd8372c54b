#pragma once
// The module's wall clock: one seam to read and set it, and what is known of
// it. A module whose battery was changed starts in 1970; the cellular handler
// sets the clock once per run (NTP on European networks, the network time
// elsewhere or when NTP fails). Until a source has, a clock that reads before
// the build's date is not believed: the sync waits for the handler, and
// GETDATETIME hands the camera no date rather than a false one.
#include <cstddef>
#include <ctime>

class WallClock {
public:
    virtual ~WallClock() = default;
    virtual time_t now() = 0;
    // Sets the clock to `t` (UTC seconds): 0 on success.
    virtual int set(time_t t) = 0;
};

// The clock in use: time() and BusyBox's `date -u -s` found through PATH,
// unless a test installed another.
WallClock& wallClock();
// Installs a clock (null restores the real one). Tests only.
void setWallClock(WallClock* clock);

// Who last set the clock in this process.
enum ClockSource { CLOCK_SOURCE_NONE, CLOCK_SOURCE_NTP, CLOCK_SOURCE_NETWORK };
ClockSource clockSource();
void setClockSource(ClockSource source);

// The build's date: no true clock reads earlier.
time_t clockFloor();
// A source set the clock in this run, or it reads at or after the build's date.
bool clockKnownTrue();

// ---- pure helpers ----
enum ClockVerdict {
    CLOCK_TAKE,          // the clock is set to the offered time
    CLOCK_KEEP,          // the clock is believed and the offer is not newer
    CLOCK_REFUSE_EARLY,  // the offer is before the build's date
};
// What to do with a network time `offered` while the clock reads `now`.
// A believed clock is only ever moved forward by it: the network's time is
// that of its last message, never newer than the truth.
ClockVerdict judgeNetworkTime(time_t offered, time_t now, time_t floor);
// "2026/12/09 12:00:03", in UTC, into buffer (at least 20 bytes).
void formatUtc(time_t t, char* buffer, size_t size);
