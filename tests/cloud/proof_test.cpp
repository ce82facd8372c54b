// A picture leaves the card only once the cloud has shown that it holds
// exactly its bytes, as far as each slot kind lets it show that: the
// simulator's stores and tus server lie on purpose here.
#include <openssl/evp.h>

#include <fstream>
#include <iterator>

#include "cloud/sync.h"
#include "cloud/tus.h"
#include "cloud_fixture.h"

namespace {

std::string base64Digest(const std::string& bytes, const EVP_MD* md) {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), raw, &len, md, nullptr);
    unsigned char text[4 * EVP_MAX_MD_SIZE];
    int n = EVP_EncodeBlock(text, raw, static_cast<int>(len));
    return std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n));
}

class Proof : public CloudTest {
protected:
    std::string atCloud(const std::string& name) {
        std::ifstream in(sim().uploaded(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    size_t count(const std::string& text) {
        std::string all = log();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) n++;
        return n;
    }
    std::vector<json_object*> requests(const std::string& method, const std::string& prefix) {
        std::vector<json_object*> out;
        for (json_object* r : seen(prefix))
            if (str(r, "method") == method) out.push_back(r);
        return out;
    }
};

TEST_F(Proof, PlainSlotsCarryTheDigestInTheHeaderTheSlotNames) {
    std::string a = picture("A.JPG", 30000, 1700000003);
    picture("B.JPG", 30000, 1700000002);
    std::string c = picture("C.JPG", 31000, 1700000001);
    sim().setScenario(R"({"answer": {"uploads": "auto", "slots": {"each": {
        "B.JPG": {"checksum": false},
        "C.JPG": {"checksum": {"header": "x-amz-checksum-sha256", "algorithm": "sha256"}}}}}})");
    EXPECT_EQ(runSync(0), 0);
    for (const char* name : {"A.JPG", "B.JPG", "C.JPG"}) EXPECT_FALSE(inTransmit(name)) << name;
    auto put = [&](const std::string& name) {
        auto puts = seen("/upload/" + name);
        return puts.size() == 1 ? puts[0] : nullptr;
    };
    ASSERT_TRUE(put("A.JPG") && put("B.JPG") && put("C.JPG"));
    EXPECT_EQ(header(put("A.JPG"), "Content-MD5"), base64Digest(a, EVP_md5()));
    EXPECT_EQ(str(put("A.JPG"), "checksum"), "ok");  // checked by the store itself
    EXPECT_EQ(header(put("B.JPG"), "Content-MD5"), "<absent>");
    EXPECT_EQ(header(put("C.JPG"), "x-amz-checksum-sha256"), base64Digest(c, EVP_sha256()));
    EXPECT_EQ(header(put("C.JPG"), "Content-MD5"), "<absent>");
}

// Each store keeps a damaged body once; the picture stays for the next
// sync whenever the store could show it, and then arrives whole.
TEST_F(Proof, AStoreThatKeptOtherBytesKeepsThePictureUntilItHoldsThem) {
    struct Case {
        const char* store;
        const char* logged;
    } cases[] = {
        {R"({"lie": "flip"})", "File transfer failed: HTTP 400"},  // Content-MD5 refused
        {R"({"lie": "flip", "md5": false})", "Store holds other bytes: ETag"},
        {R"({"lie": "drop", "md5": false})", "Store holds other bytes: ETag"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.store);
        sim().reset();
        root.write("/media/sdcard/log.txt", "");
        std::string a = picture("P.JPG", 40000);
        sim().setScenario(std::string(R"({"store": )") + k.store + "}");
        EXPECT_EQ(runSync(0), 0);
        EXPECT_TRUE(inTransmit("P.JPG"));
        EXPECT_NE(logAt(k.logged), std::string::npos) << log();
        EXPECT_EQ(runSync(0), 0);  // the lie was told once
        EXPECT_FALSE(inTransmit("P.JPG"));
        EXPECT_EQ(atCloud("P.JPG"), a);
    }
}

TEST_F(Proof, ATusServerThatChecksGetsTheBytesAgainAfterAMismatch) {
    struct Case {
        const char* tus;
        const char* algorithm;
    } cases[] = {
        {R"({"checksum": ["md5", "sha1"], "lie": "flip"})", "sha1 "},
        {R"({"checksum": ["md5"], "lie": "drop"})", "md5 "},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.tus);
        sim().reset();
        tusForgetServers();
        std::string a = picture("T.JPG", 50000);
        sim().setScenario(std::string(R"({"tus": )") + k.tus + "}");
        EXPECT_EQ(runSync(0), 0);
        EXPECT_FALSE(inTransmit("T.JPG"));
        EXPECT_EQ(atCloud("T.JPG"), a);
        EXPECT_NE(logAt("T.JPG: the server got other bytes than sent (HTTP 460)"), std::string::npos);
        auto patches = requests("PATCH", "/tus/");
        ASSERT_EQ(patches.size(), 2u);
        EXPECT_EQ(header(patches[1], "Upload-Checksum").rfind(k.algorithm, 0), 0u);
        EXPECT_TRUE(tusLoadRecords().empty());
    }
}

TEST_F(Proof, ATusServerWhoseOffsetsDoNotAddUpIsLeftAndThePictureGoesAgain) {
    std::string a = picture("O.JPG", 50000);
    // After the cut at 20000 the server claims 21000, then appends at 20000.
    sim().setScenario(R"({"tus": {"cut_after": 20000, "lie": "offset"}})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_TRUE(inTransmit("O.JPG"));
    EXPECT_NE(logAt("O.JPG: server stands at 49000 after 29000 bytes from 21000"), std::string::npos)
        << log();
    EXPECT_EQ(requests("DELETE", "/tus/").size(), 1u);  // the server offers termination
    EXPECT_TRUE(tusLoadRecords().empty());
    EXPECT_EQ(runSync(0), 0);
    EXPECT_FALSE(inTransmit("O.JPG"));
    EXPECT_EQ(atCloud("O.JPG"), a);
}

TEST_F(Proof, ATusServerThatChecksNothingIsLoggedOnceAsSuch) {
    std::string a = picture("A.JPG", 20000, 1700000002);
    std::string b = picture("B.JPG", 20000, 1700000001);
    sim().setScenario(R"({"tus": {}})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(atCloud("A.JPG"), a);
    EXPECT_EQ(atCloud("B.JPG"), b);
    EXPECT_EQ(count("checks no checksum: its offsets alone vouch for a picture"), 1u) << log();
    EXPECT_EQ(requests("OPTIONS", "/tus/").size(), 1u);
    for (json_object* patch : requests("PATCH", "/tus/"))
        EXPECT_EQ(header(patch, "Upload-Checksum"), "<absent>");
}

// libcurl resends a request on a fresh connection when a reused one dies
// before any answer; when none of the body had been counted as written, it
// neither rewinds nor asks to, though it had taken up to 64 KiB of the body
// already. A server with a small window stalls the body part-way, then the
// connection is reset: the resend must still carry the picture from its
// first byte under "Upload-Offset: 0".
TEST_F(Proof, AResendOnAFreshConnectionCarriesTheBodyFromItsFirstByte) {
    CloudSim narrow(root.path("/usrdata/cacert.pem"), TN_CLOUDSIM_PY, {"--rcvbuf", "4096"});
    snprintf(daemonConfig().host, sizeof daemonConfig().host, "%s", narrow.hostPort().c_str());
    // Bytes that do not repeat every 64 KiB, so a shifted copy shows.
    std::string a;
    for (uint32_t i = 0, x = 12345; i < 150000; i++) a += static_cast<char>((x = x * 1103515245 + 12345) >> 24);
    root.write("/media/sdcard/TRANSMIT/R.JPG", a);
    narrow.setScenario(R"({"tus": {},
        "faults": [{"method": "PATCH", "path": "/tus/", "kind": "reset", "seconds": 1}]})");
    EXPECT_EQ(runSync(0), 0);
    std::ifstream in(narrow.uploaded("R.JPG"), std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), a);
    EXPECT_FALSE(inTransmit("R.JPG")) << log();
}

}  // namespace
