#pragma once
// The cellular handler thread, SIM select line and signal.
#include <cstdint>

struct SimSlot;
void cellHandlerStart();
// Puts TZ into the environment with the zone it already means, for the
// handler to change later. Called before the first thread starts: adding a
// variable moves the environment's array, and a thread inside getenv (the
// log's local time, the C library's own) would read freed memory.
void reserveZoneVariable();
int simGpioInit();
int signalBars();
// Signal in dBm; *lteValid (may be null) is set to 1 when the LTE reading was used.
int signalReadEx(uint8_t* lteValid);
// ICCID and IMSI texts of a SIM slot record; "" for a null slot.
const char* simSlotIccid(const SimSlot* slot);
const char* simSlotImsi(const SimSlot* slot);
