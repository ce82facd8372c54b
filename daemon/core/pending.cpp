// Stand-ins for operations whose subsystems have not landed yet, so the
// daemon links and runs at every step. Each is deleted here when its real
// implementation arrives.
#include <cstring>

#include "cellular/cellular.h"
#include "cellular/power.h"
#include "cloud/requests.h"
#include "core/identity.h"
#include "core/log.h"
#include "update/update.h"

// --- server requests (served in the order the sync fixes) ---
void serveHdRequests(json_object*, const char*, const char*) {
    logMessage("request", LOG_WARNING, "Request not served yet: %s", "pictures");
}
void serveUpdateRequest(json_object*) {
    logMessage("request", LOG_WARNING, "Request not served yet: %s", "update");
}
void serveModemUpdateRequest(json_object*) {
    logMessage("request", LOG_WARNING, "Request not served yet: %s", "updateModem");
}
void serveSimUpdateRequest(json_object*) {
    logMessage("request", LOG_WARNING, "Request not served yet: %s", "updateSim");
}
void serveLogRequest(json_object*) {
    logMessage("request", LOG_WARNING, "Request not served yet: %s", "log");
}

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

