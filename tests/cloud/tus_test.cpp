// Resumable (tus) uploads against the cloud simulator: cut uploads continue
// from the server's offset within a sync and across syncs, the records that
// carry them, and the server answers the daemon must not believe.
#include <fstream>
#include <iterator>

#include "cloud/camapi.h"
#include "cloud/sync.h"
#include "cloud/tus.h"
#include "cloud_fixture.h"
#include "support/linksim.h"

namespace {

class Resumable : public CloudTest {
protected:
    void SetUp() override {
        CloudTest::SetUp();
        tusLimits() = TusLimits{};
    }
    std::string uploadedBytes(const std::string& name) {
        std::ifstream in(sim().uploaded(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // Requests of one method on the tus resources, in order.
    // (Each call fetches anew and keeps its document for the test's life.)
    std::vector<json_object*> tusRequests(const std::string& method) {
        docs_.push_back(sim().requests());
        std::vector<json_object*> out;
        for (size_t i = 0; i < json_object_array_length(docs_.back().get()); i++) {
            json_object* r = json_object_array_get_idx(docs_.back().get(), i);
            if (str(r, "path").rfind("/tus/", 0) == 0 && str(r, "method") == method) out.push_back(r);
        }
        return out;
    }
    // Bytes the simulator's uploads received in all, and how many uploads exist.
    long received(int* count = nullptr) {
        tus_ = sim().tusUploads();
        long total = 0;
        for (size_t i = 0; i < json_object_array_length(tus_.get()); i++)
            total += json_object_get_int64(member(json_object_array_get_idx(tus_.get(), i), "received"));
        if (count != nullptr) *count = static_cast<int>(json_object_array_length(tus_.get()));
        return total;
    }
    // A first sync that leaves the upload cut at 20000 bytes: the body is cut
    // once, then the server answers 503 until the picture is given up.
    void cutFirstSync(const std::string& url) {
        sim().setScenario(R"({"tus": {"url": ")" + url + R"(", "cut_after": 20000},
            "faults": [{"method": "PATCH", "path": "/tus/", "skip": 1, "times": -1,
                        "kind": "status", "status": 503}]})");
        EXPECT_EQ(runSync(0), 0);
        ASSERT_TRUE(inTransmit("CUT.JPG"));
        ASSERT_NE(logAt("no progress, kept for the next sync"), std::string::npos) << log();
        ASSERT_EQ(tusLoadRecords().size(), 1u);
    }
    CloudSimJson tus_;
    std::vector<CloudSimJson> docs_;
};

TEST(TusAnswer, OffsetsAreDigitsWithinTheSizeAndHeaderNamesAnyCase) {
    int64_t v = -1;
    EXPECT_TRUE(tusParseOffset("0", 10, &v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(tusParseOffset("10", 10, &v));
    EXPECT_EQ(v, 10);
    for (const char* bad : {"", "11", "-1", "+1", " 1", "1 ", "1.0", "0x10", "abc",
                            "99999999999999999999999999"})
        EXPECT_FALSE(tusParseOffset(bad, 10, &v)) << bad;
    EXPECT_TRUE(tusParseOffset("9223372036854775807", INT64_MAX, &v));
    EXPECT_FALSE(tusParseOffset("9223372036854775808", INT64_MAX, &v));
    // Sizes below ten: a digit above the size is beyond it too.
    EXPECT_FALSE(tusParseOffset("9", 1, &v));
    EXPECT_FALSE(tusParseOffset("1", 0, &v));
    EXPECT_TRUE(tusParseOffset("3", 3, &v));
    EXPECT_EQ(v, 3);

    std::string value;
    const char line[] = "upload-OFFSET:  1234 \r\n";
    EXPECT_TRUE(tusHeaderValue(line, sizeof line - 1, "Upload-Offset", &value));
    EXPECT_EQ(value, "1234");
    EXPECT_FALSE(tusHeaderValue(line, sizeof line - 1, "Upload-Length", &value));
    EXPECT_FALSE(tusHeaderValue("Upload-Offsets: 1\r\n", 19, "Upload-Offset", &value));
    EXPECT_FALSE(tusHeaderValue("Upload-Offset", 13, "Upload-Offset", &value));
}

TEST_F(Resumable, ADroppedPatchGoesOnFromTheServersOffsetInTheSameSync) {
    std::string a = picture("CUT.JPG", 60000);
    sim().setScenario(R"({"tus": {"cut_after": 20000, "cut_times": 2}})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_FALSE(inTransmit("CUT.JPG"));
    EXPECT_EQ(uploadedBytes("CUT.JPG"), a);
    EXPECT_EQ(received(), 60000);  // no byte sent twice
    auto patches = tusRequests("PATCH");
    ASSERT_EQ(patches.size(), 3u);
    EXPECT_EQ(header(patches[0], "Upload-Offset"), "0");
    EXPECT_EQ(header(patches[1], "Upload-Offset"), "20000");
    EXPECT_EQ(header(patches[2], "Upload-Offset"), "40000");
    EXPECT_EQ(header(patches[2], "Content-Type"), "application/offset+octet-stream");
    EXPECT_EQ(header(patches[2], "x-sim-slot"), "1");  // the slot's headers on every request
    EXPECT_EQ(header(tusRequests("HEAD")[0], "Tus-Resumable"), "1.0.0");
    EXPECT_TRUE(tusLoadRecords().empty());
}

TEST_F(Resumable, ALinkDropMidPatchOverTheLinkSimulatorResumes) {
    LinkSim link(sim(), "lan", {"--set", "up_bps=800000"});
    snprintf(daemonConfig().host, sizeof daemonConfig().host, "%s", sim().hostPort().c_str());
    std::string a = picture("LINK.JPG", 120000);
    sim().setScenario(R"({"tus": {}})");
    EXPECT_EQ(link.command("drop after 70000").rfind("OK", 0), 0u);
    EXPECT_EQ(runSync(0), 0);
    EXPECT_GE(link.counter("resets"), 1);
    EXPECT_FALSE(inTransmit("LINK.JPG"));
    EXPECT_EQ(uploadedBytes("LINK.JPG"), a);
    EXPECT_LT(received(), 120000 + 40000);  // the rest, not the picture again
}

TEST_F(Resumable, APlainPutServerSeesTodaysRequests) {
    std::string a = picture("PLAIN.JPG", 5000);
    std::string b = picture("EXPL.JPG", 5000);
    sim().setScenario(R"({"answer": {"uploads": "auto",
        "slots": {"each": {"EXPL.JPG": {"protocol": "put"}}}}})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(uploadedBytes("PLAIN.JPG"), a);
    EXPECT_EQ(uploadedBytes("EXPL.JPG"), b);
    for (json_object* r : seen("/")) {
        EXPECT_NE(str(r, "method"), "HEAD");
        EXPECT_NE(str(r, "method"), "PATCH");
        EXPECT_EQ(header(r, "Tus-Resumable"), "<absent>");
    }
    EXPECT_EQ(seen("/upload/").size(), 2u);
    EXPECT_FALSE(root.exists("/usrdata/tus_uploads.json"));
}

TEST_F(Resumable, AnUnknownProtocolKeepsThePicture) {
    picture("ODD.JPG", 3000);
    sim().setScenario(R"({"answer": {"uploads": "auto", "slots": {"protocol": "ftp"}}})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_TRUE(inTransmit("ODD.JPG"));
    EXPECT_NE(logAt("Unknown upload protocol for ODD.JPG: picture kept"), std::string::npos);
    EXPECT_TRUE(seen("/upload/").empty());
}

// The next sync continues the cut upload, whether the cloud hands its URL
// again or a fresh one. The daemon keeps nothing in memory between syncs,
// so this is also what a restart of the daemon sees.
TEST_F(Resumable, TheNextSyncSendsOnlyTheRestOnTheSameOrAFreshUrl) {
    for (const char* url : {"same", "fresh"}) {
        SCOPED_TRACE(url);
        sim().reset();
        std::string a = picture("CUT.JPG", 60000);
        cutFirstSync(url);
        sim().setScenario(std::string(R"({"tus": {"url": ")") + url + R"("}})");
        EXPECT_EQ(runSync(0), 0);
        EXPECT_FALSE(inTransmit("CUT.JPG"));
        EXPECT_EQ(uploadedBytes("CUT.JPG"), a);
        int uploads = 0;
        EXPECT_EQ(received(&uploads), 60000);
        EXPECT_EQ(uploads, std::string(url) == "same" ? 1 : 2);  // the fresh one stays unused
        EXPECT_TRUE(tusLoadRecords().empty());
    }
}

TEST_F(Resumable, AnExpiredUploadStartsAgainFromZeroOnTheNewSlot) {
    std::string a = picture("CUT.JPG", 60000);
    cutFirstSync("same");
    sim().setScenario(R"({"tus": {"expire_existing": true}})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_NE(logAt("gone (HTTP 410): starting again on the new slot"), std::string::npos) << log();
    EXPECT_FALSE(inTransmit("CUT.JPG"));
    EXPECT_EQ(uploadedBytes("CUT.JPG"), a);
    auto patches = tusRequests("PATCH");
    EXPECT_EQ(header(patches.back(), "Upload-Offset"), "0");
}

TEST_F(Resumable, AConflictAsksAgainAndALostFinalAnswerIsFoundByTheNextHead) {
    std::string a = picture("A.JPG", 30000);
    std::string b = picture("B.JPG", 30000, 1700000005);
    sim().setScenario(R"({"tus": {"conflict": 1, "lose_final": 1}})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(uploadedBytes("A.JPG"), a);
    EXPECT_EQ(uploadedBytes("B.JPG"), b);
    EXPECT_FALSE(inTransmit("A.JPG"));
    EXPECT_FALSE(inTransmit("B.JPG"));
    EXPECT_EQ(received(), 60000);
    // The newest first: B's first PATCH meets the conflict, its second
    // completes with its answer lost; A goes in one.
    EXPECT_EQ(tusRequests("PATCH").size(), 3u);
}

TEST_F(Resumable, AServerThatLostBytesIsBelievedAndTheFileIsWhole) {
    std::string a = picture("LOW.JPG", 80000);
    // Cut at 30000 and 60000; the HEAD after the second cut says 20000.
    sim().setScenario(R"({"tus": {"cut_after": 30000, "cut_times": 2, "lower_offset": 40000,
                                   "lower_at": 3}})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_NE(logAt("server went back from 30000 to 20000"), std::string::npos) << log();
    EXPECT_EQ(header(tusRequests("PATCH").back(), "Upload-Offset"), "20000");
    EXPECT_EQ(uploadedBytes("LOW.JPG"), a);
    EXPECT_FALSE(inTransmit("LOW.JPG"));
}

TEST_F(Resumable, HostileOffsetsAndLengthsKeepThePicture) {
    picture("BAD.JPG", 4000);
    for (const char* tus : {R"({"offset": "abc"})", R"({"offset": "4001"})", R"({"offset": "-5"})",
                            R"({"offset": "1e3"})",
                            R"({"head_headers": {"Upload-Length": "5"}})"}) {
        SCOPED_TRACE(tus);
        sim().reset();
        sim().setScenario(std::string(R"({"tus": )") + tus + "}");
        EXPECT_EQ(runSync(0), 0);
        EXPECT_TRUE(inTransmit("BAD.JPG"));
        EXPECT_TRUE(tusRequests("PATCH").empty());
        EXPECT_NE(logAt("Resumable upload BAD.JPG"), std::string::npos);
    }
}

TEST_F(Resumable, APictureReplacedUnderTheSameNameStartsAfresh) {
    picture("CUT.JPG", 60000);
    cutFirstSync("same");
    std::string fresh = picture("CUT.JPG", 45000, 1700000100);
    sim().setScenario(R"({"tus": {"url": "same"}})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(uploadedBytes("CUT.JPG"), fresh);
    EXPECT_FALSE(inTransmit("CUT.JPG"));
    EXPECT_EQ(header(tusRequests("PATCH").back(), "Upload-Offset"), "0");
}

// Bytes at a URL the camera never recorded are not continued: a picture of two.
TEST_F(Resumable, ANewUploadThatAlreadyHoldsBytesIsRefused) {
    picture("CUT.JPG", 60000);
    cutFirstSync("same");
    unlink(root.path("/usrdata/tus_uploads.json").c_str());
    sim().setScenario(R"({"tus": {"url": "same"}})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_TRUE(inTransmit("CUT.JPG"));
    EXPECT_NE(logAt("new upload already holds 20000 bytes, refused"), std::string::npos);
}

TEST_F(Resumable, AnHdCopyGoesUpInOneSyncAndAFreshCopyContinuesACutUpload) {
    root.mkdirs("/media/sdcard/DCIM");
    std::string hd;
    for (int i = 0; i < 90000; i++) hd += static_cast<char>((i * 13) & 0xff);
    root.write("/media/sdcard/DCIM/P1.JPG", hd);
    const std::string request = R"({"requests": {"pictures": {"content": [{"name": "P1.JPG",
        "date": "2024-05-01", "protocol": "tus", "size": 90000, "headers": [{"name": "x-hd", "value": "1"}]}]}}})";
    // A cut, then the server refuses (503) until the request is answered.
    sim().setScenario(R"({"tus": {"url": "fresh", "cut_after": 30000}, "answers": [)" + request +
                      R"(], "faults": [{"method": "PATCH", "path": "/tus/", "skip": 1, "times": -1,
                        "kind": "status", "status": 503}]})");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_FALSE(root.exists("/media/sdcard/TRANSMIT/HDP1.JPG"));
    EXPECT_NE(logAt("HD picture request failed (P1.JPG): resumable upload not complete"),
              std::string::npos);
    // Asked again: a fresh copy and a fresh URL; the cut upload goes on.
    sim().setScenario(R"({"tus": {"url": "fresh"}, "answers": [)" + request + "]}");
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(uploadedBytes("HDP1.JPG"), hd);
    EXPECT_EQ(received(), 90000);
    EXPECT_EQ(header(tusRequests("PATCH").back(), "x-hd"), "1");
    EXPECT_FALSE(root.exists("/media/sdcard/TRANSMIT/HDP1.JPG"));
    EXPECT_TRUE(tusLoadRecords().empty());
}

TEST_F(Resumable, RecordsStayBoundedAndGoWithTheirPictures) {
    std::vector<TusRecord> records;
    for (int i = 0; i < 8; i++) {
        std::string name = "P" + std::to_string(i) + ".JPG";
        // Even seconds: the FAT card keeps two-second times.
        picture(name, 10, 1700000000 + 2 * i);
        records.push_back({name, 10, 1700000000 + 2 * i, false, "https://h/tus/" + std::to_string(i)});
        records.push_back({"HD" + name, 10, 1, true, "https://h/tus/hd" + std::to_string(i)});
    }
    records.push_back({"GONE.JPG", 10, 1700000000, false, "https://h/tus/gone"});
    records.push_back({"P0.JPG", 11, 1700000000, false, "https://h/tus/changed"});
    ASSERT_TRUE(tusSaveRecords(records));
    auto kept = tusLoadRecords();
    int hd = 0;
    for (const TusRecord& r : kept) {
        EXPECT_NE(r.name, "GONE.JPG");
        EXPECT_NE(r.url, "https://h/tus/changed");
        hd += r.hd;
    }
    EXPECT_EQ(hd, static_cast<int>(kTusMaxHdRecords));
    EXPECT_EQ(kept.size(), 8 + kTusMaxHdRecords);
    EXPECT_EQ(kept.back().name, "HDP7.JPG");  // the newest HD records stay
    // A damaged file reads as no records, and the next save mends it.
    root.write("/usrdata/tus_uploads.json", "[{\"name\": 5}, garbage");
    EXPECT_TRUE(tusLoadRecords().empty());
}

}  // namespace
