// Package signatures checked through libcrypto's EVP interface, which
// OpenSSL 1.1.1 (the module) and 3.x (the desk) both offer unchanged. The
// package is hashed once while it streams; each key then checks the one
// digest, so more keys cost nothing more than one small verification each.
#include "update/package_signature.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/atomicfile.h"
#include "core/unique_fd.h"

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

// libcurl shares the thread's error queue: a failure left there would be
// taken for one of its own.
void dropErrors() { ERR_clear_error(); }

// Reads the whole of a small file; false when it cannot be read or holds
// more than `limit` bytes (then `out` has `limit` + 1 of them).
bool readSmallFile(const std::string& path, size_t limit, std::string& out) {
    out.clear();
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    char buf[4096];
    while (out.size() <= limit) {
        ssize_t n = read(fd.get(), buf, std::min(sizeof buf, limit + 1 - out.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
    return false;
}

bool hasPemName(const char* name) {
    const size_t n = strlen(name);
    return n > 4 && strcmp(name + n - 4, ".pem") == 0 && name[0] != '.';
}

// SHA-256 of the file, streamed; refuses a file above the package limit,
// by its size and again by what it gives.
SignatureResult digestFile(const std::string& path, unsigned char digest[32]) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return PACKAGE_UNREADABLE;
    if (static_cast<uint64_t>(st.st_size) > kMaxPackageBytes) return PACKAGE_TOO_LARGE;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        dropErrors();
        return PACKAGE_UNREADABLE;
    }
    std::vector<unsigned char> buf(64 * 1024);
    uint64_t total = 0;
    for (;;) {
        ssize_t n = read(fd.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return PACKAGE_UNREADABLE;
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
        if (total > kMaxPackageBytes) return PACKAGE_TOO_LARGE;
        EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n));
    }
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1 || len != 32) {
        dropErrors();
        return PACKAGE_UNREADABLE;
    }
    return SIGNATURE_OK;
}

}  // namespace

void PublicKeyFree::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

PublicKey parsePublicKeyPem(const char* text, size_t size) {
    if (text == nullptr || size == 0 || size > kMaxKeyFileBytes) return PublicKey();
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text, static_cast<int>(size)));
    if (!bio) return PublicKey();
    // No pass phrase callback: a public key never asks for one, and the
    // default one would prompt on the terminal.
    PublicKey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
    dropErrors();
    if (!key) return PublicKey();
    const int type = EVP_PKEY_base_id(key.get());
    const int bits = EVP_PKEY_bits(key.get());
    if ((type == EVP_PKEY_EC && bits >= 256) || (type == EVP_PKEY_RSA && bits >= 2048)) return key;
    return PublicKey();
}

bool signatureMatches(const PublicKey& key, const unsigned char digest[32], const std::string& signature) {
    if (!key || signature.empty() || signature.size() > kMaxSignatureBytes) return false;
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    // The digest named here is what `openssl dgst -sha256 -sign` names: for
    // RSA it goes into the padded block (PKCS#1 v1.5, the default).
    const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                    EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) == 1 &&
                    EVP_PKEY_verify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                                    signature.size(), digest, 32) == 1;
    dropErrors();
    return ok;
}

UpdateKeyring loadUpdateKeys(const std::string& folder) {
    UpdateKeyring ring;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) return ring;
    std::vector<std::string> names;
    while (const dirent* e = readdir(dir.get())) {
        if (hasPemName(e->d_name)) names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string text;
        PublicKey key;
        if (readSmallFile(folder + "/" + name, kMaxKeyFileBytes, text))
            key = parsePublicKeyPem(text.data(), text.size());
        if (key)
            ring.keys.push_back({name, std::move(key)});
        else
            ring.broken.push_back(name);
    }
    return ring;
}

SignatureResult verifyPackageSignature(const UpdateKeyring& keys, const std::string& package,
                                       const std::string& signatureFile, std::string* keyName) {
    struct stat st;
    if (stat(signatureFile.c_str(), &st) != 0) return SIGNATURE_MISSING;
    std::string signature;
    if (!readSmallFile(signatureFile, kMaxSignatureBytes, signature))
        return signature.size() > kMaxSignatureBytes ? SIGNATURE_BAD_SIZE : SIGNATURE_MISSING;
    if (signature.empty()) return SIGNATURE_BAD_SIZE;
    if (keys.keys.empty()) return SIGNATURE_NO_USABLE_KEY;

    unsigned char digest[32];
    const SignatureResult read = digestFile(package, digest);
    if (read != SIGNATURE_OK) return read;
    for (const auto& k : keys.keys) {
        if (signatureMatches(k.key, digest, signature)) {
            if (keyName != nullptr) *keyName = k.name;
            return SIGNATURE_OK;
        }
    }
    return SIGNATURE_NO_MATCH;
}

const char* signatureResultText(SignatureResult result) {
    switch (result) {
        case SIGNATURE_OK: return "signature good";
        case SIGNATURE_MISSING: return "no signature";
        case SIGNATURE_BAD_SIZE: return "signature empty or too large";
        case SIGNATURE_NO_MATCH: return "signature does not match any update key";
        case SIGNATURE_NO_USABLE_KEY: return "no update key loads";
        case PACKAGE_UNREADABLE: return "package unreadable";
        case PACKAGE_TOO_LARGE: return "package too large";
    }
    return "unknown";
}

bool copySignatureFile(const std::string& from, const std::string& to, size_t limit) {
    std::string bytes;
    if (!readSmallFile(from, limit, bytes) && bytes.size() <= limit) return false;
    return writeFileAtomic(to.c_str(), bytes.data(), bytes.size(), 0644) == 1;
}
