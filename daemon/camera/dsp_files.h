#pragma once
// The settings and status files exchanged with the DSP on the SD card.

int applyCloudConfig(const char* text);
int readDspStatus();
int writeDspConfig();
int parseVersion(const char* text);  // "V1.2.3" -> 10203, -1 on failure
int checkDspFWversion();
