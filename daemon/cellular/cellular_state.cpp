#include "cellular/cellular_state.h"

CellularState& cellularState() {
    static CellularState state;
    return state;
}
