#include "core/identity.h"

#include <cstdio>
#include <cstring>

namespace {
struct ModemIdentity {
    char version[50];
    char imei[33];
    char firmware[257];
};
ModemIdentity& identity() {
    static ModemIdentity id = [] {
        ModemIdentity v{};
        snprintf(v.version, sizeof v.version, "%s", "1.3.0-3-g9514c7d");
        return v;
    }();
    return id;
}
}  // namespace

const char* daemonVersion() { return identity().version; }
const char* modemImei() { return identity().imei; }
const char* modemFirmware() { return identity().firmware; }

void setModemImei(const char* imei) {
    if (imei != nullptr && strlen(imei) <= 32) snprintf(identity().imei, 33, "%s", imei);
}

void setModemFirmware(const char* firmware) {
    if (firmware != nullptr && strlen(firmware) <= 256)
        snprintf(identity().firmware, 257, "%s", firmware);
}
