// What the update check reads from outside before it trusts a package: a
// public key file ("*.pem" in the key folder, a package may bring one) and
// a detached signature (from the card or the cloud). The first byte picks
// which: even, the rest is a key file, then used on a known signature; odd,
// the rest is a signature checked against a fixed key.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "update/package_signature.h"

namespace {

const char kKey[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEY4yaTPpsQ/jP2x61mPQNollREJ5M\n"
    "RTsMGneC6ixLfjhShgvdowJPzcHG5PppTNRH/Ra76zwh5xE7P5G/6/n+Xg==\n"
    "-----END PUBLIC KEY-----\n";
// SHA-256 of "update package", which the corpus's signature signs.
const unsigned char kDigest[32] = {0x17, 0x51, 0xe3, 0xf6, 0x8f, 0x63, 0x89, 0x04, 0x65, 0xdd, 0x83,
                                   0xcd, 0x95, 0x7a, 0x32, 0x51, 0x64, 0xb2, 0x9c, 0x09, 0x5d, 0xc8,
                                   0xa9, 0xa7, 0x7a, 0x4f, 0x1c, 0xed, 0x8f, 0x33, 0x00, 0xbf};

const PublicKey& fixedKey() {
    static const PublicKey key = parsePublicKeyPem(kKey, strlen(kKey));
    if (!key) abort();
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) == 0) {
        const PublicKey key = parsePublicKeyPem(rest.data(), rest.size());
        if (key) signatureMatches(key, kDigest, std::string(70, '\x30'));
    } else {
        signatureMatches(fixedKey(), kDigest, rest);
    }
    return 0;
}
