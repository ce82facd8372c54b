// Stand-ins for operations whose subsystems have not landed yet, so the
// daemon links and runs at every step. Each is deleted here when its real
// implementation arrives.
#include <cstring>

#include "camera/dsp_files.h"
#include "cellular/cellular.h"
#include "cellular/power.h"
#include "cloud/sync.h"
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
void raiseUploadPictureCount(int) {}
void setUploadPictureCount(int) {}
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

// --- cloud sync ---
int runSync(int) { return -1; }

// --- update packages ---
void checkUpdate(const char*, const char*) {}
int locateDspUpdateFile() { return 1; }
int recoverDspFirmware() { return -1; }

// --- cellular ---
void cellHandlerStart() { logMessage("cell", LOG_WARNING, "Cellular handler not available"); }
int simGpioInit() { return -1; }
int signalBars() { return -1; }

