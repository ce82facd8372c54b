#include "cloud/camapi.h"
#include "core/jsonutil.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "cloud/digest.h"
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
    // The store's digest of an upload, and what a tus server offers (OPTIONS).
    std::string etag;
    std::string tusExtension;
    bool hasTusExtension = false;
    std::string tusChecksums;
    bool hasTusChecksums = false;
    UploadProof proof = UploadProof::None;
    std::string failText;  // why a transfer libcurl finished is still a failure
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

// The body of one upload request: a range of a file, read as libcurl asks,
// or the same range read once into memory when its digest must go ahead of
// it in a header. Every try of the request starts again at the range's
// first byte: libcurl resends a request on a fresh connection when a reused
// one died before any answer, and when no body byte had reached the socket
// yet it does so without asking for a rewind, after it had already read up
// to 64 KiB of the body into its own buffer and dropped them. A body read on
// from where the last try stood then goes out under the first try's offset
// and length: bytes of the picture at the wrong place.
struct Body {
    int fd = -1;
    int64_t base = 0;
    int64_t length = 0;
    std::unique_ptr<unsigned char[]> memory;
    int64_t pos = 0;            // handed to libcurl in this try
    bool rewindable = false;    // libcurl may rewind to the first byte
    bool readFailed = false;
    Digest handed{DigestKind::Md5};  // of the bytes handed in this try

    void restart() {
        pos = 0;
        handed.restart();
    }
};

size_t readBody(char* out, size_t size, size_t count, void* slot) {
    auto* b = static_cast<Body*>(slot);
    int64_t left = b->length - b->pos;
    size_t want = size * count;
    if (static_cast<int64_t>(want) > left) want = static_cast<size_t>(left);
    if (want == 0) return 0;
    if (b->memory) {
        memcpy(out, b->memory.get() + b->pos, want);
    } else {
        ssize_t n = pread(b->fd, out, want, static_cast<off_t>(b->base + b->pos));
        if (n <= 0) {
            b->readFailed = true;
            return CURL_READFUNC_ABORT;
        }
        want = static_cast<size_t>(n);
    }
    b->handed.update(out, want);
    b->pos += static_cast<int64_t>(want);
    return want;
}

// A PUT goes again whole. A PATCH is not rewound: the server may hold part
// of the first try by then, and the resend would only meet 409 after costing
// its bytes on the link; the next HEAD says where to go on.
int seekBody(void* slot, curl_off_t offset, int origin) {
    auto* b = static_cast<Body*>(slot);
    if (!b->rewindable || origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_FAIL;
    b->restart();
    return CURL_SEEKFUNC_OK;
}

#if LIBCURL_VERSION_NUM >= 0x075000
// Called before each request goes out, a resent one included.
int bodyStarts(void* slot, char*, char*, int, int) {
    static_cast<Body*>(slot)->restart();
    return CURL_PREREQFUNC_OK;
}
#endif

// Reads the range into memory; false (and no memory) when it cannot be had.
bool loadBody(Body* b) {
    b->memory.reset(new (std::nothrow) unsigned char[b->length > 0 ? b->length : 1]);
    if (!b->memory) return false;
    for (int64_t got = 0; got < b->length;) {
        ssize_t n = pread(b->fd, b->memory.get() + got, static_cast<size_t>(b->length - got),
                          static_cast<off_t>(b->base + got));
        if (n <= 0) {
            b->memory.reset();
            return false;
        }
        got += n;
    }
    return true;
}

std::string digestOf(const Body& b, DigestKind kind) {
    Digest d(kind);
    d.update(b.memory.get(), static_cast<size_t>(b.length));
    return d.raw();
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

// Bounds the socket's send queue (CamApiLimits::sendBufferBytes). A new
// connection under an upload is a resend: its body starts again too (for
// libcurl builds without the pre-request callback).
int boundSendQueue(void* body, curl_socket_t fd, curlsocktype purpose) {
    long bytes = camApiLimits().sendBufferBytes;
    if (purpose == CURLSOCKTYPE_IPCXN && bytes > 0) {
        int size = static_cast<int>(bytes);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    if (purpose == CURLSOCKTYPE_IPCXN && body != nullptr) static_cast<Body*>(body)->restart();
    return CURL_SOCKOPT_OK;
}

// The body's callbacks on the handle.
void attachBody(CURL* h, Body* b) {
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(h, CURLOPT_READDATA, b);
    curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, seekBody);
    curl_easy_setopt(h, CURLOPT_SEEKDATA, b);
    curl_easy_setopt(h, CURLOPT_SOCKOPTDATA, b);
#if LIBCURL_VERSION_NUM >= 0x075000
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, bodyStarts);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, b);
#endif
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(b->length));
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
    t.failText.clear();
    t.proof = UploadProof::None;
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

void clearAnswerHeaders(Transport& t) {
    t.hasUploadOffset = t.hasUploadLength = t.hasTusExtension = t.hasTusChecksums = false;
    t.uploadOffset.clear();
    t.uploadLength.clear();
    t.etag.clear();
    t.tusExtension.clear();
    t.tusChecksums.clear();
}

// Keeps the headers of the final answer that uploads judge by: a new status
// line (a "100 Continue" before the real answer) starts the collection again.
size_t collectAnswerHeader(char* data, size_t size, size_t count, void*) {
    size_t n = size * count;
    Transport& t = transport();
    if (n >= 5 && memcmp(data, "HTTP/", 5) == 0) {
        clearAnswerHeaders(t);
        return n;
    }
    std::string value;
    if (tusHeaderValue(data, n, "Upload-Offset", &value)) {
        t.uploadOffset = value;
        t.hasUploadOffset = true;
    } else if (tusHeaderValue(data, n, "Upload-Length", &value)) {
        t.uploadLength = value;
        t.hasUploadLength = true;
    } else if (tusHeaderValue(data, n, "ETag", &value)) {
        t.etag = value;
    } else if (tusHeaderValue(data, n, "Tus-Extension", &value)) {
        t.tusExtension = value;
        t.hasTusExtension = true;
    } else if (tusHeaderValue(data, n, "Tus-Checksum-Algorithm", &value)) {
        t.tusChecksums = value;
        t.hasTusChecksums = true;
    }
    return n;
}

HeaderList tusHeaders(json_object* headers, const char* const* extra, size_t extraCount) {
    HeaderList list = headerList(headers, 4096);
    for (size_t i = 0; i < extraCount; i++) {
        if (extra[i] == nullptr) continue;
        curl_slist* grown = curl_slist_append(list.get(), extra[i]);
        if (grown == nullptr) return HeaderList();
        list.release();
        list.reset(grown);
    }
    return list;
}

bool appendHeader(HeaderList& list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) return false;
    list.release();
    list.reset(grown);
    return true;
}

// True when the slot's own headers already name `name` (any case).
bool slotHasHeader(json_object* headers, const char* name) {
    if (headers == nullptr || !json_object_is_type(headers, json_type_array)) return false;
    for (size_t i = 0; i < json_object_array_length(headers); i++) {
        json_object* v = nullptr;
        json_object* entry = json_object_array_get_idx(headers, i);
        if (json_object_object_get_ex(entry, "name", &v) && json_object_is_type(v, json_type_string) &&
            strcasecmp(json_object_get_string(v), name) == 0)
            return true;
    }
    return false;
}

// The header a plain upload's digest goes in: the slot's "checksum" member
// ({"header": "x-amz-checksum-sha256", "algorithm": "sha256"}), false for
// none, absent for Content-MD5, which S3-style stores check before they keep
// a body.
struct DigestHeader {
    std::string name;
    DigestKind kind = DigestKind::None;
};

DigestHeader digestHeaderOf(json_object* checksum) {
    DigestHeader d{"Content-MD5", DigestKind::Md5};
    if (checksum == nullptr) return d;
    if (json_object_is_type(checksum, json_type_boolean)) {
        if (!json_object_get_boolean(checksum)) d.kind = DigestKind::None;
        return d;
    }
    json_object* name = nullptr;
    json_object* algorithm = nullptr;
    if (!json_object_object_get_ex(checksum, "header", &name) ||
        !json_object_object_get_ex(checksum, "algorithm", &algorithm) ||
        !json_object_is_type(name, json_type_string) ||
        !json_object_is_type(algorithm, json_type_string))
        return d;
    const char* text = json_object_get_string(algorithm);
    DigestKind kind = digestKindNamed(text, strlen(text));
    const char* header = json_object_get_string(name);
    // A name that would break the header line is not taken.
    bool plain = *header != '\0' && strlen(header) < 128;
    for (const char* p = header; *p != '\0'; p++)
        if (*p <= ' ' || *p == ':' || *p == 0x7f) plain = false;
    if (kind != DigestKind::None && plain) {
        d.name = header;
        d.kind = kind;
    }
    return d;
}

// After a 2xx answer to an upload: whether the body went whole, and what
// the store showed of what it kept. False (with the reason in failText)
// when the store's copy is not the body.
bool judgeUpload(Transport& t, const Body& b, bool digestSent) {
    t.proof = digestSent ? UploadProof::Checked : UploadProof::None;
    if (b.pos != b.length || b.readFailed) {
        t.failText = "Body not sent whole: " + std::to_string(b.pos) + " of " +
                     std::to_string(b.length) + " bytes";
        return false;
    }
    if (!etagIsPlainMd5(t.etag)) return true;
    // The bytes handed in this try are the whole body (checked above).
    std::string sent = digestHex(b.handed.raw());
    if (sent.empty()) return true;
    if (etagHex(t.etag) != sent) {
        t.failText = "Store holds other bytes: ETag " + etagHex(t.etag) + ", sent " + sent;
        return false;
    }
    t.proof = UploadProof::Matched;
    return true;
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
                     json_object* headers, json_object* checksum) {
    Transport& t = transport();
    if (t.handle == nullptr) return CAMAPI_NO_HANDLE;
    if (stream == nullptr || size < 0) return CAMAPI_NO_HANDLE;
    HeaderList list = headerList(headers, 4096);
    Body body;
    body.fd = fileno(stream);
    body.base = 0;
    body.length = size;
    body.rewindable = true;
    // The digest goes ahead of the body, so the body is read once into
    // memory and sent from there; a body too large for that streams from
    // the file, and only the store's answer can prove it then.
    DigestHeader digest = digestHeaderOf(checksum);
    bool digestSent = false;
    if (digest.kind != DigestKind::None && !slotHasHeader(headers, digest.name.c_str()) &&
        size <= camApiLimits().memoryBodyBytes && loadBody(&body)) {
        std::string value = digestBase64(digestOf(body, digest.kind));
        if (value.empty() || !appendHeader(list, digest.name + ": " + value)) return CAMAPI_NO_MEMORY;
        digestSent = true;
    }
    // Without "Expect:" in the list libcurl adds "Expect: 100-continue" and
    // idles a round trip per picture before the body (docs/cloud-api.md).
    if (!camApiLimits().expectContinue && !appendHeader(list, "Expect:")) return CAMAPI_NO_MEMORY;
    clearAnswerHeaders(t);
    CapWatch cap;
    startRequest(t, url, Kind::Upload, cap);
    curl_easy_setopt(t.handle, CURLOPT_CUSTOMREQUEST, verb);
    curl_easy_setopt(t.handle, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(t.handle, CURLOPT_HEADERFUNCTION, collectAnswerHeader);
    // A store's answer body (an error page, say) is not wanted.
    curl_easy_setopt(t.handle, CURLOPT_WRITEFUNCTION, accumulate);
    curl_easy_setopt(t.handle, CURLOPT_WRITEDATA, nullptr);
    attachBody(t.handle, &body);
    int result = perform(t, cap);
    long code = camApiLastResponseCode();
    if (result == CAMAPI_DONE && code >= 200 && code <= 299 && !judgeUpload(t, body, digestSent))
        return CAMAPI_FAILED;
    return result;
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

namespace {

// A tus request without a body: HEAD (the offset), OPTIONS (the server's
// offer), DELETE (termination).
int tusBodiless(const char* url, json_object* headers, const char* method) {
    Transport& t = transport();
    if (t.handle == nullptr) return CAMAPI_NO_HANDLE;
    static const char* const kExtra[] = {"Tus-Resumable: 1.0.0"};
    HeaderList list = tusHeaders(headers, kExtra, 1);
    if (!list) return CAMAPI_NO_MEMORY;
    clearAnswerHeaders(t);
    CapWatch cap;
    startRequest(t, url, Kind::Json, cap);
    if (strcmp(method, "HEAD") == 0) {
        curl_easy_setopt(t.handle, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(t.handle, CURLOPT_CUSTOMREQUEST, method);
        curl_easy_setopt(t.handle, CURLOPT_WRITEFUNCTION, accumulate);
        curl_easy_setopt(t.handle, CURLOPT_WRITEDATA, nullptr);
    }
    curl_easy_setopt(t.handle, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(t.handle, CURLOPT_HEADERFUNCTION, collectAnswerHeader);
    return perform(t, cap);
}

}  // namespace

int camApiTusHead(const char* url, json_object* headers) { return tusBodiless(url, headers, "HEAD"); }

int camApiTusOptions(const char* url, json_object* headers) {
    return tusBodiless(url, headers, "OPTIONS");
}

int camApiTusDelete(const char* url, json_object* headers) {
    return tusBodiless(url, headers, "DELETE");
}

int camApiTusPatch(const char* url, FILE* stream, int64_t offset, int64_t length,
                   json_object* headers, DigestKind checksum) {
    Transport& t = transport();
    if (t.handle == nullptr) return CAMAPI_NO_HANDLE;
    if (stream == nullptr || offset < 0 || length < 0) return CAMAPI_NO_HANDLE;
    Body body;
    body.fd = fileno(stream);
    body.base = offset;
    body.length = length;
    std::string checksumLine;
    if (checksum != DigestKind::None) {
        // The server checks the whole PATCH against this before it keeps a
        // byte of it, so the bytes sent must be the very bytes digested.
        if (!loadBody(&body)) return CAMAPI_NO_MEMORY;
        checksumLine = std::string("Upload-Checksum: ") + digestKindName(checksum) + " " +
                       digestBase64(digestOf(body, checksum));
    }
    char offsetLine[64];
    snprintf(offsetLine, sizeof offsetLine, "Upload-Offset: %lld", static_cast<long long>(offset));
    // "Expect:" keeps libcurl from idling a round trip before the body.
    const char* const extra[] = {"Tus-Resumable: 1.0.0", offsetLine,
                                 "Content-Type: application/offset+octet-stream", "Expect:",
                                 checksumLine.empty() ? nullptr : checksumLine.c_str()};
    HeaderList list = tusHeaders(headers, extra, 5);
    if (!list) return CAMAPI_NO_MEMORY;
    clearAnswerHeaders(t);
    CapWatch cap;
    startRequest(t, url, Kind::Upload, cap);
    curl_easy_setopt(t.handle, CURLOPT_CUSTOMREQUEST, "PATCH");
    curl_easy_setopt(t.handle, CURLOPT_HTTPHEADER, list.get());
    attachBody(t.handle, &body);
    curl_easy_setopt(t.handle, CURLOPT_HEADERFUNCTION, collectAnswerHeader);
    // The answer body (if any) is not wanted; without this it would go to stdout.
    curl_easy_setopt(t.handle, CURLOPT_WRITEFUNCTION, accumulate);
    curl_easy_setopt(t.handle, CURLOPT_WRITEDATA, nullptr);
    int result = perform(t, cap);
    long code = camApiLastResponseCode();
    if (result == CAMAPI_DONE && code >= 200 && code <= 299 && !judgeUpload(t, body, !checksumLine.empty()))
        return CAMAPI_FAILED;
    return result;
}

const char* camApiLastUploadOffset() {
    const Transport& t = transport();
    return t.hasUploadOffset ? t.uploadOffset.c_str() : nullptr;
}

const char* camApiLastUploadLength() {
    const Transport& t = transport();
    return t.hasUploadLength ? t.uploadLength.c_str() : nullptr;
}

const char* camApiLastTusExtensions() {
    const Transport& t = transport();
    return t.hasTusExtension ? t.tusExtension.c_str() : nullptr;
}

const char* camApiLastTusChecksums() {
    const Transport& t = transport();
    return t.hasTusChecksums ? t.tusChecksums.c_str() : nullptr;
}

UploadProof camApiLastUploadProof() { return transport().proof; }

const char* camApiLastErrorText() {
    Transport& t = transport();
    if (!t.failText.empty()) return t.failText.c_str();
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
