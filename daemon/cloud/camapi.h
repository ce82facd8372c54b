#pragma once
// HTTPS transport to the cloud API over one libcurl easy handle that lives
// for one sync run, so every request of the run reuses its connections.
// Writes nothing to the log: callers log the results.
#include <json-c/json.h>

#include <cstdint>
#include <cstdio>

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

bool camApiInit();
void camApiCleanup();

// On CAMAPI_DONE *response holds the parsed body (nullptr when it is not JSON).
int camApiGetJson(const char* url, json_object** response);
// response may be nullptr: the answer body is then discarded.
int camApiPutJson(const char* url, json_object** response, json_object* body, const char* token);
// Streams `size` bytes of `stream` to the URL with the given verb.
int camApiUploadFile(const char* url, const char* verb, FILE* stream, int32_t size,
                     json_object* headers);
// Writes the body to `stream` as it arrives.
int camApiDownloadFile(const char* url, const char* verb, FILE* stream, json_object* headers);

const char* camApiLastErrorText();
long camApiLastResponseCode();
