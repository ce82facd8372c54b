#include "cloud/tus.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "camera/protocol.h"
#include "cloud/camapi.h"
#include "cloud/request_slot.h"
#include "cloud/sync_clock.h"
#include "core/atomicfile.h"
#include "core/jsonutil.h"
#include "core/log.h"
#include "core/rootpath.h"

namespace {

// On the module's own flash, not the card: the DSP and the announcement
// read the transmit folder, and a record there would be taken for a picture.
const char kRecordsPath[] = "/usrdata/tus_uploads.json";
const char kTransmitFolder[] = "/media/sdcard/TRANSMIT/";
const long kLongestWait = 8;
// A records file is a few kilobytes; anything far larger is not ours.
const long kMaxRecordsFile = 256 * 1024;

struct FileClose {
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string transmitPath(const std::string& name) { return rootPath(kTransmitFolder) + name; }

// A record of a transmit-folder picture lives while that very picture is
// there; one whose picture changed or went is of no use.
bool stillThere(const TusRecord& r) {
    if (r.hd) return true;
    struct stat st;
    return stat(transmitPath(r.name).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_size == r.size && static_cast<int64_t>(st.st_mtime) == r.mtime;
}

int64_t int64Member(json_object* o, const char* key, bool* ok) {
    json_object* v = jsonMember(o, key);
    if (v == nullptr || !json_object_is_type(v, json_type_int)) {
        *ok = false;
        return 0;
    }
    return json_object_get_int64(v);
}

enum class Answer { Offset, Gone, Later, Refused, Failed, Conflict, Mismatch };

// What a tus server offers, asked once per server and process (OPTIONS).
struct Offer {
    DigestKind checksum = DigestKind::None;  // the strongest it checks
    bool termination = false;
};

// "https://host:port" of a URL: the server an offer belongs to.
std::string originOf(const std::string& url) {
    size_t scheme = url.find("://");
    size_t end = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    return url.substr(0, end);
}

// Calls `each` with every item of a comma-separated header value.
template <typename F>
void forEachItem(const char* list, F each) {
    if (list == nullptr) return;
    for (const char* p = list; *p != '\0';) {
        while (*p == ' ' || *p == ',') p++;
        const char* begin = p;
        while (*p != '\0' && *p != ',') p++;
        const char* end = p;
        while (end > begin && end[-1] == ' ') end--;
        if (end > begin) each(begin, static_cast<size_t>(end - begin));
    }
}

std::map<std::string, Offer>& offers() {
    static std::map<std::string, Offer> known;
    return known;
}

Offer offerOf(const std::string& url, json_object* headers) {
    std::map<std::string, Offer>& known = offers();
    const std::string origin = originOf(url);
    auto it = known.find(origin);
    if (it != known.end()) return it->second;
    Offer offer;
    sendAck();
    // Not known after a cut: asked again at the next upload.
    if (camApiTusOptions(url.c_str(), headers) != CAMAPI_DONE) return offer;
    bool checks = false;
    forEachItem(camApiLastTusExtensions(), [&](const char* item, size_t len) {
        if (len == 8 && strncmp(item, "checksum", 8) == 0) checks = true;
        if (len == 11 && strncmp(item, "termination", 11) == 0) offer.termination = true;
    });
    if (checks)
        forEachItem(camApiLastTusChecksums(), [&](const char* item, size_t len) {
            DigestKind kind = digestKindNamed(item, len);
            if (static_cast<int>(kind) > static_cast<int>(offer.checksum)) offer.checksum = kind;
        });
    const std::string shown = peerText(origin.c_str(), 100);
    if (offer.checksum == DigestKind::None)
        logMessage("upload", LOG_WARNING,
                   "Resumable upload server %s checks no checksum: its offsets alone vouch for a picture",
                   shown.c_str());
    else
        logMessage("upload", LOG_INFO, "Resumable upload server %s checks %s checksums", shown.c_str(),
                   digestKindName(offer.checksum));
    if (known.size() >= 16) known.clear();  // a handful of servers at most; bounded all the same
    known[origin] = offer;
    return offer;
}

struct Step {
    Answer kind;
    int64_t offset;
};

// What one tus exchange came to, logged where it ends the upload.
Step judge(int rc, bool head, const std::string& shown, int64_t size) {
    if (rc != CAMAPI_DONE) {
        logMessage("upload", LOG_WARNING, "Resumable upload %s cut: %s", shown.c_str(),
                   transferFailure(rc).c_str());
        return {Answer::Failed, 0};
    }
    long code = camApiLastResponseCode();
    if (code >= 200 && code <= 299) {
        int64_t offset = 0;
        const char* text = camApiLastUploadOffset();
        if (text == nullptr || !tusParseOffset(text, size, &offset)) {
            logMessage("upload", LOG_ERROR, "Resumable upload %s: refused offset \"%s\" (size %lld)",
                       shown.c_str(), text == nullptr ? "" : peerText(text, 40).c_str(),
                       static_cast<long long>(size));
            return {Answer::Refused, 0};
        }
        const char* length = camApiLastUploadLength();
        int64_t told = 0;
        // An upload of another length is not this picture's.
        if (head && length != nullptr &&
            (!tusParseOffset(length, INT64_MAX, &told) || told != size)) {
            logMessage("upload", LOG_ERROR, "Resumable upload %s: length \"%s\" is not %lld",
                       shown.c_str(), peerText(length, 40).c_str(), static_cast<long long>(size));
            return {Answer::Refused, 0};
        }
        return {Answer::Offset, offset};
    }
    if (code == 404 || code == 410) return {Answer::Gone, 0};
    if (code == 409) return {Answer::Conflict, 0};
    if (code == 460) {
        logMessage("upload", LOG_WARNING,
                   "Resumable upload %s: the server got other bytes than sent (HTTP 460), sending again",
                   shown.c_str());
        return {Answer::Mismatch, 0};
    }
    if (code == 423 || (code >= 500 && code <= 599)) {
        logMessage("upload", LOG_WARNING, "Resumable upload %s: HTTP %ld", shown.c_str(), code);
        return {Answer::Later, 0};
    }
    logMessage("upload", LOG_ERROR, "Resumable upload %s failed: HTTP %ld", shown.c_str(), code);
    return {Answer::Refused, 0};
}

void backOff(long* wait) {
    long pause = *wait;
    long asked = camApiLastRetryAfter();
    if (asked > pause) pause = asked > kLongestWait ? kLongestWait : asked;
    for (long i = 0; i < pause; i++) {
        syncClock().sleepSecond();
        sendAck();
    }
    *wait = *wait * 2 > kLongestWait ? kLongestWait : *wait * 2;
}

void putRecord(const TusRecord& record) {
    std::vector<TusRecord> records = tusLoadRecords();
    for (auto it = records.begin(); it != records.end();)
        it = (it->name == record.name && it->hd == record.hd) ? records.erase(it) : it + 1;
    records.push_back(record);
    // Without a record the upload still goes; a cut one then starts again.
    if (!tusSaveRecords(records))
        logMessage("upload", LOG_WARNING, "Cannot record the upload of %s", record.name.c_str());
}

}  // namespace

void tusForgetServers() { offers().clear(); }

bool tusHeaderValue(const char* line, size_t len, const char* name, std::string* value) {
    size_t nameLen = strlen(name);
    if (line == nullptr || len <= nameLen || line[nameLen] != ':') return false;
    for (size_t i = 0; i < nameLen; i++)
        if (tolower(static_cast<unsigned char>(line[i])) != tolower(static_cast<unsigned char>(name[i])))
            return false;
    size_t begin = nameLen + 1;
    size_t end = len;
    while (begin < end && blank(line[begin])) begin++;
    while (end > begin && blank(line[end - 1])) end--;
    value->assign(line + begin, end - begin);
    return true;
}

bool tusParseOffset(const char* text, int64_t size, int64_t* offset) {
    if (text == nullptr || *text == '\0' || size < 0) return false;
    int64_t v = 0;
    for (const char* p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9') return false;
        int digit = *p - '0';
        // Beyond size (and never overflowing): v * 10 + digit > size. Kept in
        // two steps, as (size - digit) / 10 rounds toward zero below ten.
        if (v > size / 10 || v * 10 > size - digit) return false;
        v = v * 10 + digit;
    }
    *offset = v;
    return true;
}

TusLimits& tusLimits() {
    static TusLimits limits;
    return limits;
}

const char* tusSlotProtocol(json_object* slot) {
    json_object* v = jsonMember(slot, "protocol");
    if (v == nullptr) return "put";
    if (!json_object_is_type(v, json_type_string)) return nullptr;
    const char* p = json_object_get_string(v);
    if (strcmp(p, "put") == 0) return "put";
    if (strcmp(p, "tus") == 0) return "tus";
    return nullptr;
}

std::vector<TusRecord> tusLoadRecords() {
    std::vector<TusRecord> records;
    FilePtr f(fopen(rootPath(kRecordsPath).c_str(), "rb"));
    if (!f) return records;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f.get())) > 0) {
        text.append(buffer, n);
        if (text.size() > static_cast<size_t>(kMaxRecordsFile)) return records;
    }
    JsonPtr doc(json_tokener_parse(text.c_str()));
    if (!doc || !json_object_is_type(doc.get(), json_type_array)) return records;
    for (size_t i = 0; i < json_object_array_length(doc.get()) && records.size() < kTusMaxRecords; i++) {
        json_object* o = json_object_array_get_idx(doc.get(), i);
        const char* name = slotText(o, "name");
        const char* url = slotText(o, "url");
        bool ok = name != nullptr && url != nullptr && isPlainRequestName(name);
        TusRecord r;
        r.size = int64Member(o, "size", &ok);
        r.mtime = int64Member(o, "mtime", &ok);
        json_object* hd = jsonMember(o, "hd");
        if (!ok) continue;
        r.name = name;
        r.url = url;
        r.hd = hd != nullptr && json_object_get_boolean(hd);
        records.push_back(r);
    }
    return records;
}

bool tusSaveRecords(std::vector<TusRecord> records) {
    std::vector<TusRecord> kept;
    size_t hd = 0;
    // Newest last: walk backwards so the caps drop the oldest.
    for (auto it = records.rbegin(); it != records.rend() && kept.size() < kTusMaxRecords; ++it) {
        if (!stillThere(*it)) continue;
        if (it->hd && ++hd > kTusMaxHdRecords) continue;
        kept.insert(kept.begin(), *it);
    }
    JsonPtr doc(json_object_new_array());
    for (const TusRecord& r : kept) {
        json_object* o = json_object_new_object();
        json_object_object_add(o, "name", json_object_new_string(r.name.c_str()));
        json_object_object_add(o, "size", json_object_new_int64(r.size));
        json_object_object_add(o, "mtime", json_object_new_int64(r.mtime));
        json_object_object_add(o, "hd", json_object_new_boolean(r.hd));
        json_object_object_add(o, "url", json_object_new_string(r.url.c_str()));
        json_object_array_add(doc.get(), o);
    }
    const char* text = json_object_to_json_string_ext(doc.get(), JSON_C_TO_STRING_PLAIN);
    return writeFileAtomic(rootPath(kRecordsPath).c_str(), text, strlen(text), 0644) == 1;
}

void tusForget(const char* name, bool hd) {
    std::vector<TusRecord> records = tusLoadRecords();
    bool found = false;
    for (auto it = records.begin(); it != records.end();) {
        if (it->name == name && it->hd == hd) {
            it = records.erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    if (found && !tusSaveRecords(records))
        logMessage("upload", LOG_WARNING, "Cannot drop the upload record of %s", name);
}

int tusUpload(const char* name, bool hd, const char* path, int64_t size, int64_t mtime,
              const char* url, json_object* headers) {
    const std::string shown = peerText(name);
    // A record of this very picture: go on where it was cut, whatever URL
    // the cloud hands this time.
    std::string current = url;
    bool ours = false;
    for (const TusRecord& r : tusLoadRecords()) {
        if (r.name != name || r.hd != hd) continue;
        if (r.size == size && r.mtime == mtime) {
            current = r.url;
            ours = true;
        }
    }
    TusRecord record{name, size, mtime, hd, current};
    if (!ours) putRecord(record);  // before the first byte

    FilePtr file(fopen(path, "rb"));
    if (!file) {
        logMessage("sync", LOG_ERROR, "Failed to open file: %s", path);
        return TUS_KEPT;
    }
    const TusLimits& limits = tusLimits();
    int stuck = 0;
    int64_t before = -1;   // the server's offset before the last attempt
    int64_t claimed = -1;  // the offset the last PATCH started from
    int64_t offset = 0;
    bool known = false;    // the offset came with the last PATCH's answer
    long wait = 1;
    // The server ends an upload that is gone; a recorded one falls back to
    // this sync's slot, from 0.
    auto gone = [&](long code) {
        if (current != url) {
            logMessage("upload", LOG_WARNING,
                       "Resumable upload %s gone (HTTP %ld): starting again on the new slot",
                       shown.c_str(), code);
            current = url;
            record.url = current;
            putRecord(record);
            ours = false;
            before = claimed = -1;
            stuck = 0;
            return false;
        }
        logMessage("upload", LOG_WARNING,
                   "Resumable upload %s gone (HTTP %ld): starting again on the next slot",
                   shown.c_str(), code);
        tusForget(name, hd);
        return true;
    };
    auto noProgress = [&]() {
        if (++stuck < limits.stuckAttempts) return false;
        logMessage("upload", LOG_ERROR, "Resumable upload %s: no progress, kept for the next sync",
                   shown.c_str());
        return true;
    };

    for (;;) {
        if (!known) {
            sendAck();
            int rc = camApiTusHead(current.c_str(), headers);
            Step s = judge(rc, true, shown, size);
            if (s.kind == Answer::Gone) {
                if (gone(camApiLastResponseCode())) return TUS_KEPT;
                continue;
            }
            if (s.kind == Answer::Refused) return TUS_KEPT;
            if (s.kind != Answer::Offset) {
                if (noProgress()) return TUS_KEPT;
                if (s.kind == Answer::Later) backOff(&wait);
                continue;
            }
            offset = s.offset;
            // Bytes at a URL this camera never recorded as its own could be
            // anyone's: appending to them would make a picture of two.
            if (!ours && offset > 0) {
                logMessage("upload", LOG_ERROR,
                           "Resumable upload %s: new upload already holds %lld bytes, refused",
                           shown.c_str(), static_cast<long long>(offset));
                tusForget(name, hd);
                return TUS_KEPT;
            }
            if (claimed >= 0 && offset < claimed)
                logMessage("upload", LOG_WARNING,
                           "Resumable upload %s: server went back from %lld to %lld bytes",
                           shown.c_str(), static_cast<long long>(claimed),
                           static_cast<long long>(offset));
            if (before >= 0) {
                if (offset > before) stuck = 0;
                else if (noProgress()) return TUS_KEPT;
            }
            before = offset;
        }
        if (offset == size) break;
        known = false;
        const Offer offer = offerOf(current, headers);
        int64_t length = size - offset;
        if (limits.chunkBytes > 0 && length > limits.chunkBytes) length = limits.chunkBytes;
        if (offer.checksum != DigestKind::None && limits.checkedChunkBytes > 0 &&
            length > limits.checkedChunkBytes)
            length = limits.checkedChunkBytes;
        sendAck();
        ours = true;
        claimed = offset;
        int rc = camApiTusPatch(current.c_str(), file.get(), offset, length, headers, offer.checksum);
        if (rc == CAMAPI_NO_MEMORY || rc == CAMAPI_NO_HANDLE) {
            logMessage("upload", LOG_ERROR, "Resumable upload %s: cannot read the picture",
                       shown.c_str());
            return TUS_KEPT;
        }
        Step p = judge(rc, false, shown, size);
        if (p.kind == Answer::Offset) {
            // A server that kept the whole PATCH stands at its end. Any other
            // offset in a success means its copy is not what was sent (bytes
            // dropped, or appended somewhere else than asked): nothing can be
            // continued on it.
            if (p.offset != offset + length) {
                logMessage("upload", LOG_ERROR,
                           "Resumable upload %s: server stands at %lld after %lld bytes from %lld: "
                           "its copy is not trusted, the picture goes again on a new upload",
                           shown.c_str(), static_cast<long long>(p.offset),
                           static_cast<long long>(length), static_cast<long long>(offset));
                if (offer.termination) camApiTusDelete(current.c_str(), headers);
                tusForget(name, hd);
                return TUS_KEPT;
            }
            if (p.offset == size) {
                offset = size;
                break;
            }
            offset = before = p.offset;
            stuck = 0;
            known = true;
        } else if (p.kind == Answer::Gone) {
            if (gone(camApiLastResponseCode())) return TUS_KEPT;
        } else if (p.kind == Answer::Refused) {
            return TUS_KEPT;
        } else if (p.kind == Answer::Later) {
            backOff(&wait);
        }
        // Conflict, a cut or bytes the server refused: the next HEAD says
        // where it stands, and counts an attempt that moved nothing.
    }
    logMessage("upload", LOG_INFO, "Resumable upload %s complete: %lld bytes", shown.c_str(),
               static_cast<long long>(size));
    return TUS_SENT;
}
