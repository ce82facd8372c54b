#include "upload_rig.h"

namespace {

class Upload : public UploadRig {};

}  // namespace

TEST_F(Upload, AnnouncesJpgPicturesInListingOrder) {
    folder.put("A.JPG", std::string(1000, 'a'));
    folder.put("b.jpg", std::string(2000, 'b'));
    folder.put("c.jpeg", std::string(10, 'c'));
    sim->setScenario(R"({"accept_tokens": ["tok-a"], "answer": {"uploads": []}})");

    EXPECT_EQ(upload(), 2);
    std::vector<json_object*> puts = seen("/camapi/v3/camera/");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(text(puts[0], "method"), "PUT");
    EXPECT_EQ(text(puts[0], "path"), "/camapi/v3/camera/UCID1");
    EXPECT_EQ(header(puts[0], "Authorization"), "Bearer tok-a");
    EXPECT_EQ(header(puts[0], "Content-Type"), "application/json");

    json_object* body = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(puts[0], "json", &body));
    std::string expected = "{\"uploads\":[";
    for (const std::string& n : listing()) {
        if (expected.back() == '}') expected += ",";
        expected += "{\"name\":\"" + n + "\",\"size\":" + (n == "A.JPG" ? "1000" : "2000") + "}";
    }
    expected += "]}";
    EXPECT_EQ(json_object_to_json_string_ext(body, JSON_C_TO_STRING_PLAIN), expected);
    // Nothing was sent, nothing deleted.
    EXPECT_TRUE(folder.has("A.JPG") && folder.has("b.jpg") && folder.has("c.jpeg"));
    EXPECT_FALSE(folder.has("sent.txt"));
}

TEST_F(Upload, NothingToAnnounceIsNotAFailure) {
    folder.put("notes.txt", "x");
    EXPECT_EQ(upload(), 0);
    EXPECT_TRUE(seen("/").empty());
    EXPECT_EQ(log(), "0,ERROR,No files to send\r\n");
}

TEST_F(Upload, SendsEachPictureIntoItsSlotThenDeletesAndListsIt) {
    const std::string a = pictures::make({});
    pictures::Options o;
    o.width = 33;
    const std::string b = pictures::make(o);
    folder.put("a.jpg", a);
    folder.put("B.JPG", b);
    sim->setScenario(R"({"auth": false, "answer": {"slots": {"each": {"B.JPG": {"verb": "POST"}}}}})");

    ASSERT_EQ(upload(), 0);
    EXPECT_FALSE(folder.has("a.jpg"));
    EXPECT_FALSE(folder.has("B.JPG"));
    std::string sent;
    std::vector<json_object*> ups = seen("/upload/");
    ASSERT_EQ(ups.size(), 2u);
    for (json_object* r : ups) {
        std::string name = text(r, "stored");
        sent += name + "\r\n";
        const std::string& original = name == "a.jpg" ? a : b;
        EXPECT_EQ(text(r, "body_len"), std::to_string(original.size())) << name;
        EXPECT_EQ(pictures::readFile(sim->uploaded(name)), original) << name;
        EXPECT_EQ(text(r, "method"), name == "B.JPG" ? "POST" : "PUT");
        EXPECT_EQ(header(r, "x-sim-slot").empty(), false);
        EXPECT_EQ(header(r, "Authorization"), "<absent>");  // slots carry their own headers
    }
    EXPECT_EQ(folder.read("sent.txt"), sent);
    EXPECT_NE(log().find("INFO,Files to upload: 2\r\n"), std::string::npos);
    EXPECT_NE(log().find("INFO,Sending file: a.jpg, " + std::to_string(a.size()) + " bytes\r\n"),
              std::string::npos);
}

TEST_F(Upload, SlotUrlIsHostAndPathJoinedAndHeadersAreSentAsGiven) {
    folder.put("x.jpg", "xyz");
    sim->setScenario(R"({"auth": false, "answer": {"uploads": [
        {"name": "x.jpg", "host": "{base}", "path": "/upload/x.jpg?sig=a%2Fb&exp=1",
         "verb": "PUT", "size": 3, "headers": [{"name": "X-Meta", "value": "V 1"}]}]}})");
    ASSERT_EQ(upload(), 0);
    std::vector<json_object*> ups = seen("/upload/");
    ASSERT_EQ(ups.size(), 1u);
    EXPECT_EQ(text(ups[0], "path"), "/upload/x.jpg");
    EXPECT_EQ(text(ups[0], "query"), "sig=a%2Fb&exp=1");
    EXPECT_EQ(header(ups[0], "X-Meta"), "V 1");
    EXPECT_EQ(header(ups[0], "Content-Length"), "3");
    EXPECT_EQ(folder.read("sent.txt"), "x.jpg\r\n");
}

TEST_F(Upload, SlotWithoutSizeIsRefusedAndLaterSlotsWait) {
    folder.put("a.jpg", "aaa");
    sim->setScenario(R"({"auth": false, "answer": {"uploads": [
        {"name": "a.jpg", "host": "{base}", "path": "/upload/a.jpg", "verb": "PUT"}]}})");
    EXPECT_EQ(upload(), 1);
    EXPECT_NE(log().find("ERROR,No upload parameters\r\n"), std::string::npos);
    EXPECT_TRUE(folder.has("a.jpg"));
    EXPECT_TRUE(seen("/upload/").empty());
}

TEST_F(Upload, SecondSlotNamingAVanishedFileEndsTheStage) {
    folder.put("a.jpg", "aaa");
    sim->setScenario(R"({"auth": false, "answer": {"uploads": [
        {"name": "a.jpg", "host": "{base}", "path": "/upload/a.jpg", "verb": "PUT", "size": 3},
        {"name": "gone.jpg", "host": "{base}", "path": "/upload/gone.jpg", "verb": "PUT", "size": 3},
        {"name": "a.jpg", "host": "{base}", "path": "/upload/never.jpg", "verb": "PUT", "size": 3}]}})");
    EXPECT_EQ(upload(), 2);
    EXPECT_FALSE(folder.has("a.jpg"));
    EXPECT_EQ(folder.read("sent.txt"), "a.jpg\r\n");
    EXPECT_EQ(seen("/upload/").size(), 1u);
}

TEST_F(Upload, RefusedUploadKeepsThePicture) {
    folder.put("b.jpg", "bbbb");
    sim->setScenario(R"({"auth": false, "faults": [
        {"path": "/upload/b.jpg", "kind": "status", "status": 403}]})");
    EXPECT_EQ(upload(), 2);
    EXPECT_EQ(folder.read("b.jpg"), "bbbb");
    EXPECT_FALSE(folder.has("sent.txt"));
    EXPECT_NE(log().find("INFO,Response code: 403\r\n"), std::string::npos);

    // The next run, with the slot working again, sends it.
    sim->setScenario(R"({"auth": false})");
    EXPECT_EQ(upload(), 0);
    EXPECT_FALSE(folder.has("b.jpg"));
    EXPECT_EQ(folder.read("sent.txt"), "b.jpg\r\n");
}

TEST_F(Upload, SlotNamesMustBePicturesOfTheFolder) {
    folder.put("a.jpg", "aaa");
    folder.put(".token", "tok-a");
    std::filesystem::create_directory(folder.file("sub"));
    folder.put("sub/in.jpg", "in");
    for (const char* name : {"../a.jpg", "sub/in.jpg", ".token", "a\\u000a.jpg", "..", ""}) {
        sim->reset();
        std::string scenario = std::string(R"({"auth": false, "answer": {"uploads": [
            {"name": ")") + name + R"(", "host": "{base}", "path": "/upload/p.jpg", "verb": "PUT", "size": 3}]}})";
        sim->setScenario(scenario);
        EXPECT_EQ(upload(), 2) << name;
        EXPECT_TRUE(seen("/upload/").empty()) << name;
    }
    EXPECT_TRUE(folder.has("a.jpg") && folder.has(".token") && folder.has("sub/in.jpg"));
    EXPECT_FALSE(folder.has("sent.txt"));
}

TEST_F(Upload, AnswersWithoutSlotsEndTheStageWithTwo) {
    folder.put("a.jpg", "aaa");
    for (const char* scenario :
         {R"({"auth": false, "faults": [{"path": "/camapi/", "kind": "notjson"}]})",
          R"({"auth": false, "faults": [{"path": "/camapi/", "kind": "empty"}]})",
          R"({"auth": false, "answer": {"uploads": null}})",
          R"({"accept_tokens": ["other"]})"}) {
        sim->setScenario(scenario);
        EXPECT_EQ(upload(), 2) << scenario;
    }
    EXPECT_TRUE(folder.has("a.jpg"));
    EXPECT_TRUE(seen("/upload/").empty());
}

TEST_F(Upload, OversizedAnswerIsCutOff) {
    folder.put("a.jpg", "aaa");
    sim->setScenario(R"({"auth": false, "faults": [
        {"path": "/camapi/", "kind": "oversize", "size": 6000000}]})");
    EXPECT_EQ(upload(), 2);
    EXPECT_TRUE(folder.has("a.jpg"));
    EXPECT_NE(log().find("ERROR,Failed writing received data to disk/application\r\n"),
              std::string::npos);
}

TEST_F(Upload, TransportFailuresAreReported) {
    folder.put("a.jpg", "aaa");
    // A server we can't trust: no CA file in the folder.
    std::filesystem::remove(folder.file("cacert.pem"));
    EXPECT_EQ(upload(), 2);
    EXPECT_NE(log().find("INFO,Response code: 0\r\n"), std::string::npos);
    EXPECT_TRUE(seen("/camapi/").empty());

    // The connection drops during the upload.
    folder.copyIn(sim->caFile(), "cacert.pem");
    sim->setScenario(R"({"auth": false, "faults": [{"path": "/upload/", "kind": "drop"}]})");
    EXPECT_EQ(upload(), 2);
    EXPECT_TRUE(folder.has("a.jpg"));
    EXPECT_FALSE(folder.has("sent.txt"));
}
