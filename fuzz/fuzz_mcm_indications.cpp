// Indications from the modem's MCM service, as the client library hands them
// to the network, SIM and device-management families: any message id with
// any record bytes, short or long. The record each family passes on must be
// readable for the length it states.
#include <cstdint>
#include <cstring>
#include <vector>

#include "modem/mcm_dm.h"
#include "modem/mcm_nw.h"
#include "modem/mcm_sim.h"

namespace {
volatile uint8_t gSink;

void touch(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint8_t x = 0;
    for (size_t i = 0; p != nullptr && i < len; i++) x ^= p[i];
    gSink = x;
}

void nwEvent(nw_client_handle_type, uint32_t, void* data, uint32_t len, void*) { touch(data, len); }
void dmEvent(dm_client_handle_type, int, void* data, void*) { touch(data, 1); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool registered = false;
    if (!registered) {
        registered = true;
        QL_MCM_NW_AddRxMsgHandler(0, nwEvent, nullptr);
        mcmDmSetEventHandler(dmEvent, nullptr);
    }
    if (size < 5) return 0;
    uint32_t msgId;
    memcpy(&msgId, data + 1, 4);
    // The record as its own allocation, so a read past it is caught.
    std::vector<uint8_t> record(data + 5, data + size);
    void* rec = record.empty() ? nullptr : record.data();
    uint32_t len = static_cast<uint32_t>(record.size());
    switch (data[0] % 3) {
        case 0: nw_ind_cb(1, msgId, rec, len); break;
        case 1: sim_ind_cb(1, msgId, rec, len); break;
        case 2: mcm_dm_ind_cb(1, msgId, rec, len); break;
    }
    return 0;
}
