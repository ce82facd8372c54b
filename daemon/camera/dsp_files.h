#pragma once
// The settings and status files exchanged with the DSP on the SD card:
// "STATUS.DSP"/"STATUS.REQ" from the DSP, "config.dsp"/"config.req" for it,
// and the cloud "config" object that fills the camera settings.
#include <cstdint>

// Camera settings from the cloud, in memory only (zero at start).
struct CameraSettings {
    char dateFormat[5];
    char sensitivityLevel[8];
    uint8_t sensitivityHigh;
    uint8_t sensitivityMedium;
    uint8_t sensitivityLow;
    uint8_t multiShot;
    char triggerSpeed[8];
    bool capture;
    int32_t transmitTimeHour;
    int32_t transmitTimeMinute;
    char quality[8];
    char delay[8];
    uint8_t work[7][2];  // (start, end) per day
    uint8_t timeFormat;
    uint8_t transmitFreq;
    uint16_t smallPicWidth;
};

// Battery-type codes of the DSP status; DSP_BATTERY_OTHER for an unknown text.
enum { DSP_BATTERY_AA = 0, DSP_BATTERY_12V = 1, DSP_BATTERY_LIT10 = 2, DSP_BATTERY_AA_LIT = 3,
       DSP_BATTERY_OTHER = 4 };

// The DSP's status file as last read (zero at start, changed only by
// readDspStatus).
struct DspStatus {
    int32_t memorySize;
    int32_t memoryUsed;
    uint8_t batteries;
    uint8_t batteryType;  // DSP_BATTERY_*
    int32_t temperature;
    char temperatureUnit;  // 'F' or 'C' once read, 0 before
    char model[32];
    char notifications[512];
};

CameraSettings& cameraSettings();
const DspStatus& dspStatus();
// Back to the start state (zero records, no settings target); for tests.
void resetDspFiles();

// Getters for the status report.
int32_t getDspMemorySize();
int32_t getDspMemoryUsed();
int32_t getDspTemperatureValue();
char getDspTemperatureUnit();
uint8_t getDspBatteries();
int getDspBatteryType();
const char* getDspNotifications();
const char* getDspModel();

// "AA", "12V", "LIT10", "AA_LIT" for codes 0 to 3; nullptr for any other.
const char* batteryTypeName(int code);

// Fills CameraSettings and DaemonConfig from the JSON text of a cloud
// "config" object, then saves the daemon configuration; returns what the
// save returned (1 saved, 0 not).
int applyCloudConfig(const char* text);
// Reads and deletes the pending status file and picks the target of the
// next writeDspConfig. Returns 0.
int readDspStatus();
// Writes the settings file for the DSP; 1 on success, 0 when it could not be
// written (also when no status file has been seen yet).
int writeDspConfig();
int parseVersion(const char* text);  // "V1.2.3" -> 10203, -1 on failure
int checkDspFWversion();
