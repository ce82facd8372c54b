#include "camera/dsp_line.h"

#include <strings.h>

#include <cstring>

namespace {
// Checked in this order; prefix matching makes the order matter.
const char* const kCommandNames[] = {
    "PROCESS", "SYNC", "CELL", "FIRSTSYNC", "GETSIGNALBAR", "GETDATETIME", "STATE", "POWERDOWN",
};
}  // namespace

DspLine parseDspMessage(const char* data, size_t length) {
    DspLine out{};
    out.kind = DSP_LINE_IGNORE;
    if (data == nullptr) return out;
    size_t len = strnlen(data, length);
    if (len < 2) return out;
    const char* cr = static_cast<const char*>(memchr(data, '\r', len));

    if (strncasecmp(data, "AT", 2) == 0) {
        if (cr == nullptr) return out;
        size_t n = static_cast<size_t>(cr - data) + 1;
        if (n >= kDspBodySize) {
            out.kind = DSP_LINE_AT_TOO_LONG;
            return out;
        }
        memcpy(out.text, data, n);
        out.kind = DSP_LINE_AT;
        return out;
    }

    if (len < 3 || strncasecmp(data, "SP+", 3) != 0 || cr == nullptr) return out;
    const char* body = data + 3;
    size_t n = static_cast<size_t>(cr - body);
    if (n == 0) return out;
    if (n >= kDspBodySize) {
        out.kind = DSP_LINE_BODY_TOO_LONG;
        return out;
    }
    memcpy(out.text, body, n);
    out.kind = DSP_LINE_COMMAND;
    return out;
}

bool dspCommandWord(const char* body, char (&word)[kDspWordMax + 1]) {
    word[0] = '\0';
    size_t n = strlen(body);
    const char* blank = strchr(body, ' ');
    if (blank != nullptr && blank != body) n = static_cast<size_t>(blank - body);
    if (n > kDspWordMax) return false;
    memcpy(word, body, n);
    word[n] = '\0';
    return true;
}

DspCommand matchDspCommand(const char* word) {
    for (int i = 0; i < CMD_UNKNOWN; i++) {
        size_t n = strlen(kCommandNames[i]);
        if (strncasecmp(word, kCommandNames[i], n) == 0) return static_cast<DspCommand>(i);
    }
    return CMD_UNKNOWN;
}

const char* dspCommandName(DspCommand cmd) {
    return cmd >= 0 && cmd < CMD_UNKNOWN ? kCommandNames[cmd] : "";
}
