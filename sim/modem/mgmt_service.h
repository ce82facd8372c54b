#pragma once
// The simulated connection manager: data call on the profiles of the
// scenario, call-state events to every client.
#include <cstdint>
#include <functional>
#include <vector>

#include "scenario.h"

struct MgmtContext {
    Scenario& sc;
    // Sends a 96-byte event (identifier 0x60001) to every connected client.
    std::function<void(int eventId, const std::vector<uint8_t>& data)> broadcast;
};

struct MgmtAnswer {
    int32_t result = 0;
    std::vector<uint8_t> record;  // empty: the client's record stays as sent
    std::vector<uint8_t> event;   // sent after the answer when not empty
};

MgmtAnswer mgmtAnswer(MgmtContext& ctx, bool isSet, int msgId, const std::vector<uint8_t>& record);

// The network dropped the call: state 0 with the reason code.
void mgmtDropCall(MgmtContext& ctx, int32_t reason);
