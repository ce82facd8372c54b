#include "CamApiController.h"

#include <curl/curl.h>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "JsonHelper.h"
#include "Logger.h"
#include "SafeFile.h"
#include "TransferLimits.h"
#include "UploadProof.h"

namespace {

// ---- owned handles --------------------------------------------------------

struct CurlGlobal {
    bool ok = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
    ~CurlGlobal() {
        if (ok) curl_global_cleanup();
    }
};
struct CurlCleanup {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct FileClose {
    void operator()(FILE* f) const { fclose(f); }
};
struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};
using CurlPtr = std::unique_ptr<CURL, CurlCleanup>;
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;
using FilePtr = std::unique_ptr<FILE, FileClose>;

struct Response : ResponseText {
    Response() : ResponseText{nullptr, 0} {}
    ~Response() { free(ptr); }
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;
};

struct Document : JsonHelper {
    Document() { JsonHelperInit(this); }
    ~Document() { JsonHelperCleanup(this); }
    void reset() {
        JsonHelperCleanup(this);
        JsonHelperInit(this);
    }
};

// Appends a list line; false when memory runs out (the list stays valid).
bool appendHeader(SlistPtr& list, const char* line) {
    curl_slist* grown = curl_slist_append(list.get(), line);
    if (!grown) return false;
    list.release();
    list.reset(grown);
    return true;
}

bool isPictureName(const char* name) {
    size_t n = strlen(name);
    return n > 4 && strcasecmp(name + n - 4, ".jpg") == 0;
}

// A slot may only name a picture of the folder: a plain file name, no path.
bool isPlainPictureName(const char* name) {
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p)
        if (*p == '/' || *p < 0x20 || *p == 0x7F) return false;
    return isPictureName(name);
}

// The token as read from its file may end in a line feed; a header line
// must not carry it.
std::string headerSafe(const char* text) {
    std::string s = text;
    size_t cut = s.find_first_of("\r\n");
    if (cut != std::string::npos) s.erase(cut);
    return s;
}

size_t writefunc(void* ptr, size_t size, size_t nmemb, void* userdata) {
    auto* s = static_cast<ResponseText*>(userdata);
    size_t n = size * nmemb;
    if (!s->ptr || n > CAMAPI_MAX_RESPONSE - s->len) return 0;
    char* grown = static_cast<char*>(realloc(s->ptr, s->len + n + 1));
    if (!grown) {
        free(s->ptr);
        s->ptr = nullptr;
        return 0;
    }
    s->ptr = grown;
    memcpy(s->ptr + s->len, ptr, n);
    s->len += n;
    s->ptr[s->len] = '\0';
    return n;
}

// ---- steps ----------------------------------------------------------------

int generateUploads(const char* path, JsonHelper* doc) {
    if (!path || !doc) {
        LogError("Invalid generateUploads arguments");
        return 1;
    }
    std::unique_ptr<DIR, DirClose> dir(opendir(path));
    if (!dir) {
        LogErrorPrintf("Cannot access path: %s", path);
        return 3;
    }
    JsonNode* root = JsonHelperAddNode(doc, nullptr, nullptr);
    JsonNode* uploads = JsonHelperAddArrayNode(doc, root, "uploads");
    int added = 0;
    while (const dirent* ent = readdir(dir.get())) {
        bool regular = ent->d_type == DT_REG;
        std::string full = std::string(path) + ent->d_name;
        struct stat st;
        if (ent->d_type == DT_UNKNOWN)
            regular = lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        if (!regular || !isPictureName(ent->d_name) || full.size() > 254) continue;
        if (stat(full.c_str(), &st) != 0) continue;
        JsonNode* item = JsonHelperAddNode(doc, uploads, nullptr);
        JsonHelperAddString(doc, item, "name", ent->d_name);
        JsonHelperAddInt(doc, item, "size", static_cast<int32_t>(st.st_size));
        added++;
    }
    if (added == 0) {
        LogError("No files to send");
        return 2;
    }
    return 0;
}

int putCamera(const char* body, const char* path, const CamApiParams* params,
              ResponseText* response) {
    if (!body || !params || !path || !response) return 1;
    CurlGlobal global;
    CurlPtr curl(global.ok ? curl_easy_init() : nullptr);
    if (!curl) return 2;

    std::string auth = "Authorization: Bearer " + headerSafe(params->token);
    SlistPtr headers;
    if (!appendHeader(headers, auth.c_str()) ||
        !appendHeader(headers, "Content-Type: application/json"))
        return 2;
    std::string cainfo = std::string(path) + "cacert.pem";
    std::string url = std::string("https://") + params->host + "/camapi/v3/camera/" + params->ucid;

    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_CAINFO, cainfo.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, "PUT");
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body);
    curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, writefunc);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, response);
    TransferCap cap{transferLimits()};
    applyTransferLimits(curl.get(), &cap);

    CURLcode rc = curl_easy_perform(curl.get());
    long code = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &code);
    if (rc != CURLE_OK) {
        LogInfoPrintf("Response code: %ld", code);
        LogError(transferErrorText(rc, cap));
        return 2;
    }
    return 0;
}

// Serves one slot; 0 when the picture was sent, deleted and listed.
int serveSlot(CURL* curl, const char* path, JsonHelper* doc, JsonNode* slot) {
    const char* name = JsonHelperGetString(slot, "name");
    if (!slot || !slot->obj || !name) return 2;
    const char* host = JsonHelperGetString(slot, "host");
    const char* urlPath = JsonHelperGetString(slot, "path");
    const char* verb = JsonHelperGetString(slot, "verb");
    int size = JsonHelperGetInt(slot, "size");
    if (!host || !name || !verb || !urlPath || size < 0) {
        LogError("No upload parameters");
        return 1;
    }
    const std::string file = std::string(path) + name;
    if (!isPlainPictureName(name) || file.size() > 254) {
        LogErrorPrintf("Refused upload slot for file: %s", name);
        return 2;
    }
    // A cut URL or header would send the picture somewhere else.
    const std::string url = std::string(host) + urlPath;
    if (url.size() > 1023) {
        LogErrorPrintf("Upload URL too long for file: %s", name);
        return 2;
    }
    JsonNode* checksum = JsonHelperGetNode(doc, slot, "checksum");
    const UploadDigestHeader digest = UploadDigestHeaderOf(checksum ? checksum->obj : nullptr);
    bool slotHasDigest = false;  // the slot's own header wins (it may be signed)
    SlistPtr headers;
    JsonNode* list = JsonHelperGetNode(doc, slot, "headers");
    for (int i = 0, n = JsonHelperGetArrayNodeCount(list); i < n; i++) {
        JsonNode* h = JsonHelperGetArrayNode(doc, list, i);
        const char* hn = JsonHelperGetString(h, "name");
        const char* hv = JsonHelperGetString(h, "value");
        if (!h || !h->obj || !hn || !hv) return 2;
        std::string line = std::string(hn) + ":" + hv;
        if (line.size() > 1023) {
            LogErrorPrintf("Upload header too long for file: %s", name);
            return 2;
        }
        if (!appendHeader(headers, line.c_str())) return 2;
        if (strcasecmp(hn, digest.name.c_str()) == 0) slotHasDigest = true;
    }

    FilePtr picture(fopen(file.c_str(), "rb"));
    if (!picture) {
        LogErrorPrintf("Cannot open file: %s", file.c_str());
        return 2;
    }
    // A slot smaller than the picture would take a part of it, and the
    // picture would then be deleted for good.
    struct stat st;
    if (fstat(fileno(picture.get()), &st) != 0 || st.st_size != size) {
        LogErrorPrintf("Slot size %d differs from file: %s", size, name);
        return 2;
    }
    UploadBody body;
    body.fd = fileno(picture.get());
    body.length = size;
    // The digest goes ahead of the body, so the body is read once into
    // memory and sent from there; a larger one streams from the file and
    // only the store's ETag can prove it.
    bool digestSent = false;
    if (digest.md && !slotHasDigest && size <= kUploadMemoryBodyBytes && UploadBodyLoad(&body)) {
        std::string value = UploadBodyDigestBase64(body, digest.md);
        if (value.empty() || !appendHeader(headers, (digest.name + ": " + value).c_str())) return 2;
        digestSent = true;
    }

    Response response;
    if (!init_string(&response)) return 2;
    const std::string cainfo = std::string(path) + "cacert.pem";
    curl_easy_setopt(curl, CURLOPT_CAINFO, cainfo.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writefunc);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<ResponseText*>(&response));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    // Our own reader, so that every try of the request (libcurl's resend on
    // a fresh connection too) carries the body from its first byte.
    UploadBodyAttach(curl, &body);
    TransferCap cap{transferLimits()};
    cap.freshConnection = UploadBodyFreshConnection;
    cap.freshConnectionData = &body;
    applyTransferLimits(curl, &cap);

    CURLcode rc = curl_easy_perform(curl);
    LogInfoPrintf("Sending file: %s, %d bytes", name, size);
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    // The handle outlives this slot: it must not keep pointers into it.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    UploadBodyDetach(curl);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, nullptr);
    if (rc != CURLE_OK) {
        LogInfoPrintf("Response code: %ld", code);
        LogError(body.readFailed ? "Cannot read file" : transferErrorText(rc, cap));
        return 2;
    }
    // A refused or expired slot took no picture: keep it for the next run.
    if (code < 200 || code > 299) {
        LogInfoPrintf("Response code: %ld", code);
        LogErrorPrintf("Upload refused: %s", name);
        return 2;
    }
    UploadProofLevel proof = UploadProofLevel::None;
    std::string why;
    if (!UploadBodyJudge(body, digestSent, &proof, &why)) {
        LogErrorPrintf("Upload not proven: %s: %s", name, why.c_str());
        return 2;
    }
    // Nothing the store showed speaks against it, and nothing for it either.
    if (proof == UploadProofLevel::None) LogInfoPrintf("Upload without proof: %s", name);
    picture.reset();
    // Listed first, on the medium, then removed for good: a cut in between
    // leaves a picture that is both listed and still here, and the next run
    // sends it again; a sent picture is never gone without its line.
    const std::string sent = std::string(path) + "sent.txt";
    const std::string line = std::string(name) + "\r\n";
    if (!SafeFileAppend(sent.c_str(), line.data(), line.size()))
        printf("ERROR: Cannot save sent files\n");
    unlink(file.c_str());
    SafeFileSyncFolder(file.c_str());
    return 0;
}

int uploadFiles(const char* path, JsonHelper* doc) {
    if (!path || !doc) return 1;
    JsonNode* uploads = JsonHelperGetNode(doc, nullptr, "uploads");
    int count = JsonHelperGetArrayNodeCount(uploads);
    if (count <= 0) return 2;

    CurlGlobal global;
    CurlPtr curl(global.ok ? curl_easy_init() : nullptr);
    if (!curl) return 2;
    LogInfoPrintf("Files to upload: %d", count);
    for (int i = 0; i < count; i++) {
        int rc = serveSlot(curl.get(), path, doc, JsonHelperGetArrayNode(doc, uploads, i));
        if (rc != 0) return rc;
    }
    return 0;
}

}  // namespace

bool init_string(ResponseText* s) {
    if (!s) return false;
    s->len = 0;
    s->ptr = static_cast<char*>(malloc(1));
    if (!s->ptr) return false;
    s->ptr[0] = '\0';
    return true;
}

int CamApiControllerUploadProcess(const char* path, const CamApiParams* params) {
    Document doc;
    if (generateUploads(path, &doc) != 0) return 0;  // nothing to upload

    Response response;
    if (!init_string(&response)) return 2;
    int rc = putCamera(JsonHelperToString(&doc), path, params, &response);
    doc.reset();
    if (rc != 0) return rc;

    if (!JsonHelperFromString(&doc, response.ptr)) return 2;
    free(response.ptr);
    response.ptr = nullptr;
    return uploadFiles(path, &doc);
}
