#include "mcm_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "modem/mcm_msgs.h"

namespace {

struct Family {
    uint8_t id;
    McmFamilyHandler handler;
};

// One row per service family the simulator answers.
const Family kFamilies[] = {
    {0x02, mcmDmFamily},
    {0x05, mcmNwFamily},
    {0x07, mcmSmsFamily},
    {0x08, mcmClientFamily},
    {0x0B, mcmSimFamily},
    {0x10, mcmVoiceFamily},
};

struct ServiceFlag {
    uint16_t mask;
    const char* path;
};
const ServiceFlag kServiceFlags[] = {
    {0x10, "/tmp//mcm_data_service_ready.flag"}, {0x40, "/tmp/mcm_loc_service_ready.flag"},
    {0x80, "/tmp/mcm_mobileap_service_ready.flag"}, {0x20, "/tmp/mcm_atcop_service_ready.flag"},
    {0x08, "/tmp/mcm_sim_service_ready.flag"},
};

void touch(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
}

}  // namespace

void copyText(char* dst, size_t n, const std::string& s) {
    if (n == 0) return;
    size_t len = s.size() < n - 1 ? s.size() : n - 1;
    memcpy(dst, s.data(), len);
    dst[len] = '\0';
}

std::string hexId(uint32_t msgId) {
    char b[16];
    snprintf(b, sizeof b, "0x%x", msgId);
    return b;
}

std::string hexBytes(const std::vector<uint8_t>& b) {
    std::string s;
    char x[4];
    for (uint8_t c : b) {
        snprintf(x, sizeof x, "%02x", c);
        s += x;
    }
    return s;
}

McmAnswer mcmAnswer(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req) {
    McmAnswer out;
    // What the client sent last, per message, for tests: "last_request.0x203": "0101"
    ctx.sc.set("last_request." + hexId(msgId), json_object_new_string(hexBytes(req).c_str()));
    bool known = false;
    for (const auto& f : kFamilies)
        if (f.id == mcmFamily(msgId)) known = f.handler(ctx, msgId, req, out);
    if (!known) {
        out.status = 2;  // the library's generic error: unknown message
        out.bytes.clear();
        return out;
    }
    // Error answers on demand: "errors": {"0x2a1": {"result": 1, "error": 3}}
    std::string key = "errors." + hexId(msgId);
    if (ctx.sc.has(key) && out.bytes.size() >= sizeof(McmAnswerHeader)) {
        McmAnswerHeader h{static_cast<int32_t>(ctx.sc.num(key + ".result", 1)),
                          static_cast<int32_t>(ctx.sc.num(key + ".error", 0))};
        memcpy(out.bytes.data(), &h, sizeof h);
    }
    return out;
}

// Client service: bringing up sub-services, event registrations.
bool mcmClientFamily(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req, McmAnswer& out) {
    if (msgId != MCM_CLIENT_REQUIRE_SERVICE) return false;
    auto r = requestAs<McmRequireServiceRequest>(req);
    McmAnswerHeader h{0, 0};
    // "mcm.unready": sub-services whose ready flag never appears (mask bits).
    uint16_t unready = static_cast<uint16_t>(ctx.sc.num("mcm.unready", 0));
    for (const auto& f : kServiceFlags)
        if ((r.mask & f.mask) && !(unready & f.mask)) touch(ctx.root + f.path);
    out.set(h);
    return true;
}

// Device management: serial numbers, firmware revision, radio mode.
bool mcmDmFamily(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req, McmAnswer& out) {
    Scenario& sc = ctx.sc;
    switch (msgId) {
    case MCM_DM_GET_SERIAL_NUMBERS: {
        McmDmSerialNumbersAnswer a;
        memset(&a, 0, sizeof a);
        // "dm.imei_delay": the IMEI is not valid for the first N seconds of the service.
        bool early = sc.num("clock.now_ms") < sc.num("dm.imei_delay") * 1000;
        if (sc.has("dm.imei") && !early) {
            a.sn.imei_valid = 1;
            copyText(a.sn.imei, sizeof a.sn.imei, sc.str("dm.imei"));
        }
        if (sc.has("dm.meid")) {
            a.sn.meid_valid = 1;
            copyText(a.sn.meid, sizeof a.sn.meid, sc.str("dm.meid"));
        }
        out.set(a);
        return true;
    }
    case MCM_DM_GET_DEVICE_REV_ID: {
        McmDmRevisionAnswer a;
        memset(&a, 0, sizeof a);
        copyText(a.revision, sizeof a.revision, sc.str("dm.firmware"));
        out.set(a);
        return true;
    }
    case MCM_DM_GET_RADIO_MODE: {
        McmDmRadioModeAnswer a;
        memset(&a, 0, sizeof a);
        if (sc.has("dm.radio_mode")) {
            a.mode_valid = 1;
            a.mode = static_cast<int32_t>(sc.num("dm.radio_mode"));
        }
        out.set(a);
        return true;
    }
    case MCM_DM_SET_RADIO_MODE: {
        auto r = requestAs<McmDmSetRadioModeRequest>(req);
        sc.set("dm.radio_mode", json_object_new_int(r.mode));
        McmDmSetRadioModeAnswer a;
        memset(&a, 0, sizeof a);
        out.set(a);
        if (sc.flag("dm.radio_ind")) {
            McmDmRadioModeInd ind{1, r.mode};
            std::vector<uint8_t> data(sizeof ind);
            memcpy(data.data(), &ind, sizeof ind);
            ctx.indicate(MCM_DM_RADIO_MODE_CHANGED_IND, data);
        }
        return true;
    }
    case MCM_DM_EVENT_REGISTER: {
        auto r = requestAs<McmDmEventRegisterRequest>(req);
        if (r.radio_mode_valid) sc.set("dm.radio_ind", json_object_new_boolean(r.radio_mode_on));
        out.set(McmAnswerHeader{0, 0});
        return true;
    }
    default: return false;
    }
}

// SMS and voice: only their event registrations.
bool mcmSmsFamily(McmContext&, uint32_t msgId, const std::vector<uint8_t>&, McmAnswer& out) {
    if (msgId != MCM_SMS_EVENT_REGISTER) return false;
    out.set(McmAnswerHeader{0, 0});
    return true;
}

bool mcmVoiceFamily(McmContext&, uint32_t msgId, const std::vector<uint8_t>&, McmAnswer& out) {
    if (msgId != MCM_VOICE_EVENT_REGISTER) return false;
    out.set(McmAnswerHeader{0, 0});
    return true;
}
