#include "cellular/sim_slots.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "camera/protocol.h"
#include "cellular/apn.h"
#include "cellular/cell_clock.h"
#include "cellular/cellular.h"
#include "cellular/cellular_state.h"
#include "cellular/data_call.h"
#include "cellular/gpio.h"
#include "core/log.h"

// Published access point names for IoT devices, as best known.
const CarrierProfile carrierTable[kCarrierCount] = {
    {"JT", "jtm2m", 2},
    {"TRUPHONE", "iot.truphone.com", 2},
    {"TELUS", "m2m.telus.iot", 1},
    {"BELL", "pda.bell.ca", 99},
    {"BELL_JASPER", "m2m.bell.ca", 99},
    {"ROGERS", "m2minternet.apn", 99},
    {"KORE", "VZWINTERNET", 1},
    {"GTX_GLOBAL", "internet", 99},
};

namespace {

constexpr int kSelectPin = 41;
constexpr uint8_t kDaemonProfile = 3;
constexpr char kSimPin[] = "61830572";
constexpr int kClientAttempts = 4;
constexpr int kReadAttempts = 4;
constexpr int kAtTests = 9;
constexpr int kAtExtraPasses = 5;
constexpr unsigned kSwitchSettle = 4;
// A card may need a few seconds after the radio comes on before it answers.
constexpr int kCardWaitSeconds = 5;
// An empty slot is probed again every this many resets (a card inserted
// later, or one that was slow to answer).
constexpr int kEmptyReprobeResets = 4;
int gResets = 0;

SimSlot gSlots[2] = {
    {0, SIM_SLOT_UNPROBED, {}, {}, 1},
    {1, SIM_SLOT_UNPROBED, {}, {}, 1},
};
std::atomic<sim_client_handle_type> gSimClient{0};

struct ImsiCode {
    const char* code;
    int row;
};
// Searched in order; the first match wins.
const ImsiCode kImsiCodes[] = {
    {"90117", 0},  {"23403", 0},  {"23450", 0},  {"23451", 0},  {"20408", 0},
    {"302760", 2}, {"302630", 3}, {"302651", 3}, {"302610", 3}, {"302640", 3},
    {"302690", 4}, {"302720", 5}, {"311480", 6}, {"310690", 1}, {"20404", 1},
    {"20809", 1},  {"45400", 1},  {"23410", 1},
};
constexpr int kUnknownCarrier = 7;

QL_MCM_SIM_AppRecord appRecord() { return {MCM_SIM_SLOT_ID_1, MCM_SIM_APP_TYPE_3GPP}; }

bool cardPresent(int ret, const QL_MCM_SIM_CardStatus& s) {
    return ret == 0 && s.card_state == MCM_SIM_CARD_STATE_PRESENT;
}

void atSendLogged(const char* command) {
    logMessage("AT", LOG_INFO, "%s", command);
    atSend(command);
}

bool atAnswered() { return atResponseContains("OK") || atResponseContains("ERROR"); }

// One pass: up to 9 tests one second apart. True when "OK" came.
bool atPass(const char* command) {
    char answer[1024];
    for (int test = 0; test < kAtTests; test++) {
        if (atResponseContains("OK")) {
            atResponse(answer, sizeof answer);
            logMessage("AT", LOG_INFO, "%s", answer);
            return true;
        }
        if (atResponseContains("ERROR")) {
            atResponse(answer, sizeof answer);
            logMessage("AT", LOG_ERROR, "%s", answer);
            atSendLogged(command);
        }
        cellSleep(1, atAnswered);
    }
    return false;
}

void verifyPin() {
    QL_MCM_SIM_PinRecord pin;
    memset(&pin, 0, sizeof pin);
    pin.slot = MCM_SIM_SLOT_ID_1;
    pin.app_type = MCM_SIM_APP_TYPE_3GPP;
    pin.pin_id = MCM_SIM_PIN_ID_1;
    pin.pin_len = 8;
    memcpy(pin.pin, kSimPin, 8);
    for (int attempt = 0; attempt < kReadAttempts; attempt++) {
        if (attempt > 0) cellSleep(1);
        int ret = QL_MCM_SIM_VerifyPIN(gSimClient.load(), &pin);
        if (ret == 0) {
            logMessage("sim", LOG_INFO, "Sim pin - OK");
            break;
        }
        logMessage("sim", LOG_ERROR, "Unable to validate sim pin - %d", ret);
    }
    cellSleep(2);
}

// The identity of the slot that is switched in: ICCID, IMSI, carrier.
void readSlotIdentity(SimSlot& slot) {
    if (simClientEnsure()) {
        memset(slot.iccid, 0, sizeof slot.iccid);
        for (int attempt = 0; attempt < kReadAttempts; attempt++) {
            if (attempt > 0) cellSleep(1);
            int ret = QL_MCM_SIM_GetICCID(gSimClient.load(), MCM_SIM_SLOT_ID_1, slot.iccid, sizeof slot.iccid - 1);
            if (ret == 0) break;
            logMessage("SIM", LOG_ERROR, "Fail to get ICCID - %d", ret);
        }
        slot.iccid[sizeof slot.iccid - 1] = '\0';
        iccidCut(slot.iccid);
    }
    logMessage("cellular", LOG_INFO, "ICCID (slot #%d): %s", slot.number, slot.iccid);
    if (simClientEnsure()) {
        memset(slot.imsi, 0, sizeof slot.imsi);
        QL_MCM_SIM_AppRecord app = appRecord();
        for (int attempt = 0; attempt < kReadAttempts; attempt++) {
            if (attempt > 0) cellSleep(1);
            int ret = QL_MCM_SIM_GetIMSI(gSimClient.load(), &app, slot.imsi, sizeof slot.imsi - 1);
            if (ret == 0) break;
            logMessage("SIM", LOG_ERROR, "Fail to get IMSI - %d", ret);
        }
        slot.imsi[sizeof slot.imsi - 1] = '\0';
    }
    logMessage("cellular", LOG_INFO, "IMSI (slot #%d): %s", slot.number, slot.imsi);
    slot.carrier = carrierForImsi(slot.imsi);
}

SimSlot& currentOrFirst() {
    SimSlot* s = cellularState().currentSlot;
    return s != nullptr ? *s : gSlots[0];
}

}  // namespace

SimSlot& simSlot(int number) { return gSlots[number == 1 ? 1 : 0]; }

int carrierForImsi(const char* imsi) {
    if (imsi == nullptr) return kUnknownCarrier;
    for (const ImsiCode& c : kImsiCodes)
        if (strncmp(imsi, c.code, strlen(c.code)) == 0) return c.row;
    return kUnknownCarrier;
}

void iccidCut(char* iccid) {
    char* f = strchr(iccid, 'F');
    if (f != nullptr) *f = '\0';
}

int chooseSlot(const SimSlot& slot0, const SimSlot& slot1) {
    bool in0 = slot0.presence == SIM_SLOT_PRESENT;
    bool in1 = slot1.presence == SIM_SLOT_PRESENT;
    if (in0 && in1) {
        // A corrupt record must not index outside the table.
        auto prio = [](const SimSlot& s) {
            return s.carrier >= 0 && s.carrier < kCarrierCount ? carrierTable[s.carrier].priority : 99;
        };
        return prio(slot1) < prio(slot0) ? 1 : 0;
    }
    if (in0) return 0;
    if (in1) return 1;
    return -1;
}

int atExchange(const char* command, bool persistent) {
    atSendLogged(command);
    if (atPass(command)) return 1;
    if (!persistent) return 0;
    for (int pass = 0; pass < kAtExtraPasses; pass++) {
        atSendLogged(command);
        if (atPass(command)) return 1;
    }
    return 0;
}

int simGpioInit() {
    int ret = gpio_init(kSelectPin, 1, 0, 0);
    if (ret != 0) logMessage("gpio", LOG_ERROR, "Error GPIO (Sims control) - %d", ret);
    return ret;
}

void simGpioSelect(int slot) { gpio_set_level(kSelectPin, slot == 1 ? 1 : 0); }

sim_client_handle_type simClientHandle() { return gSimClient.load(); }

bool simClientEnsure() {
    for (int attempt = 0; attempt < kClientAttempts && gSimClient.load() == 0; attempt++) {
        if (attempt > 0) cellSleep(1);
        sim_client_handle_type h = 0;
        int ret = QL_MCM_SIM_Client_Init(&h);
        if (ret == 0 && h != 0) {
            gSimClient.store(h);
            logMessage("SIM", LOG_INFO, "Sim Client initialized");
        } else {
            logMessage("SIM", LOG_ERROR, "Fail to intialize Sim Client - %d", ret);
        }
    }
    return gSimClient.load() != 0;
}

int simCardStatus(QL_MCM_SIM_CardStatus* status) {
    memset(status, 0, sizeof *status);
    return QL_MCM_SIM_GetCardStatus(gSimClient.load(), MCM_SIM_SLOT_ID_1, status);
}

void simSelectSlot(SimSlot& slot, unsigned settleSeconds) {
    cellularState().currentSlot = &slot;
    sim_client_handle_type h = gSimClient.exchange(0);
    if (h != 0) QL_MCM_SIM_Client_Deinit(h);

    atExchange("AT+CFUN=0\r", true);
    simGpioSelect(slot.number);
    cellSleep(settleSeconds);
    atExchange("AT+CFUN=1\r", true);
    cellSleep(settleSeconds);

    simClientEnsure();
    QL_MCM_SIM_CardStatus status;
    auto present = [&status] { return cardPresent(simCardStatus(&status), status); };
    for (int waited = 0; !present() && waited < kCardWaitSeconds; waited++) cellSleep(1, present);
    if (!present()) return;
    if (simCardStatus(&status) == 0 && status.pin_state == MCM_SIM_PIN_STATE_ENABLED_NOT_VERIFIED) verifyPin();
    atExchange("AT+QMBNCFG=\"deactivate\"\r", false);
    // Empties the forbidden-networks file (0x6F7B) so no network stays barred.
    atExchange("AT+CRSM=214,28539,0,0,12,\"FFFFFFFFFFFFFFFFFFFFFFFF\"\r", false);
}

int simScanSlots() {
    for (SimSlot& slot : gSlots) {
        unsigned settle = cellularState().currentSlot == &slot ? 0 : kSwitchSettle;
        simSelectSlot(slot, settle);
        if (!simClientEnsure()) return -1;
        QL_MCM_SIM_CardStatus status;
        if (!cardPresent(simCardStatus(&status), status)) {
            logMessage("cellular", LOG_INFO, "Slot #%d empty (%lx)", slot.number,
                       static_cast<unsigned long>(status.card_state));
            slot.presence = SIM_SLOT_EMPTY;
            continue;
        }
        slot.presence = SIM_SLOT_PRESENT;
        readSlotIdentity(slot);
        if (carrierTable[slot.carrier].priority == 1) break;
    }
    int chosen = chooseSlot(gSlots[0], gSlots[1]);
    if (chosen >= 0 && cellularState().currentSlot != &gSlots[chosen]) simSelectSlot(gSlots[chosen], kSwitchSettle);
    return 0;
}

void cellReset() {
    cellularClearNetworkFacts(cellularState());

    QL_Data_Call_Stop(kDaemonProfile, 0, nullptr);

    SimSlot& other = simSlot(1 - currentOrFirst().number);
    // Found empty once is not empty for ever: probe it again now and then.
    if (++gResets % kEmptyReprobeResets == 0 && other.presence == SIM_SLOT_EMPTY) other.presence = SIM_SLOT_UNPROBED;
    if (other.presence != SIM_SLOT_EMPTY) {
        logMessage("sim", LOG_WARNING, "Switch sim card slot: %d", other.number);
        simSelectSlot(other, kSwitchSettle);
    }
    SimSlot& current = currentOrFirst();
    if (current.presence != SIM_SLOT_UNPROBED) return;
    if (!simClientEnsure()) return;
    QL_MCM_SIM_CardStatus status;
    if (cardPresent(simCardStatus(&status), status)) {
        current.presence = SIM_SLOT_PRESENT;
        readSlotIdentity(current);
        return;
    }
    logMessage("sim", LOG_WARNING, "No sim card on slot: %d", current.number);
    current.presence = SIM_SLOT_EMPTY;
    SimSlot& back = simSlot(1 - current.number);
    logMessage("sim", LOG_WARNING, "Switch sim card slot: %d", back.number);
    simSelectSlot(back, kSwitchSettle);
}

int apnProfileSetup() {
    const SimSlot& slot = currentOrFirst();
    int row = slot.carrier >= 0 && slot.carrier < kCarrierCount ? slot.carrier : kUnknownCarrier;
    // Deleting a profile the modem does not hold may be refused: the write below decides.
    if (QL_APN_Del(kDaemonProfile) != 0)
        logMessage("cell", LOG_WARNING, "APN profile %d delete failed", kDaemonProfile);
    QL_APN_Info info;
    memset(&info, 0, sizeof info);
    info.profile = kDaemonProfile;
    info.pdp_type = 0;
    info.auth = 0;
    snprintf(info.apn, sizeof info.apn, "%s", carrierTable[row].apn);
    if (QL_APN_Set(&info) != 0) {
        logMessage("cell", LOG_ERROR, "APN profile %d setup failed (%s)", kDaemonProfile, info.apn);
        return -1;
    }
    uint8_t profile = kDaemonProfile;
    if (QL_Data_Call_Set_Default_Profile(&profile) != 0) {
        logMessage("cell", LOG_ERROR, "Default profile %d setup failed", kDaemonProfile);
        return -1;
    }
    return 0;
}

const char* simSlotIccid(const SimSlot* slot) { return slot != nullptr ? slot->iccid : ""; }
const char* simSlotImsi(const SimSlot* slot) { return slot != nullptr ? slot->imsi : ""; }
