#pragma once
// The cellular handler thread, SIM select line and signal.
#include <cstdint>

struct SimSlot;
void cellHandlerStart();
int simGpioInit();
int signalBars();
// Signal in dBm; *lteValid (may be null) is set to 1 when the LTE reading was used.
int signalReadEx(uint8_t* lteValid);
// ICCID and IMSI texts of a SIM slot record; "" for a null slot.
const char* simSlotIccid(const SimSlot* slot);
const char* simSlotImsi(const SimSlot* slot);
