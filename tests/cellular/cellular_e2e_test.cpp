// The real trailnetd with the modem, DSP and cloud simulators, on the real
// clock: CELL brings the data call up and a SYNC reaches the cloud over it;
// a dropped call comes back; the time zone from the network or the country
// table; the slot choice; no SIM at all.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <time.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "../modem/modem_sim_fixture.h"
#include "../support/cloudsim.h"
#include "../support/daemon_harness.h"
#include "../support/linksim.h"

using harness::DaemonHarness;
using harness::Ms;

namespace {

const std::string kOk = "SP+OK\n";
const std::string kError = "SP+ERROR\n";
// CELL waits up to about a minute for the data call.
const Ms kCellTimeout{90000};

std::string card(const std::string& iccid, const std::string& imsi) {
    return "{\"iccid\":\"" + iccid + "\",\"imsi\":\"" + imsi + "\"}";
}
const std::string kNoCard = "{\"present\":false}";

std::string scenario(const std::string& slot0, const std::string& slot1, const std::string& mcc,
                     const std::string& mnc, const std::string& nitz) {
    return "{\"dm\":{\"imei\":\"861234567890123\",\"firmware\":\"EG91EXGAR08A05M1G_01.001.01.001\"},"
           "\"sim\":{\"slots\":[" + slot0 + "," + slot1 + "]},"
           "\"nw\":{\"signal\":{\"lte\":{\"rssi\":-65,\"rsrq\":-10,\"rsrp\":-95,\"snr\":12}},"
           "\"reg\":{\"radio_tech\":4,\"mcc\":\"" + mcc + "\",\"mnc\":\"" + mnc +
           "\",\"cell_id\":10627843,\"lac\":0,\"tac\":11039},\"nitz\":\"" + nitz + "\"}}";
}

// The daemon, the modem simulator (its scenario given) and the cloud.
struct Rig {
    DaemonHarness d{1, false};
    std::unique_ptr<ModemSim> modem;
    std::unique_ptr<CloudSim> cloud;
    std::unique_ptr<LinkSim> link;  // gated: the cloud answers only while the simulated call is up
    std::string oldPath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";

    explicit Rig(const std::string& modemScenario, bool gated = false) {
        d.root().mkdirs("/sys/power");
        d.root().mkdirs("/usrdata");
        d.root().write("/scenario.json", modemScenario);
        modem = std::make_unique<ModemSim>(d.root(), d.root().path("/scenario.json"));
        cloud = std::make_unique<CloudSim>(d.root().path("/usrdata/cacert.pem"));
        cloud->setScenario("{\"answer\":{\"uploads\":\"auto\",\"config\":{\"transmitFreq\":4,"
                           "\"transmitUser\":true,\"transmitAuto\":true}}}");
        if (gated)
            link = std::make_unique<LinkSim>(*cloud, "lan",
                                             std::vector<std::string>{"--gate-modem", d.root().path("/tmp/modem_sim.ctl")});
        // Cellular on and the cloud's host, applied at start.
        d.root().write("/media/sdcard/CONFIG.REQ", "{\"config\":{\"cellular\":true,\"transmitUser\":true,\"transmitAuto\":true,"
                                                        "\"ssl\":{\"host\":\"" + cloud->hostPort() + "\"}}}\n");
        // The daemon finds the simulator's pidof and the recording ntpd first.
        setenv("PATH", (d.root().path("/sim/bin") + ":" + oldPath).c_str(), 1);
    }
    ~Rig() { setenv("PATH", oldPath.c_str(), 1); }

    bool ready() { return modem->ready() && d.startAndWaitReady(); }
    size_t count(const std::string& text) {
        std::string log = d.log();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
        return n;
    }
    // The "status" member of the last camera PUT the cloud saw.
    CloudSimJson lastStatus() {
        CloudSimJson all = cloud->requests();
        json_object* found = nullptr;
        for (size_t i = 0; all && i < json_object_array_length(all.get()); i++) {
            json_object* r = json_object_array_get_idx(all.get(), i);
            json_object *path = nullptr, *body = nullptr, *status = nullptr;
            if (json_object_object_get_ex(r, "path", &path) &&
                std::string(json_object_get_string(path)).rfind("/camapi/v3/camera/", 0) == 0 &&
                json_object_object_get_ex(r, "json", &body) && json_object_object_get_ex(body, "status", &status))
                found = status;
        }
        return CloudSimJson(found ? json_object_get(found) : nullptr);
    }
    // Uploads the cloud took (answered 2xx).
    int uploads() {
        CloudSimJson all = cloud->requests();
        int n = 0;
        for (size_t i = 0; all && i < json_object_array_length(all.get()); i++) {
            json_object* r = json_object_array_get_idx(all.get(), i);
            json_object *path = nullptr, *status = nullptr;
            if (json_object_object_get_ex(r, "path", &path) && json_object_object_get_ex(r, "status", &status) &&
                std::string(json_object_get_string(path)).rfind("/upload/", 0) == 0 &&
                json_object_get_int(status) / 100 == 2)
                n++;
        }
        return n;
    }
    // Seconds between the daemon's GETDATETIME answer read as UTC and now:
    // the zone's offset west of UTC.
    long dateTimeOffset() {
        std::string reply = d.command("SP+GETDATETIME", kOk);
        struct tm t = {};
        if (sscanf(reply.c_str(), "%d %d %d %d %d %d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                   &t.tm_sec) != 6)
            return -999999;
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        return static_cast<long>(time(nullptr) - timegm(&t));
    }
};

std::string member(json_object* o, const char* a, const char* b = nullptr) {
    json_object* v = nullptr;
    if (o == nullptr || !json_object_object_get_ex(o, a, &v)) return "<missing>";
    if (b != nullptr && !json_object_object_get_ex(v, b, &v)) return "<missing>";
    return json_object_get_string(v);
}

bool near(long offset, long expected) { return offset >= expected - 5 && offset <= expected + 5; }

}  // namespace

TEST(CellularE2E, ColdStartCellThenSyncReachesTheCloud) {
    Rig rig(scenario(card("8914800000123456789F", "311480123456789"), kNoCard, "310", "410",
                     "26/12/07,11:00:00-20,0"));
    rig.d.root().mkdirs("/media/sdcard/TRANSMIT");
    rig.d.root().write("/media/sdcard/STATUS.DSP", "{\"batteries\": 87, \"model\": \"TC-200\"}");
    rig.d.root().write("/media/sdcard/TRANSMIT/PICT0001.JPG", "\xff\xd8" + std::string(2000, 'x'));
    rig.d.root().write("/media/sdcard/TRANSMIT/PICT0002.JPG", "\xff\xd8" + std::string(3000, 'y'));
    ASSERT_TRUE(rig.ready());
    ASSERT_EQ(rig.d.command("SP+CELL", kOk, kCellTimeout), kOk);
    ASSERT_TRUE(rig.d.waitForLog("INFO: Data: Data activated"));
    EXPECT_NE(rig.d.log().find("INFO: cellular: Signal type: LTE"), std::string::npos);

    std::string reply = rig.d.command("SP+SYNC", kOk, Ms(120000));
    ASSERT_NE(reply.find(kOk), std::string::npos) << rig.d.log();
    EXPECT_TRUE(rig.d.root().exists("/media/sdcard/config.dsp"));
    EXPECT_FALSE(rig.d.root().exists("/media/sdcard/TRANSMIT/PICT0001.JPG"));
    EXPECT_FALSE(rig.d.root().exists("/media/sdcard/TRANSMIT/PICT0002.JPG"));
    EXPECT_EQ(rig.uploads(), 2);

    CloudSimJson status = rig.lastStatus();
    ASSERT_TRUE(status);
    EXPECT_EQ(member(status.get(), "sim"), "8914800000123456789");
    EXPECT_EQ(member(status.get(), "signal", "imsi"), "311480123456789");
    EXPECT_EQ(member(status.get(), "signal", "mcc"), "310");
    EXPECT_EQ(member(status.get(), "signal", "mnc"), "410");
    EXPECT_EQ(member(status.get(), "signal", "cellid"), "10627843");
    EXPECT_EQ(member(status.get(), "signal", "lac"), "11039");
    EXPECT_EQ(member(status.get(), "signal", "type"), "LTE");
    EXPECT_EQ(member(status.get(), "signal", "bar"), "4");  // RSRP -95 counts as -80
    EXPECT_EQ(member(status.get(), "signal", "dBm"), "-95");

    // NITZ -20: five hours west, and GETDATETIME answers the local time.
    EXPECT_EQ(rig.d.command("SP+GETSIGNALBAR", kOk), "4\r\n" + kOk);
    EXPECT_TRUE(near(rig.dateTimeOffset(), 5 * 3600));
}

TEST(CellularE2E, DroppedCallComesBackAndALaterSyncSucceeds) {
    Rig rig(scenario(card("8914800000123456789", "311480123456789"), kNoCard, "310", "410",
                     "26/12/07,11:00:00+32,0"));
    ASSERT_TRUE(rig.ready());
    ASSERT_EQ(rig.d.command("SP+CELL", kOk, kCellTimeout), kOk);
    ASSERT_TRUE(rig.d.waitForLog("INFO: Data: Data activated"));
    rig.modem->ctl("drop 0x10");
    ASSERT_TRUE(rig.d.waitForLog("WARNING: Data: Data is disconnected: 0x10"));
    ASSERT_TRUE(harness::DaemonHarness::waitFor([&] { return rig.count("INFO: Data: Data activated") >= 2; },
                                                Ms(60000)));
    std::string reply = rig.d.command("SP+SYNC", kOk, Ms(120000));
    EXPECT_NE(reply.find(kOk), std::string::npos) << rig.d.log();
    // The zone was set once, on the first connection: UTC-08:00.
    EXPECT_TRUE(near(rig.dateTimeOffset(), -8 * 3600));
}

// The cloud behind a link that carries traffic only while the simulated call
// is up: a call whose end was never announced shows as a failed sync unless
// the daemon asks the manager first.
TEST(CellularE2E, ACallEndedWithoutItsEventIsFoundBeforeTheSync) {
    Rig rig(scenario(card("8914800000123456789", "311480123456789"), kNoCard, "310", "410",
                     "26/12/07,11:00:00+32,0"),
            true);
    ASSERT_TRUE(rig.ready());
    ASSERT_EQ(rig.d.command("SP+CELL", kOk, kCellTimeout), kOk);
    ASSERT_TRUE(rig.d.waitForLog("INFO: Data: Data activated"));
    ASSERT_NE(rig.d.command("SP+SYNC", kOk, Ms(120000)).find(kOk), std::string::npos) << rig.d.log();
    rig.modem->ctl("drop quiet");
    EXPECT_EQ(rig.link->command("gate on"), "OK down");
    std::string reply = rig.d.command("SP+SYNC", kOk, Ms(120000));
    EXPECT_NE(reply.find(kOk), std::string::npos) << rig.d.log();
    EXPECT_TRUE(rig.d.waitForLog("WARNING: Data: Profile index 3 is no longer connected"));
    EXPECT_EQ(rig.count("INFO: Data: Data activated"), 2u);
}

// The call ends without its event while the sync's uploads are under way:
// every upload fails, and the sync asks the manager instead of answering OK
// with the pictures still on the card; the handler opens the call again and
// the same sync sends them.
TEST(CellularE2E, UploadsCutByACallEndedWithoutItsEventAreSentInTheSameSync) {
    Rig rig(scenario(card("8914800000123456789", "311480123456789"), kNoCard, "310", "410",
                     "26/12/07,11:00:00+32,0"),
            true);
    rig.d.root().mkdirs("/media/sdcard/TRANSMIT");
    rig.d.root().write("/media/sdcard/TRANSMIT/PICT0001.JPG", "\xff\xd8" + std::string(2000, 'x'));
    rig.d.root().write("/media/sdcard/TRANSMIT/PICT0002.JPG", "\xff\xd8" + std::string(3000, 'y'));
    // The first upload is held until the call is gone.
    rig.cloud->setScenario("{\"answer\":{\"uploads\":\"auto\"},\"faults\":[{\"method\":\"PUT\","
                           "\"path\":\"/upload/\",\"kind\":\"stall\",\"seconds\":20,\"times\":1}]}");
    ASSERT_TRUE(rig.ready());
    ASSERT_EQ(rig.d.command("SP+CELL", kOk, kCellTimeout), kOk);
    ASSERT_TRUE(rig.d.waitForLog("INFO: Data: Data activated"));
    std::thread cut([&] {
        if (!rig.d.waitForLog("INFO: upload: Picture to upload:", Ms(60000))) return;
        rig.modem->ctl("drop quiet");
        rig.link->command("gate on");
    });
    std::string reply = rig.d.command("SP+SYNC", kOk, Ms(180000));
    cut.join();
    EXPECT_NE(reply.find(kOk), std::string::npos) << rig.d.log();
    EXPECT_EQ(rig.count("WARNING: sync: Data call lost during the uploads, none went up"), 1u) << rig.d.log();
    EXPECT_EQ(rig.count("INFO: Data: Data activated"), 2u);
    EXPECT_FALSE(rig.d.root().exists("/media/sdcard/TRANSMIT/PICT0001.JPG"));
    EXPECT_FALSE(rig.d.root().exists("/media/sdcard/TRANSMIT/PICT0002.JPG"));
}

// The modem service gives its IMEI only once a sync has begun: the sync's
// next attempt reads it again instead of asking for tokens without it (they
// failed until the next reconnection).
TEST(CellularE2E, AnImeiThatComesDuringTheSyncIsReadByItsNextAttempt) {
    Rig rig(scenario(card("8914800000123456789", "311480123456789"), kNoCard, "310", "410",
                     "26/12/07,11:00:00+32,0"));
    rig.modem->ctl("set dm.imei_delay 1000000");
    ASSERT_TRUE(rig.ready());
    ASSERT_EQ(rig.d.command("SP+CELL", kOk, kCellTimeout), kOk);
    ASSERT_TRUE(rig.d.waitForLog("INFO: Data: Data activated"));
    ASSERT_EQ(rig.count("INFO: sync: IMEI: 861234567890123"), 0u) << rig.d.log();
    std::thread late([&] {
        rig.d.waitForLog("INFO: sync: Start cellular transfert");
        rig.modem->ctl("set dm.imei_delay 0");
    });
    std::string reply = rig.d.command("SP+SYNC", kOk, Ms(120000));
    late.join();
    EXPECT_NE(reply.find(kOk), std::string::npos) << rig.d.log();
    EXPECT_EQ(rig.count("INFO: sync: IMEI: 861234567890123"), 1u);
}

TEST(CellularE2E, EuropeanNetworkSetsTheClockByNtpAndTheZoneFromTheTable) {
    Rig rig(scenario(card("8944500000000000001", "234500000000001"), kNoCard, "234", "50",
                     "26/12/07,11:00:00+32,0"));
    ASSERT_TRUE(rig.ready());
    // slot 1 is probed (empty) and slot 0 switched back to: about 20 s.
    ASSERT_EQ(rig.d.command("SP+CELL", kOk, kCellTimeout), kOk);
    ASSERT_TRUE(rig.d.waitForCall("ntpd -nNqp europe.pool.ntp.org", Ms(60000)));
    EXPECT_TRUE(near(rig.dateTimeOffset(), 0));  // UTC-00:00, not the network's +32
    EXPECT_EQ(rig.count("Failed to get nitz"), 0u);
}

TEST(CellularE2E, PreferredCardInSlotOneIsChosen) {
    Rig rig(scenario(card("8930261000000000001", "302610000000001"), card("8930276000000000002", "302760000000002"),
                     "302", "760", "26/12/07,11:00:00-20,0"));
    ASSERT_TRUE(rig.ready());
    ASSERT_EQ(rig.d.command("SP+CELL", kOk, kCellTimeout), kOk);
    ASSERT_TRUE(rig.d.waitForLog("INFO: Data: Data activated"));
    EXPECT_EQ(rig.modem->get("sim.active_slot"), "1");
    EXPECT_EQ(rig.modem->get("manager.apns.3.apn"), "\"m2m.telus.iot\"");
    EXPECT_NE(rig.d.log().find("INFO: cellular: IMSI (slot #1): 302760000000002"), std::string::npos);
}

// The long one: CELL waits its whole minute for a call that never comes.
TEST(CellularE2E, NoSimAtAllAnswersMinusOneBars) {
    Rig rig(scenario(kNoCard, kNoCard, "310", "410", "26/12/07,11:00:00-20,0"));
    ASSERT_TRUE(rig.ready());
    ASSERT_EQ(rig.d.command("SP+CELL", kOk, kCellTimeout), kOk);
    ASSERT_TRUE(rig.d.waitForLog("ERROR: cellular: Modem initialization error - -1"));
    EXPECT_EQ(rig.d.command("SP+GETSIGNALBAR", kError), "-1\r\n" + kError);
    EXPECT_NE(rig.d.log().find("WARNING: cellular: No valid SIM card"), std::string::npos);
}
