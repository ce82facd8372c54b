#include "cellular/cell_handler.h"

#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "cellular/cell_clock.h"
#include "cellular/cellular.h"
#include "cellular/cellular_state.h"
#include "cellular/data_call.h"
#include "cellular/power.h"
#include "cellular/signal.h"
#include "cellular/sim_slots.h"
#include "core/config.h"
#include "core/identity.h"
#include "core/log.h"

const char kNtpHost[] = "europe.pool.ntp.org";
// Longest wait for one NTP query before the handler goes on without it.
const int kNtpSeconds = 60;

namespace {

std::atomic<int> gThreadStarted{0};
std::atomic<int> gCellularOff{0};

constexpr uint8_t kDaemonProfile = 3;
constexpr int kStableSignalSleeps = 179;
constexpr int kConnectWaitSleeps = 30;
// While connected the manager is asked this often whether the call still
// exists: a lost event or a restarted manager tells nobody.
constexpr int kCallCheckSeconds = 30;
constexpr int kNitzAttempts = 12;
constexpr unsigned kNitzPause = 5;

const char* const kRadioNames[] = {
    "unknown", "TD_SCDMA", "GSM",    "HSPAP",  "LTE",   "EHRPD", "EVDO_B", "HSPA", "HSUPA", "HSDPA",
    "EVDO_A",  "EVDO_0",   "1xRTT", "IS95B", "IS95A", "UMTS",  "EDGE",   "GPRS", "NONE",
};

struct CountryZone {
    int mcc;
    int hours;
};
// Searched in order; the first match wins.
const CountryZone kCountryZones[] = {
    {276, 1}, {232, 1}, {206, 1}, {284, 2}, {219, 1}, {280, 2}, {230, 1}, {238, 1}, {248, 2}, {244, 2}, {208, 1},
    {262, 1}, {266, 1}, {202, 1}, {234, 0}, {216, 1}, {274, 0}, {272, 0}, {234, 0}, {222, 1}, {234, 0}, {247, 2},
    {295, 1}, {246, 2}, {270, 1}, {294, 1}, {278, 1}, {212, 1}, {204, 1}, {242, 1}, {260, 1}, {268, 0}, {226, 2},
    {292, 1}, {220, 1}, {231, 1}, {293, 1}, {214, 1}, {240, 1}, {228, 1}, {286, 3}, {255, 2}, {234, 0}, {225, 1},
};

// Steps of the handler, in the order a good run takes them.
enum CellStep {
    STEP_SCAN_SLOTS,
    STEP_CHECK_CARD,
    STEP_CHECK_SETTING,
    STEP_APN,
    STEP_WAIT_SIGNAL,
    STEP_REGISTRATION,
    STEP_OPEN,
    STEP_WAIT_CONNECTION,
    STEP_CONNECTED,
    STEP_CLOSE,
    STEP_FAILED,
    STEP_DISABLED,
};

struct CellContext {
    CellStep step = STEP_SCAN_SLOTS;
    int cardChecks = 0;  // failed card checks so far
    int attempt = 1;     // data-call attempt of this cycle: 1 or 2
};

bool cardUsable(CellContext& ctx) {
    QL_MCM_SIM_CardStatus status;
    int ret = simCardStatus(&status);
    if (ret == 0 && status.card_state == MCM_SIM_CARD_STATE_PRESENT) return true;
    const SimSlot* slot = cellularState().currentSlot;
    int number = slot != nullptr ? slot->number : 0;
    logMessage("cellular", LOG_ERROR, "Sim error (slot #%d): ret %d", number, ret);
    logMessage("cellular", LOG_ERROR, "Sim error (slot #%d): e_card_state %d", number,
               static_cast<int>(status.card_state));
    ctx.cardChecks++;
    return false;
}

bool waitStableSignal() {
    int previous = 0;
    int current = signalRead();
    for (int sleeps = 0; !signalStable(previous, current);) {
        if (sleeps == kStableSignalSleeps) return false;
        previous = current;
        current = signalRead();
        cellSleep(1);
        sleeps++;
    }
    return true;
}

// Copies at most size - 1 characters of a text that may lack its terminator.
void copyBounded(char* dest, size_t size, const char* src, size_t srcSize) {
    size_t n = strnlen(src, srcSize);
    if (n > size - 1) n = size - 1;
    memcpy(dest, src, n);
    dest[n] = '\0';
}

void readRegistration() {
    if (nwClientEnsure() != 0) return;
    QL_MCM_NW_RegStatus reg;
    memset(&reg, 0, sizeof reg);
    if (QL_MCM_NW_GetRegStatus(nwClientHandle(), &reg) != 0) return;
    CellularState& cell = cellularState();
    if (reg.data_3gpp.valid) {
        const McmNw3gppPart& p = reg.data_3gpp.part;
        snprintf(cell.radioType, sizeof cell.radioType, "%s", radioTypeName(p.radio_tech));
        copyBounded(cell.mcc, sizeof cell.mcc, p.mcc, sizeof p.mcc);
        copyBounded(cell.mnc, sizeof cell.mnc, p.mnc, sizeof p.mnc);
        cell.cellId = static_cast<int32_t>(p.cell_id);
        if (p.lac != 0) cell.areaCode = p.lac;
        else if (p.tac != 0) cell.areaCode = p.tac;
    } else if (reg.data_3gpp2.valid) {
        const McmNw3gpp2Part& p = reg.data_3gpp2.part;
        snprintf(cell.radioType, sizeof cell.radioType, "%s", radioTypeName(p.radio_tech));
        copyBounded(cell.mcc, sizeof cell.mcc, p.mcc, sizeof p.mcc);
        copyBounded(cell.mnc, sizeof cell.mnc, p.mnc, sizeof p.mnc);
        cell.cellId = 0;
        cell.areaCode = 0;
    }
}

void applyZone(const char* zone) {
    char tz[24];  // "UTC" and any zone the 16-byte zone field can hold
    snprintf(tz, sizeof tz, "UTC%s", zone);
    setenv("TZ", tz, 1);
    tzset();
}

// Once per thread run, on the first connection: the zone from the country
// table (and the clock from NTP) in Europe, from the network time elsewhere.
void setTime() {
    CellularState& cell = cellularState();
    char zone[16] = "";
    bool haveZone = false;
    if (cell.mcc[0] == '2') {
        int hours = zoneHoursForMcc(atoi(cell.mcc));
        if (hours >= 0) {
            snprintf(zone, sizeof zone, "-0%d:00", hours);
            haveZone = true;
            // ntpd -q waits for ever when no server answers: bound it so the
            // handler goes on watching the data call.
            shell_run_bounded(kNtpSeconds, "ntpd -nNqp %s", kNtpHost);
        }
    }
    for (int attempt = 0; !haveZone && attempt < kNitzAttempts; attempt++) {
        if (attempt > 0) cellSleep(kNitzPause);
        QL_MCM_NW_NitzTime nitz;
        memset(&nitz, 0, sizeof nitz);
        int ret = nwClientEnsure();
        if (ret == 0) ret = QL_MCM_NW_GetNitzTimeInfo(nwClientHandle(), &nitz);
        if (ret != 0) {
            logMessage("Datetime", LOG_ERROR, "Failed to get nitz: %d", ret);
            continue;
        }
        char text[sizeof nitz.time + 1] = {};
        memcpy(text, nitz.time, sizeof nitz.time);
        char got[16];
        int q = zoneFromNitz(text, got, sizeof got);
        if (q < 0) continue;  // malformed: as good as no answer
        memcpy(zone, got, sizeof zone);
        // A zero offset counts as no answer, but stays as the last zone text.
        if (q != 0) break;
    }
    // No zone text at all (every attempt failed): TZ stays as it is.
    if (zone[0] != '\0') applyZone(zone);
    cell.timeSet = 1;
}

void endThread() { gThreadStarted.store(0); }

void* cellThread(void*) {
    cellHandlerMain();
    return nullptr;
}

}  // namespace

bool signalStable(int previous, int current) {
    int diff = current - previous;
    return current != 0 && diff <= 2 && diff >= -2;
}

int zoneHoursForMcc(int mcc) {
    for (const CountryZone& z : kCountryZones)
        if (z.mcc == mcc) return z.hours;
    return -1;
}

// Example: "26/12/07,22:15:00-20,0" (5 hours west) gives "+05:00".
int zoneFromNitz(const char* nitz, char* zone, unsigned zoneSize) {
    if (nitz == nullptr || zone == nullptr || zoneSize < 7) return -1;
    if (strnlen(nitz, 20) < 20) return -1;
    char sign = nitz[17];
    if ((sign != '+' && sign != '-') || !isdigit(static_cast<unsigned char>(nitz[18])) ||
        !isdigit(static_cast<unsigned char>(nitz[19])))
        return -1;
    int q = (nitz[18] - '0') * 10 + (nitz[19] - '0');
    snprintf(zone, zoneSize, "%c%02d:%02d", sign == '+' ? '-' : '+', q / 4, (q % 4) * 15);
    return q;
}

const char* radioTypeName(unsigned value) {
    return value < sizeof kRadioNames / sizeof kRadioNames[0] ? kRadioNames[value] : kRadioNames[0];
}

bool cellThreadStarted() { return gThreadStarted.load() != 0; }
bool cellularOff() { return gCellularOff.load() != 0; }

void cellHandlerStart() {
    // Claimed before the thread exists, so a thread that fails at once
    // cannot have its "ended" overwritten by a late "started".
    int expected = 0;
    if (!gThreadStarted.compare_exchange_strong(expected, 1)) {
        logMessage("cell", LOG_WARNING, "Cellular handler thread already created");
        return;
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, cellThread, nullptr) != 0) {
        gThreadStarted.store(0);
        logMessage("cell", LOG_ERROR, "Fail to create cellular handler thread");
        return;
    }
    pthread_detach(thread);
    logMessage("cell", LOG_INFO, "Cellular handler thread created successfully");
}

int cellHandlerMain() {
    CellularState& cell = cellularState();
    cell.currentSlot = &simSlot(0);
    cell.timeSet = 0;
    cellularClearNetworkFacts(cell);

    CellContext ctx;
    for (;;) {
        switch (ctx.step) {
        case STEP_SCAN_SLOTS:
            ctx.step = simScanSlots() == 0 ? STEP_CHECK_CARD : STEP_FAILED;
            break;
        case STEP_CHECK_CARD:
            if (cardUsable(ctx)) {
                ctx.step = STEP_CHECK_SETTING;
            } else if (ctx.cardChecks == 1) {
                cellReset();
            } else {
                cell.simError = 1;
                ctx.step = STEP_FAILED;
            }
            break;
        case STEP_CHECK_SETTING:
            ctx.step = isCellularEnabled() ? STEP_APN : STEP_DISABLED;
            break;
        case STEP_APN:
            if (apnProfileSetup() == 0) {
                ctx.step = STEP_WAIT_SIGNAL;
                break;
            }
            // A refused profile is a failed connection: reset, and pace the
            // next try as a connection wait would.
            cellReset();
            cellSleep(kConnectWaitSleeps);
            break;
        case STEP_WAIT_SIGNAL:
            if (waitStableSignal()) {
                ctx.step = STEP_REGISTRATION;
            } else {
                logMessage("cell", LOG_ERROR, "Can't get stable signal");
                cellReset();
                ctx.step = STEP_APN;
            }
            break;
        case STEP_REGISTRATION:
            cell.signalFound = 1;
            readRegistration();
            // Needed once the call is up (every request names the camera by it).
            refreshModemImei();
            logMessage("cellular", LOG_INFO, "Signal type: %s", cell.radioType);
            ctx.attempt = 1;
            ctx.step = STEP_OPEN;
            break;
        case STEP_OPEN:
            if (dataCallOpen() == 0) {
                ctx.step = STEP_WAIT_CONNECTION;
                break;
            }
            logMessage("cell", LOG_ERROR, "Open data context failed");
            cellReset();
            if (ctx.attempt == 1) {
                ctx.attempt = 2;
            } else {
                cellReset();
                ctx.step = STEP_APN;
            }
            break;
        case STEP_WAIT_CONNECTION: {
            auto connected = [&cell] { return cell.dataConnected.load() == 1; };
            for (int sleeps = 0; !connected() && sleeps < kConnectWaitSleeps; sleeps++) cellSleep(1, connected);
            if (connected()) {
                if (!cell.timeSet.load()) setTime();
                ctx.step = STEP_CONNECTED;
            } else {
                ctx.step = STEP_CLOSE;
            }
            break;
        }
        case STEP_CONNECTED: {
            // Held for as long as the network keeps the call.
            auto dropped = [&cell] { return cell.dataConnected.load() != 1; };
            for (int sleeps = 1; !dropped(); sleeps++) {
                cellSleep(1, dropped);
                if (sleeps % kCallCheckSeconds == 0) dataCallCheck();
            }
            ctx.step = STEP_CLOSE;
            break;
        }
        case STEP_CLOSE:
            QL_Data_Call_Stop(kDaemonProfile, 0, nullptr);
            if (ctx.attempt == 1) {
                ctx.attempt = 2;
                ctx.step = STEP_OPEN;
            } else {
                cellReset();
                ctx.step = STEP_APN;
            }
            break;
        case STEP_FAILED:
            logMessage("cellular", LOG_ERROR, "Modem initialization error - %d", -1);
            endThread();
            return -1;
        case STEP_DISABLED:
            logMessage("cell", LOG_INFO, "Cellular signal research deactivated");
            gCellularOff.store(1);
            return 0;
        }
    }
}
