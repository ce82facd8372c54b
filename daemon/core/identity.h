#pragma once
// The daemon version and the modem identity, filled by the start sequence.

const char* daemonVersion();    // "1.3.0-3-g9514c7d"
const char* modemImei();        // at most 32 characters, empty until read
const char* modemFirmware();    // at most 256 characters, empty until read
void setModemImei(const char* imei);          // ignored when longer than 32
void setModemFirmware(const char* firmware);  // ignored when longer than 256

// Reads the IMEI and firmware revision through the device-management client.
void readModemIdentity();
// Reads the IMEI again when it is still empty (the modem service may not have
// had it at start); nothing when it is known.
void refreshModemImei();
