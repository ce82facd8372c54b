// The tus server of the tests, as its users will meet it: started through
// tests/support/tussrv.h with the cloud simulator's certificate, spoken to
// over TLS checked against the tests' CA.
#include "support/tussrv.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "support/cloudsim.h"

namespace {

struct Answer {
    long code = 0;
    std::map<std::string, std::string> headers;  // names in lower case
};

struct CurlFree {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t headerLine(char* data, size_t size, size_t n, void* out) {
    std::string line(data, size * n);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r\n") + 1);
        static_cast<Answer*>(out)->headers[name] = value;
    }
    return size * n;
}

size_t discard(char*, size_t size, size_t n, void*) { return size * n; }

// One tus request; body is sent for POST and PATCH.
Answer tus(const std::string& ca, const std::string& method, const std::string& url,
           std::vector<std::string> headers, const std::string& body = "") {
    std::unique_ptr<CURL, CurlFree> c(curl_easy_init());
    headers.push_back("Tus-Resumable: 1.0.0");
    if (method == "PATCH") headers.push_back("Content-Type: application/offset+octet-stream");
    std::unique_ptr<curl_slist, CurlFree> list;
    for (auto& h : headers) list.reset(curl_slist_append(list.release(), h.c_str()));
    Answer a;
    curl_easy_setopt(c.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(c.get(), CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(c.get(), CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(c.get(), CURLOPT_HTTPHEADER, list.get());
    if (method == "HEAD") {
        curl_easy_setopt(c.get(), CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(c.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
        curl_easy_setopt(c.get(), CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(c.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    curl_easy_setopt(c.get(), CURLOPT_HEADERFUNCTION, headerLine);
    curl_easy_setopt(c.get(), CURLOPT_HEADERDATA, &a);
    curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, discard);
    CURLcode rc = curl_easy_perform(c.get());
    EXPECT_EQ(rc, CURLE_OK) << method << " " << url << ": " << curl_easy_strerror(rc);
    curl_easy_getinfo(c.get(), CURLINFO_RESPONSE_CODE, &a.code);
    return a;
}

struct Feed {
    std::string bytes;
    size_t at = 0;
};

size_t feedThenCut(char* out, size_t size, size_t n, void* data) {
    auto* f = static_cast<Feed*>(data);
    if (f->at == f->bytes.size()) return CURL_READFUNC_ABORT;
    size_t k = std::min(size * n, f->bytes.size() - f->at);
    std::copy_n(f->bytes.data() + f->at, k, out);
    f->at += k;
    return k;
}

// A PATCH that announces `announced` bytes and drops the connection after
// sending `bytes`, as a link that dies mid-upload does.
void cutPatch(const std::string& ca, const std::string& url, long offset, const std::string& bytes,
              long announced) {
    std::unique_ptr<CURL, CurlFree> c(curl_easy_init());
    std::unique_ptr<curl_slist, CurlFree> list;
    for (std::string h :
         {std::string("Tus-Resumable: 1.0.0"), "Upload-Offset: " + std::to_string(offset),
          std::string("Content-Type: application/offset+octet-stream")})
        list.reset(curl_slist_append(list.release(), h.c_str()));
    Feed feed{bytes};
    curl_easy_setopt(c.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(c.get(), CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(c.get(), CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(c.get(), CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(c.get(), CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c.get(), CURLOPT_CUSTOMREQUEST, "PATCH");
    curl_easy_setopt(c.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(announced));
    curl_easy_setopt(c.get(), CURLOPT_READFUNCTION, feedThenCut);
    curl_easy_setopt(c.get(), CURLOPT_READDATA, &feed);
    curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, discard);
    EXPECT_EQ(curl_easy_perform(c.get()), CURLE_ABORTED_BY_CALLBACK);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string randomBytes(size_t n) {
    std::mt19937 rng(26);
    std::string s(n, '\0');
    for (auto& ch : s) ch = static_cast<char>(rng());
    return s;
}

}  // namespace

TEST(TusServer, ResumesAnUploadFromTheOffsetItReportsByteForByte) {
    CloudSim cloud;
    TusSrv srv(cloud);
    const std::string ca = cloud.caFile();
    const std::string picture = randomBytes(100000);
    EXPECT_EQ(srv.creationUrl(), srv.base() + "/files");

    Answer created = tus(ca, "POST", srv.creationUrl(), {"Upload-Length: 100000"});
    ASSERT_EQ(created.code, 201);
    const std::string url = created.headers["location"];
    ASSERT_EQ(url.rfind(srv.base() + "/files/", 0), 0u) << url;

    Answer first = tus(ca, "PATCH", url, {"Upload-Offset: 0"}, picture.substr(0, 40000));
    EXPECT_EQ(first.code, 204);
    EXPECT_EQ(first.headers["upload-offset"], "40000");
    Answer head = tus(ca, "HEAD", url, {});
    EXPECT_EQ(head.code, 200);
    EXPECT_EQ(head.headers["upload-offset"], "40000");
    EXPECT_EQ(head.headers["upload-length"], "100000");

    // A client that is wrong about the offset changes nothing.
    EXPECT_EQ(tus(ca, "PATCH", url, {"Upload-Offset: 30000"}, picture.substr(30000, 100)).code,
              409);
    EXPECT_EQ(tus(ca, "HEAD", url, {}).headers["upload-offset"], "40000");

    Answer rest = tus(ca, "PATCH", url, {"Upload-Offset: 40000"}, picture.substr(40000));
    EXPECT_EQ(rest.code, 204);
    EXPECT_EQ(rest.headers["upload-offset"], "100000");
    EXPECT_TRUE(readFile(srv.storedFile(url)) == picture) << "stored bytes differ";

    CloudSimJson seen = srv.requestsAtLeast(6);
    std::string trail;
    for (size_t i = 0; i < json_object_array_length(seen.get()); i++) {
        json_object *r = json_object_array_get_idx(seen.get(), i), *m, *s;
        json_object_object_get_ex(r, "method", &m);
        json_object_object_get_ex(r, "status", &s);
        trail += std::string(json_object_get_string(m)) + " " + json_object_get_string(s) + ";";
    }
    EXPECT_EQ(trail, "POST 201;PATCH 204;HEAD 200;PATCH 409;HEAD 200;PATCH 204;");
}

TEST(TusServer, AnUploadCutMidPatchKeepsWhatArrivedAndGoesOn) {
    CloudSim cloud;
    TusSrv srv(cloud);
    const std::string ca = cloud.caFile();
    const std::string picture = randomBytes(100000);
    Answer created = tus(ca, "POST", srv.creationUrl(), {"Upload-Length: 100000"});
    ASSERT_EQ(created.code, 201);
    const std::string url = created.headers["location"];

    cutPatch(ca, url, 0, picture.substr(0, 40000), 100000);
    // What reached the server before the cut is kept (TCP may lose the tail
    // to the reset) and the upload is free for the next PATCH at once.
    Answer head = tus(ca, "HEAD", url, {});
    ASSERT_EQ(head.code, 200);
    const long offset = std::stol(head.headers["upload-offset"]);
    EXPECT_LE(offset, 40000);
    EXPECT_EQ(
        tus(ca, "PATCH", url, {"Upload-Offset: " + std::to_string(offset)}, picture.substr(offset))
            .code,
        204);
    EXPECT_TRUE(readFile(srv.storedFile(url)) == picture) << "stored bytes differ";
    // The cut request is logged without an answer.
    CloudSimJson seen = srv.requestsAtLeast(4);
    int unanswered = 0;
    for (size_t i = 0; i < json_object_array_length(seen.get()); i++) {
        json_object* status = nullptr;
        if (json_object_object_get_ex(json_object_array_get_idx(seen.get(), i), "status", &status))
            unanswered += json_object_get_int(status) == 0;
    }
    EXPECT_EQ(unanswered, 1);
}

TEST(TusServer, ExpiryAndRelativeLocationAreOptions) {
    CloudSim cloud;
    TusSrv srv(cloud, {"--expiry", "1", "--relative-location"});
    const std::string ca = cloud.caFile();
    Answer created = tus(ca, "POST", srv.creationUrl(), {"Upload-Length: 10"});
    ASSERT_EQ(created.code, 201);
    const std::string path = created.headers["location"];
    ASSERT_EQ(path.rfind("/files/", 0), 0u) << path;
    EXPECT_FALSE(created.headers["upload-expires"].empty());
    const std::string url = srv.base() + path;
    EXPECT_EQ(tus(ca, "PATCH", url, {"Upload-Offset: 0"}, "hello").code, 204);

    // The unfinished upload expires a second after its creation.
    long code = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((code = tus(ca, "HEAD", url, {}).code) == 200 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(code, 410);
    EXPECT_EQ(tus(ca, "PATCH", url, {"Upload-Offset: 5"}, "world").code, 410);
}

TEST(TusServer, MissingPackagesSayHowToInstallThem) {
    char tmpl[] = "/tmp/tusbare.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string bare = std::string(tmpl) + "/server.js";
    std::filesystem::copy_file(TN_TUSSRV_JS, bare);
    try {
        TusSrv srv("cert.pem", "key.pem", {}, bare);
        ADD_FAILURE() << "started without its packages";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("run scripts/setup"), std::string::npos) << e.what();
    }
    std::filesystem::remove_all(tmpl);
}
