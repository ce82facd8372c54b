#pragma once
// Framing of what the DSP sends on the camera UART: pure functions of the
// bytes of one read, tested without threads or devices.
#include <cstddef>

enum DspCommand {
    CMD_PROCESS,
    CMD_SYNC,
    CMD_CELL,
    CMD_FIRSTSYNC,
    CMD_GETSIGNALBAR,
    CMD_GETDATETIME,
    CMD_STATE,
    CMD_POWERDOWN,
    CMD_UNKNOWN,
};

enum DspLineKind {
    DSP_LINE_IGNORE,          // too short, no prefix, no CR, or an empty body
    DSP_LINE_AT,              // `text` is the AT line up to and including its CR
    DSP_LINE_COMMAND,         // `text` is the body of an SP+ command
    DSP_LINE_AT_TOO_LONG,     // an AT line that does not fit the 256-byte buffer
    DSP_LINE_BODY_TOO_LONG,   // an SP+ body that does not fit the 256-byte buffer
};

constexpr size_t kDspBodySize = 256;  // body and AT line buffers, NUL included
constexpr size_t kDspWordMax = 24;    // longest command word

struct DspLine {
    DspLineKind kind;
    char text[kDspBodySize];
};

// One read is one message, taken as text up to its first NUL.
// Example: "SP+STATE\r" -> COMMAND "STATE"; "AT+CSQ\r\n" -> AT "AT+CSQ\r".
DspLine parseDspMessage(const char* data, size_t length);

// The command word: the body up to its first blank (the whole body when it
// has none or starts with one). Returns false, with `word` empty, when the
// word is longer than kDspWordMax characters.
bool dspCommandWord(const char* body, char (&word)[kDspWordMax + 1]);

// First command whose whole name the word starts with, case-insensitively:
// "SYNCNOW" is SYNC, "STATEX" is STATE.
DspCommand matchDspCommand(const char* word);
const char* dspCommandName(DspCommand cmd);
