#pragma once
// The settings and status files exchanged with the DSP on the SD card.
#include <cstdint>

int applyCloudConfig(const char* text);
int readDspStatus();
int writeDspConfig();
int parseVersion(const char* text);  // "V1.2.3" -> 10203, -1 on failure
int checkDspFWversion();

// The DSP status as last read by readDspStatus (zero/empty at start).
int32_t getDspMemorySize();
int32_t getDspMemoryUsed();
int32_t getDspTemperature();
char getDspTemperatureUnit();       // 'F' or 'C'
uint8_t getDspBatteries();
int getDspBatteryType();            // 0 AA, 1 12V, 2 LIT10, 3 AA_LIT, 4 other
const char* getDspNotifications();  // JSON text, at most 511 characters
const char* getDspModel();          // at most 31 characters
