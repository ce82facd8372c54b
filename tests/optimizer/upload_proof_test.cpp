// A picture leaves the folder only once the store has shown, as far as its
// slot lets it, that it holds exactly the picture's bytes: the simulator's
// store lies on purpose here.
#include <openssl/evp.h>

#include "upload_rig.h"

namespace {

// Bytes that do not repeat every 64 KiB, so a shifted copy shows.
std::string noise(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i++)
        out[i] = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
    return out;
}

std::string base64Digest(const std::string& bytes, const EVP_MD* md) {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), raw, &len, md, nullptr);
    unsigned char text[4 * EVP_MAX_MD_SIZE];
    int n = EVP_EncodeBlock(text, raw, static_cast<int>(len));
    return std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n));
}

// Past the size PicTrimApp reads into memory: it streams, with no digest ahead.
constexpr size_t kStreamed = 4 * 1024 * 1024 + 1;

class UploadProof : public UploadRig {
   protected:
    json_object* putOf(const std::string& name) {
        std::vector<json_object*> puts = seen("/upload/" + name);
        return puts.size() == 1 ? puts[0] : nullptr;
    }
};

}  // namespace

TEST_F(UploadProof, EachBodyCarriesItsDigestInTheHeaderItsSlotNames) {
    struct Case {
        const char* name;
        const char* slot;  // keys replacing the slot's ("" none)
        size_t size;
        const char* header;  // carrying the digest; nullptr: no digest header
        const EVP_MD* md;
    } cases[] = {
        {"A.JPG", "", 30000, "Content-MD5", EVP_md5()},
        {"B.JPG", R"({"checksum": false})", 30000, nullptr, nullptr},
        {"C.JPG", R"({"checksum": {"header": "x-amz-checksum-sha256", "algorithm": "sha256"}})",
         31000, "x-amz-checksum-sha256", EVP_sha256()},
        {"D.JPG", R"({"checksum": {"header": "x-sum", "algorithm": "SHA1"}})", 32000, "x-sum",
         EVP_sha1()},
        {"E.JPG", R"({"checksum": {"header": "bad name", "algorithm": "sha1"}})", 33000,
         "Content-MD5", EVP_md5()},
        {"F.JPG", "", kStreamed, nullptr, nullptr},
    };
    std::string each;
    for (const Case& k : cases) {
        folder.put(k.name, noise(k.size, static_cast<uint32_t>(k.size)));
        if (*k.slot)
            each += std::string(each.empty() ? "" : ", ") + "\"" + k.name + "\": " + k.slot;
    }
    // A slot that brings its own (signed) digest header keeps it, alone.
    const std::string g = noise(1000, 7);
    folder.put("G.JPG", g);
    each += R"(, "G.JPG": {"headers": [{"name": "Content-MD5", "value": ")" +
            base64Digest(g, EVP_md5()) + "\"}]}";
    sim->setScenario(R"({"auth": false, "answer": {"slots": {"each": {)" + each + "}}}}");

    ASSERT_EQ(upload(), 0) << log();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const std::string bytes = noise(k.size, static_cast<uint32_t>(k.size));
        json_object* put = putOf(k.name);
        ASSERT_NE(put, nullptr);
        if (k.header) {
            EXPECT_EQ(header(put, k.header), base64Digest(bytes, k.md));
        }
        if (!k.header || strcasecmp(k.header, "Content-MD5") != 0) {
            EXPECT_EQ(header(put, "Content-MD5"), "<absent>");
        }
        EXPECT_FALSE(folder.has(k.name));
        EXPECT_EQ(pictures::readFile(sim->uploaded(k.name)), bytes);
    }
    int count = 0;
    ASSERT_NE(putOf("G.JPG"), nullptr);
    EXPECT_EQ(header(putOf("G.JPG"), "Content-MD5", &count), base64Digest(g, EVP_md5()));
    EXPECT_EQ(count, 1);
    // Every store's ETag was the MD5 of what it kept: nothing went unproven.
    EXPECT_EQ(log().find("Upload without proof"), std::string::npos) << log();
}

// The store keeps a damaged body once; the picture stays whenever the store
// could show it, and the next run delivers it whole.
TEST_F(UploadProof, AStoreThatKeptOtherBytesKeepsThePictureUntilItHoldsThem) {
    struct Case {
        const char* store;
        const char* slot;
        size_t size;
        const char* logged;
    } cases[] = {
        // Content-MD5 refused by the store itself.
        {R"({"lie": "flip"})", "", 40000, "ERROR,Upload refused: P.JPG\r\n"},
        {R"({"lie": "flip", "md5": false})", "", 40000,
         "ERROR,Upload not proven: P.JPG: Store holds other bytes: ETag "},
        {R"({"lie": "drop", "md5": false})", "", 40000,
         "ERROR,Upload not proven: P.JPG: Store holds other bytes: ETag "},
        {R"({"lie": "flip"})", R"({"checksum": false})", 40000, "Store holds other bytes: ETag "},
        // Streamed: the MD5 of the bytes handed to the link.
        {R"({"lie": "drop"})", "", kStreamed, "Store holds other bytes: ETag "},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.store + std::string(" ") + k.slot);
        sim->reset();
        folder.put("log.txt", "");
        const std::string p = noise(k.size, 99);
        folder.put("P.JPG", p);
        std::string each = *k.slot ? std::string(R"("each": {"P.JPG": )") + k.slot + "}" : "";
        sim->setScenario(std::string(R"({"auth": false, "store": )") + k.store +
                         R"(, "answer": {"slots": {)" + each + "}}}");
        EXPECT_EQ(upload(), 2);
        EXPECT_EQ(folder.read("P.JPG"), p);
        EXPECT_FALSE(folder.has("sent.txt"));
        EXPECT_NE(log().find(k.logged), std::string::npos) << log();

        EXPECT_EQ(upload(), 0) << log();  // the lie was told once
        EXPECT_FALSE(folder.has("P.JPG"));
        EXPECT_EQ(pictures::readFile(sim->uploaded("P.JPG")), p);
        EXPECT_EQ(folder.read("sent.txt"), "P.JPG\r\n");
        std::filesystem::remove(folder.file("sent.txt"));
    }
}

// A store that answers no MD5 ETag proves nothing of its own: with no digest
// ahead of the body either, the log says the picture went unproven.
TEST_F(UploadProof, AnUploadNothingVouchesForIsLoggedAsSuch) {
    struct Case {
        const char* scenario;
        bool unproven;
    } cases[] = {
        {R"({"auth": false, "store": {"etag": "none"}, "answer": {"slots": {"each": {"P.JPG": {"checksum": false}}}}})",
         true},
        {R"({"auth": false, "store": {"etag": "opaque"}, "answer": {"slots": {"each": {"P.JPG": {"checksum": false}}}}})",
         true},
        {R"({"auth": false, "store": {"etag": "none"}})", false},  // Content-MD5 went ahead
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.scenario);
        sim->reset();
        folder.put("log.txt", "");
        folder.put("P.JPG", noise(5000, 3));
        sim->setScenario(k.scenario);
        EXPECT_EQ(upload(), 0);
        EXPECT_FALSE(folder.has("P.JPG"));
        EXPECT_EQ(log().find("INFO,Upload without proof: P.JPG\r\n") != std::string::npos,
                  k.unproven)
            << log();
    }
}

// libcurl resends a request on a fresh connection when a reused one dies
// before any answer; when none of the body had been counted as written, it
// neither rewinds nor asks to, though it had taken up to 64 KiB of the body
// already. A store with a small window stalls the second picture's body
// part-way (its connection is the first picture's), then resets it: the
// resend must still carry the picture from its first byte.
TEST_F(UploadProof, AResendOnAFreshConnectionCarriesTheBodyFromItsFirstByte) {
    CloudSim narrow("", TN_CLOUDSIM_PY, {"--rcvbuf", "4096"});
    aim(narrow);
    const std::string a = noise(20000, 1);
    const std::string r = noise(150000, 2);
    folder.put("A.JPG", a);
    folder.put("R.JPG", r);
    // Explicit slots, so that R goes second, on A's connection.
    narrow.setScenario(R"({"auth": false, "answer": {"uploads": [
        {"name": "A.JPG", "host": "{base}", "path": "/upload/A.JPG", "verb": "PUT", "size": 20000},
        {"name": "R.JPG", "host": "{base}", "path": "/upload/R.JPG", "verb": "PUT", "size": 150000,
         "headers": [{"name": "Expect", "value": ""}]}]},
        "faults": [{"method": "PUT", "path": "/upload/R.JPG", "kind": "reset", "seconds": 1}]})");
    ASSERT_EQ(upload(), 0) << log();
    EXPECT_EQ(pictures::readFile(narrow.uploaded("A.JPG")), a);
    EXPECT_EQ(pictures::readFile(narrow.uploaded("R.JPG")), r);
    EXPECT_FALSE(folder.has("R.JPG"));
    std::vector<json_object*> puts = seenAt(narrow, "/upload/R.JPG");
    ASSERT_EQ(puts.size(), 2u);  // the reset one, then the resend
    EXPECT_EQ(text(puts[0], "fault"), "reset");
    EXPECT_EQ(text(puts[1], "checksum"), "ok");
}

// A slot smaller than the picture would take a part of it, and the picture
// would then be gone; a larger one could never be filled.
TEST_F(UploadProof, ASlotWhoseSizeIsNotThePicturesIsRefused) {
    folder.put("a.jpg", "abcd");
    for (const char* size : {"3", "5"}) {
        SCOPED_TRACE(size);
        sim->reset();
        sim->setScenario(std::string(R"({"auth": false, "answer": {"uploads": [
            {"name": "a.jpg", "host": "{base}", "path": "/upload/a.jpg", "verb": "PUT", "size": )") +
                         size + "}]}}");
        EXPECT_EQ(upload(), 2);
        EXPECT_TRUE(seen("/upload/").empty());
    }
    EXPECT_EQ(folder.read("a.jpg"), "abcd");
    EXPECT_FALSE(folder.has("sent.txt"));
    EXPECT_NE(log().find("ERROR,Slot size 3 differs from file: a.jpg\r\n"), std::string::npos)
        << log();
}
