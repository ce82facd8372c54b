// Stand-ins for operations whose subsystems have not landed yet, so the
// daemon links and runs at every step. Each is deleted here when its real
// implementation arrives.
#include <cstring>

#include "camera/dsp_files.h"
#include "cellular/cellular.h"
#include "cellular/power.h"
#include "camera/protocol.h"
#include "cloud/requests.h"
#include "core/config.h"
#include "core/identity.h"
#include "core/log.h"
#include "update/update.h"

// --- configuration store ---
const char* const kDefaultApiHost = "api.trailcam.example";
namespace {
bool cellularEnabledFlag = false;
}
DaemonConfig& daemonConfig() {
    static DaemonConfig c{};
    return c;
}
void loadDaemonConfig() {}
int saveDaemonConfig() { return 0; }
void getApiHost(char* buffer, size_t n) {
    const char* h = daemonConfig().host[0] ? daemonConfig().host : kDefaultApiHost;
    strncpy(buffer, h, n);
}
void setS3Token(const char* text) { memcpy(daemonConfig().s3token, text, 65); }
void getS3Token(char* buffer) { memcpy(buffer, daemonConfig().s3token, 65); }
static int clampBatch(int n) { return n < 5 ? 5 : (n > 50 ? 50 : n); }
void raiseUploadPictureCount(int n) {
    int cur = daemonConfig().uploadPictureCount;
    daemonConfig().uploadPictureCount = clampBatch(n + 5 > cur ? n + 5 : cur);
}
void setUploadPictureCount(int n) { daemonConfig().uploadPictureCount = clampBatch(n); }
void toggleRequestUpdateReset(int bits) { daemonConfig().requestUpdateReset ^= bits; }
void setRequestDspUpdate(int v) { daemonConfig().requestDspUpdate = v; }
void setPowerOnTime(time_t t) { daemonConfig().powerOnTime = static_cast<int32_t>(t); }
time_t getPowerOnTime() { return daemonConfig().powerOnTime; }
void setDspVersion(const char*) {}
void setDspWantedVersion(const char*) {}
bool isTransmitEnabled() { return daemonConfig().transmitUser && daemonConfig().transmitAuto; }
int getUploadPictureCount() { return daemonConfig().uploadPictureCount; }
const char* getDspVersion() { return daemonConfig().dspVersion; }
const char* getDspWantedVersion() { return daemonConfig().dspWantedVersion; }
int getRequestUpdateReset() { return daemonConfig().requestUpdateReset; }
int getRequestDspUpdate() { return daemonConfig().requestDspUpdate; }
bool isCellularEnabled() { return cellularEnabledFlag; }
void setCellularEnabled(bool on) { cellularEnabledFlag = on; }
void setDspRecoveryPackage(const char*, int) {}
const char* getDspRecoveryPath() { return ""; }
int getDspRecoveryKind() { return 0; }

// --- DSP settings and status files ---
int applyCloudConfig(const char*) { return 0; }
int readDspStatus() { return 0; }
int writeDspConfig() { return 1; }
int parseVersion(const char*) { return -1; }
int checkDspFWversion() { return 0; }
int32_t getDspMemorySize() { return 0; }
int32_t getDspMemoryUsed() { return 0; }
int32_t getDspTemperature() { return 0; }
char getDspTemperatureUnit() { return 'C'; }
uint8_t getDspBatteries() { return 0; }
int getDspBatteryType() { return 0; }
const char* getDspNotifications() { return ""; }
const char* getDspModel() { return ""; }

// --- camera protocol ---
void sendAck() {}

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

// --- update packages ---
void checkUpdate(const char*, const char*) {}
int locateDspUpdateFile() { return 1; }
int recoverDspFirmware() { return -1; }

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

// --- power and modem identity ---
int shell_run(const char*, ...) { return -1; }
int module_power_down(int) { return 0; }
int file_missing(const char*) { return -1; }
void readModemIdentity() {}
