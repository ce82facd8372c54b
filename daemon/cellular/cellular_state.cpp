#include "cellular/cellular_state.h"

#include <cstring>

CellularState& cellularState() {
    static CellularState state;
    return state;
}

void cellularClearNetworkFacts(CellularState& cell) {
    cell.signalFound = 0;
    cell.dataConnected = 0;
    cell.simError = 0;
    memset(cell.mcc, 0, sizeof cell.mcc);
    memset(cell.mnc, 0, sizeof cell.mnc);
    memset(cell.radioType, 0, sizeof cell.radioType);
    cell.cellId = 0;
    cell.areaCode = 0;
}
