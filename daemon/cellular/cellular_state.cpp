#include "cellular/cellular_state.h"

#include <cstring>

CellularState& cellularState() {
    static CellularState state;
    return state;
}

void cellularClearNetworkFacts(CellularState& cell) {
    cell.signalFound = 0;
    cellularCallLost(cell);
    cell.simError = 0;
    memset(cell.mcc, 0, sizeof cell.mcc);
    memset(cell.mnc, 0, sizeof cell.mnc);
    memset(cell.radioType, 0, sizeof cell.radioType);
    cell.cellId = 0;
    cell.areaCode = 0;
}

bool cellularCallLost(CellularState& cell) {
    if (cell.dataConnected.exchange(0) != 1) return false;
    cell.callDrops.fetch_add(1);
    return true;
}
