#pragma once
// The body of one picture upload, and what the store's answer shows of it.
// A picture leaves the folder only when the upload went whole and nothing
// the store showed says it kept other bytes:
//  - the body's digest goes ahead of it in a header (Content-MD5, or the
//    header the slot names), which S3-style stores check before they keep
//    a body; for that the body is read once into memory and sent from there;
//  - an ETag that is a plain MD5 is compared with the MD5 of the bytes sent.
// Every try of the request sends the body from its first byte.
#include <curl/curl.h>
#include <json-c/json.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>

// Bodies up to this size are read into memory so their digest can go in a
// header; larger ones stream from the file and only the ETag proves them.
constexpr int64_t kUploadMemoryBodyBytes = 4 * 1024 * 1024;

// The header a slot's digest goes in. The slot's "checksum" member:
// absent (or true): Content-MD5; false: none;
// {"header": "x-amz-checksum-sha256", "algorithm": "md5"|"sha1"|"sha256"}.
struct UploadDigestHeader {
    std::string name;
    const EVP_MD* md = nullptr;  // null: no digest header
};
UploadDigestHeader UploadDigestHeaderOf(json_object* checksum);

struct EvpMdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// How far a store's answer vouches for what it kept.
enum class UploadProofLevel {
    None,     // no digest went ahead and no MD5 ETag came back
    Checked,  // a digest went ahead: a store that checks it kept these bytes or refused
    Matched,  // the store's ETag is the MD5 of the bytes sent
};

struct UploadBody {
    int fd = -1;                              // the picture, read with pread (no shared position)
    int64_t length = 0;                       // the slot's size
    std::unique_ptr<unsigned char[]> memory;  // the whole body, when loaded
    int64_t pos = 0;                          // handed to libcurl in this try
    bool readFailed = false;
    std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree> handed;  // MD5 of this try's bytes
    std::string etag;                                  // of the last answer, as sent ("" when none)

    UploadBody();
    // A new try: from the first byte again.
    void restart();
};

// Reads the body into memory; false (and no memory) when the file does not
// hold `length` bytes or memory runs out.
bool UploadBodyLoad(UploadBody* body);

// Base64 of the digest of a loaded body ("" on a failure).
std::string UploadBodyDigestBase64(const UploadBody& body, const EVP_MD* md);

// Sets the body's read, seek, pre-request and answer-header callbacks; the
// detach clears them, since the handle outlives the body.
void UploadBodyAttach(CURL* curl, UploadBody* body);
void UploadBodyDetach(CURL* curl);
// For TransferCap::freshConnection: a new connection under an upload is a
// resend, and its body starts again.
void UploadBodyFreshConnection(void* body);

// After a 2xx answer: true when the store's copy may be the body, with how
// far that is shown; false with the reason when it is not.
bool UploadBodyJudge(const UploadBody& body, bool digestSent, UploadProofLevel* level,
                     std::string* why);
