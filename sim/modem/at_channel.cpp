#include "at_channel.h"

#include <algorithm>
#include <cctype>

namespace {
std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(toupper(c)); });
    return s;
}
std::string ok(const std::string& info = "") {
    return (info.empty() ? "" : "\r\n" + info + "\r\n") + "\r\nOK\r\n";
}
const std::string kError = "\r\nERROR\r\n";
}  // namespace

// Scenario keys: at.servingcell (the +QENG: line), at.crsm (the +CRSM: line,
// default "+CRSM: 144,0,\"\""), at.cfun_error, at.replies {"AT+X": "+X: 1"}
// ("ERROR" answers ERROR, "SILENT" nothing at all).
std::string atAnswer(AtContext& ctx, const std::string& line) {
    Scenario& sc = ctx.sc;
    std::string cmd = upper(line);
    ctx.sc.set("at.last_command", json_object_new_string(line.c_str()));
    std::string custom = "at.replies." + cmd;
    if (cmd.find('.') == std::string::npos && sc.has(custom)) {
        std::string r = sc.str(custom);
        if (r == "SILENT") return "";
        return r == "ERROR" ? kError : ok(r);
    }
    if (cmd == "AT" || cmd == "ATE0" || cmd == "ATE1") return ok();
    if (cmd == "AT+CFUN=0" || cmd == "AT+CFUN=1") {
        if (sc.flag("at.cfun_error")) return kError;
        bool on = cmd.back() == '1';
        sc.set("at.cfun", json_object_new_int(on ? 1 : 0));
        if (ctx.radio) ctx.radio(on);
        return ok();
    }
    if (cmd == "AT+CFUN?") return ok("+CFUN: " + std::to_string(sc.num("at.cfun", 1)));
    if (cmd == "AT+QMBNCFG=\"DEACTIVATE\"") return ok();
    if (cmd.rfind("AT+CRSM=", 0) == 0) {
        std::string r = sc.str("at.crsm", "+CRSM: 144,0,\"\"");
        return r == "ERROR" ? kError : ok(r);
    }
    if (cmd == "AT+QENG=\"SERVINGCELL\"") {
        if (!sc.has("at.servingcell")) return kError;
        return ok(sc.str("at.servingcell"));
    }
    return kError;
}
