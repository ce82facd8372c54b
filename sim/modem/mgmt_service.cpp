#include "mgmt_service.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "cellular/mgmt_msgs.h"
#include "mcm_service.h"

namespace {

// Scenario keys (defaults in brackets):
//   manager.call.state [0], manager.call.profile [3]
//   manager.start_result [0]  non-zero refuses the start
//   manager.connect [true]    false: the start ends with a state-0 event
//   manager.fail_reason [0x10], manager.iface ["rmnet_data0"], manager.ipv4 ["10.64.12.7"]
//   manager.require_network [false]  true: a start is refused (result 1) unless a
//                             card answers, the network is registered and the radio is on
//   manager.bearer_seconds [0]  the bearer comes up this long after the start
//   manager.bearer_max [0]    or a random time up to this (seeded by "seed")
//   manager.drop_events [true]  false: drops send no event
//   errors.0x60004 {"result": 1}  the APN profile write is refused (any message likewise)

std::vector<uint8_t> eventBytes(const QL_Data_Call_Event& e) {
    std::vector<uint8_t> b(sizeof e);
    memcpy(b.data(), &e, sizeof e);
    return b;
}

QL_Data_Call_Event callEvent(Scenario& sc, uint8_t profile, int32_t state, int32_t reason) {
    QL_Data_Call_Event e;
    memset(&e, 0, sizeof e);
    e.profile = profile;
    e.ip_family = 0;
    e.state = state;
    e.reason = reason;
    if (state == 1) {
        copyText(e.iface, sizeof e.iface, sc.str("manager.iface", "rmnet_data0"));
        in_addr a{};
        if (inet_pton(AF_INET, sc.str("manager.ipv4", "10.64.12.7").c_str(), &a) == 1) memcpy(e.address, &a, 4);
    }
    return e;
}

void setCall(Scenario& sc, int state, int profile) {
    sc.set("manager.call.state", json_object_new_int(state));
    sc.set("manager.call.profile", json_object_new_int(profile));
}

// APN profiles: "manager.apns": {"3": {"pdp": 0, "auth": 255, "apn": "...", "user": "", "password": ""}}
std::string apnKey(int profile) { return "manager.apns." + std::to_string(profile); }

std::string field(const char* p, size_t n) { return std::string(p, strnlen(p, n)); }

void storeApn(Scenario& sc, const MgmtApnReq& r) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "pdp", json_object_new_int(r.pdp_type));
    json_object_object_add(o, "auth", json_object_new_int(r.auth));
    json_object_object_add(o, "apn", json_object_new_string(field(r.apn, sizeof r.apn).c_str()));
    json_object_object_add(o, "user", json_object_new_string(field(r.user, sizeof r.user).c_str()));
    json_object_object_add(o, "password", json_object_new_string(field(r.password, sizeof r.password).c_str()));
    sc.set(apnKey(r.profile), o);
}

bool apnAnswer(Scenario& sc, bool isSet, int msgId, const std::vector<uint8_t>& record, MgmtAnswer& out) {
    MgmtApnReq r;
    memcpy(&r, record.data(), sizeof r);
    switch (msgId) {
    case MGMT_APN_PROFILE:
        if (isSet) {
            storeApn(sc, r);
            return true;
        }
        if (!sc.has(apnKey(r.profile))) {
            out.result = -1;
            return true;
        }
        r.pdp_type = static_cast<uint8_t>(sc.num(apnKey(r.profile) + ".pdp"));
        r.auth = static_cast<uint8_t>(sc.num(apnKey(r.profile) + ".auth"));
        copyText(r.apn, sizeof r.apn, sc.str(apnKey(r.profile) + ".apn"));
        copyText(r.user, sizeof r.user, sc.str(apnKey(r.profile) + ".user"));
        copyText(r.password, sizeof r.password, sc.str(apnKey(r.profile) + ".password"));
        out.record.assign(kMgmtMsgSize, 0);
        memcpy(out.record.data(), &r, sizeof r);
        return true;
    case MGMT_APN_LIST: {
        if (isSet) return false;
        out.record.assign(kMgmtMsgSize, 0);
        int n = 0;
        for (int p = 0; p <= 24; ++p)
            if (sc.has(apnKey(p))) out.record[1 + n++] = static_cast<uint8_t>(p);
        out.record[0] = static_cast<uint8_t>(n);
        return true;
    }
    case MGMT_APN_DELETE:
        if (!isSet) return false;
        sc.set(apnKey(r.profile), nullptr);
        return true;
    case MGMT_APN_ADD: {
        if (!isSet) return false;
        int p = 1;
        while (p <= 24 && sc.has(apnKey(p))) ++p;
        if (p > 24) {
            out.result = -1;
            return true;
        }
        r.profile = static_cast<uint8_t>(p);
        storeApn(sc, r);
        out.record.assign(kMgmtMsgSize, 0);
        memcpy(out.record.data(), &r, sizeof r);
        return true;
    }
    default: return false;
    }
}

}  // namespace

void mgmtDropCall(MgmtContext& ctx, int32_t reason, bool quiet) {
    auto profile = static_cast<uint8_t>(ctx.sc.num("manager.call.profile", 3));
    if (ctx.bearerCancelled) ctx.bearerCancelled();
    setCall(ctx.sc, 0, profile);
    if (quiet || !ctx.sc.flag("manager.drop_events", true)) return;
    ctx.broadcast(MGMT_DATA_CALL_START, eventBytes(callEvent(ctx.sc, profile, 0, reason)));
}

void mgmtCallUp(MgmtContext& ctx, uint8_t profile) {
    setCall(ctx.sc, 1, profile);
    ctx.broadcast(MGMT_DATA_CALL_START, eventBytes(callEvent(ctx.sc, profile, 1, 0)));
}

MgmtAnswer mgmtAnswer(MgmtContext& ctx, bool isSet, int msgId, const std::vector<uint8_t>& record) {
    Scenario& sc = ctx.sc;
    MgmtAnswer out;
    sc.set("last_request." + hexId(static_cast<uint32_t>(msgId)), json_object_new_string(hexBytes(record).c_str()));
    if (record.size() != static_cast<size_t>(kMgmtMsgSize)) {
        out.result = -1;
        return out;
    }
    std::string key = "errors." + hexId(static_cast<uint32_t>(msgId));
    if (sc.has(key)) {
        out.result = static_cast<int32_t>(sc.num(key + ".result", 1));
        return out;
    }
    if (msgId >= MGMT_APN_PROFILE && msgId <= MGMT_APN_ADD) {
        if (!apnAnswer(sc, isSet, msgId, record, out)) out.result = -1;
        return out;
    }
    switch (msgId) {
    case MGMT_DATA_CALL_START: {
        if (!isSet) break;
        MgmtDataCallStartReq r;
        memcpy(&r, record.data(), sizeof r);
        out.result = static_cast<int32_t>(sc.num("manager.start_result", 0));
        if (out.result != 0) return out;
        if (sc.flag("manager.require_network") && ctx.networkReady && !ctx.networkReady()) {
            setCall(sc, 0, r.profile);
            out.result = 1;
            return out;
        }
        if (sc.flag("manager.connect", true)) {
            if (ctx.bearerDelayed && ctx.bearerDelayed(r.profile)) {
                setCall(sc, 0, r.profile);  // up once the bearer is set up
                return out;
            }
            setCall(sc, 1, r.profile);
            out.event = eventBytes(callEvent(sc, r.profile, 1, 0));
        } else {
            setCall(sc, 0, r.profile);
            out.event = eventBytes(callEvent(sc, r.profile, 0, static_cast<int32_t>(sc.num("manager.fail_reason", 0x10))));
        }
        return out;
    }
    case MGMT_DATA_CALL_STOP: {
        if (!isSet) break;
        MgmtProfileFamilyReq r;
        memcpy(&r, record.data(), sizeof r);
        if (ctx.bearerCancelled) ctx.bearerCancelled();
        setCall(sc, 0, r.profile);
        out.event = eventBytes(callEvent(sc, r.profile, 0, 0));
        return out;
    }
    case MGMT_DATA_CALL_INFO: {
        if (isSet) break;
        MgmtProfileFamilyReq r;
        memcpy(&r, record.data(), sizeof r);
        out.record.assign(kMgmtMsgSize, 0);
        MgmtDataCallInfo info;
        memset(&info, 0, sizeof info);
        info.profile = r.profile;
        bool up = sc.num("manager.call.state", 0) == 1 && sc.num("manager.call.profile", 3) == r.profile;
        info.state = up ? 1 : 0;
        if (up) {
            copyText(info.iface, sizeof info.iface, sc.str("manager.iface", "rmnet_data0"));
            copyText(info.iface2, sizeof info.iface2, sc.str("manager.iface", "rmnet_data0"));
        }
        memcpy(out.record.data(), &info, sizeof info);
        return out;
    }
    case MGMT_DEFAULT_PROFILE: {
        if (isSet) {
            sc.set("manager.default_profile", json_object_new_int(record[0]));
        } else {
            out.record.assign(kMgmtMsgSize, 0);
            out.record[0] = static_cast<uint8_t>(sc.num("manager.default_profile", 1));
        }
        return out;
    }
    default: break;
    }
    out.result = -1;  // unknown message or direction
    return out;
}
