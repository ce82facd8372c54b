#pragma once
// The two configurations the power-cut test alternates between.
#include <cstring>

#include "core/config.h"

inline void fillSaverValues(int which) {
    DaemonConfig& c = daemonConfig();
    c = DaemonConfig{};
    bool a = which == 0;
    c.powerOnTime = a ? 1700000000 : -1;
    strcpy(c.tempUnit, a ? "F" : "C");
    c.firstSyncHour = a ? 7 : 19;
    c.firstSyncMin = a ? 15 : 45;
    c.syncFreq = a ? 6 : 2;
    c.battType = a ? 0 : 3;
    // Long texts make each write span more than one block of the file.
    memset(c.s3token, a ? 'a' : 'b', 64);
    memset(c.host, a ? 'h' : 'k', 200);
    c.requestUpdateReset = a ? 0 : 15;
    strcpy(c.dspVersion, a ? "V1.00.33" : "V1.00.34");
    strcpy(c.dspWantedVersion, a ? "V1.00.34" : "V2.01.00");
    c.requestDspUpdate = a ? 0 : 1;
    c.uploadPictureCount = a ? 50 : 5;
    c.transmitUser = a;
    c.transmitAuto = !a;
}
