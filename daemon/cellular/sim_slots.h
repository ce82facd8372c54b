#pragma once
// The two SIM slots behind the module's single SIM interface, the carrier
// profiles chosen by the IMSI's network code, the slot switch, the slot probe
// at thread start and the reset that moves to the other slot, plus the AT
// pattern the cellular subsystem uses.
#include <cstdint>

#include "modem/mcm_sim.h"

enum : int32_t {
    SIM_SLOT_EMPTY = 0,
    SIM_SLOT_PRESENT = 1,
    SIM_SLOT_UNPROBED = 2,
};

struct SimSlot {
    uint8_t number;    // 0 or 1; fixed
    int32_t presence;  // SIM_SLOT_*; never returns to SIM_SLOT_UNPROBED
    char iccid[23];    // cut at the first 'F'
    char imsi[17];
    int32_t carrier;   // row of carrierTable
};

struct CarrierProfile {
    const char* name;  // for people; not used at run time
    const char* apn;   // written into modem profile 3
    int32_t priority;  // lower is preferred; 1 stops the slot probe
};

constexpr int kCarrierCount = 8;
// Integrators confirm the APNs with each carrier (README).
extern const CarrierProfile carrierTable[kCarrierCount];

// The process-wide slot records (0 and 1).
SimSlot& simSlot(int number);

// Row of carrierTable for an IMSI's leading MCC+MNC digits (7 when unknown).
int carrierForImsi(const char* imsi);
// Cuts an ICCID text at its first 'F' (the filler of odd-length identities).
void iccidCut(char* iccid);
// The slot to use after a probe: the present one, or of two present the one
// whose carrier has the smaller priority number (slot 0 on a tie); -1 none.
int chooseSlot(const SimSlot& slot0, const SimSlot& slot1);

// AT command with a wait for "OK": 9 tests one second apart, resending on
// "ERROR"; the persistent form makes up to 5 more passes. 1 when "OK" came.
int atExchange(const char* command, bool persistent);

int simGpioInit();
void simGpioSelect(int slot);
void simSelectSlot(SimSlot& slot, unsigned settleSeconds);
// 0, or -1 when the SIM client cannot be created.
int simScanSlots();
void cellReset();
// 0, or -1 when the manager refused the profile (logged).
int apnProfileSetup();

// The process-wide SIM client (0 while none). simClientEnsure makes up to 4
// attempts and returns whether a client exists.
sim_client_handle_type simClientHandle();
bool simClientEnsure();
// Card status of the connected slot: the call's result, *status filled.
int simCardStatus(QL_MCM_SIM_CardStatus* status);
