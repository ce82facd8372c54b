#include "UploadProof.h"

#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <new>

namespace {

std::string hexOf(const unsigned char* raw, unsigned int len) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; i++) {
        out += kHex[raw[i] >> 4];
        out += kHex[raw[i] & 15];
    }
    return out;
}

// Example: "d41d8cd98f00b204e9800998ecf8427e" with its quotes. Weak ETags
// ("W/..."), multipart ones ("...-3") and those of stores that hash
// otherwise are no MD5 of the body and prove nothing here.
bool etagIsPlainMd5(const std::string& etag) {
    if (etag.size() != 34 || etag.front() != '"' || etag.back() != '"') return false;
    for (size_t i = 1; i < 33; i++)
        if (!isxdigit(static_cast<unsigned char>(etag[i]))) return false;
    return true;
}

std::string md5HexOfLoaded(const UploadBody& b) {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(b.memory.get(), static_cast<size_t>(b.length), raw, &len, EVP_md5(), nullptr) !=
        1)
        return "";
    return hexOf(raw, len);
}

// The running digest's value, on a copy.
std::string md5HexOfHanded(const UploadBody& b) {
    std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree> copy(EVP_MD_CTX_new());
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!b.handed || !copy || EVP_MD_CTX_copy_ex(copy.get(), b.handed.get()) != 1 ||
        EVP_DigestFinal_ex(copy.get(), raw, &len) != 1)
        return "";
    return hexOf(raw, len);
}

size_t readBody(char* out, size_t size, size_t count, void* slot) {
    auto* b = static_cast<UploadBody*>(slot);
    int64_t left = b->length - b->pos;
    size_t want = size * count;
    if (static_cast<int64_t>(want) > left) want = static_cast<size_t>(left);
    if (want == 0) return 0;
    if (b->memory) {
        memcpy(out, b->memory.get() + b->pos, want);
    } else {
        ssize_t n = pread(b->fd, out, want, static_cast<off_t>(b->pos));
        if (n <= 0) {  // the file ends before the slot's size
            b->readFailed = true;
            return CURL_READFUNC_ABORT;
        }
        want = static_cast<size_t>(n);
    }
    if (b->handed) EVP_DigestUpdate(b->handed.get(), out, want);
    b->pos += static_cast<int64_t>(want);
    return want;
}

// A PUT goes again whole, from its first byte.
int seekBody(void* slot, curl_off_t offset, int origin) {
    if (origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_FAIL;
    static_cast<UploadBody*>(slot)->restart();
    return CURL_SEEKFUNC_OK;
}

#if LIBCURL_VERSION_NUM >= 0x075000
// Called before each request goes out, a resent one included: libcurl
// resends on a fresh connection when a reused one died before any answer,
// and when no body byte had been counted as written it asks for no rewind,
// though it had already taken up to 64 KiB of the body and dropped them.
int bodyStarts(void* slot, char*, char*, int, int) {
    static_cast<UploadBody*>(slot)->restart();
    return CURL_PREREQFUNC_OK;
}
#endif

// Example lines: "HTTP/1.1 200 OK\r\n", "ETag: \"9e107d9d372bb6826bd81d3542a419d6\"\r\n".
// Only the last answer's ETag counts (a 100 Continue comes first).
size_t collectEtag(char* line, size_t size, size_t count, void* slot) {
    auto* b = static_cast<UploadBody*>(slot);
    size_t n = size * count;
    if (n >= 5 && strncmp(line, "HTTP/", 5) == 0) {
        b->etag.clear();
    } else if (n > 5 && strncasecmp(line, "ETag:", 5) == 0) {
        size_t from = 5, to = n;
        while (from < to && (line[from] == ' ' || line[from] == '\t')) from++;
        while (to > from && isspace(static_cast<unsigned char>(line[to - 1]))) to--;
        b->etag.assign(line + from, to - from);
    }
    return n;
}

}  // namespace

UploadBody::UploadBody() : handed(EVP_MD_CTX_new()) { restart(); }

void UploadBody::restart() {
    pos = 0;
    readFailed = false;
    if (handed && EVP_DigestInit_ex(handed.get(), EVP_md5(), nullptr) != 1) handed.reset();
}

UploadDigestHeader UploadDigestHeaderOf(json_object* checksum) {
    UploadDigestHeader d{"Content-MD5", EVP_md5()};
    if (checksum == nullptr) return d;
    if (json_object_is_type(checksum, json_type_boolean)) {
        if (!json_object_get_boolean(checksum)) d.md = nullptr;
        return d;
    }
    json_object* header = nullptr;
    json_object* algorithm = nullptr;
    if (!json_object_object_get_ex(checksum, "header", &header) ||
        !json_object_object_get_ex(checksum, "algorithm", &algorithm) ||
        !json_object_is_type(header, json_type_string) ||
        !json_object_is_type(algorithm, json_type_string))
        return d;
    const char* alg = json_object_get_string(algorithm);
    const EVP_MD* md = strcasecmp(alg, "md5") == 0      ? EVP_md5()
                       : strcasecmp(alg, "sha1") == 0   ? EVP_sha1()
                       : strcasecmp(alg, "sha256") == 0 ? EVP_sha256()
                                                        : nullptr;
    // A name that would break the header line is not taken.
    const char* name = json_object_get_string(header);
    bool plain = *name != '\0' && strlen(name) < 128;
    for (const char* p = name; *p != '\0'; p++)
        if (*p <= ' ' || *p == ':' || *p == 0x7f) plain = false;
    if (md != nullptr && plain) {
        d.name = name;
        d.md = md;
    }
    return d;
}

bool UploadBodyLoad(UploadBody* b) {
    b->memory.reset(new (std::nothrow) unsigned char[b->length > 0 ? b->length : 1]);
    if (!b->memory) return false;
    for (int64_t got = 0; got < b->length;) {
        ssize_t n = pread(b->fd, b->memory.get() + got, static_cast<size_t>(b->length - got),
                          static_cast<off_t>(got));
        if (n <= 0) {
            b->memory.reset();
            return false;
        }
        got += n;
    }
    return true;
}

std::string UploadBodyDigestBase64(const UploadBody& b, const EVP_MD* md) {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!b.memory ||
        EVP_Digest(b.memory.get(), static_cast<size_t>(b.length), raw, &len, md, nullptr) != 1)
        return "";
    unsigned char text[4 * EVP_MAX_MD_SIZE / 3 + 4];
    int n = EVP_EncodeBlock(text, raw, static_cast<int>(len));
    return n > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n)) : "";
}

void UploadBodyAttach(CURL* curl, UploadBody* b) {
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(curl, CURLOPT_READDATA, b);
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, seekBody);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, b);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectEtag);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, b);
#if LIBCURL_VERSION_NUM >= 0x075000
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, bodyStarts);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, b);
#endif
}

void UploadBodyDetach(CURL* curl) {
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
#if LIBCURL_VERSION_NUM >= 0x075000
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, nullptr);
#endif
}

void UploadBodyFreshConnection(void* body) { static_cast<UploadBody*>(body)->restart(); }

bool UploadBodyJudge(const UploadBody& b, bool digestSent, UploadProofLevel* level,
                     std::string* why) {
    *level = digestSent ? UploadProofLevel::Checked : UploadProofLevel::None;
    if (b.pos != b.length || b.readFailed) {
        *why = "Body not sent whole: " + std::to_string(b.pos) + " of " + std::to_string(b.length) +
               " bytes";
        return false;
    }
    if (!etagIsPlainMd5(b.etag)) return true;
    std::string sent = b.memory ? md5HexOfLoaded(b) : md5HexOfHanded(b);
    if (sent.empty()) return true;
    std::string kept = b.etag.substr(1, 32);
    for (char& c : kept) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (kept != sent) {
        *why = "Store holds other bytes: ETag " + kept + ", sent " + sent;
        return false;
    }
    *level = UploadProofLevel::Matched;
    return true;
}
