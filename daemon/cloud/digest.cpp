#include "cloud/digest.h"

#include <cctype>
#include <cstring>

namespace {

const EVP_MD* mdOf(DigestKind kind) {
    switch (kind) {
        case DigestKind::Md5: return EVP_md5();
        case DigestKind::Sha1: return EVP_sha1();
        case DigestKind::Sha256: return EVP_sha256();
        case DigestKind::None: break;
    }
    return nullptr;
}

bool sameText(const char* a, size_t len, const char* b) {
    if (strlen(b) != len) return false;
    for (size_t i = 0; i < len; i++)
        if (tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return true;
}

}  // namespace

DigestKind digestKindNamed(const char* name, size_t len) {
    if (name == nullptr) return DigestKind::None;
    if (sameText(name, len, "md5")) return DigestKind::Md5;
    if (sameText(name, len, "sha1")) return DigestKind::Sha1;
    if (sameText(name, len, "sha256")) return DigestKind::Sha256;
    return DigestKind::None;
}

const char* digestKindName(DigestKind kind) {
    switch (kind) {
        case DigestKind::Md5: return "md5";
        case DigestKind::Sha1: return "sha1";
        case DigestKind::Sha256: return "sha256";
        case DigestKind::None: break;
    }
    return "none";
}

Digest::~Digest() { EVP_MD_CTX_free(ctx_); }

void Digest::restart(DigestKind kind) {
    kind_ = kind;
    failed_ = false;
    const EVP_MD* md = mdOf(kind);
    if (md == nullptr) return;
    if (ctx_ == nullptr) ctx_ = EVP_MD_CTX_new();
    failed_ = ctx_ == nullptr || EVP_DigestInit_ex(ctx_, md, nullptr) != 1;
}

void Digest::update(const void* data, size_t len) {
    if (kind_ == DigestKind::None || failed_ || len == 0) return;
    failed_ = EVP_DigestUpdate(ctx_, data, len) != 1;
}

std::string Digest::raw() const {
    if (kind_ == DigestKind::None || failed_) return "";
    // On a copy, so the running digest can go on.
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    bool ok = copy != nullptr && EVP_MD_CTX_copy_ex(copy, ctx_) == 1 &&
              EVP_DigestFinal_ex(copy, out, &len) == 1;
    EVP_MD_CTX_free(copy);
    return ok ? std::string(reinterpret_cast<char*>(out), len) : std::string();
}

std::string digestBase64(const std::string& raw) {
    std::string out(4 * ((raw.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(raw.data()),
                            static_cast<int>(raw.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string digestHex(const std::string& raw) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

bool etagIsPlainMd5(const std::string& etag) {
    if (etag.size() != 34 || etag.front() != '"' || etag.back() != '"') return false;
    for (size_t i = 1; i < 33; i++)
        if (!isxdigit(static_cast<unsigned char>(etag[i]))) return false;
    return true;
}

std::string etagHex(const std::string& etag) {
    std::string out = etag.substr(1, 32);
    for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}
