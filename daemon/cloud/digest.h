#pragma once
// Digests of upload bodies, for the headers that let a store refuse bytes
// that changed on the way (Content-MD5, tus Upload-Checksum) and for the
// store's own digest of what it kept (an ETag that is a plain MD5).
#include <openssl/evp.h>

#include <cstddef>
#include <string>

// The algorithms a body may be checked with; None where a name is unknown.
enum class DigestKind { None, Md5, Sha1, Sha256 };

// "md5", "sha1", "sha256" (any case) as the tus and slot texts name them.
DigestKind digestKindNamed(const char* name, size_t len);
const char* digestKindName(DigestKind kind);

// One running digest; RAII over libcrypto's context.
class Digest {
public:
    explicit Digest(DigestKind kind = DigestKind::None) { restart(kind); }
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    // Starts again from no bytes (kind None: digests nothing).
    void restart(DigestKind kind);
    void restart() { restart(kind_); }
    void update(const void* data, size_t len);
    // The digest of everything since the last restart ("" for None or on a
    // libcrypto failure); the running state is left as it was.
    std::string raw() const;
    DigestKind kind() const { return kind_; }

private:
    DigestKind kind_ = DigestKind::None;
    EVP_MD_CTX* ctx_ = nullptr;
    bool failed_ = false;
};

std::string digestBase64(const std::string& raw);
std::string digestHex(const std::string& raw);

// True when an ETag (with its quotes) is a plain MD5 of the body: 32 hex
// digits, not weak ("W/") and not a multipart one ("...-3"). Stores that
// hash otherwise, or encrypt, answer other shapes and prove nothing here.
bool etagIsPlainMd5(const std::string& etag);
// The ETag's 32 hex digits, lower case; call only when etagIsPlainMd5.
std::string etagHex(const std::string& etag);
