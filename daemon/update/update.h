#pragma once
// Update packages and DSP firmware recovery.
void checkUpdate(const char* dspVersion, const char* moduleVersion);
int locateDspUpdateFile();
int recoverDspFirmware();
