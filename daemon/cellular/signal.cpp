#include "cellular/signal.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "camera/protocol.h"
#include "cellular/cell_handler.h"
#include "cellular/cellular.h"
#include "cellular/cellular_state.h"
#include "cellular/sim_slots.h"
#include "core/config.h"
#include "core/log.h"

namespace {

std::atomic<nw_client_handle_type> gNwClient{0};

constexpr int kLteCorrection = 15;

}  // namespace

int nwClientEnsure() {
    nw_client_handle_type h = gNwClient.load();
    int ret = QL_MCM_NW_Client_Init(&h);
    if (ret == 0 && h != 0) gNwClient.store(h);
    return ret;
}

nw_client_handle_type nwClientHandle() { return gNwClient.load(); }

SignalSource signalFromRecord(const QL_MCM_NW_Signal& sig, int* value, bool* lte) {
    *lte = false;
    *value = 0;
    if (sig.gsm_valid) *value = sig.gsm_rssi;
    else if (sig.wcdma_valid) *value = sig.wcdma_rssi;
    else if (sig.tdscdma_valid) *value = sig.tdscdma_rssi;
    else if (sig.lte_valid) {
        *lte = true;
        if (sig.lte_rsrp >= 0) return SIGNAL_SERVING_CELL;
        *value = sig.lte_rsrp;
    } else if (sig.cdma_valid) *value = sig.cdma_rssi;
    else if (sig.hdr_valid) *value = sig.hdr_rssi;
    else return SIGNAL_NONE;
    return SIGNAL_VALUE;
}

int barsForReading(int reading) {
    if (reading >= 0) return 0;
    if (reading >= -73) return 5;
    if (reading >= -82) return 4;
    if (reading >= -92) return 3;
    if (reading >= -101) return 2;
    if (reading >= -110) return 1;
    return 0;
}

// Example (LTE; the RSRP is the 14th field, the 11th holds the UL bandwidth):
//   +QENG: "servingcell","NOCONN","LTE","FDD",310,410,A1B2C03,123,5110,12,5,5,2B1F,-95,-10,-65,12,40
// Example (WCDMA; the 11th field is the RSCP):
//   +QENG: "servingcell","NOCONN","WCDMA",302,720,5A1,4B3C1,10713,85,1,-101,-6,...
int servingCellLevelFromText(const char* answer) {
    if (answer == nullptr) return 0;
    const char* hit = strstr(answer, "+QENG: ");
    if (hit == nullptr) return 0;
    // Fields are counted past the opening quote of "servingcell".
    const char* fields = hit + 7;
    if (*fields != '\0') fields++;
    size_t len = strlen(fields);
    char level[5];
    extractBetween(level, fields, len, ",", 10, 1, ",", 1, 0, 4);
    if (level[0] != '-') extractBetween(level, fields, len, ",", 13, 1, ",", 1, 0, 4);
    return atoi(level);
}

int servingCellLevel() {
    if (atExchange("at+qeng=\"servingcell\"\r", false) != 1) return 0;
    char answer[1024];
    atResponse(answer, sizeof answer);
    return servingCellLevelFromText(answer);
}

namespace {

// The handler thread creates the network client; other threads (the status
// report) only use it once it exists or a signal was found, so a sync run
// without the modem service never waits for that service to start.
int readSignal(uint8_t* lteValid, bool mayCreateClient) {
    if (lteValid != nullptr) *lteValid = 0;
    if (cellularState().simError.load()) {
        logMessage("signal", LOG_ERROR, "No SIM card");
        return 1;
    }
    if (!mayCreateClient && gNwClient.load() == 0 && cellularState().signalFound.load() == 0) return 0;
    int ret = nwClientEnsure();
    if (ret != 0) {
        logMessage("signal", LOG_ERROR, "NW Client initialisation error: %d", ret);
        return 0;
    }
    QL_MCM_NW_Signal sig;
    memset(&sig, 0, sizeof sig);
    ret = QL_MCM_NW_GetSignalStrength(gNwClient.load(), &sig);
    if (ret != 0) {
        logMessage("signal", LOG_ERROR, "Cannot get signal: %d", ret);
        return 0;
    }
    int value = 0;
    bool lte = false;
    SignalSource source = signalFromRecord(sig, &value, &lte);
    if (lte && lteValid != nullptr) *lteValid = 1;
    if (source == SIGNAL_SERVING_CELL) return servingCellLevel();
    if (source == SIGNAL_NONE) logMessage("signal", LOG_ERROR, "No valid signal");
    return value;
}

}  // namespace

int signalReadEx(uint8_t* lteValid) { return readSignal(lteValid, false); }

int signalRead() { return readSignal(nullptr, true); }

int signalBars() {
    const CellularState& cell = cellularState();
    if (cell.simError.load()) {
        logMessage("cellular", LOG_WARNING, "No valid SIM card");
        return -1;
    }
    if (cell.signalFound.load() == 1) {
        uint8_t lte = 0;
        int reading = signalReadEx(&lte);
        logMessage("cellular", LOG_INFO, "Signal strength: %d", reading);
        if (lte) reading += kLteCorrection;
        if (reading < 0) {
            int bars = barsForReading(reading);
            if (bars > 0) return bars;
        } else if (reading == 1) {
            return -1;
        }
    }
    if (!isCellularEnabled() && cellularOff()) return 5;
    logMessage("cellular", LOG_INFO, "Signal strength: 0");
    return 0;
}
