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
    // True when a card answers, the network is registered and the radio is on.
    std::function<bool()> networkReady;
    // The manager accepted a start: true when the bearer takes time to come
    // up (the simulator sends the state-1 event later), false for at once.
    std::function<bool(uint8_t profile)> bearerDelayed;
    std::function<void()> bearerCancelled;  // a stop or a drop ends a pending set-up
};

struct MgmtAnswer {
    int32_t result = 0;
    std::vector<uint8_t> record;  // empty: the client's record stays as sent
    std::vector<uint8_t> event;   // sent after the answer when not empty
};

MgmtAnswer mgmtAnswer(MgmtContext& ctx, bool isSet, int msgId, const std::vector<uint8_t>& record);

// The network dropped the call: state 0 with the reason code; a quiet drop
// sends no event (the event was lost).
void mgmtDropCall(MgmtContext& ctx, int32_t reason, bool quiet = false);

// The bearer of a pending start came up: state 1 and its event.
void mgmtCallUp(MgmtContext& ctx, uint8_t profile);
