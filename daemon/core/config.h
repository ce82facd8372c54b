#pragma once
// DaemonConfig: the daemon's persistent settings in "/etc/trailnetd_conf.json",
// process-wide, read and changed through the accessors below (no locks: each
// field has one writer at a time).
#include <cstddef>
#include <cstdint>
#include <ctime>

struct DaemonConfig {
    int32_t powerOnTime;
    char tempUnit[3];
    int32_t firstSyncHour;
    int32_t firstSyncMin;
    int32_t syncFreq;
    int32_t battType;
    char s3token[65];
    char host[257];
    int32_t requestUpdateReset;
    char dspVersion[32];
    char dspWantedVersion[32];
    int32_t requestDspUpdate;
    int32_t uploadPictureCount;
    bool transmitUser;
    bool transmitAuto;
};

// Bits of requestUpdateReset: requests whose "execute" flag the cloud must clear.
enum {
    REQ_RESET_UPDATE = 1,
    REQ_RESET_LOG = 2,
    REQ_RESET_UPDATE_MODEM = 4,
    REQ_RESET_UPDATE_SIM = 8,
};

// Kinds of the DSP recovery package recorded at start.
enum { DSP_RECOVERY_NONE = 0, DSP_RECOVERY_ZIP = 1, DSP_RECOVERY_TARXZ = 2 };

extern const char* const kDefaultApiHost;
// The DSP firmware an installed package expects when nothing else is known.
extern const char* const kDefaultDspWantedVersion;

// The process-wide record (zero at start). Writers use the accessors.
DaemonConfig& daemonConfig();

// Start-up only, with the SD card mounted read-write: reads the file (which
// is then rewritten with all fifteen keys) and applies a configuration
// request file "CONFIG.REQ" (once, then deleted) or "CONFIGPR.REQ" (at
// every start) from the card.
void loadDaemonConfig();
// Writes the whole record, replacing the file atomically (mode 0600: it
// holds the API token). 1 on success; 0 when the file could not be written,
// logged as an ERROR, the values in memory staying valid.
int saveDaemonConfig();

// Copies the API host, or the built-in default when none is set, into
// `buffer` of `n` bytes (at most n-1 characters, always terminated).
void getApiHost(char* buffer, size_t n);
// Takes a token of at most 64 characters (no save) and returns 1; a longer
// one can only fail at the cloud, so it is refused with an ERROR line,
// keeping the old token, and 0 is returned.
int setS3Token(const char* text);
void getS3Token(char* buffer);  // 65 bytes
void raiseUploadPictureCount(int n);
void setUploadPictureCount(int n);
void toggleRequestUpdateReset(int bits);
void setRequestDspUpdate(int v);
void setPowerOnTime(time_t t);
time_t getPowerOnTime();
void setDspVersion(const char* text);
void setDspWantedVersion(const char* text);
bool isTransmitEnabled();

int getUploadPictureCount();
const char* getDspVersion();
const char* getDspWantedVersion();
int getRequestUpdateReset();
int getRequestDspUpdate();

// Sets the API host (at most 256 characters) and returns 1; a longer name is
// refused with an ERROR line, keeping the old host, and 0 is returned. No
// save.
int setApiHost(const char* text);

// Not persisted.
bool isCellularEnabled();
void setCellularEnabled(bool on);
void setDspRecoveryPackage(const char* path, int kind);
const char* getDspRecoveryPath();
int getDspRecoveryKind();
