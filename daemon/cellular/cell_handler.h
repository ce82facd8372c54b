#pragma once
#include <ctime>

// The cellular handler thread: slot choice, card check, stable signal,
// registration identity, data call, time zone, and recovery on the other
// slot, for the life of the process. cellHandlerStart is in cellular.h.

// The thread body: -1 after a modem or SIM failure, 0 when cellular is off.
int cellHandlerMain();

// 1 while a handler thread exists, or ended because cellular is disabled.
bool cellThreadStarted();
// Set when the thread ended because cellular is disabled.
bool cellularOff();

// The NTP server asked once for the clock on European networks.
extern const char kNtpHost[];

// Sets the local zone ("+05:00": POSIX sign, west positive) for the process.
void applyZone(const char* zone);

// ---- pure helpers ----
// A reading is stable when it is not 0 and within 2 of the previous one.
bool signalStable(int previous, int current);
// Hours east of UTC for a European MCC, or -1 when it is not in the table.
int zoneHoursForMcc(int mcc);
// The zone text of a network time "yy/mm/dd,hh:mm:ss+qq,d" (offset in
// quarter hours, sign at position 17) into zone (at least 7 bytes): the
// POSIX sign is the opposite one. Returns q, or -1 when the text is malformed.
int zoneFromNitz(const char* nitz, char* zone, unsigned zoneSize);
// The date of a network time text ("yy/mm/dd,hh:mm:ss...", universal time,
// years 2000-2099), or -1 when it has none or a false one.
time_t utcFromNitz(const char* nitz);
// Name of a radio technology value ("unknown" outside the table).
const char* radioTypeName(unsigned value);
