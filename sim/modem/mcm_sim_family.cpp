// SIM family of the simulated MCM service. The card answering is the one in
// the slot the select line connected when the radio last came on.
//
// Scenario keys:
//   sim.active_slot [0]
//   sim.slots.N.present [true], .pin_state ["ready" | "locked"], .pin ["1234"],
//   .iccid, .imsi, .phone
//   sim.card_delay [0]  seconds after the radio comes on before the card answers
//                       (until then it reads as absent)
// A PIN that fails: "pin_state": "locked" with a "pin" other than the daemon's.
#include <string>

#include "mcm_service.h"
#include "modem/mcm_msgs.h"

namespace {

constexpr int32_t kErrSimAbsent = 11;    // service error numbers of our choosing
constexpr int32_t kErrIncorrectPin = 12;

std::string slotKey(Scenario& sc) { return "sim.slots." + std::to_string(sc.num("sim.active_slot", 0)) + "."; }

std::string slotPath(Scenario& sc) { return "sim.slots." + std::to_string(sc.num("sim.active_slot", 0)); }
// "sim.ready_at_ms" is set by the simulator when the radio comes on.
bool present(Scenario& sc) {
    if (sc.num("clock.now_ms") < sc.num("sim.ready_at_ms")) return false;
    return sc.has(slotPath(sc)) && sc.flag(slotKey(sc) + "present", true);
}

template <size_t N>
void textAnswer(McmAnswer& out, Scenario& sc, const std::string& field) {
    McmSimTextAnswer<N> a;
    memset(&a, 0, sizeof a);
    if (!present(sc)) {
        a.hdr = {1, kErrSimAbsent};
    } else if (sc.has(slotKey(sc) + field)) {
        std::string v = sc.str(slotKey(sc) + field);
        a.valid = 1;
        a.length = static_cast<uint32_t>(v.size() < N ? v.size() : N);
        memcpy(a.text, v.data(), a.length);
        // "text_length" overrides the announced length (a lying service).
        if (sc.has(slotKey(sc) + field + "_length"))
            a.length = static_cast<uint32_t>(sc.num(slotKey(sc) + field + "_length"));
    }
    out.set(a);
}

void statusAnswer(McmAnswer& out, int32_t result = 0, int32_t error = 0) {
    McmSimStatusAnswer a;
    memset(&a, 0, sizeof a);
    a.hdr = {result, error};
    a.retries = 3;
    out.set(a);
}

}  // namespace

McmSimCardStatus simCardStatus(Scenario& sc) {
    McmSimCardStatus s;
    memset(&s, 0, sizeof s);
    bool in = present(sc);
    s.card_state = in ? MCM_SIM_CARD_STATE_PRESENT : 0xB01;
    s.card_type = 0xB02;
    s.app_count = in ? 1 : 0;
    bool locked = sc.str(slotKey(sc) + "pin_state", "ready") == "locked" && !sc.flag(slotKey(sc) + "verified");
    s.pin_state = locked ? MCM_SIM_PIN_STATE_ENABLED_NOT_VERIFIED : 0xB03;
    return s;
}

bool mcmSimFamily(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req, McmAnswer& out) {
    Scenario& sc = ctx.sc;
    switch (msgId) {
    case MCM_SIM_GET_IMSI: textAnswer<16>(out, sc, "imsi"); return true;
    case MCM_SIM_GET_ICCID: textAnswer<20>(out, sc, "iccid"); return true;
    case MCM_SIM_GET_PHONE_NUMBER: textAnswer<84>(out, sc, "phone"); return true;
    case MCM_SIM_GET_OPERATOR_PLMN_LIST: {
        McmSimPlmnListAnswer a;
        memset(&a, 0, sizeof a);
        a.valid = present(sc) ? 1 : 0;
        a.count = static_cast<uint32_t>(sc.num("sim.plmn_count", 0));  // may lie, on purpose
        out.set(a);
        return true;
    }
    case MCM_SIM_READ_FILE: {
        McmSimReadFileAnswer a;
        memset(&a, 0, sizeof a);
        a.valid = 1;
        a.length = static_cast<uint32_t>(sc.num("sim.file_length", 4));
        memset(a.data, 0xFF, 16);
        out.set(a);
        return true;
    }
    case MCM_SIM_GET_FILE_SIZE: {
        McmSimFileSizeAnswer a;
        memset(&a, 0, sizeof a);
        a.valid = 1;
        a.size = 12;
        a.record_size = 0;
        a.record_count = 0;
        a.file_type = 1;
        out.set(a);
        return true;
    }
    case MCM_SIM_VERIFY_PIN: {
        auto r = requestAs<McmSimPinRecord>(req);
        std::string pin(r.pin, r.pin_len <= 8 ? r.pin_len : 8);
        if (!present(sc)) statusAnswer(out, 1, kErrSimAbsent);
        else if (pin != sc.str(slotKey(sc) + "pin", "1234")) statusAnswer(out, 1, kErrIncorrectPin);
        else {
            sc.set(slotKey(sc) + "verified", json_object_new_boolean(1));
            statusAnswer(out);
        }
        return true;
    }
    case MCM_SIM_WRITE_FILE:
    case MCM_SIM_CHANGE_PIN:
    case MCM_SIM_UNBLOCK_PIN:
    case MCM_SIM_ENABLE_PIN:
    case MCM_SIM_DISABLE_PIN:
    case MCM_SIM_DEPERSONALIZATION:
    case MCM_SIM_PERSONALIZATION: statusAnswer(out); return true;
    case MCM_SIM_GET_CARD_STATUS: {
        McmSimCardStatusAnswer a;
        memset(&a, 0, sizeof a);
        a.valid = 1;
        a.info = simCardStatus(sc);
        out.set(a);
        return true;
    }
    case MCM_SIM_EVENT_REGISTER: out.set(McmAnswerHeader{0, 0}); return true;
    default: return false;
    }
}
