// Full-resolution picture requests served through whole syncs.
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "cloud/hd_requests.h"
#include "requests_fixture.h"

namespace {

class HdRequests : public RequestTest {
protected:
    // An element asking for `name` into the simulator's /upload/HD<name>.
    std::string ask(const std::string& name, const std::string& date = "2024-05-01 10:00:00") {
        return R"({"name": ")" + name + R"(", "date": ")" + date +
               R"(", "host": "{base}", "path": "/upload/HD)" + name + R"(", "verb": "PUT"})";
    }
    void servePictures(const std::string& content) { serve(R"({"pictures": {"content": [)" + content + "]}}"); }

    // The result array of the one pictures report the simulator got.
    json_object* results() {
        json_object* found = nullptr;
        int reports = 0;
        for (json_object* put : seen("/camapi/v3/camera/")) {
            if (str(put, "report") != "pictures") continue;
            reports++;
            found = member(member(member(member(put, "json"), "requests"), "pictures"), "result");
        }
        EXPECT_EQ(reports, 1);
        return found;
    }
    // "name:success:message" of each result element.
    std::vector<std::string> outcomes() {
        std::vector<std::string> out;
        json_object* list = results();
        for (size_t i = 0; list != nullptr && i < json_object_array_length(list); i++) {
            json_object* r = json_object_array_get_idx(list, i);
            out.push_back(str(r, "name") + ":" + str(r, "success") + ":" + str(r, "message"));
        }
        return out;
    }
    std::string card(const std::string& rel, const std::string& bytes) {
        std::filesystem::path p = root.path("/media/sdcard/" + rel);
        std::filesystem::create_directories(p.parent_path());
        root.write("/media/sdcard/" + rel, bytes);
        return p.string();
    }
    size_t transmitCount() {
        size_t n = 0;
        for (auto& e : std::filesystem::directory_iterator(root.path("/media/sdcard/TRANSMIT"))) {
            (void)e;
            n++;
        }
        return n;
    }
};

using Strings = std::vector<std::string>;

TEST_F(HdRequests, FoundPictureIsUploadedAsCopyThenDeletedAndReported) {
    card("DCIM/100MEDIA/P0001.JPG", std::string(70000, 'h'));
    servePictures(ask("P0001.JPG"));
    EXPECT_TRUE(uploadedBytes("HDP0001.JPG") == std::string(70000, 'h'));
    EXPECT_EQ(outcomes(), Strings{"P0001.JPG:true:"});
    // Members in the order the API reads them.
    ASSERT_NE(results(), nullptr);
    json_object* r = json_object_array_get_idx(results(), 0);
    Strings keys;
    json_object_object_foreach(r, k, v) {
        (void)v;
        keys.push_back(k);
    }
    EXPECT_EQ(keys, (Strings{"name", "date", "success", "message"}));
    EXPECT_EQ(str(r, "date"), "2024-05-01 10:00:00");
    EXPECT_TRUE(logged("INFO: hd: HD picture ready: P0001.JPG (2024-05-01 10:00:00)"));
    EXPECT_EQ(transmitCount(), 0u);
    EXPECT_TRUE(root.exists("/media/sdcard/DCIM/100MEDIA/P0001.JPG"));
}

TEST_F(HdRequests, EachElementGetsItsOutcomeAndTheCopyNeverStays) {
    card("DCIM/A.JPG", "aaa");
    card("DCIM/B.JPG", "bbb");
    // The upload of B is refused: its copy goes all the same.
    std::string faults = R"("faults": [{"path": "/upload/HDB.JPG", "kind": "status", "status": 500}])";
    sim().setScenario(R"({"auth": false, )" + faults + R"(, "answers": [{"uploads": null, "requests":
        {"pictures": {"content": [)" + ask("A.JPG") + "," + ask("NOWHERE.JPG") + "," +
                      R"({"name": "NODATE.JPG"},)" + ask("B.JPG") + "," +
                      R"({"name": "A.JPG", "date": "d", "host": "{base}", "path": "/upload/x"})" + "]}}}]}");
    char token[65] = "t";
    ASSERT_EQ(syncWithCloud(token, 0), 0);
    EXPECT_EQ(outcomes(), (Strings{"A.JPG:true:", "NOWHERE.JPG:false:unavailable", "B.JPG:false:uploadFailed",
                                   "A.JPG:false:uploadFailed"}));
    EXPECT_TRUE(logged("ERROR: hd: HD picture not available: NOWHERE.JPG (2024-05-01 10:00:00)"));
    EXPECT_TRUE(logged("ERROR: hdod: HD picture request failed (B.JPG): HTTP 500"));
    EXPECT_FALSE(uploaded("HDB.JPG"));
    EXPECT_EQ(transmitCount(), 0u);
}

TEST_F(HdRequests, ReportIsSentEvenWhenNoElementHasAResult) {
    servePictures("");
    ASSERT_NE(results(), nullptr);
    EXPECT_EQ(json_object_array_length(results()), 0u);
    sim().reset();
    servePictures(R"({"name": "A.JPG"}, {"date": "d"})");
    ASSERT_NE(results(), nullptr);
    EXPECT_EQ(json_object_array_length(results()), 0u);
}

TEST_F(HdRequests, CardStateDecidesBetweenSdCardErrorAndUnavailable) {
    root.releaseCard();  // the card taken out: no mount point left
    std::filesystem::remove_all(root.path("/media/sdcard"));
    servePictures(ask("A.JPG") + "," + ask("B.JPG"));
    EXPECT_EQ(outcomes(), (Strings{"A.JPG:false:sdCardError", "B.JPG:false:sdCardError"}));

    sim().reset();
    root.mkdirs("/media/sdcard");  // an empty mount point
    servePictures(ask("A.JPG"));
    EXPECT_EQ(outcomes(), Strings{"A.JPG:false:unavailable"});
}

TEST_F(HdRequests, NameFoundTwiceTakesTheFirstMatchFindWouldList) {
    // Several folders, the same name in three of them and a folder of that
    // name: the walk must agree with find on which comes first.
    for (const char* d : {"a", "b/c", "d", "e/f/g", "z"}) root.mkdirs(std::string("/media/sdcard/") + d);
    card("b/c/DUP.JPG", "from b/c");
    card("z/DUP.JPG", "from z");
    card("e/f/g/DUP.JPG", "from e/f/g");
    card("d/other.jpg", "x");
    root.mkdirs("/media/sdcard/a/DUP.DIR");
    std::string top = root.path("/media/sdcard");
    for (const char* name : {"DUP.JPG", "other.jpg", "DUP.DIR", "sdcard", "missing"}) {
        std::string cmd = "find '" + top + "' -name '" + name + "' | head -n 1";
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[1024] = "";
        if (fgets(line, sizeof line, p) == nullptr) line[0] = '\0';
        pclose(p);
        line[strcspn(line, "\r\n")] = '\0';
        EXPECT_EQ(findFirstByName(top, name), std::string(line)) << name;
    }
    std::string first = findFirstByName(top, "DUP.JPG");
    servePictures(ask("DUP.JPG"));
    EXPECT_EQ(uploadedBytes("HDDUP.JPG"), root.read(first.substr(root.dir().size())));
}

TEST_F(HdRequests, HostileNamesAreUnavailableWithNothingRunReadOrWritten) {
    // A secret outside the card, reachable by the path or a link on the card
    // (FAT holds no links: a card that does is a folder here).
    root.releaseCard();
    root.write("/etc/trailnetd_conf.json", "{\"s3token\": \"secret\"}");
    std::filesystem::create_symlink(root.path("/etc/trailnetd_conf.json"),
                                    root.path("/media/sdcard/LINK.JPG"));
    std::string marker = root.path("/pwned");
    const Strings hostile = {
        "../../etc/trailnetd_conf.json",
        "x; touch " + marker,
        "$(touch " + marker + ")",
        "`touch " + marker + "`",
        "*",
        "LINK.JPG",
        "..",
        "a\\nb",
    };
    std::string content;
    for (const auto& name : hostile) {
        if (!content.empty()) content += ",";
        content += R"({"name": ")" + name + R"(", "date": "d", "host": "{base}", "path": "/upload/leak", "verb": "PUT"})";
    }
    servePictures(content);
    EXPECT_EQ(outcomes().size(), hostile.size());
    for (const auto& o : outcomes()) EXPECT_NE(o.find(":false:unavailable"), std::string::npos) << o;
    EXPECT_FALSE(uploaded("leak"));
    EXPECT_TRUE(seen("/upload/").empty());
    EXPECT_FALSE(root.exists("/pwned"));
    EXPECT_EQ(transmitCount(), 0u);
    EXPECT_EQ(root.read("/etc/trailnetd_conf.json"), "{\"s3token\": \"secret\"}");
    // The log line stays one line whatever the name holds.
    EXPECT_TRUE(logged("HD picture not available: a?b (d)"));
}

TEST_F(HdRequests, OverlongTextsAreCutInTheLogOrRefused) {
    card("A.JPG", "a");
    std::string longDate(100, '9');
    std::string longPath = "/upload/" + std::string(1100, 'p');
    servePictures(ask("A.JPG", longDate) + "," +
                  R"({"name": "A.JPG", "date": "d", "host": "{base}", "path": ")" + longPath +
                  R"(", "verb": "PUT"})");
    EXPECT_EQ(outcomes(), (Strings{"A.JPG:true:", "A.JPG:false:uploadFailed"}));
    EXPECT_TRUE(logged("HD picture ready: A.JPG (" + std::string(31, '9') + ")\r\n"));
    ASSERT_NE(results(), nullptr);
    // The full date goes back to the API, which matches results by it.
    EXPECT_EQ(str(json_object_array_get_idx(results(), 0), "date"), longDate);
    EXPECT_TRUE(logged("HD picture request failed (A.JPG): slot too long"));
    EXPECT_EQ(transmitCount(), 0u);
}

TEST_F(HdRequests, FailedReportIsLoggedAndTheSyncGoesOn) {
    sim().setScenario(R"({"auth": false, "report_status": 503, "answers": [{"uploads": null,
        "requests": {"pictures": {"content": []}}, "config": {"transmitFreq": 4}}]})");
    char token[65] = "t";
    EXPECT_EQ(syncWithCloud(token, 0), 0);
    EXPECT_TRUE(logged("ERROR: hdresult: Send pictures results failed: HTTP 503"));
    EXPECT_GT(logAt("config: "), logAt("Send pictures results failed"));
}

}  // namespace
