// Control commands of the simulator, one line each:
//   set PATH JSON        change the scenario ("set dm.imei \"8675\"")
//   get PATH             print a part of the scenario as JSON
//   drop [REASON] [quiet]  the network drops the data call (state-0 event;
//                        quiet: the event is lost, only the call state says so)
//   signal JSON          replace the signal parts ("nw.signal")
//   sim pull SLOT        take the card out of a slot (0 or 1)
//   reg lose [quiet]     the network registration is lost and the call with it
//   reg back             registered again
//   mcm start|stop|restart|status, manager start|stop|restart|status
//                        (a restart closes every client connection; the
//                        manager's restart ends the call without an event)
//   clock SECONDS        from now on the simulator's time is virtual and this
//                        value (it never goes back); due timers fire at once.
//                        Connection-manager events and AT replies are then
//                        held until the next "clock". Answers "OK EVENTS STATE
//                        AT": events written so far, the call state, and the
//                        AT replies let out now
//   ind ID HEX           send an MCM indication to every client
//   event ID HEX         send a raw connection-manager event to every client
//   fault ID KIND        answer ID with a fault: short garbage die silent corrupt
//   fault clear          remove all faults
//   quit
//
// Field behaviours from the scenario (set them with "set PATH JSON" too):
//   manager.bearer_seconds N / manager.bearer_max N (random, "seed")  slow bearer set-up
//   sim.card_delay N           the card answers N s after the radio comes on
//   manager.require_network    a start is refused without card, registration and radio
//   manager.drop_events false  no disconnect event is ever sent
//   dm.imei_delay N            the IMEI is not valid for the first N s
//   errors.0x60004 {...}       the APN profile is refused
//   sim.slots.N.pin_state "locked" with another "pin"  a PIN that fails
// The keys of each part are listed at the top of its file.
#include <cstdlib>
#include <sstream>

#include "simulator.h"

namespace {
std::vector<uint8_t> fromHex(const std::string& s, bool& ok) {
    std::vector<uint8_t> b;
    ok = s.size() % 2 == 0;
    for (size_t i = 0; ok && i < s.size(); i += 2) {
        char* end = nullptr;
        std::string byte = s.substr(i, 2);
        long v = strtol(byte.c_str(), &end, 16);
        ok = *end == '\0';
        b.push_back(static_cast<uint8_t>(v));
    }
    return b;
}

// JSON "null" parses to a null pointer, so success is reported apart. The
// value is wrapped in an array so a bare number is complete.
bool parseJson(const std::string& text, json_object*& out) {
    out = nullptr;
    std::string wrapped = "[" + text + "]";
    json_tokener* tok = json_tokener_new();
    json_object* arr = json_tokener_parse_ex(tok, wrapped.c_str(), static_cast<int>(wrapped.size()));
    bool ok = json_tokener_get_error(tok) == json_tokener_success && arr != nullptr &&
              json_object_is_type(arr, json_type_array) && json_object_array_length(arr) == 1;
    json_tokener_free(tok);
    if (ok) out = json_object_get(json_object_array_get_idx(arr, 0));
    json_object_put(arr);
    return ok;
}
}  // namespace

std::string Simulator::control(const std::string& rawLine) {
    std::string line = rawLine;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    std::string rest;
    std::getline(in, rest);
    size_t start = rest.find_first_not_of(' ');
    rest = start == std::string::npos ? "" : rest.substr(start);

    if (cmd == "set" || cmd == "signal") {
        std::string path = "nw.signal", value = rest;
        if (cmd == "set") {
            size_t sp = rest.find(' ');
            if (sp == std::string::npos) return "ERR usage: set PATH JSON";
            path = rest.substr(0, sp);
            value = rest.substr(sp + 1);
        }
        json_object* v = nullptr;
        if (!parseJson(value, v)) return "ERR bad JSON";
        return sc_.set(path, v) ? "OK" : "ERR bad path";
    }
    if (cmd == "get") return "OK " + sc_.dump(rest);
    if (cmd == "drop") {
        std::istringstream a(rest);
        std::string word;
        int32_t reason = 0x10;
        bool quiet = false;
        while (a >> word) {
            if (word == "quiet") quiet = true;
            else reason = static_cast<int32_t>(strtol(word.c_str(), nullptr, 0));
        }
        mgmtDropCall(mgmt_, reason, quiet);
        return "OK";
    }
    if (cmd == "reg") {
        if (rest == "lose" || rest == "lose quiet") {
            loseRegistration(rest != "lose");
            return "OK";
        }
        if (rest == "back") {
            sc_.set("nw.reg.registered", json_object_new_boolean(1));
            return "OK";
        }
        return "ERR usage: reg lose [quiet]|back";
    }
    if (cmd == "clock") {
        char* end = nullptr;
        long long t = strtoll(rest.c_str(), &end, 10);
        if (rest.empty() || *end != '\0' || t < 0) return "ERR usage: clock SECONDS";
        int at = setVirtualTime(t);
        return "OK " + std::to_string(mgmtFramesSent_) + " " + std::to_string(sc_.num("manager.call.state", 0)) + " " +
               std::to_string(at);
    }
    if (cmd == "sim") {
        std::istringstream a(rest);
        std::string what;
        int slot = -1;
        a >> what >> slot;
        if (what != "pull" || slot < 0 || slot > 1) return "ERR usage: sim pull SLOT";
        sc_.set("sim.slots." + std::to_string(slot) + ".present", json_object_new_boolean(0));
        simPulled(slot);
        return "OK";
    }
    if (cmd == "mcm" || cmd == "manager") {
        bool mcm = cmd == "mcm";
        if (rest == "start" || rest == "stop" || rest == "restart") {
            auto set = [&](bool on) { mcm ? setMcmRunning(on) : setManagerRunning(on); };
            if (rest == "restart") set(false);
            set(rest != "stop");
            return "OK";
        }
        if (rest == "status") {
            bool on = sc_.flag(cmd + ".running", true);
            return on ? "OK running" : "ERR stopped";
        }
        return "ERR usage: " + cmd + " start|stop|restart|status";
    }
    if (cmd == "ind") {
        std::istringstream a(rest);
        std::string id, hex;
        a >> id >> hex;
        bool ok = !id.empty();
        std::vector<uint8_t> data = fromHex(hex, ok);
        if (!ok) return "ERR usage: ind ID HEX";
        mcm_.indicate(static_cast<uint32_t>(strtoul(id.c_str(), nullptr, 0)), data);
        return "OK";
    }
    if (cmd == "event") {
        std::istringstream a(rest);
        std::string id, hex;
        a >> id >> hex;
        bool ok = !id.empty();
        std::vector<uint8_t> data = fromHex(hex, ok);
        if (!ok) return "ERR usage: event ID HEX";
        mgmt_.broadcast(static_cast<int>(strtol(id.c_str(), nullptr, 0)), data);
        return "OK";
    }
    if (cmd == "fault") {
        std::istringstream a(rest);
        std::string id, kind;
        a >> id >> kind;
        if (id == "clear") {
            faults_.clear();
            return "OK";
        }
        uint32_t msg = static_cast<uint32_t>(strtoul(id.c_str(), nullptr, 0));
        if (kind == "clear") {
            faults_.erase(msg);
            return "OK";
        }
        if (kind != "short" && kind != "garbage" && kind != "die" && kind != "silent" && kind != "corrupt")
            return "ERR usage: fault ID short|garbage|die|silent|corrupt|clear";
        faults_[msg] = Fault{kind};
        return "OK";
    }
    if (cmd == "quit") {
        quit_ = true;
        return "OK";
    }
    return "ERR unknown command";
}
