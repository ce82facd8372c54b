#pragma once
// Pieces shared by the handlers of the server's requests: reading a slot the
// API sent (its texts come from a remote party) and judging a transfer.
#include <json-c/json.h>

#include <string>

// Where a slot points: "host" followed directly by "path", the verb, the
// optional header array and the optional "checksum" member (which header
// carries the body's digest; both owned by the answer).
struct SlotTarget {
    char url[1024];
    char verb[256];
    json_object* headers;
    json_object* checksum;
};

enum SlotCheck {
    SLOT_OK = 0,
    SLOT_INCOMPLETE = 1,  // "host", "path" or "verb" missing or not a text
    SLOT_TOO_LONG = 2,    // URL over 1023 or verb over 255 characters
};

// Fills `target` from the slot. A cut URL or verb would send the file to
// somewhere the API did not ask for, so an over-long slot is refused whole.
SlotCheck readSlotTarget(json_object* slot, SlotTarget* target);

// The text member `key` of `o`; nullptr when absent or not a text.
const char* slotText(json_object* o, const char* key);

// A name the daemon may use inside one of its folders: a plain file name
// (no '/', no '\\', no "..", no control character, at most 255 bytes).
bool isPlainRequestName(const char* name);

// A peer's text made fit for one log line: control characters become '?',
// cut at `limit` characters.
std::string peerText(const char* text, size_t limit = 200);

// True when the exchange completed with a 2xx status. Anything else is a
// failed transfer: a 4xx/5xx body is an error page, not the file.
bool transferSucceeded(int result);
// Why a transfer with `result` failed, for the log: libcurl's text, "Curl
// fatal error", or "HTTP <status>".
std::string transferFailure(int result);
