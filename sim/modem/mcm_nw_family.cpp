// Network family of the simulated MCM service.
//
// Scenario keys:
//   nw.reg: {"radio_tech": 14, "mcc": "310", "mnc": "410", "cell_id": 0x1A2B3C, "lac": 0x2B1F, "tac": 0x2B1F,
//            "registered": true}
//   nw.signal: {"lte": {"rssi": -65, "rsrq": -10, "rsrp": -95, "snr": 12}, "gsm": {"rssi": -80}, ...}
//   nw.nitz: "26/12/07,22:15:00+04,0"   a fixed network time text, answered as it is
//   nw.time: {"offset_s": 0, "zone": -20}  without nw.nitz (the default): the
//            network's time is the desk's true time (UTC) plus offset_s, with
//            the zone in quarter hours east (-20: five hours west);
//            "epoch": N (seconds since 1970) instead: the network's clock
//            starts at N when the simulator first sees that value and runs on
//            (a simulator whose own clock is not true, as in a booted image
//            that starts in 1970, is given the host's time this way);
//            false: the network gives no time
//   nw.cell_access: 0..3 (absent: the part is not valid)
#include "mcm_service.h"
#include "modem/mcm_nw_msgs.h"

#include <ctime>
#include <string>

namespace {

void fillReg(Scenario& sc, McmNwRegStatus& r) {
    memset(&r, 0, sizeof r);
    if (!sc.flag("nw.reg.registered", true)) return;
    for (McmNw3gppReg* p : {&r.voice_3gpp, &r.data_3gpp}) {
        p->valid = 1;
        p->part.radio_tech = static_cast<uint32_t>(sc.num("nw.reg.radio_tech", 14));
        copyText(p->part.mcc, sizeof p->part.mcc, sc.str("nw.reg.mcc", "310"));
        copyText(p->part.mnc, sizeof p->part.mnc, sc.str("nw.reg.mnc", "410"));
        p->part.cell_id = static_cast<uint32_t>(sc.num("nw.reg.cell_id", 0x1A2B3C));
        p->part.lac = static_cast<uint16_t>(sc.num("nw.reg.lac", 0x2B1F));
        p->part.tac = static_cast<uint16_t>(sc.num("nw.reg.tac", 0x2B1F));
    }
    r.voice.valid = r.data.valid = 1;
    r.voice.values[0] = r.data.values[0] = 1;  // registered
}

// nw.time is an object of settings, or false.
bool networkTimeOn(Scenario& sc) {
    json_object* t = sc.find("nw.time");
    return t == nullptr || !json_object_is_type(t, json_type_boolean) || json_object_get_boolean(t);
}

// "yy/mm/dd,hh:mm:ss+qq,0": universal time and the zone in quarter hours.
std::string networkTime(Scenario& sc) {
    time_t t = time(nullptr);
    if (sc.has("nw.time.epoch")) {
        // Runs on from the moment this value was first seen.
        static int64_t seenEpoch = -1;
        static struct timespec seenAt;
        int64_t epoch = sc.num("nw.time.epoch");
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (epoch != seenEpoch) {
            seenEpoch = epoch;
            seenAt = now;
        }
        t = static_cast<time_t>(epoch + (now.tv_sec - seenAt.tv_sec));
    }
    t += static_cast<time_t>(sc.num("nw.time.offset_s", 0));
    long q = static_cast<long>(sc.num("nw.time.zone", -20));
    struct tm u {};
    gmtime_r(&t, &u);
    char text[40];
    snprintf(text, sizeof text, "%02d/%02d/%02d,%02d:%02d:%02d%c%02ld,0", u.tm_year % 100, u.tm_mon + 1,
             u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec, q < 0 ? '-' : '+', (q < 0 ? -q : q) % 100);
    return text;
}

}  // namespace

McmNwSignal simSignal(Scenario& sc) {
    McmNwSignal s;
    memset(&s, 0, sizeof s);
    auto i8 = [&](const char* k) { return static_cast<int8_t>(sc.num(k)); };
    auto i16 = [&](const char* k) { return static_cast<int16_t>(sc.num(k)); };
    if (sc.has("nw.signal.gsm")) {
        s.gsm_valid = 1;
        s.gsm_rssi = i8("nw.signal.gsm.rssi");
    }
    if (sc.has("nw.signal.wcdma")) {
        s.wcdma_valid = 1;
        s.wcdma_rssi = i8("nw.signal.wcdma.rssi");
        s.wcdma_ecio = i16("nw.signal.wcdma.ecio");
    }
    if (sc.has("nw.signal.lte")) {
        s.lte_valid = 1;
        s.lte_rssi = i8("nw.signal.lte.rssi");
        s.lte_rsrq = i8("nw.signal.lte.rsrq");
        s.lte_rsrp = i16("nw.signal.lte.rsrp");
        s.lte_snr = i16("nw.signal.lte.snr");
    }
    if (sc.has("nw.signal.cdma")) {
        s.cdma_valid = 1;
        s.cdma_rssi = i8("nw.signal.cdma.rssi");
        s.cdma_ecio = i16("nw.signal.cdma.ecio");
    }
    return s;
}

bool mcmNwFamily(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req, McmAnswer& out) {
    Scenario& sc = ctx.sc;
    switch (msgId) {
    case MCM_NW_SET_CONFIG:
    case MCM_NW_SET_LOW_POWER:
    case MCM_NW_SET_SELECTION:
    case MCM_NW_EVENT_REGISTER: out.set(McmAnswerHeader{0, 0}); return true;
    case MCM_NW_GET_CONFIG: {
        McmNwConfigAnswer a;
        memset(&a, 0, sizeof a);
        a.pref_valid = 1;
        a.preferred = static_cast<uint64_t>(sc.num("nw.config.preferred", 0x10));
        a.roaming_valid = 1;
        a.roaming = static_cast<uint32_t>(sc.num("nw.config.roaming", 0));
        out.set(a);
        return true;
    }
    case MCM_NW_GET_REG_STATUS: {
        McmNwRegStatusAnswer a;
        memset(&a, 0, sizeof a);
        fillReg(sc, a.reg);
        out.set(a);
        return true;
    }
    case MCM_NW_SCAN: {
        auto a = std::make_unique<McmNwScanAnswer>();
        memset(a.get(), 0, sizeof *a);
        a->valid = 1;
        a->count = static_cast<uint32_t>(sc.num("nw.scan_count", 2));  // may lie, on purpose
        out.bytes.assign(reinterpret_cast<uint8_t*>(a.get()), reinterpret_cast<uint8_t*>(a.get()) + sizeof *a);
        return true;
    }
    case MCM_NW_GET_OPERATOR_NAME: {
        McmNwOperatorNameAnswer a;
        memset(&a, 0, sizeof a);
        a.valid = 1;
        copyText(a.long_name, sizeof a.long_name, sc.str("nw.operator", "Simulated Wireless"));
        copyText(a.short_name, sizeof a.short_name, sc.str("nw.operator_short", "SimNet"));
        out.set(a);
        return true;
    }
    case MCM_NW_GET_SIGNAL_STRENGTH: {
        McmNwSignalAnswer a;
        memset(&a, 0, sizeof a);
        a.sig = simSignal(sc);
        out.set(a);
        return true;
    }
    case MCM_NW_GET_CELL_ACCESS_STATE: {
        McmNwCellAccessAnswer a;
        memset(&a, 0, sizeof a);
        if (sc.has("nw.cell_access")) {
            a.valid = 1;
            a.state = static_cast<uint32_t>(sc.num("nw.cell_access"));
        }
        out.set(a);
        return true;
    }
    case MCM_NW_GET_NITZ_TIME_INFO: {
        McmNwNitzAnswer a;
        memset(&a, 0, sizeof a);
        if (sc.has("nw.nitz")) {
            a.time_valid = 1;
            copyText(a.time, sizeof a.time, sc.str("nw.nitz"));
        } else if (networkTimeOn(sc)) {
            a.time_valid = 1;
            copyText(a.time, sizeof a.time, networkTime(sc));
        }
        out.set(a);
        return true;
    }
    default: (void)req; return false;
    }
}
