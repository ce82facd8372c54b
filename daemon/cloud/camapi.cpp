#include "cloud/camapi.h"
#include "core/jsonutil.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cloud/tus.h"
#include "core/rootpath.h"

namespace {

// The transfer handle and the result of the last transfer, process-wide.
struct Transport {
    CURL* handle = nullptr;
    CURLcode lastResult = CURLE_OK;
    bool lastTooLarge = false;  // the last JSON answer passed kCamApiMaxJsonBody
    long lastCap = 0;           // the cap the last transfer hit, in seconds (0: none)
    char capText[96] = "";
    // tus answer headers of the last transfer (the final answer's only).
    std::string uploadOffset;
    bool hasUploadOffset = false;
    std::string uploadLength;
    bool hasUploadLength = false;
};

Transport& transport() {
    static Transport t;
    return t;
}

// Response body: grows chunk by chunk to its exact size plus a terminator.
struct ResponseBuffer {
    char* data = nullptr;
    size_t length = 0;
    bool tooLarge = false;
    ResponseBuffer() {
        data = static_cast<char*>(malloc(1));
        if (data != nullptr) data[0] = '\0';
    }
    ~ResponseBuffer() { free(data); }
    ResponseBuffer(const ResponseBuffer&) = delete;
    ResponseBuffer& operator=(const ResponseBuffer&) = delete;
};

struct SlistFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

enum class Kind { Json, Upload, Download };

// The overall cap: the base plus the larger of what the transfer announced
// and what moved so far, at the floor rate. Checked by the progress callback,
// which libcurl calls at least once a second, so a download of unknown size
// gets a cap that grows as it goes.
struct CapWatch {
    curl_off_t startUs = 0;
    long base = 0;
    long rate = 1;
    long hit = 0;
    curl_off_t most = 0;
};

long capFor(const CapWatch& w, curl_off_t bytes) {
    return w.base + static_cast<long>(bytes / (w.rate > 0 ? w.rate : 1));
}

int watchCap(void* slot, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    auto* w = static_cast<CapWatch*>(slot);
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    curl_off_t nowUs = static_cast<curl_off_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    if (w->startUs == 0) w->startUs = nowUs;
    // The most seen so far: libcurl's counters start again from zero when it
    // resends a request on a fresh connection, and the cap must not shrink.
    for (curl_off_t b : {dltotal, dlnow, ultotal, ulnow})
        if (b > w->most) w->most = b;
    long cap = capFor(*w, w->most);
    if ((nowUs - w->startUs) / 1000000 >= cap) {
        w->hit = cap;
        return 1;
    }
    return 0;
}

size_t accumulate(char* chunk, size_t size, size_t count, void* slot) {
    size_t n = size * count;
    auto* buffer = static_cast<ResponseBuffer*>(slot);
    if (buffer == nullptr) return n;
    if (buffer->length + n > kCamApiMaxJsonBody) {
        buffer->tooLarge = true;
        return 0;
    }
    char* grown = static_cast<char*>(realloc(buffer->data, buffer->length + n + 1));
    if (grown == nullptr) return 0;
    buffer->data = grown;
    memcpy(buffer->data + buffer->length, chunk, n);
    buffer->length += n;
    buffer->data[buffer->length] = '\0';
    return n;
}

size_t writeToStream(char* chunk, size_t size, size_t count, void* stream) {
    return fwrite(chunk, size, count, static_cast<FILE*>(stream)) * size;
}

// Example element: {"name": "x-amz-acl", "value": "private"} -> "x-amz-acl: private".
// Entries without both strings, and lines that would not fit the line
// buffer, are left out rather than sent cut.
HeaderList headerList(json_object* headers, size_t lineSize) {
    curl_slist* list = nullptr;
    if (headers == nullptr || !json_object_is_type(headers, json_type_array)) return HeaderList();
    std::string line;
    size_t n = json_object_array_length(headers);
    for (size_t i = 0; i < n; i++) {
        json_object* entry = json_object_array_get_idx(headers, i);
        json_object* name = nullptr;
        json_object* value = nullptr;
        if (!json_object_object_get_ex(entry, "name", &name) ||
            !json_object_object_get_ex(entry, "value", &value) ||
            !json_object_is_type(name, json_type_string) ||
            !json_object_is_type(value, json_type_string))
            continue;
        line.assign(json_object_get_string(name));
        line += ": ";
        line += json_object_get_string(value);
        if (line.size() >= lineSize) continue;
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown == nullptr) break;
        list = grown;
    }
    return HeaderList(list);
}

// TLS sessions outlive the sync run's handle, so the next sync resumes
// instead of paying a full handshake (certificates over a slow link). Only
// the sync thread makes requests, so the share needs no lock functions.
CURLSH* sessionShare() {
    static CURLSH* share = [] {
        CURLSH* s = curl_share_init();
        if (s != nullptr) curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        return s;
    }();
    return share;
}

// Bounds the socket's send queue (CamApiLimits::sendBufferBytes).
int boundSendQueue(void*, curl_socket_t fd, curlsocktype purpose) {
    long bytes = camApiLimits().sendBufferBytes;
    if (purpose == CURLSOCKTYPE_IPCXN && bytes > 0) {
        int size = static_cast<int>(bytes);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    return CURL_SOCKOPT_OK;
}

void commonOptions(CURL* h, const char* url, const std::string& caFile, Kind kind, CapWatch& cap) {
    const CamApiLimits& l = camApiLimits();
    if (sessionShare() != nullptr) curl_easy_setopt(h, CURLOPT_SHARE, sessionShare());
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(h, CURLOPT_VERBOSE, 0L);
    long stall = kind == Kind::Json ? l.jsonStallSeconds
                 : kind == Kind::Upload ? l.uploadStallSeconds
                                        : l.downloadStallSeconds;
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, l.connectSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, l.lowSpeedBytes);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stall);
    // A link that died without a word (no FIN, no RST) shows on an idle connection too.
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPIDLE, 30L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPINTVL, 15L);
    curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, boundSendQueue);
    cap.base = l.capBaseSeconds;
    cap.rate = l.floorRate;
    // The connect phase and the stall window fit inside the cap however small the transfer.
    if (cap.base < l.connectSeconds + stall) cap.base = l.connectSeconds + stall;
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, watchCap);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &cap);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
}

// A fresh request on the handle: only the common options set.
void startRequest(Transport& t, const char* url, Kind kind, CapWatch& cap) {
    curl_easy_reset(t.handle);
    const std::string caFile = rootPath("/usrdata/cacert.pem");
    commonOptions(t.handle, url, caFile, kind, cap);
}

// Runs the request. The caller's header list dies with its frame: the handle
// keeps no pointer to it afterwards.
int perform(Transport& t, const CapWatch& cap) {
    t.lastResult = curl_easy_perform(t.handle);
    t.lastCap = t.lastResult == CURLE_ABORTED_BY_CALLBACK ? cap.hit : 0;
    t.lastTooLarge = false;
    curl_easy_setopt(t.handle, CURLOPT_HTTPHEADER, nullptr);
    return t.lastResult == CURLE_OK ? CAMAPI_DONE : CAMAPI_FAILED;
}

// The whole body through the json-c tokenizer; nullptr when it is not JSON.
json_object* parseBody(const ResponseBuffer& buffer) {
    json_tokener* tok = json_tokener_new();
    if (tok == nullptr) return nullptr;
    json_object* value = json_tokener_parse_ex(tok, buffer.data, static_cast<int>(buffer.length));
    if (json_tokener_get_error(tok) != json_tokener_success) {
        json_object_put(value);
        value = nullptr;
    }
    json_tokener_free(tok);
    return value;
}

int jsonRequest(const char* url, json_object** response, json_object* body, const char* token) {
    Transport& t = transport();
    if (t.handle == nullptr) return CAMAPI_NO_HANDLE;
    ResponseBuffer buffer;
    if (buffer.data == nullptr) return CAMAPI_NO_MEMORY;
    HeaderList headers;
    if (body != nullptr) {
        char auth[1024];
        snprintf(auth, sizeof auth, "Authorization: Bearer %s", token != nullptr ? token : "");
        headers.reset(curl_slist_append(nullptr, auth));
        if (headers) curl_slist_append(headers.get(), "Content-Type: application/json");
    }
    CapWatch cap;
    startRequest(t, url, Kind::Json, cap);
    if (body != nullptr) {
        curl_easy_setopt(t.handle, CURLOPT_CUSTOMREQUEST, "PUT");
        curl_easy_setopt(t.handle, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(t.handle, CURLOPT_POSTFIELDS, json_object_to_json_string(body));
    }
    curl_easy_setopt(t.handle, CURLOPT_WRITEFUNCTION, accumulate);
    curl_easy_setopt(t.handle, CURLOPT_WRITEDATA, response != nullptr ? &buffer : nullptr);
    int result = perform(t, cap);
    t.lastTooLarge = buffer.tooLarge;
    if (result == CAMAPI_DONE && response != nullptr) *response = parseBody(buffer);
    return result;
}

// Keeps the tus headers of the final answer: a new status line (a "100
// Continue" before the real answer) starts the collection again.
size_t collectTusHeader(char* data, size_t size, size_t count, void*) {
    size_t n = size * count;
    Transport& t = transport();
    if (n >= 5 && memcmp(data, "HTTP/", 5) == 0) {
        t.hasUploadOffset = t.hasUploadLength = false;
        t.uploadOffset.clear();
        t.uploadLength.clear();
        return n;
    }
    std::string value;
    if (tusHeaderValue(data, n, "Upload-Offset", &value)) {
        t.uploadOffset = value;
        t.hasUploadOffset = true;
    } else if (tusHeaderValue(data, n, "Upload-Length", &value)) {
        t.uploadLength = value;
        t.hasUploadLength = true;
    }
    return n;
}

// libcurl sends a body again on a fresh connection when a reused one died
// under it. For a PATCH the server may hold part of the first try by then,
// and the resend would only meet 409 after costing its bytes on the link:
// refusing the rewind ends the transfer, and the next HEAD says where to go on.
int refuseRewind(void*, curl_off_t, int) { return CURL_SEEKFUNC_FAIL; }

HeaderList tusHeaders(json_object* headers, const char* const* extra, size_t extraCount) {
    HeaderList list = headerList(headers, 4096);
    for (size_t i = 0; i < extraCount; i++) {
        curl_slist* grown = curl_slist_append(list.get(), extra[i]);
        if (grown == nullptr) return HeaderList();
        list.release();
        list.reset(grown);
    }
    return list;
}

void clearTusAnswer() {
    Transport& t = transport();
    t.hasUploadOffset = t.hasUploadLength = false;
    t.uploadOffset.clear();
    t.uploadLength.clear();
}

}  // namespace

bool camApiInit() {
    Transport& t = transport();
    curl_global_init(CURL_GLOBAL_ALL);
    if (t.handle == nullptr) t.handle = curl_easy_init();
    return t.handle != nullptr;
}

void camApiCleanup() {
    Transport& t = transport();
    if (t.handle != nullptr) {
        curl_easy_cleanup(t.handle);
        t.handle = nullptr;
    }
    curl_global_cleanup();
}

int camApiGetJson(const char* url, json_object** response) {
    return jsonRequest(url, response, nullptr, nullptr);
}

int camApiPutJson(const char* url, json_object** response, json_object* body, const char* token) {
    // A PUT always carries a body; an absent one goes out as an empty object.
    JsonPtr nullBody;
    if (body == nullptr) {
        nullBody.reset(json_object_new_object());
        body = nullBody.get();
        if (body == nullptr) return CAMAPI_NO_MEMORY;
    }
    return jsonRequest(url, response, body, token);
}

int camApiUploadFile(const char* url, const char* verb, FILE* stream, int32_t size,
                     json_object* headers) {
    Transport& t = transport();
    if (t.handle == nullptr) return CAMAPI_NO_HANDLE;
    HeaderList list = headerList(headers, 4096);
    CapWatch cap;
    startRequest(t, url, Kind::Upload, cap);
    curl_easy_setopt(t.handle, CURLOPT_CUSTOMREQUEST, verb);
    // Without "Expect:" in the list libcurl adds "Expect: 100-continue" and
    // idles a round trip per picture before the body (docs/cloud-api.md).
    if (!camApiLimits().expectContinue) {
        curl_slist* grown = curl_slist_append(list.get(), "Expect:");
        if (grown != nullptr) {
            list.release();
            list.reset(grown);
        }
    }
    if (headers != nullptr || !camApiLimits().expectContinue)
        curl_easy_setopt(t.handle, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(t.handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(t.handle, CURLOPT_READDATA, stream);
    curl_easy_setopt(t.handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    return perform(t, cap);
}

int camApiDownloadFile(const char* url, const char* verb, FILE* stream, json_object* headers) {
    Transport& t = transport();
    if (t.handle == nullptr) return CAMAPI_NO_HANDLE;
    HeaderList list = headerList(headers, 1024);
    CapWatch cap;
    startRequest(t, url, Kind::Download, cap);
    curl_easy_setopt(t.handle, CURLOPT_CUSTOMREQUEST, verb);
    curl_easy_setopt(t.handle, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(t.handle, CURLOPT_WRITEFUNCTION, writeToStream);
    curl_easy_setopt(t.handle, CURLOPT_WRITEDATA, stream);
    return perform(t, cap);
}

int camApiTusHead(const char* url, json_object* headers) {
    Transport& t = transport();
    if (t.handle == nullptr) return CAMAPI_NO_HANDLE;
    static const char* const kExtra[] = {"Tus-Resumable: 1.0.0"};
    HeaderList list = tusHeaders(headers, kExtra, 1);
    if (!list) return CAMAPI_NO_MEMORY;
    clearTusAnswer();
    CapWatch cap;
    startRequest(t, url, Kind::Json, cap);
    curl_easy_setopt(t.handle, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(t.handle, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(t.handle, CURLOPT_HEADERFUNCTION, collectTusHeader);
    return perform(t, cap);
}

int camApiTusPatch(const char* url, FILE* stream, int64_t offset, int64_t length,
                   json_object* headers) {
    Transport& t = transport();
    if (t.handle == nullptr) return CAMAPI_NO_HANDLE;
    char offsetLine[64];
    snprintf(offsetLine, sizeof offsetLine, "Upload-Offset: %lld", static_cast<long long>(offset));
    // "Expect:" keeps libcurl from idling a round trip before the body.
    const char* const extra[] = {"Tus-Resumable: 1.0.0", offsetLine,
                                 "Content-Type: application/offset+octet-stream", "Expect:"};
    HeaderList list = tusHeaders(headers, extra, 4);
    if (!list) return CAMAPI_NO_MEMORY;
    if (fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0) return CAMAPI_NO_HANDLE;
    clearTusAnswer();
    CapWatch cap;
    startRequest(t, url, Kind::Upload, cap);
    curl_easy_setopt(t.handle, CURLOPT_CUSTOMREQUEST, "PATCH");
    curl_easy_setopt(t.handle, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(t.handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(t.handle, CURLOPT_READDATA, stream);
    curl_easy_setopt(t.handle, CURLOPT_SEEKFUNCTION, refuseRewind);
    curl_easy_setopt(t.handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length));
    curl_easy_setopt(t.handle, CURLOPT_HEADERFUNCTION, collectTusHeader);
    // The answer body (if any) is not wanted; without this it would go to stdout.
    curl_easy_setopt(t.handle, CURLOPT_WRITEFUNCTION, accumulate);
    curl_easy_setopt(t.handle, CURLOPT_WRITEDATA, nullptr);
    return perform(t, cap);
}

const char* camApiLastUploadOffset() {
    const Transport& t = transport();
    return t.hasUploadOffset ? t.uploadOffset.c_str() : nullptr;
}

const char* camApiLastUploadLength() {
    const Transport& t = transport();
    return t.hasUploadLength ? t.uploadLength.c_str() : nullptr;
}

const char* camApiLastErrorText() {
    Transport& t = transport();
    if (t.lastTooLarge) return "Answer larger than 1048576 bytes";
    if (t.lastCap > 0) {
        snprintf(t.capText, sizeof t.capText,
                 "Transfer slower than the floor rate: cut after %ld s", t.lastCap);
        return t.capText;
    }
    return curl_easy_strerror(t.lastResult);
}

bool camApiLastStalled() {
    const Transport& t = transport();
    return t.lastResult == CURLE_OPERATION_TIMEDOUT || t.lastCap > 0;
}

long camApiLastRetryAfter() {
    const Transport& t = transport();
    curl_off_t wait = 0;
    if (t.handle == nullptr || curl_easy_getinfo(t.handle, CURLINFO_RETRY_AFTER, &wait) != CURLE_OK)
        return 0;
    return wait > 0 ? static_cast<long>(wait) : 0;
}

CamApiLimits& camApiLimits() {
    static CamApiLimits limits;
    return limits;
}

long camApiLastResponseCode() {
    const Transport& t = transport();
    long code = 0;
    if (t.handle != nullptr) curl_easy_getinfo(t.handle, CURLINFO_RESPONSE_CODE, &code);
    return code;
}
