#pragma once
// HTTPS transport to the cloud API over one libcurl easy handle that lives
// for one sync run, so every request of the run reuses its connections.
// Writes nothing to the log: callers log the results.
#include <json-c/json.h>

#include <cstdint>
#include <cstdio>

#include "cloud/digest.h"

// Results of the request operations.
enum {
    CAMAPI_DONE = 1,        // the HTTP exchange completed (any status)
    CAMAPI_FAILED = 0,      // libcurl failed; see camApiLastErrorText
    CAMAPI_NO_HANDLE = -1,  // outside camApiInit .. camApiCleanup
    CAMAPI_NO_MEMORY = -2,  // the response buffer could not be allocated
};

// JSON answers larger than this end the transfer as a failure: a peer must
// not be able to fill the module's memory.
constexpr size_t kCamApiMaxJsonBody = 1024 * 1024;

// When a transfer gives up. A transfer ends on a stall, not on a clock:
// when fewer than lowSpeedBytes per second moved for the whole stall window
// of its kind; the connect phase (TCP and TLS) has its own time-out; and an
// overall cap that grows with the transfer's size at floorRate bytes per
// second keeps a trickle from running for ever.
struct CamApiLimits {
    long connectSeconds = 30;
    long jsonStallSeconds = 90;
    long uploadStallSeconds = 60;
    long downloadStallSeconds = 90;
    long lowSpeedBytes = 10;
    long capBaseSeconds = 120;
    long floorRate = 500;
    // Wait for "100 Continue" before sending an upload's body.
    bool expectContinue = false;
    // The socket send buffer (SO_SNDBUF, which the kernel doubles; 0 keeps
    // the kernel's own, which grows to megabytes). libcurl counts an upload's
    // bytes as they enter the socket: with a large queue on a slow link it
    // hands over the whole picture at once and then sees no progress while
    // the tail crosses the link, and the stall window cut uploads the server
    // was getting whole. The queue must drain well within the window: 16
    // KiB (32 in the kernel) is 5 s at 48 kbit/s and 16 s at 16 kbit/s; it
    // caps one connection near 4 Mbit/s at a 60 ms round trip.
    long sendBufferBytes = 16 * 1024;
    // Upload bodies up to this size are read once into memory: their digest
    // can then go ahead of them in a header, and every try of the request
    // sends the very bytes digested. Larger ones stream from the file.
    int64_t memoryBodyBytes = 4 * 1024 * 1024;
};
// The limits in use; tests shorten them.
CamApiLimits& camApiLimits();

bool camApiInit();
void camApiCleanup();

// On CAMAPI_DONE *response holds the parsed body (nullptr when it is not JSON).
int camApiGetJson(const char* url, json_object** response);
// response may be nullptr: the answer body is then discarded.
int camApiPutJson(const char* url, json_object** response, json_object* body, const char* token);
// Sends the first `size` bytes of `stream` to the URL with the given verb,
// with their digest in the header the slot's `checksum` member names
// (absent: Content-MD5; false: none). A 2xx answer is still CAMAPI_FAILED
// when the store shows that it kept other bytes (an ETag that is a plain MD5
// of something else) or the body did not go whole; camApiLastErrorText says
// which. Every try of the request sends the body from its first byte.
int camApiUploadFile(const char* url, const char* verb, FILE* stream, int32_t size,
                     json_object* headers, json_object* checksum = nullptr);

// What the last upload (plain or PATCH) that ended 2xx showed of the bytes
// the server holds.
enum class UploadProof {
    None,     // only its status: the server checks nothing we can see
    Checked,  // the body's digest went with it, for the server to check
    Matched,  // the server's own digest of what it kept is the body's
};
UploadProof camApiLastUploadProof();
// Writes the body to `stream` as it arrives.
int camApiDownloadFile(const char* url, const char* verb, FILE* stream, json_object* headers);

// tus 1.0 requests on an upload resource the cloud created. Both send
// "Tus-Resumable: 1.0.0" and the slot's headers. The HEAD asks for the
// server's offset; the PATCH streams `length` bytes of `stream` from
// `offset`. The answer's Upload-Offset is read with camApiLastUploadOffset.
// With `checksum` the PATCH carries "Upload-Checksum" (tus checksum
// extension) over its bytes, read once into memory: the caller keeps
// `length` within CamApiLimits::memoryBodyBytes then.
int camApiTusHead(const char* url, json_object* headers);
int camApiTusPatch(const char* url, FILE* stream, int64_t offset, int64_t length,
                   json_object* headers, DigestKind checksum = DigestKind::None);
// The server's offer (tus discovery): Tus-Extension and
// Tus-Checksum-Algorithm of the answer, nullptr when absent.
int camApiTusOptions(const char* url, json_object* headers);
const char* camApiLastTusExtensions();
const char* camApiLastTusChecksums();
// Ends an upload on the server (tus termination extension).
int camApiTusDelete(const char* url, json_object* headers);
// The value of the last answer's Upload-Offset header as it came (nullptr
// when it had none); and of Upload-Length, when the HEAD told it.
const char* camApiLastUploadOffset();
const char* camApiLastUploadLength();

const char* camApiLastErrorText();
// True when the last transfer failed because it stalled or hit its cap (as
// opposed to a refused or reset connection, or a TLS failure).
bool camApiLastStalled();
// Seconds the last answer asked the client to wait (Retry-After); 0 when none.
long camApiLastRetryAfter();
long camApiLastResponseCode();
