#include "cellular/cell_handler.h"

#include <pthread.h>
#include <sys/wait.h>
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
#include "cellular/wall_clock.h"
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


// ---- the clock ----

long long monotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

// "no answer within 60 s", "ntpd exit 127" (no ntpd on PATH), ...
void describeNtpFailure(int status, char* text, size_t size) {
    if (status == -1)
        snprintf(text, size, "no answer within %d s", kNtpSeconds);
    else if (WIFEXITED(status))
        snprintf(text, size, "ntpd exit %d", WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        snprintf(text, size, "ntpd signal %d", WTERMSIG(status));
    else
        snprintf(text, size, "status %d", status);
}

// ntpd sets the clock itself. True when it did and the result can be
// believed; a date before the build's (a wrong server) is undone when the
// clock was believed before.
bool clockFromNtp() {
    WallClock& clock = wallClock();
    time_t before = clock.now();
    long long started = monotonicSeconds();
    // ntpd -q waits for ever when no server answers: bound it so the
    // handler goes on watching the data call.
    int status = shell_run_bounded(kNtpSeconds, "ntpd -nNqp %s", kNtpHost);
    time_t after = clock.now();
    char was[24], is[24];
    formatUtc(before, was, sizeof was);
    formatUtc(after, is, sizeof is);
    char why[48];
    describeNtpFailure(status, why, sizeof why);
    if (after < clockFloor()) {
        if (before >= clockFloor()) {
            time_t back = before + static_cast<time_t>(monotonicSeconds() - started);
            clock.set(back);
            formatUtc(back, was, sizeof was);
            logMessage("clock", LOG_WARNING, "NTP gave %s, before the build's date: set back to %s UTC", is,
                       was);
            return true;
        }
        logMessage("clock", LOG_WARNING, "NTP failed (%s): the clock reads %s UTC", why, is);
        return false;
    }
    if (status != 0) {
        logMessage("clock", LOG_WARNING, "NTP failed (%s): the clock kept at %s UTC", why, is);
        return false;
    }
    setClockSource(CLOCK_SOURCE_NTP);
    logMessage("clock", LOG_INFO, "Set by NTP from %s: %s UTC (was %s)", kNtpHost, is, was);
    return true;
}

// The network's time for the clock, when it gave one (-1 when not).
void clockFromNetwork(time_t offered) {
    WallClock& clock = wallClock();
    time_t now = clock.now();
    char got[24], was[24];
    formatUtc(offered, got, sizeof got);
    formatUtc(now, was, sizeof was);
    if (offered < 0) {
        if (!clockKnownTrue())
            logMessage("clock", LOG_ERROR, "No true date: the network gave no time and the clock reads %s UTC",
                       was);
        return;
    }
    switch (judgeNetworkTime(offered, now, clockFloor())) {
    case CLOCK_TAKE: {
        int status = clock.set(offered);
        if (status != 0) {
            logMessage("clock", LOG_ERROR, "Setting the clock to %s UTC failed (status %d)", got, status);
            return;
        }
        setClockSource(CLOCK_SOURCE_NETWORK);
        logMessage("clock", LOG_INFO, "Set from the network time: %s UTC (was %s)", got, was);
        return;
    }
    case CLOCK_KEEP:
        logMessage("clock", LOG_INFO, "Kept at %s UTC: the network time %s is not newer", was, got);
        return;
    case CLOCK_REFUSE_EARLY: {
        char floor[24];
        formatUtc(clockFloor(), floor, sizeof floor);
        logMessage("clock", LOG_WARNING, "Network time %s refused: before the build's date %s", got, floor);
        if (!clockKnownTrue())
            logMessage("clock", LOG_ERROR, "No true date: the clock reads %s UTC", was);
        return;
    }
    }
}

// Asks the network time up to 12 times, 5 s apart: for the zone (wantZone)
// until it gives a non-zero offset, and for the date until it gives one.
// The zone text of the last answer lands in zone; the date is -1 when none.
time_t askNetworkTime(bool wantZone, char* zone, size_t zoneSize) {
    time_t date = -1;
    for (int attempt = 0; attempt < kNitzAttempts; attempt++) {
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
        time_t at = utcFromNitz(text);
        if (at >= 0) date = at;
        char got[16];
        int q = zoneFromNitz(text, got, sizeof got);
        if (q >= 0) memcpy(zone, got, zoneSize < sizeof got ? zoneSize : sizeof got);
        // A zero offset counts as no answer, but stays as the last zone text.
        bool zoneDone = !wantZone || q > 0;
        if (zoneDone && date >= 0) break;
    }
    return date;
}

// Once per thread run, on the first connection: the zone from the country
// table and the clock from NTP in Europe, both from the network time
// elsewhere. The network's date also stands in for NTP when that failed.
void setTime() {
    CellularState& cell = cellularState();
    char zone[16] = "";
    bool european = false;
    if (cell.mcc[0] == '2') {
        int hours = zoneHoursForMcc(atoi(cell.mcc));
        if (hours >= 0) {
            snprintf(zone, sizeof zone, "-0%d:00", hours);
            european = true;
        }
    }
    if (!european) {
        clockFromNetwork(askNetworkTime(true, zone, sizeof zone));
    } else if (!clockFromNtp() && !clockKnownTrue()) {
        char unused[16] = "";
        clockFromNetwork(askNetworkTime(false, unused, sizeof unused));
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

void reserveZoneVariable() {
    // Unset and ":/etc/localtime" mean the same zone to the C library.
    if (getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 0);
}

void applyZone(const char* zone) {
    char tz[24];  // "UTC" and any zone the 16-byte zone field can hold
    snprintf(tz, sizeof tz, "UTC%s", zone);
    // TZ already exists (reserveZoneVariable): replacing its value leaves
    // the environment's array where it is for threads reading it.
    setenv("TZ", tz, 1);
    tzset();
}

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

// Example: "26/12/07,22:15:00-20,0" gives 2026-12-07 22:15:00 UTC: the
// network sends universal time and the zone apart.
time_t utcFromNitz(const char* nitz) {
    if (nitz == nullptr || strnlen(nitz, 17) < 17) return -1;
    static const char kShape[] = "dd/dd/dd,dd:dd:dd";
    int v[6];
    for (int i = 0; i < 17; i++) {
        bool digit = isdigit(static_cast<unsigned char>(nitz[i])) != 0;
        if (kShape[i] == 'd' ? !digit : nitz[i] != kShape[i]) return -1;
    }
    for (int i = 0; i < 6; i++) v[i] = (nitz[i * 3] - '0') * 10 + (nitz[i * 3 + 1] - '0');
    if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 || v[4] > 59 || v[5] > 60) return -1;
    struct tm t {};
    t.tm_year = 100 + v[0];
    t.tm_mon = v[1] - 1;
    t.tm_mday = v[2];
    t.tm_hour = v[3];
    t.tm_min = v[4];
    t.tm_sec = v[5];
    time_t at = timegm(&t);
    struct tm back {};
    gmtime_r(&at, &back);
    // 31 February and the like do not come back as they went in.
    if (back.tm_mday != v[2] || back.tm_mon != v[1] - 1) return -1;
    return at;
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
