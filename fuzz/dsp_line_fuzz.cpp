// What the DSP sends, as one read: framing, command word and matching must
// stay inside their buffers and keep their promises for any bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "camera/dsp_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1024) return 0;
    const char* text = reinterpret_cast<const char*>(data);
    DspLine line = parseDspMessage(text, size);
    size_t n = strnlen(line.text, sizeof line.text);
    if (n == sizeof line.text) abort();  // never unterminated
    switch (line.kind) {
        case DSP_LINE_AT:
            if (n < 3 || line.text[n - 1] != '\r' || memchr(line.text, '\r', n - 1)) abort();
            break;
        case DSP_LINE_COMMAND: {
            if (n == 0 || memchr(line.text, '\r', n)) abort();
            char word[kDspWordMax + 1];
            bool ok = dspCommandWord(line.text, word);
            size_t w = strnlen(word, sizeof word);
            if (w > kDspWordMax || (!ok && w != 0)) abort();
            DspCommand cmd = matchDspCommand(word);
            if (cmd != CMD_UNKNOWN && strncasecmp(word, dspCommandName(cmd), strlen(dspCommandName(cmd))))
                abort();
            break;
        }
        default:
            if (n != 0) abort();
            break;
    }
    return 0;
}
