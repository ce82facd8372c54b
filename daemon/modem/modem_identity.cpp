// The modem identity read at start: IMEI and firmware revision.
#include <cstring>
#include <mutex>

#include "core/identity.h"
#include "cellular/ql_mcm_client.h"
#include "core/log.h"
#include "modem/mcm_dm.h"

namespace {
dm_client_handle_type gDmHandle = 0;  // stays open for the life of the process

int readImei() {
    int ret = 0;
    if (gDmHandle == 0) {
        ret = QL_MCM_DM_Client_Init(&gDmHandle);
        // Already opened elsewhere: the init leaves the output alone, the
        // connection is the shared one.
        if (ret == 0 && gDmHandle == 0) gDmHandle = ql_mcm_handle();
    }
    if (ret == 0) {
        QL_MCM_DM_SerialNumbers sn;
        memset(&sn, 0, sizeof sn);
        ret = QL_MCM_DM_GetSerialNumbers(gDmHandle, &sn);
        if (ret == 0) {
            // The text may fill all 33 bytes without a terminator: then it is not an IMEI.
            if (sn.imei_valid && strnlen(sn.imei, sizeof sn.imei) <= 32) setModemImei(sn.imei);
            logMessage("sync", LOG_INFO, "IMEI: %s", modemImei());
        }
    }
    if (ret != 0) logMessage("sync", LOG_ERROR, "Get IMEI error: %d", ret);
    return ret;
}
}  // namespace

void refreshModemImei() {
    // The handler thread and a sync may both find it empty.
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    if (modemImei()[0] == '\0') readImei();
}

void readModemIdentity() {
    readImei();

    char revision[257];
    memset(revision, 0, sizeof revision);
    int ret = QL_MCM_DM_GetFirmware(gDmHandle, revision);
    if (ret != 0) {
        logMessage("sync", LOG_ERROR, "Get device Rev ID error: %d", ret);
        return;
    }
    if (strnlen(revision, sizeof revision) <= 256) setModemFirmware(revision);
}
