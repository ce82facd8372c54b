// Stand-ins for operations whose subsystems have not landed yet, so the
// daemon links and runs at every step. Each is deleted here when its real
// implementation arrives.
#include <cstring>

#include "cellular/cellular.h"
#include "cellular/power.h"
#include "core/identity.h"
#include "core/log.h"
#include "update/update.h"

// --- cellular ---
void cellHandlerStart() { logMessage("cell", LOG_WARNING, "Cellular handler not available"); }
int simGpioInit() { return -1; }
int signalBars() { return -1; }
int signalReadEx(uint8_t* lteValid) {
    if (lteValid != nullptr) *lteValid = 0;
    return 0;
}
const char* simSlotIccid(const SimSlot*) { return ""; }
const char* simSlotImsi(const SimSlot*) { return ""; }

