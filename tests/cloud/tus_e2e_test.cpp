// End to end with a real tus server: the real trailnetd with the modem and
// DSP simulators; the cloud simulator creates each upload on the tus server
// (sim/tus: @tus/server with a file store behind HTTPS) and hands its URL in
// the slot; the link simulator sits between the camera and the tus server
// and drops the connection in the middle of a picture. The picture must
// arrive byte-identical in the same SYNC, only the rest sent after the drop.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "../modem/modem_sim_fixture.h"
#include "../support/cloudsim.h"
#include "../support/daemon_harness.h"
#include "../support/linksim.h"
#include "../support/tussrv.h"

using harness::DaemonHarness;
using harness::Ms;

namespace {

std::string text(json_object* o, const char* key) {
    json_object* v = nullptr;
    return json_object_object_get_ex(o, key, &v) && v != nullptr ? json_object_get_string(v) : "";
}

TEST(TusEndToEnd, ADropMidPictureGoesOnFromTheRealServersOffsetInTheSameSync) {
    DaemonHarness d{1, false};
    std::string oldPath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    d.root().mkdirs("/sys/power");
    d.root().mkdirs("/usrdata");
    d.root().write("/scenario.json", kGoodCoverageScenario);
    ModemSim modem(d.root(), d.root().path("/scenario.json"));
    CloudSim cloud(d.root().path("/usrdata/cacert.pem"));
    TusSrv tus(cloud);
    // 400 kbit/s up: a 120 KB picture takes a few seconds, the drop comes
    // after 60 KB of it.
    LinkSim link(tus.hostPort(), "lan", {"--set", "up_bps=400000"});
    cloud.setScenario(R"({"answer": {"uploads": "auto"}, "tus_server": ")" + tus.creationUrl() +
                      R"(", "tus_server_ca": ")" + cloud.caFile() + R"(", "tus_host": "https://)" +
                      link.hostPort() + R"("})");
    d.root().write("/media/sdcard/CONFIG.REQ",
                   R"({"config":{"cellular":true,"transmitUser":true,"transmitAuto":true,)"
                   R"("ssl":{"host":")" + cloud.hostPort() + R"("}}})" "\n");
    d.root().mkdirs("/media/sdcard/TRANSMIT");
    d.root().write("/media/sdcard/STATUS.DSP", R"({"batteries": 77, "model": "TC-200"})");
    std::string picture = "\xff\xd8";
    for (int i = 0; picture.size() < 120000; i++) picture += static_cast<char>((i * 31 + 7) & 0xff);
    d.root().write("/media/sdcard/TRANSMIT/EDGE0001.JPG", picture);
    setenv("PATH", (d.root().path("/sim/bin") + ":" + oldPath).c_str(), 1);

    ASSERT_TRUE(modem.ready());
    ASSERT_TRUE(d.startAndWaitReady());
    ASSERT_EQ(d.command("SP+CELL", "SP+OK\n", Ms(90000)), "SP+OK\n");
    EXPECT_EQ(link.command("drop after 60000").rfind("OK", 0), 0u);
    // The keep-alive bytes of the sync come before the answer.
    EXPECT_NE(d.command("SP+SYNC", "SP+OK\n", Ms(120000)).find("SP+OK\n"), std::string::npos) << d.log();
    setenv("PATH", oldPath.c_str(), 1);

    EXPECT_GE(link.counter("resets"), 1);
    EXPECT_FALSE(d.root().exists("/media/sdcard/TRANSMIT/EDGE0001.JPG")) << d.log();
    // What the tus server saw: the PATCH from 0 cut, then one from its offset.
    // The server logs a request once its answer has gone: the last one may
    // come a moment after the daemon has it.
    std::string url;
    long resumedFrom = -1;
    for (int tries = 0; tries < 100 && resumedFrom < 0; tries++) {
        if (tries > 0) usleep(100000);
        CloudSimJson seen = tus.requests();
        for (size_t i = 0; i < json_object_array_length(seen.get()); i++) {
            json_object* r = json_object_array_get_idx(seen.get(), i);
            if (text(r, "method") != "PATCH") continue;
            url = text(r, "path");
            long sent = atol(text(r, "upload_offset").c_str());
            if (sent > 0) resumedFrom = sent;
        }
    }
    ASSERT_FALSE(url.empty()) << d.log();
    EXPECT_GT(resumedFrom, 0) << "no PATCH went on from the server's offset";
    std::ifstream in(tus.storedFile(url), std::ios::binary);
    std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(stored == picture) << stored.size() << " of " << picture.size() << " bytes";
    EXPECT_EQ(d.log().find("Resumable upload EDGE0001.JPG complete"), d.log().rfind("Resumable upload EDGE0001.JPG complete"));
    EXPECT_NE(d.log().find("Resumable upload EDGE0001.JPG complete"), std::string::npos);
}

}  // namespace
