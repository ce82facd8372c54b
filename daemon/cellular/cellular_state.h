#pragma once
// CellularState: the process-wide cellular status that the cellular handler
// thread fills and other threads read without a lock. Single-byte flags are
// atomics: one writer, pollers at most once a second.
#include <atomic>
#include <cstdint>

struct SimSlot;

struct CellularState {
    std::atomic<uint8_t> signalFound{0};
    std::atomic<uint8_t> dataConnected{0};
    SimSlot* currentSlot = nullptr;
    std::atomic<uint8_t> timeSet{0};
    std::atomic<uint8_t> simError{0};
    // Counts each time a data call that was up went down (an event, a check
    // that found it gone, a reset): a sync can tell a pass whose uploads
    // failed because the call went from one that failed on a live call.
    std::atomic<uint32_t> callDrops{0};
    char mcc[4] = {};
    char mnc[4] = {};
    char radioType[12] = {};
    int32_t cellId = 0;
    uint16_t areaCode = 0;
};

CellularState& cellularState();

// Marks the data call down; a call that was up counts as dropped. True when
// it was up.
bool cellularCallLost(CellularState& cell);

// Forgets the signal, the data call, the SIM error and what the serving cell
// told us (MCC, MNC, radio, cell, area); timeSet and the current slot stay.
void cellularClearNetworkFacts(CellularState& cell);
