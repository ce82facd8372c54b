// Power cuts of the real trailnetd: started again and again with a new
// configuration request on the card, and killed (SIGKILL) at a random moment
// of its start, of a SYNC or of a CELL. After every cut the configuration
// file is whole and holds either the settings before the request or after
// it; the DSP settings file is whole; the pictures are untouched. The next
// start syncs normally. The seed is printed; TN_CUT_SEED repeats a run.
#include <json-c/json.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <cstdio>
#include <random>
#include <string>

#include "invariants.h"
#include "support/daemon_harness.h"
#include "support/rounds.h"

namespace {

using harness::DaemonHarness;
using harness::Ms;
using Clock = std::chrono::steady_clock;

std::string hostIn(const std::string& confText) {
    json_object* root = json_tokener_parse(confText.c_str());
    json_object* v = nullptr;
    std::string host = json_object_object_get_ex(root, "host", &v) ? json_object_get_string(v) : "";
    json_object_put(root);
    return host;
}

std::string request(int n) {
    char text[256];
    snprintf(text, sizeof text,
             R"({"config": {"transmitFreq": %d, "transmitTime": {"hour": %d, "minute": %d},)"
             R"( "cellular": false, "ssl": {"host": "cam%d.example"}}})" "\n",
             1 + n % 12, n % 24, n % 60, n);
    return text;
}

const char kStatus[] = R"({"memory": {"size": 31000, "used": 1200}, "batteries": 80,)"
                       R"( "batteryType": "AA", "model": "TC-200", "version": "V1.00.34"})";

TEST(DaemonCuts, HundredAndTwentyKillsDuringStartsSyncsAndSettingsChanges) {
    const unsigned seed = rounds::seed(7121);
    const int kCuts = rounds::count("TN_CUTS", 120, 20);
    printf("power cuts of trailnetd: %d cuts, seed %u\n", kCuts, seed);
    RecordProperty("seed", static_cast<int>(seed));
    std::mt19937 rng(seed);

    DaemonHarness d;
    // No modem service here: with its ready flag the identity read fails at
    // once instead of after a ten-second wait at every start.
    d.root().write("/tmp/mcm_service_ready.flag", "");
    RootTree& root = d.root();
    root.mkdirs("/media/sdcard/TRANSMIT");
    robust::Pictures made;
    for (int i = 0; i < 3; i++) {
        std::string name = "KEEP000" + std::to_string(i) + ".JPG";
        made[name] = std::string(10000 + 999 * i, static_cast<char>('a' + i));
        root.write("/media/sdcard/TRANSMIT/" + name, made[name]);
    }
    const std::string conf = root.path("/etc/trailnetd_conf.json");
    const std::string transmit = root.path("/media/sdcard/TRANSMIT");

    // One uncut round first: it makes the configuration file and measures
    // how long the start takes to apply a request and a SYNC takes to answer;
    // the kills are spread over those times, with some margin.
    root.write("/media/sdcard/CONFIG.REQ", request(0));
    root.write("/media/sdcard/STATUS.DSP", kStatus);
    auto t0 = Clock::now();
    d.start();
    ASSERT_TRUE(DaemonHarness::waitFor(
        [&] { return !root.exists("/media/sdcard/CONFIG.REQ"); }, Ms(40000)));
    long applyWindow = std::chrono::duration_cast<Ms>(Clock::now() - t0).count() * 3 / 2 + 1;
    ASSERT_TRUE(d.expect("RDY\r\n", Ms(40000)));
    ASSERT_NE(d.command("SP+CELL", "SP+OK\n"), "");
    t0 = Clock::now();
    ASSERT_NE(d.command("SP+SYNC", "SP+OK\n"), "");
    long commandWindow = static_cast<long>(
        std::max<Ms::rep>(20, std::chrono::duration_cast<Ms>(Clock::now() - t0).count() * 2));
    d.stop();
    std::string host = hostIn(root.read("/etc/trailnetd_conf.json"));
    ASSERT_EQ(host, "cam0.example");

    int inCommand = 0;
    for (int cut = 1; cut <= kCuts; cut++) {
        root.write("/media/sdcard/CONFIG.REQ", request(cut));
        root.write("/media/sdcard/STATUS.DSP", kStatus);
        bool duringCommand = rng() % 2 == 0;
        long delay = static_cast<long>(rng() % (duringCommand ? commandWindow : applyWindow));
        auto start = Clock::now();
        d.start();
        if (duringCommand && d.expect("RDY\r\n", Ms(40000))) {
            inCommand++;
            d.sendLine(rng() % 2 ? "SP+SYNC" : "SP+CELL");
            start = Clock::now();
        }
        std::this_thread::sleep_until(start + Ms(delay));
        ASSERT_TRUE(d.killTree());
        d.readFor(Ms(0));  // what the killed daemon said is of no interest

        char when[80];
        snprintf(when, sizeof when, "after cut %d (seed %u, %ld ms)", cut, seed, delay);
        robust::expectConfigWhole(conf, when);
        std::string now = hostIn(root.read("/etc/trailnetd_conf.json"));
        std::string asked = "cam" + std::to_string(cut) + ".example";
        EXPECT_TRUE(now == host || now == asked) << "host " << now << " " << when;
        host = now;
        if (root.exists("/media/sdcard/config.dsp")) {
            json_object* settings = json_tokener_parse(root.read("/media/sdcard/config.dsp").c_str());
            EXPECT_NE(settings, nullptr) << "config.dsp half-written " << when;
            json_object_put(settings);
        }
        EXPECT_EQ(robust::expectNoPictureLost(made, transmit, "/nonexistent", when), made.size());
        if (HasFailure()) break;
    }
    printf("power cuts of trailnetd: %d during a command (window %ld ms), %d during start "
           "(window %ld ms)\n",
           inCommand, commandWindow, kCuts - inCommand, applyWindow);

    // The next start applies its request and syncs (with the cellular side
    // off: syncs with the cloud are cut in-process, see sync_cuts_test).
    root.write("/media/sdcard/CONFIG.REQ", request(kCuts + 1));
    root.write("/media/sdcard/STATUS.DSP", kStatus);
    ASSERT_TRUE(d.startAndWaitReady());
    EXPECT_NE(d.command("SP+CELL", "SP+OK\n"), "");
    EXPECT_NE(d.command("SP+SYNC", "SP+OK\n"), "");
    robust::expectConfigWhole(conf, "after the last start");
    EXPECT_EQ(hostIn(root.read("/etc/trailnetd_conf.json")), "cam" + std::to_string(kCuts + 1) + ".example");
    json_object* settings = json_tokener_parse(root.read("/media/sdcard/config.dsp").c_str());
    EXPECT_NE(settings, nullptr);
    json_object_put(settings);
    // Cut writes leave at most their one temporary file behind.
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(root.path("/etc"))) {
        (void)e;
        entries++;
    }
    EXPECT_LE(entries, 2u);
}

}  // namespace
