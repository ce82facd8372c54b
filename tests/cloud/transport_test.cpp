// The HTTPS transport against the cloud simulator over real TLS.

#include "cloud/camapi.h"
#include "cloud_fixture.h"

#include <fstream>
#include <iterator>

namespace {

class Transport : public CloudTest {
protected:
    void SetUp() override {
        CloudTest::SetUp();
        ASSERT_TRUE(camApiInit());
    }
    void TearDown() override {
        camApiCleanup();
        CloudTest::TearDown();
    }
    std::string url(const std::string& path) { return sim().base() + path; }
    std::string camera() { return url("/camapi/v3/camera/861234567890123"); }
    std::string token() {
        json_object* answer = nullptr;
        EXPECT_EQ(camApiGetJson(url("/camapi/v3/token/861234567890123").c_str(), &answer), 1);
        JsonPtr owned(answer);
        return str(answer, "token");
    }
};

TEST(TransportHandle, RequestsOutsideTheSyncWindowReturnMinusOne) {
    json_object* answer = nullptr;
    JsonPtr body(json_object_new_object());
    EXPECT_EQ(camApiGetJson("https://127.0.0.1:1/", &answer), -1);
    EXPECT_EQ(camApiPutJson("https://127.0.0.1:1/", nullptr, body.get(), ""), -1);
    EXPECT_EQ(camApiUploadFile("https://127.0.0.1:1/", "PUT", stdin, 0, nullptr), -1);
    EXPECT_EQ(camApiDownloadFile("https://127.0.0.1:1/", "GET", stdout, nullptr), -1);
    EXPECT_EQ(camApiLastResponseCode(), 0);
    ASSERT_TRUE(camApiInit());
    camApiCleanup();
    EXPECT_EQ(camApiGetJson("https://127.0.0.1:1/", &answer), -1);
    EXPECT_EQ(answer, nullptr);
}

TEST_F(Transport, JsonAnswersOfEveryShape) {
    std::string t = token();
    EXPECT_EQ(t, "tok-1");
    JsonPtr body(json_object_new_object());

    // An HTTP error still completes the exchange; the caller reads the code.
    json_object* answer = nullptr;
    EXPECT_EQ(camApiPutJson(camera().c_str(), &answer, body.get(), "wrong"), 1);
    JsonPtr a1(answer);
    EXPECT_EQ(camApiLastResponseCode(), 401);
    EXPECT_EQ(str(answer, "error"), "unauthorized");

    sim().setScenario(R"({"faults": [
        {"path": "/camapi/v3/token/", "kind": "empty"},
        {"path": "/camapi/v3/token/", "kind": "notjson"},
        {"path": "/camapi/v3/token/", "kind": "oversize", "size": 1100000},
        {"path": "/camapi/v3/token/", "kind": "oversize", "size": 1000000},
        {"path": "/camapi/v3/token/", "kind": "drop", "times": 2}]})");
    answer = reinterpret_cast<json_object*>(1);
    EXPECT_EQ(camApiGetJson(url("/camapi/v3/token/x").c_str(), &answer), 1);  // empty
    EXPECT_EQ(answer, nullptr);
    answer = reinterpret_cast<json_object*>(1);
    EXPECT_EQ(camApiGetJson(url("/camapi/v3/token/x").c_str(), &answer), 1);  // not JSON
    EXPECT_EQ(answer, nullptr);
    answer = nullptr;
    EXPECT_EQ(camApiGetJson(url("/camapi/v3/token/x").c_str(), &answer), 0);  // over the cap
    EXPECT_EQ(answer, nullptr);
    EXPECT_STREQ(camApiLastErrorText(), "Answer larger than 1048576 bytes");
    EXPECT_EQ(camApiGetJson(url("/camapi/v3/token/x").c_str(), &answer), 1);  // under the cap
    JsonPtr big(answer);
    EXPECT_EQ(str(answer, "pad").size(), 1000000u - 10);
    // Dropped twice: libcurl retries once when a reused connection dies.
    EXPECT_EQ(camApiGetJson(url("/camapi/v3/token/x").c_str(), &answer), 0);  // dropped
    EXPECT_STRNE(camApiLastErrorText(), "No error");
    EXPECT_STRNE(camApiLastErrorText(), "Answer larger than 1048576 bytes");
}

TEST_F(Transport, PutSendsBearerAndJsonAndMayDiscardTheAnswer) {
    std::string t = token();
    JsonPtr body(json_tokener_parse(R"({"status": {"a": 1}})"));
    EXPECT_EQ(camApiPutJson(camera().c_str(), nullptr, body.get(), t.c_str()), 1);
    EXPECT_EQ(camApiLastResponseCode(), 200);
    EXPECT_EQ(camApiPutJson(camera().c_str(), nullptr, body.get(), ""), 1);
    auto puts = seen("/camapi/v3/camera/");
    ASSERT_EQ(puts.size(), 2u);
    EXPECT_EQ(str(puts[0], "method"), "PUT");
    EXPECT_EQ(header(puts[0], "Authorization"), "Bearer tok-1");
    EXPECT_EQ(header(puts[0], "Content-Type"), "application/json");
    EXPECT_EQ(json_object_get_int(member(member(member(puts[0], "json"), "status"), "a")), 1);
    // An empty token still sends the line, ending in the blank.
    EXPECT_EQ(header(puts[1], "Authorization").rfind("Bearer", 0), 0u);
    EXPECT_EQ(json_object_get_int(member(puts[1], "status")), 401);
}

TEST_F(Transport, TlsPeerIsVerifiedAgainstTheRootTreeBundle) {
    // A bundle that does not hold the simulator's CA refuses the server.
    root.write("/usrdata/cacert.pem", "");
    json_object* answer = nullptr;
    EXPECT_EQ(camApiGetJson(url("/camapi/v3/token/x").c_str(), &answer), 0);
    EXPECT_EQ(answer, nullptr);
    EXPECT_TRUE(seen("/camapi/").empty());
}

TEST_F(Transport, UploadStreamsTheFileAndSetsHeadersOnlyWhenGiven) {
    std::string bytes = picture("p.jpg", 300000);
    std::string path = root.path("/media/sdcard/TRANSMIT/p.jpg");
    JsonPtr headers(json_tokener_parse(
        R"([{"name": "x-one", "value": "1"}, {"value": "no name"}, {"name": "x-two", "value": "2"}])"));
    JsonPtr empty(json_object_new_array());
    struct Case {
        const char* name;
        const char* verb;
        json_object* headers;
    } cases[] = {{"a.jpg", "PUT", headers.get()}, {"b.jpg", "POST", empty.get()},
                 {"c.jpg", "PUT", nullptr}};
    for (const Case& c : cases) {
        FILE* f = fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(camApiUploadFile(url(std::string("/upload/") + c.name).c_str(), c.verb, f,
                                   static_cast<int32_t>(bytes.size()), c.headers),
                  1);
        fclose(f);
        EXPECT_EQ(camApiLastResponseCode(), 200);
        std::ifstream in(sim().uploaded(c.name), std::ios::binary);
        std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(got == bytes) << c.name;
    }
    auto ups = seen("/upload/");
    ASSERT_EQ(ups.size(), 3u);
    EXPECT_EQ(str(ups[0], "method"), "PUT");
    EXPECT_EQ(header(ups[0], "x-one"), "1");
    EXPECT_EQ(header(ups[0], "x-two"), "2");
    EXPECT_EQ(str(ups[1], "method"), "POST");
    EXPECT_EQ(header(ups[1], "x-one"), "<absent>");
    // One handle: the three uploads share one connection.
    EXPECT_EQ(str(ups[0], "client"), str(ups[2], "client"));
}

TEST_F(Transport, DownloadWritesTheBodyToTheStream) {
    std::string bytes(200000, '\0');
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<char>(i * 13);
    sim().putFile("pkg.bin", bytes);
    std::string path = root.path("/usrdata/pkg.bin");
    FILE* f = fopen(path.c_str(), "w+b");
    JsonPtr headers(json_tokener_parse(R"([{"name": "x-dl", "value": "yes"}])"));
    EXPECT_EQ(camApiDownloadFile(url("/files/pkg.bin").c_str(), "GET", f, headers.get()), 1);
    fclose(f);
    EXPECT_TRUE(root.read("/usrdata/pkg.bin") == bytes);
    EXPECT_EQ(header(seen("/files/")[0], "x-dl"), "yes");

    f = fopen(path.c_str(), "w+b");
    EXPECT_EQ(camApiDownloadFile(url("/files/missing.bin").c_str(), "GET", f, nullptr), 1);
    fclose(f);
    EXPECT_EQ(camApiLastResponseCode(), 404);
}

}  // namespace
