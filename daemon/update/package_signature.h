#pragma once
// Origin of update packages: a detached signature ("NAME.sig", ECDSA P-256
// or RSA with SHA-256, DER, as `openssl dgst -sha256 -sign` writes it) over
// the package bytes as they lie on the medium, checked against the public
// keys kept on the module. Verified in the process through libcrypto, the
// package streamed once, so a hostile package reaches no decryption and no
// tar.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Public keys ("*.pem") on the module's own storage; any file there means
// packages must be signed.
constexpr const char* kUpdateKeyFolder = "/usrdata/update-keys";
// Nothing this size is a DER signature (RSA-4096 takes 512 bytes).
constexpr size_t kMaxSignatureBytes = 1024;
constexpr size_t kMaxKeyFileBytes = 16 * 1024;
// A package (update or modem) above this is refused before it is read whole.
constexpr uint64_t kMaxPackageBytes = 256ull * 1024 * 1024;

struct evp_pkey_st;
struct PublicKeyFree {
    void operator()(evp_pkey_st* key) const;
};
using PublicKey = std::unique_ptr<evp_pkey_st, PublicKeyFree>;

// An EC key of at least 256 bits or an RSA key of at least 2048 bits from
// PEM text ("-----BEGIN PUBLIC KEY-----"); empty otherwise.
PublicKey parsePublicKeyPem(const char* text, size_t size);

// Whether `signature` (DER) is `key`'s SHA-256 signature of the data whose
// SHA-256 digest is `digest`.
bool signatureMatches(const PublicKey& key, const unsigned char digest[32], const std::string& signature);

struct UpdateKeyring {
    struct Entry {
        std::string name;  // file name, for the log
        PublicKey key;
    };
    std::vector<Entry> keys;           // the files that loaded
    std::vector<std::string> broken;   // "*.pem" files that did not
    // Any key file at all, loaded or not: a broken one never means "no key".
    bool enforcing() const { return !keys.empty() || !broken.empty(); }
};

// Reads every "*.pem" file of `folder` (a path on this machine), in name
// order; a missing folder holds no key.
UpdateKeyring loadUpdateKeys(const std::string& folder);

enum SignatureResult {
    SIGNATURE_OK = 0,
    SIGNATURE_MISSING,         // no signature file
    SIGNATURE_BAD_SIZE,        // empty, or over kMaxSignatureBytes
    SIGNATURE_NO_MATCH,        // no key verifies it
    SIGNATURE_NO_USABLE_KEY,   // key files present, none loads
    PACKAGE_UNREADABLE,
    PACKAGE_TOO_LARGE,         // over kMaxPackageBytes
};

// Checks `package` against the signature in `signatureFile` with every key
// in turn. `keyName` gets the name of the key that matched.
SignatureResult verifyPackageSignature(const UpdateKeyring& keys, const std::string& package,
                                       const std::string& signatureFile, std::string* keyName);

// The reason for the log, "no signature" and so on.
const char* signatureResultText(SignatureResult result);

// Copies at most `limit` + 1 bytes of `from` to `to` (replaced whole, put
// on the medium): a copy above `limit` still shows that it was too large.
// False when `from` cannot be read or `to` cannot be written.
bool copySignatureFile(const std::string& from, const std::string& to, size_t limit = kMaxSignatureBytes);
